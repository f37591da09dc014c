// Which device a command acts on: the one rule every command of the main
// window applies to the selected row of the device list, and its messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "disk/device/device_lists.h"

namespace tarnovell {

inline constexpr const char* kPickDiskPart = "pick a disk/part";
inline constexpr const char* kNoSourceItemSelected = "no source item selected";  // the clone, "Open volume"
inline constexpr const char* kPickAPart = "pick a part";                         // "Clean Volume" on a disk row
inline constexpr const char* kPickADisk = "pick a disk";                         // "Partition Editor"
inline constexpr const char* kHasToBeDisk = "has to be a DISK type";
inline constexpr const char* kHasToBePart = "has to be a PART type";

enum class RowNeed { Any, Disk, Partition };

// What a command needs of the selected row and what it says otherwise.
struct SelectionRule {
    RowNeed need = RowNeed::Any;
    std::string no_row = kPickDiskPart;
    // Said when the row is of the other kind; empty gives the usual
    // "has to be a DISK type" / "has to be a PART type".
    std::string wrong_kind;
};

struct SelectionResult {
    bool ok = false;
    std::string path;     // set when ok
    std::string message;  // set when not ok
};

// "\\.\PhysicalDriveN" for a disk row; for a partition row the volume path
// of its description ("C: [System]" gives "\\.\C:"). The disk or volume the
// row showed becomes the choice of that path: what the command writes
// through it must still be that disk or volume (Registry::choose).
std::string PathOfRow(const disk::DiskListRow& row);

SelectionResult PathOfSelection(const std::optional<disk::DiskListRow>& row, const SelectionRule& rule = {});

// "A:" for bit 0 up to "Z:" for bit 25, from the lowest bit set; "" for none.
std::string UnitMaskToDriveLetter(std::uint32_t unit_mask);

// The notice of a volume that arrived or left: its letter, " device
// inserted " or " device removed ", and `when`. The letter carries its own
// colon; one without a letter is "device inserted " and so on.
std::string DeviceNotice(bool arrival, std::uint32_t unit_mask, const std::string& when);

// The program's temporary folder, with a trailing '/'.
std::string GetTempDirectory();

}  // namespace tarnovell
