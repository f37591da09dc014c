// Fields in the byte order their format fixes, at any alignment, from buffers
// of char (signed here) as well as of bytes.
#include "platform/base/byte_order.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace platform;

// The bytes 0x81 ... 0x88 one byte into the buffer: high bits set (a signed
// char must not spread its sign) and every multi-byte field unaligned.
const std::string kBytes = std::string("\x00\x81\x82\x83\x84\x85\x86\x87\x88", 9);
const char* const kField = kBytes.data() + 1;

TEST(ByteOrder, LoadsEachWidthInEachOrder) {
    EXPECT_EQ(LoadLe16(kField), 0x8281u);
    EXPECT_EQ(LoadLe32(kField), 0x84838281u);
    EXPECT_EQ(LoadLe64(kField), 0x8887868584838281ull);
    EXPECT_EQ(LoadBe16(kField), 0x8182u);
    EXPECT_EQ(LoadBe32(kField), 0x81828384u);
    EXPECT_EQ(LoadBe64(kField), 0x8182838485868788ull);
}

TEST(ByteOrder, StoresAreTheLoadsInReverse) {
    struct Case {
        std::size_t width;
        void (*store)(void*, std::uint64_t);
        bool big;
    };
    const Case cases[] = {
        {2, [](void* at, std::uint64_t v) { StoreLe16(at, static_cast<std::uint16_t>(v)); }, false},
        {4, [](void* at, std::uint64_t v) { StoreLe32(at, static_cast<std::uint32_t>(v)); }, false},
        {8, [](void* at, std::uint64_t v) { StoreLe64(at, v); }, false},
        {2, [](void* at, std::uint64_t v) { StoreBe16(at, static_cast<std::uint16_t>(v)); }, true},
        {4, [](void* at, std::uint64_t v) { StoreBe32(at, static_cast<std::uint32_t>(v)); }, true},
        {8, [](void* at, std::uint64_t v) { StoreBe64(at, v); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + (c.big ? " big" : " little"));
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < c.width; ++i) value = (value << 8) | (0x81 + (c.big ? i : c.width - 1 - i));
        std::string out(10, '\x55');
        c.store(out.data() + 1, value);
        EXPECT_EQ(out.substr(1, c.width), kBytes.substr(1, c.width));
        EXPECT_EQ(out[0], '\x55');  // nothing outside the field is touched
        EXPECT_EQ(out[1 + c.width], '\x55');
    }
}

TEST(ByteOrder, SwapsReverseTheBytes) {
    EXPECT_EQ(ByteSwap16(0x8182), 0x8281);
    EXPECT_EQ(ByteSwap32(0x81828384u), 0x84838281u);
    EXPECT_EQ(ByteSwap64(0x8182838485868788ull), 0x8887868584838281ull);
    static_assert(ByteSwap32(ByteSwap32(0x12345678u)) == 0x12345678u);
}

// A record of packed fields is its bytes: no padding, and each field read in
// its own order wherever it lies.
struct MixedRecord {
    std::uint8_t tag;
    le16 small;
    be32 middle;
    le64 large;
};
static_assert(sizeof(MixedRecord) == 15 && alignof(MixedRecord) == 1);

TEST(ByteOrder, PackedFieldsReadAndWriteTheirBytes) {
    MixedRecord record{};
    record.tag = 7;
    record.small.set(0x8281);
    record.middle = be32::of(0x81828384u);
    record.large.set(0x8887868584838281ull);
    unsigned char bytes[sizeof record];
    std::memcpy(bytes, &record, sizeof record);
    const unsigned char expected[] = {7,    0x81, 0x82, 0x81, 0x82, 0x83, 0x84, 0x81,
                                      0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof expected), 0);

    MixedRecord back{};
    std::memcpy(&back, expected, sizeof back);
    EXPECT_EQ(back.small.value(), 0x8281u);
    EXPECT_EQ(back.middle.value(), 0x81828384u);
    EXPECT_EQ(back.large.value(), 0x8887868584838281ull);
    static_assert(le32::of(0x01020304u).bytes[0] == 0x04 && be32::of(0x01020304u).bytes[0] == 0x01);
}

}  // namespace
