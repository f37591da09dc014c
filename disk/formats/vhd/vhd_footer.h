// Turning a raw disk image into a fixed VHD in place: a 512-byte footer is
// appended (and the file renamed), so that virtual machines open the image
// without a copy being made.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/virtdisk/vhd/vhd_records.h"

namespace disk {

// The CHS geometry this program has always put into its footers, derived
// from the sector count. The cylinder count is the full value; the footer
// holds it clamped to 16 bits.
struct FooterGeometry {
    std::int64_t cylinders = 0;
    std::uint8_t heads = 0;
    std::uint8_t sectors_per_track = 0;
};
FooterGeometry FooterGeometryOf(std::int64_t sectors);

// The footer of a fixed disk of `size` bytes with the given unique id,
// checksum included.
platform::virtdisk::VhdFooter MakeFixedVhdFooter(std::int64_t size, const std::array<std::uint8_t, 16>& unique_id);

// A new random GUID as it lies in memory.
std::array<std::uint8_t, 16> NewGuidBytes();

// Appends the footer to `image` and renames it to `new_name` (unless that is
// empty or the same file). With `ask` = 1 the user confirms first. Refuses,
// with a message and before writing anything, an image whose size is not a
// whole number of sectors, one that already ends in a footer, and a new name
// that is taken. A failed write leaves the image as it was and renames
// nothing. True only when the footer is on the image and the rename done.
bool AppendVhdFooter(const std::string& image, const std::string& new_name, int ask);

}  // namespace disk
