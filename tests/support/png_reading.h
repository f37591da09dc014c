// Reads back what the PNG writer produced, chunk by chunk, for the tests.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <string>

namespace crashreport_test {

struct PngChunks {
    bool valid = false;
    std::map<std::string, std::string> chunks;  // the last chunk of each type
    std::string image_data;                      // IDAT inflated
};

inline std::uint32_t Be32(const std::string& s, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at])) << 24 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 1])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 2])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + 3]));
}

inline PngChunks ReadPng(const std::string& png, std::size_t expected_image_size) {
    PngChunks result;
    if (png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return result;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t length = Be32(png, at);
        if (at + 12 + length > png.size()) return result;
        const std::string type = png.substr(at + 4, 4);
        const std::string data = png.substr(at + 8, length);
        const std::uint32_t crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), length + 4));
        if (crc != Be32(png, at + 8 + length)) return result;
        result.chunks[type] = data;
        at += 12 + length;
    }
    const std::string& idat = result.chunks["IDAT"];
    result.image_data.resize(expected_image_size + 16);
    uLongf size = static_cast<uLongf>(result.image_data.size());
    if (uncompress(reinterpret_cast<Bytef*>(result.image_data.data()), &size,
                   reinterpret_cast<const Bytef*>(idat.data()), static_cast<uLong>(idat.size())) != Z_OK)
        return result;
    result.image_data.resize(size);
    result.valid = result.chunks.count("IHDR") && result.chunks.count("PLTE") && result.chunks.count("IEND");
    return result;
}

}  // namespace crashreport_test
