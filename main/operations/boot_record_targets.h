// What the Advanced tab's pages need to know of the disk or image they
// work on before they read or write it: its sector size, whether its
// sector 0 is the disk's at all, and the byte range of a partition row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarnovell {

// Bytes per sector of `path`: 512 for an image file, the disk's own for a
// disk (512 when it cannot be asked).
std::int64_t SectorSizeOf(const std::string& path);

// True for a dynamic or differencing VHD file: its first sector is a copy
// of the VHD footer, not the virtual disk's sector 0, so nothing that
// means sector 0 may be written there.
bool IsDynamicVhdFile(const std::string& path);

// Raises std::runtime_error saying so when `path` is such a VHD.
void RefuseDynamicVhd(const std::string& path);

// The bytes of a partition row: from its "Sectors Before" and "Sectors"
// texts (unsigned 32-bit, decimal or "$" hexadecimal) and the sector size,
// in 64 bits. Raises std::runtime_error for a text that is no such number.
struct ByteRange {
    std::int64_t offset = 0;
    std::int64_t length = 0;
};
ByteRange PartitionRowRange(const std::string& sectors_before, const std::string& sectors, std::int64_t sector_size);

// Why a raw image cannot go back into a row of `row_length` bytes (it is
// larger and would run into what follows the partition), or nothing when
// it fits.
std::optional<std::string> RowRestoreRefusal(const std::string& image, std::int64_t row_length);

}  // namespace tarnovell
