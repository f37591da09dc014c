// Byte order of the fields in on-disk and on-wire records.
//
// A format fixes the order of its fields (MBR, GPT, LZ4 and the registry are
// little-endian; VHD, XFS and the network are big-endian); the host's order
// never enters into it. Every field is therefore assembled from its bytes,
// which also makes unaligned fields safe to read.
//
// Two ways in, one implementation:
//  - LoadLe32(p) / StoreBe64(p, v) and their kin for a field at a byte
//    position of a buffer;
//  - the packed field types le16 ... be64 for records declared as structs:
//    byte arrays with an explicit value()/set(), so a record of them has
//    alignment 1, no padding, and stays trivially copyable (memcpy in, memcpy
//    out).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

namespace platform {

namespace byte_order_detail {

template <class T>
constexpr T LoadLittle(const std::uint8_t* p) {
    // On a little-endian host the field is the value: one load, where the
    // byte-by-byte assembly below is not always recognised as one (it
    // costs MD5 a tenth of its speed).
    if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
        T value;
        std::memcpy(&value, p, sizeof value);
        return value;
    }
    T value = 0;
    for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | p[i]);
    return value;
}

template <class T>
constexpr T LoadBig(const std::uint8_t* p) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | p[i]);
    return value;
}

template <class T>
constexpr void StoreLittle(std::uint8_t* p, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

template <class T>
constexpr void StoreBig(std::uint8_t* p, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * (sizeof(T) - 1 - i)));
}

inline const std::uint8_t* Bytes(const void* at) { return static_cast<const std::uint8_t*>(at); }
inline std::uint8_t* Bytes(void* at) { return static_cast<std::uint8_t*>(at); }

}  // namespace byte_order_detail

// ---- fields at a byte position ------------------------------------------------

inline std::uint16_t LoadLe16(const void* at) {
    return byte_order_detail::LoadLittle<std::uint16_t>(byte_order_detail::Bytes(at));
}
inline std::uint32_t LoadLe32(const void* at) {
    return byte_order_detail::LoadLittle<std::uint32_t>(byte_order_detail::Bytes(at));
}
inline std::uint64_t LoadLe64(const void* at) {
    return byte_order_detail::LoadLittle<std::uint64_t>(byte_order_detail::Bytes(at));
}
inline std::uint16_t LoadBe16(const void* at) {
    return byte_order_detail::LoadBig<std::uint16_t>(byte_order_detail::Bytes(at));
}
inline std::uint32_t LoadBe32(const void* at) {
    return byte_order_detail::LoadBig<std::uint32_t>(byte_order_detail::Bytes(at));
}
inline std::uint64_t LoadBe64(const void* at) {
    return byte_order_detail::LoadBig<std::uint64_t>(byte_order_detail::Bytes(at));
}

inline void StoreLe16(void* at, std::uint16_t value) {
    byte_order_detail::StoreLittle(byte_order_detail::Bytes(at), value);
}
inline void StoreLe32(void* at, std::uint32_t value) {
    byte_order_detail::StoreLittle(byte_order_detail::Bytes(at), value);
}
inline void StoreLe64(void* at, std::uint64_t value) {
    byte_order_detail::StoreLittle(byte_order_detail::Bytes(at), value);
}
inline void StoreBe16(void* at, std::uint16_t value) {
    byte_order_detail::StoreBig(byte_order_detail::Bytes(at), value);
}
inline void StoreBe32(void* at, std::uint32_t value) {
    byte_order_detail::StoreBig(byte_order_detail::Bytes(at), value);
}
inline void StoreBe64(void* at, std::uint64_t value) {
    byte_order_detail::StoreBig(byte_order_detail::Bytes(at), value);
}

// The bytes of a value in the other order.
constexpr std::uint16_t ByteSwap16(std::uint16_t value) {
    return static_cast<std::uint16_t>((value << 8) | (value >> 8));
}
constexpr std::uint32_t ByteSwap32(std::uint32_t value) {
    return (value << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) | (value >> 24);
}
constexpr std::uint64_t ByteSwap64(std::uint64_t value) {
    return (static_cast<std::uint64_t>(ByteSwap32(static_cast<std::uint32_t>(value))) << 32) |
           ByteSwap32(static_cast<std::uint32_t>(value >> 32));
}

// ---- packed fields of records -------------------------------------------------

template <class T, bool kBigEndian>
struct PackedUnsigned {
    static_assert(std::is_unsigned_v<T>);
    using value_type = T;

    std::uint8_t bytes[sizeof(T)];

    constexpr T value() const {
        return kBigEndian ? byte_order_detail::LoadBig<T>(bytes) : byte_order_detail::LoadLittle<T>(bytes);
    }
    constexpr void set(T v) {
        if constexpr (kBigEndian) byte_order_detail::StoreBig(bytes, v);
        else byte_order_detail::StoreLittle(bytes, v);
    }
    // A field holding `v`, for initialising records.
    static constexpr PackedUnsigned of(T v) {
        PackedUnsigned field{};
        field.set(v);
        return field;
    }
};

using le16 = PackedUnsigned<std::uint16_t, false>;
using le32 = PackedUnsigned<std::uint32_t, false>;
using le64 = PackedUnsigned<std::uint64_t, false>;
using be16 = PackedUnsigned<std::uint16_t, true>;
using be32 = PackedUnsigned<std::uint32_t, true>;
using be64 = PackedUnsigned<std::uint64_t, true>;

static_assert(sizeof(le16) == 2 && sizeof(le32) == 4 && sizeof(le64) == 8);
static_assert(sizeof(be16) == 2 && sizeof(be32) == 4 && sizeof(be64) == 8);
static_assert(alignof(le64) == 1 && alignof(be64) == 1);
static_assert(std::is_trivially_copyable_v<le64> && std::is_standard_layout_v<le64>);

// The bytes of a record, to send or receive as it is.
template <class Record>
std::span<const std::byte> BytesOf(const Record& record) {
    return std::as_bytes(std::span(&record, 1));
}
template <class Record>
std::span<std::byte> BytesOf(Record& record) {
    return std::as_writable_bytes(std::span(&record, 1));
}

}  // namespace platform
