#include "disk/formats/vhd/vhd_report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "disk/util/lib_helpers.h"
#include "platform/base/byte_order.h"
#include "platform/device/handle.h"
#include "platform/virtdisk/vhd/vhd_records.h"

namespace disk {

namespace {

using platform::virtdisk::VhdDynamicHeader;
using platform::virtdisk::VhdFooter;

constexpr std::size_t kRecord = platform::virtdisk::kVhdSector;

std::string Hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "$%04llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Decimal(std::int64_t value) { return std::to_string(value); }

template <std::size_t N>
std::string Chars(const std::array<char, N>& field) {
    return std::string(field.data(), N);
}

void Line(std::string& report, const std::string& text) { report += text + "\r\n"; }

void DynamicLines(std::string& report, const VhdDynamicHeader& header) {
    const auto table_offset = static_cast<std::int64_t>(std::uint64_t{header.table_offset.value()});
    const std::int64_t entries = header.max_table_entries.value();
    Line(report, "Table_Offset=" + Decimal(table_offset));
    Line(report, "Header_Version=" + Hex(header.header_version.value()));
    Line(report, "max_entries=" + Decimal(entries) + " -> " + Decimal(entries * 2097152) + " bytes");
    Line(report, "block_size=" + Decimal(header.block_size.value()));
    Line(report, "Checksum=" + Hex(header.checksum.value()));
    Line(report, "BAT size=" + Decimal(entries * 4));
    // Unsigned: a table offset near the top of the range wraps as the field does.
    std::uint64_t first_block = std::uint64_t{header.table_offset.value()} + static_cast<std::uint64_t>(entries) * 4;
    if (first_block % kRecord != 0) first_block += kRecord - first_block % kRecord;
    Line(report, "1st block offset=" + Decimal(static_cast<std::int64_t>(first_block)));
}

}  // namespace

std::string VhdReportHelper(std::span<const std::uint8_t> field) {
    std::string name;
    bool previous_zero = false;
    for (std::size_t i = 0; i < field.size() && i < kRecord; ++i) {
        if (field[i] == 0) {
            if (previous_zero) break;
            previous_zero = true;
            continue;
        }
        previous_zero = false;
        name += static_cast<char>(field[i]);
    }
    return name;
}

std::string VhdReportText(std::span<const std::uint8_t> footer_bytes, std::span<const std::uint8_t> header_bytes) {
    VhdFooter footer{};
    if (footer_bytes.size() < sizeof footer) return {};
    std::memcpy(&footer, footer_bytes.data(), sizeof footer);
    const std::uint32_t type = footer.disk_type.value();
    if (Chars(footer.cookie) != "conectix" || type < platform::virtdisk::kVhdFixed ||
        type > platform::virtdisk::kVhdDifferencing)
        return {};
    static const std::array<const char*, 3> kTypes = {"Disk Type: FIXED", "Disk Type: DYNAMIC",
                                                      "Disk Type: DIFFERENCING"};
    std::string report;
    Line(report, kTypes[type - platform::virtdisk::kVhdFixed]);
    const auto original = static_cast<std::int64_t>(std::uint64_t{footer.original_size.value()});
    const auto current = static_cast<std::int64_t>(std::uint64_t{footer.current_size.value()});
    Line(report, "Features=" + Decimal(footer.features.value()));
    Line(report, "Format=" + Hex(footer.file_format_version.value()));
    Line(report, "Data_offset=" + Decimal(static_cast<std::int64_t>(std::uint64_t{footer.data_offset.value()})));
    Line(report, "Creator_Application=" + Chars(footer.creator_application));
    Line(report, "Creator_Version=" + Hex(footer.creator_version.value()));
    std::array<char, 4> host_os{};
    platform::StoreBe32(host_os.data(), footer.creator_host_os.value());
    Line(report, "Creator_Host_OS=" + Chars(host_os));
    Line(report, "Original_Size=" + Decimal(original));
    Line(report, "Current_Size=" + Decimal(current));
    Line(report, "Checksum=" + Hex(footer.checksum.value()));
    Line(report, "saved_state=" + Decimal(footer.saved_state));
    // Without the first 512 bytes of a header the file ends before one could.
    if (header_bytes.size() < kRecord) return report;
    VhdDynamicHeader header{};
    std::memcpy(&header, header_bytes.data(), std::min(header_bytes.size(), sizeof header));
    if (type == platform::virtdisk::kVhdDynamic) {
        DynamicLines(report, header);
        if (original == 0 && current == 0) Line(report, "not a valid vhd");
    } else if (type == platform::virtdisk::kVhdDifferencing) {
        const auto* name = reinterpret_cast<const std::uint8_t*>(header.parent_unicode_name.data());
        Line(report, "Parent Name=" + VhdReportHelper({name, sizeof header.parent_unicode_name}));
    }
    return report;
}

void VhdInfoReport(const std::string& path, std::string& report, std::ostream& console) {
    const std::int64_t size = FileSize64(path);
    if (size % static_cast<std::int64_t>(kRecord) != 0) {
        console << "mod 512 <>0" << std::endl;
        return;
    }
    if (size < static_cast<std::int64_t>(kRecord)) return;
    platform::Handle file = platform::CreateFile(path, platform::GENERIC_READ,
                                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                 platform::OPEN_EXISTING, 0);
    if (!file) return;
    std::array<std::uint8_t, sizeof(VhdFooter)> footer{};
    std::size_t done = 0;
    if (!platform::ReadAt(file, size - static_cast<std::int64_t>(kRecord), footer.data(), kRecord, &done) ||
        done != kRecord)
        return;
    // The header at 512, as much of it as lies in front of the footer.
    std::array<std::uint8_t, sizeof(VhdDynamicHeader)> header{};
    std::size_t header_length = 0;
    const std::int64_t room = size - 2 * static_cast<std::int64_t>(kRecord);
    if (room > 0) {
        const std::size_t wanted = std::min<std::size_t>(header.size(), static_cast<std::size_t>(room));
        if (!platform::ReadAt(file, kRecord, header.data(), wanted, &header_length)) header_length = 0;
    }
    report += VhdReportText(footer, std::span<const std::uint8_t>(header.data(), header_length));
}

}  // namespace disk
