// Little- and big-endian fields of the files the reporter writes (ZIP, BMP,
// PNG, component streams, DNS queries) and reads (blobs), appended to or
// read from byte strings. The byte order itself is the program's one
// (platform/base/byte_order.h): plain loads and stores that take no lock
// and allocate nothing, so a report written at crash time may use them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/base/byte_order.h"

namespace crashreport {

namespace byte_order_detail {

template <std::size_t N, class Store, class Value>
void Append(std::string& out, Store store, Value value) {
    char bytes[N];
    store(bytes, value);
    out.append(bytes, N);
}

}  // namespace byte_order_detail

inline void PutLe16(std::string& out, std::uint32_t v) {
    byte_order_detail::Append<2>(out, platform::StoreLe16, static_cast<std::uint16_t>(v));
}

inline void PutLe32(std::string& out, std::uint32_t v) { byte_order_detail::Append<4>(out, platform::StoreLe32, v); }

inline void PutBe16(std::string& out, std::uint32_t v) {
    byte_order_detail::Append<2>(out, platform::StoreBe16, static_cast<std::uint16_t>(v));
}

inline void PutBe32(std::string& out, std::uint32_t v) { byte_order_detail::Append<4>(out, platform::StoreBe32, v); }

inline std::uint32_t GetLe32(std::string_view in, std::size_t at) { return platform::LoadLe32(in.data() + at); }

}  // namespace crashreport
