// What the partition editor shows and proposes, without a widget: the rows
// of a drive layout, the names of the partition types it offers, the offset
// and size it proposes for a new partition, and the checks its commands make
// before they change a disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk/device/device_query.h"

namespace tarnovell {

// Layout styles as the layout record numbers them.
enum : std::uint32_t { kEditorMbr = 0, kEditorGpt = 1, kEditorRaw = 2 };

// One row of the list: the texts of its seven columns.
struct EditorRow {
    std::string number;  // the partition number, "-" for an unused MBR entry, "0" for GPT filler rows
    std::string offset;
    std::string length;
    std::string hidden_or_id;  // MBR: HiddenSectors; GPT: the partition GUID
    std::string type;
    std::string boot;
    std::string attributes;
};

struct EditorLayout {
    std::uint32_t style = kEditorRaw;
    std::uint32_t count = 0;
    std::uint32_t mbr_signature = 0;
    platform::GUID gpt_disk_id{};
    // Where a partition may end: the disk's end, or for GPT the end of the
    // usable space, before the backup table.
    std::int64_t usable_end = 0;
    std::vector<EditorRow> rows;
};

// The layout of a disk as the editor lists it: one row per entry, and GPT
// layouts with fewer than four entries padded with rows numbered "0".
EditorLayout EditorLayoutOf(const disk::DriveLayoutBuffer& layout);

// "Style: MBR, Count=4"; RAW has no style name.
std::string LayoutStatusText(std::uint32_t style, std::uint32_t count);

// "(0x07) Advanced Unix QNX QNX ..."; the decimal code when the table has no
// description of it.
std::string MbrTypeText(std::uint8_t type);
// The descriptions of a GPT type, or the braced GUID when there is none.
std::string GptTypeText(const platform::GUID& type);

// The names the type lists offer.
const std::vector<std::string>& MbrChangeTypeNames();  // Change Partition Type (MBR)
const std::vector<std::string>& MbrCreateTypeNames();  // Create Partition on an MBR disk
const std::vector<std::string>& GptTypeNames();        // both GPT lists
// The code of a type name for a layout style: a decimal MBR code or a braced
// GPT GUID; with a RAW layout, or a name it does not know, the name itself.
std::string PartitionTypeCode(std::uint32_t style, const std::string& name);

// The entry number of a command on the selected row (0-based; -1 for none):
// row + 1 when it lies in 1..255, else nothing.
std::optional<int> EntryNumberOf(int selected_row);

// Only the primary entries 2 to 4 can change places with the first: entry 1
// is already there, and a logical entry lives in an extended boot record.
bool CanBecomeFirst(int entry);

// What Create Partition proposes for entry `entry` (1-based): the first free
// byte after the row above, and the megabytes from there to the usable end.
struct NewPartitionProposal {
    std::int64_t offset = 0;
    std::int64_t size_mb = 0;
};
NewPartitionProposal ProposeNewPartition(const EditorLayout& layout, int entry);

// A number typed into the editor: decimal (with sign) or hexadecimal after
// a "$", blanks around it allowed; 64 bits, a hexadecimal one taken as its
// bit pattern. Nothing for anything else.
std::optional<std::int64_t> ParseTypedNumber(const std::string& text);
// A disk signature: a 32-bit bit pattern, so "$F1020304" and -1 are taken.
std::optional<std::uint32_t> ParseDiskSignature(const std::string& text);
// "0"/"1", "false"/"true" (any case) read as a Boolean.
std::optional<bool> ParseTypedBoolean(const std::string& text);

// True when the two paths name the same disk or volume, however spelled
// ("\\.\physicaldrive1" and "\\.\PhysicalDrive1"), or a volume and the disk
// that holds it.
bool SameDevice(const std::string& first, const std::string& second);

}  // namespace tarnovell
