// The crash reporter's cipher and text encoding: the Blowfish block cipher
// (the published algorithm: standard initial tables, 16 rounds, 64-bit
// blocks) in three block layouts, and standard Base64 (RFC 4648 alphabet
// with "=" padding).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace crashreport {

struct BlowfishContext {
    std::array<std::uint32_t, 18> p;
    std::array<std::array<std::uint32_t, 256>, 4> s;
};

enum class BlowfishDirection { Encrypt, Decrypt };

// The standard key schedule. The key must hold at least one byte.
void BlowfishSetKey(const std::uint8_t* key, std::size_t key_length, BlowfishContext& context);
void BlowfishCryptBlock(std::uint32_t& left, std::uint32_t& right, const BlowfishContext& context,
                        BlowfishDirection direction);

// Keys a fresh context with `key` and processes the whole 8-byte blocks of
// the buffer in place; a shorter tail stays as it is. A non-zero counter
// (either half) selects counter mode, where enciphering and deciphering are
// one operation; otherwise `little_endian` picks the block layout.
void BlowfishCryptBuffer(std::uint8_t* buffer, std::size_t length, bool encrypt, bool little_endian,
                         std::uint32_t counter_low, std::uint32_t counter_high, std::string_view key);
// Deciphers in place (counter mode when a counter is given, else the
// standard layout), then removes a recognised padding of 1 to 8 bytes.
void BlowfishDecryptText(std::string& text, std::string_view key, std::uint32_t counter_low = 0,
                         std::uint32_t counter_high = 0);
void BlowfishEncryptTextLE(std::string& text, std::string_view key);
void BlowfishDecryptTextLE(std::string& text, std::string_view key);
std::uint32_t SwapBytes32(std::uint32_t value);

std::string Base64EncodeBuffer(const void* buffer, std::size_t length);
std::string Base64EncodeText(std::string_view text);
// Empty when the length is 0 or not a multiple of 4; decoding stops at the
// first character outside the alphabet (normally the padding).
std::string Base64DecodeBuffer(const char* text, std::size_t length);
std::string Base64DecodeText(std::string_view text);

}  // namespace crashreport
