// The information report of a VHD file: the disk type and every field of
// its footer and, for dynamic and differencing disks, of the dynamic-disk
// header, read from the file itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iostream>
#include <span>
#include <string>

namespace disk {

// Adds the report of the file at `path` to `report`: nothing for a file
// that is no VHD. A size that is not a whole number of sectors writes
// "mod 512 <>0" to `console` and adds nothing. Reads never go past the end
// of the file: a dynamic header that is not all there is left out.
void VhdInfoReport(const std::string& path, std::string& report, std::ostream& console = std::cout);

// The report of a footer (512 bytes) and, when the file holds one, the
// 512 bytes at offset 512 (empty otherwise); "" when the footer is no VHD
// footer of a type the report knows.
std::string VhdReportText(std::span<const std::uint8_t> footer, std::span<const std::uint8_t> header);

// The parent's name in a dynamic header's 512-byte name field: each
// non-zero byte taken as a character, up to two zero bytes in a row.
std::string VhdReportHelper(std::span<const std::uint8_t> field);

}  // namespace disk
