// The "Master Boot Record" page without its widgets: the four primary
// entries of sector 0 as the texts the page shows, the entries built back
// from those texts, the disk signature, the page's HTML export and the
// sectors-to-C.H.S calculator.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "disk/sectors/sectors.h"

namespace tarnovell {

// One row of the page: the texts of one MBR entry.
struct MbrRowText {
    std::string boot;            // hexadecimal, "00" or "80"
    std::string start_head;      // decimal
    std::string start_cylinder;  // decimal, 0..1023
    std::string start_sector;    // decimal, 0..63
    std::string type;            // hexadecimal, "07"
    std::string end_head;
    std::string end_cylinder;
    std::string end_sector;
    std::string sectors_before;  // unsigned decimal
    std::string sectors;         // unsigned decimal
};

using MbrRows = std::array<MbrRowText, 4>;

struct PartitionTableText {
    MbrRows rows;
    std::string disk_id;  // eight hexadecimal digits, most significant first
};

// What sector 0 shows on the page.
PartitionTableText PartitionTableTextOf(const disk::SectorBuffer& sector0);

// A sector whose bytes 446..509 hold the entries the rows describe (the
// rest zero). Every field is checked against what its bytes can hold:
// boot and type one byte (hexadecimal, "$" optional), heads 0..255,
// cylinders 0..1023, sectors 0..63, start and count the whole unsigned
// 32-bit range. Raises std::runtime_error naming the row and field of the
// first text that does not fit.
disk::SectorBuffer PartitionEntriesOf(const MbrRows& rows);

// The disk signature typed on the page (hexadecimal, "$" optional, at most
// eight digits); raises std::runtime_error when it is none.
std::uint32_t ParseDiskId(const std::string& text);

// Packing of a C.H.S address in the three bytes an MBR entry holds it in.
struct Chs {
    int cylinder = 0;
    int head = 0;
    int sector = 0;
};
Chs DecodeChs(const std::uint8_t bytes[3]);
void EncodeChs(const Chs& chs, std::uint8_t bytes[3]);

// The page's HTML export: a table of the rows under the disk's name,
// `when` (the date and time) at the foot. Every text is escaped, so a
// file name or a field holding "<" or "&" stays text. Lines end in CR LF.
std::string PartitionTableHtml(const std::string& disk, const MbrRows& rows, const std::string& when);

// Text made safe to stand between HTML tags or in an attribute.
std::string HtmlEscape(const std::string& text);

// The C.H.S answer for a disk of `total_sectors` at 255 heads and 63
// sectors per track: "c=" + cylinders + " h=255 s=63".
std::string SectorsToChs(std::int64_t total_sectors);

// What leaving a C.H.S field does to its text: a number above `most`
// becomes `most`; anything else stays as typed.
std::string ClampedChsText(const std::string& text, int most);

}  // namespace tarnovell
