#include "crashreport/codec/crypt.h"

#include <gtest/gtest.h>

#include <cstring>

namespace crashreport {
namespace {

std::string FromHex(const char* hex) {
    std::string bytes;
    for (std::size_t i = 0; hex[i] != 0 && hex[i + 1] != 0; i += 2)
        bytes.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
    return bytes;
}

std::string ToHex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 15]);
    }
    return hex;
}

TEST(Blowfish, PublishedTestVectors) {
    // Eric Young's vectors for the standard (big-endian) layout.
    struct Vector {
        const char *key, *plain, *cipher;
    };
    const Vector vectors[] = {
        {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
        {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
        {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
        {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
        {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    };
    for (const Vector& v : vectors) {
        const std::string key = FromHex(v.key);
        std::string block = FromHex(v.plain);
        BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(block.data()), block.size(), true, false, 0, 0, key);
        EXPECT_EQ(ToHex(block), v.cipher) << "key " << v.key;
        BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(block.data()), block.size(), false, false, 0, 0, key);
        EXPECT_EQ(ToHex(block), v.plain);
    }
}

TEST(Blowfish, OnlyWholeBlocksChange) {
    std::string text = "abcdefghijkl";
    BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(text.data()), text.size(), true, false, 0, 0, "key");
    EXPECT_NE(text.substr(0, 8), "abcdefgh");
    EXPECT_EQ(text.substr(8), "ijkl");
    std::string short_text = "abc";
    BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(short_text.data()), 3, true, false, 0, 0, "key");
    EXPECT_EQ(short_text, "abc");
}

TEST(Blowfish, LittleEndianLayoutSwapsWordsAndHalves) {
    // The same block read as two little-endian words, the second the left half.
    std::string standard = FromHex("1111111111111111");
    std::string little = standard;
    BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(standard.data()), 8, true, false, 0, 0,
                        FromHex("0123456789ABCDEF"));
    BlowfishEncryptTextLE(little, FromHex("0123456789ABCDEF"));
    // 61F9C380 2281B096 stored as right half then left half, each little-endian.
    EXPECT_EQ(ToHex(little), "96B0812280C3F961");
    EXPECT_EQ(ToHex(standard), "61F9C3802281B096");
    BlowfishDecryptTextLE(little, FromHex("0123456789ABCDEF"));
    EXPECT_EQ(ToHex(little), "1111111111111111");
}

TEST(Blowfish, CounterModeIsItsOwnInverseAndStartsAtCounterPlusOne) {
    const std::string original = "sixteen bytes!!!";
    std::string text = original;
    auto crypt = [](std::string& t, std::uint32_t low, std::uint32_t high) {
        BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(t.data()), t.size(), true, false, low, high, "k");
    };
    crypt(text, 5, 0);
    EXPECT_NE(text, original);
    crypt(text, 5, 0);
    EXPECT_EQ(text, original);
    // The first block's key stream is the counter plus one, enciphered: the
    // counter bytes 05 00 00 00 00 00 00 00 count as a big-endian number,
    // so plus one makes the last byte 01.
    std::string block(8, '\0');
    crypt(block, 5, 0);
    std::string counter = FromHex("0500000000000001");
    BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(counter.data()), 8, true, false, 0, 0, "k");
    EXPECT_EQ(block, counter);
}

TEST(Blowfish, DecryptTextRemovesRecognisedPadding) {
    struct Case {
        std::string tail;
        std::size_t kept;
    };
    const Case cases[] = {{"\x05\x03\x03\x03", 5}, {"\x05\x06\x07\x09", 8}, {std::string("\x05\x06\x07\x00", 4), 8},
                          {"\x05\x06\x03\x03", 8}};
    for (const Case& c : cases) {
        std::string text = "abcd" + c.tail;
        BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(text.data()), 8, true, false, 0, 0, "pw");
        BlowfishDecryptText(text, "pw");
        EXPECT_EQ(text, ("abcd" + c.tail).substr(0, c.kept));
    }
    EXPECT_EQ(SwapBytes32(0x11223344), 0x44332211u);
}

TEST(Base64, EncodesAndDecodesTheRfcAlphabet) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"foobar", "Zm9vYmFy"},
        {std::string("\xFB\xFF", 2), "+/8="}};
    for (const auto& [plain, encoded] : cases) {
        EXPECT_EQ(Base64EncodeText(plain), encoded);
        EXPECT_EQ(Base64DecodeText(encoded), plain);
    }
    EXPECT_EQ(Base64DecodeText("YWI"), "");
    EXPECT_EQ(Base64DecodeText("YWJjY"), "");
    EXPECT_EQ(Base64DecodeText("YWJj\nYWJj"), "");  // 9 characters
    EXPECT_EQ(Base64DecodeText("YW!j"), "a");       // stops at the first stranger
}

}  // namespace
}  // namespace crashreport
