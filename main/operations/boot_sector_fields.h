// The "Boot Sector" page without its widgets: the fields of a boot sector
// as the page shows them, and the in-place edits of single fields and of
// the volume serial number.
//
// Where the serial number and label lie is told by the parameter block
// itself, not by the OEM name: a FAT12/16 block (a 16-bit sectors-per-FAT
// count) keeps them at 39 and 43, a FAT32 block at 67 and 71, whatever
// program formatted the volume. The OEM name still decides how the serial
// is written out, as it always has.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

#include "disk/sectors/sectors.h"

namespace tarnovell {

enum class BootLayout {
    None,   // no parameter block this page knows
    Fat16,  // FAT12 or FAT16
    Fat32,
    Ntfs,
    Exfat,
};

BootLayout BootLayoutOf(const disk::SectorBuffer& sector);

constexpr std::size_t kBootFieldCount = 22;

struct BootSectorText {
    // txtbs1 .. txtbs22 at [0] .. [21].
    std::array<std::string, kBootFieldCount> fields;
    // The hint of the serial field: all 16 digits of an NTFS serial.
    std::string serial_hint;
};

BootSectorText BootSectorTextOf(const disk::SectorBuffer& sector);

// The trimmed OEM name of bytes 3..10, control characters shown as ".".
std::string OemIdOf(const disk::SectorBuffer& sector);

// A field the page edits in place with a double-click.
struct BootFieldEdit {
    int field;               // n of txtbs<n>
    const char* prompt;      // the input box's prompt
    const char* initial;     // its text when it opens
    std::size_t offset;      // bytes of the sector the value goes to
    std::size_t width;
    const char* question;    // the confirmation, followed by the path and "?"
};

// The edit of field n, or null when a double-click on it edits nothing
// (the serial and label have their own editor).
const BootFieldEdit* BootFieldEditOf(int field);

// Writes `answer` (decimal, or hexadecimal after "$") into the sector.
// Raises std::runtime_error when it is no number or does not fit the
// field's bytes; the sector is unchanged then.
void PatchBootField(disk::SectorBuffer& sector, const BootFieldEdit& edit, const std::string& answer);

// Why the fields of this sector must not be edited in place, or nothing
// when they may. exFAT checksums its boot region and keeps no BPB there.
std::optional<std::string> BootFieldEditRefusal(const disk::SectorBuffer& sector);

// The serial-number editor of a sector: the prompt to show, or nothing for
// a sector whose serial this page cannot place ("Unknown OEMID").
std::optional<std::string> SerialPromptOf(const disk::SectorBuffer& sector);

// Writes a serial typed as "$" + 8 hexadecimal digits (NTFS also takes 16)
// into the sector. Raises "wrong size" for any other length and
// std::runtime_error for digits that are no hexadecimal number.
void PatchSerial(disk::SectorBuffer& sector, const std::string& answer);

// The editor's proposal: "$" and four random bytes, each 0..254, as two
// hexadecimal digits each.
std::string RandomSerialText(std::mt19937& random);

}  // namespace tarnovell
