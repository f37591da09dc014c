#include "main/operations/partition_table_fields.h"

#include <cstdio>
#include <stdexcept>

#include "disk/util/lib_helpers.h"
#include "platform/base/ascii.h"
#include "platform/base/byte_order.h"
#include "platform/base/markup_text.h"
#include "platform/device/records/mbr.h"

namespace tarnovell {

namespace {

using platform::device::kMbrTableOffset;
using platform::device::MbrPartitionRecord;

constexpr std::size_t kEntryBytes = sizeof(MbrPartitionRecord);
constexpr std::size_t kDiskIdAt = 440;
constexpr int kMostCylinder = 1023;
constexpr int kMostHead = 255;
constexpr int kMostSector = 63;

std::string Hex2(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

// A field's value when it fits [0, most]; otherwise an error that names the
// row and the column the person sees.
std::int64_t FieldValue(const std::string& text, bool hex, std::int64_t most, int row, const char* caption) {
    std::string typed = platform::Trim(text);
    if (hex && !typed.empty() && typed[0] == '$') typed.erase(0, 1);
    std::optional<std::int64_t> value = disk::ParseUserNumber(hex ? "$" + typed : typed, 0, most);
    if (value) return *value;
    const std::string range = hex ? "$00 to $" + Hex2(static_cast<unsigned>(most)) : "0 to " + std::to_string(most);
    throw std::runtime_error("Partition " + std::to_string(row) + ", " + caption + ": '" + text +
                             "' is no value from " + range);
}

}  // namespace

Chs DecodeChs(const std::uint8_t bytes[3]) {
    Chs chs;
    chs.head = bytes[0];
    chs.sector = bytes[1] & 0x3F;
    chs.cylinder = ((bytes[1] & 0xC0) << 2) | bytes[2];
    return chs;
}

void EncodeChs(const Chs& chs, std::uint8_t bytes[3]) {
    bytes[0] = static_cast<std::uint8_t>(chs.head);
    bytes[1] = static_cast<std::uint8_t>((chs.sector & 0x3F) | ((chs.cylinder >> 2) & 0xC0));
    bytes[2] = static_cast<std::uint8_t>(chs.cylinder & 0xFF);
}

PartitionTableText PartitionTableTextOf(const disk::SectorBuffer& sector0) {
    PartitionTableText text;
    for (std::size_t n = 0; n < text.rows.size(); ++n) {
        const std::uint8_t* entry = sector0.data() + kMbrTableOffset + n * kEntryBytes;
        const Chs start = DecodeChs(entry + 1);
        const Chs end = DecodeChs(entry + 5);
        MbrRowText& row = text.rows[n];
        row.boot = Hex2(entry[0]);
        row.start_head = std::to_string(start.head);
        row.start_cylinder = std::to_string(start.cylinder);
        row.start_sector = std::to_string(start.sector);
        row.type = Hex2(entry[4]);
        row.end_head = std::to_string(end.head);
        row.end_cylinder = std::to_string(end.cylinder);
        row.end_sector = std::to_string(end.sector);
        row.sectors_before = std::to_string(platform::LoadLe32(entry + 8));
        row.sectors = std::to_string(platform::LoadLe32(entry + 12));
    }
    char id[12];
    std::snprintf(id, sizeof id, "%08X", static_cast<unsigned>(platform::LoadLe32(sector0.data() + kDiskIdAt)));
    text.disk_id = id;
    return text;
}

disk::SectorBuffer PartitionEntriesOf(const MbrRows& rows) {
    disk::SectorBuffer sector{};
    for (std::size_t n = 0; n < rows.size(); ++n) {
        const MbrRowText& row = rows[n];
        const int number = static_cast<int>(n) + 1;
        auto chs = [&](const std::string& cylinder, const std::string& head, const std::string& sectors,
                       const char* which) {
            const std::string prefix = std::string(which) + " C.H.S ";
            Chs value;
            value.cylinder = static_cast<int>(FieldValue(cylinder, false, kMostCylinder, number, (prefix + "(cylinder)").c_str()));
            value.head = static_cast<int>(FieldValue(head, false, kMostHead, number, (prefix + "(head)").c_str()));
            value.sector = static_cast<int>(FieldValue(sectors, false, kMostSector, number, (prefix + "(sector)").c_str()));
            return value;
        };
        std::uint8_t* entry = sector.data() + kMbrTableOffset + n * kEntryBytes;
        entry[0] = static_cast<std::uint8_t>(FieldValue(row.boot, true, 0xFF, number, "Boot"));
        EncodeChs(chs(row.start_cylinder, row.start_head, row.start_sector, "Starting"), entry + 1);
        entry[4] = static_cast<std::uint8_t>(FieldValue(row.type, true, 0xFF, number, "Type"));
        EncodeChs(chs(row.end_cylinder, row.end_head, row.end_sector, "Ending"), entry + 5);
        platform::StoreLe32(entry + 8, static_cast<std::uint32_t>(FieldValue(row.sectors_before, false, UINT32_MAX, number, "Sectors Before")));
        platform::StoreLe32(entry + 12, static_cast<std::uint32_t>(FieldValue(row.sectors, false, UINT32_MAX, number, "Sectors")));
    }
    return sector;
}

std::uint32_t ParseDiskId(const std::string& text) {
    std::string typed = platform::Trim(text);
    if (!typed.empty() && typed[0] == '$') typed.erase(0, 1);
    std::optional<std::int64_t> value = typed.size() <= 8 ? disk::ParseUserNumber("$" + typed, 0, UINT32_MAX)
                                                          : std::nullopt;
    if (!value) throw std::runtime_error("'" + text + "' is no disk signature: up to eight hexadecimal digits");
    return static_cast<std::uint32_t>(*value);
}

std::string HtmlEscape(const std::string& text) { return platform::EscapeMarkup(text); }

std::string PartitionTableHtml(const std::string& disk, const MbrRows& rows, const std::string& when) {
    const std::string crlf = "\r\n";
    std::string html = "<html>" + crlf + "<body>" + crlf;
    html += "DISK: " + HtmlEscape(disk) + "<br><br>" + crlf;
    html += "<table border=1>" + crlf;
    html += "<tr><td>type</td><td>boot</td>"
            "<td>Starting Cyl.</td><td>Starting Head</td><td>Starting Sec.</td>"
            "<td>End Cyl.</td><td>End Head</td><td>End Sec.</td>"
            "<td>Sectors before</td><td>Sectors</td></tr>" +
            crlf;
    for (const MbrRowText& row : rows) {
        html += "<tr><td>" + HtmlEscape(row.type) + "</td><td>" + HtmlEscape(row.boot);
        for (const std::string* cell : {&row.start_cylinder, &row.start_head, &row.start_sector, &row.end_cylinder,
                                        &row.end_head, &row.end_sector, &row.sectors_before})
            html += "</td><td>" + HtmlEscape(*cell);
        html += "</td><td>" + HtmlEscape(row.sectors) + "</td></tr>" + crlf;
    }
    html += "</table>" + crlf;
    html += "<br><br>Tarnovell - " + HtmlEscape(when);
    html += "</body>" + crlf + "</html>" + crlf;
    return html;
}

std::string SectorsToChs(std::int64_t total_sectors) {
    // Counted in 64 bits: a disk past 502 GiB has more cylinders than 16 bits hold.
    const std::int64_t cylinders = total_sectors / 255 / 63 + 1;
    return "c=" + std::to_string(cylinders) + " h=255 s=63";
}

std::string ClampedChsText(const std::string& text, int most) {
    std::optional<std::int64_t> value = disk::ParseUserNumber(text, INT32_MIN, INT32_MAX);
    return value && *value > most ? std::to_string(most) : text;
}

}  // namespace tarnovell
