// Little- and big-endian fields of the files the reporter writes (ZIP, BMP,
// PNG) and reads (blobs), appended to or read from byte strings. The
// reporter keeps its own copy of this small layer: it may not depend on the
// program's platform code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace crashreport {

inline void PutLe16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

inline void PutLe32(std::string& out, std::uint32_t v) {
    PutLe16(out, v & 0xFFFF);
    PutLe16(out, v >> 16);
}

inline void PutBe32(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v >> 24));
    out.push_back(static_cast<char>(v >> 16));
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
}

inline std::uint32_t GetLe32(std::string_view in, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(in[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(in[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(in[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(in[at + 3])) << 24;
}

}  // namespace crashreport
