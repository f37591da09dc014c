// LZ4 image files made the plain way, one block after the other, for the
// tests of the LZ4 ends and of the engines that use them. LoadLZ4 must have
// succeeded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "disk/bindings/liblz4.h"
#include "disk/formats/lz4/lz4_frame.h"

namespace test_support {

inline std::string Le32(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

// The LZ4 image of `data` packed one block of `block` bytes after the
// other, as the format is defined; ours must be byte for byte this, however
// many threads pack.
inline std::string PackSequentially(const std::string& data, std::size_t block = disk::kLz4BlockInput) {
    std::string image = Le32(disk::kLz4LegacyMagic);
    std::vector<char> packed(static_cast<std::size_t>(disk::Lz4CompressBound(static_cast<int>(block))));
    for (std::size_t at = 0; at < data.size(); at += block) {
        int n = static_cast<int>(std::min(block, data.size() - at));
        int size = disk::Lz4CompressDefault(data.data() + at, packed.data(), n, static_cast<int>(packed.size()));
        EXPECT_GT(size, 0);
        image += Le32(static_cast<std::uint32_t>(size)) + std::string(packed.data(), static_cast<std::size_t>(size));
    }
    return image;
}

}  // namespace test_support
