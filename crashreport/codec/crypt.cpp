#include "crashreport/codec/crypt.h"

#include "crashreport/codec/blowfish_tables.h"
#include "platform/base/byte_order.h"

namespace crashreport {

namespace {

std::uint32_t F(const BlowfishContext& c, std::uint32_t x) {
    return ((c.s[0][x >> 24] + c.s[1][(x >> 16) & 0xFF]) ^ c.s[2][(x >> 8) & 0xFF]) + c.s[3][x & 0xFF];
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

void BlowfishSetKey(const std::uint8_t* key, std::size_t key_length, BlowfishContext& context) {
    context.p = kBlowfishInitialP;
    context.s = kBlowfishInitialS;
    if (key_length == 0) return;
    std::size_t position = 0;
    for (std::uint32_t& p : context.p) {
        std::uint32_t word = 0;
        for (int k = 0; k < 4; ++k) {
            word = (word << 8) | key[position];
            position = (position + 1) % key_length;
        }
        p ^= word;
    }
    std::uint32_t left = 0, right = 0;
    for (std::size_t i = 0; i < context.p.size(); i += 2) {
        BlowfishCryptBlock(left, right, context, BlowfishDirection::Encrypt);
        context.p[i] = left;
        context.p[i + 1] = right;
    }
    for (auto& box : context.s) {
        for (std::size_t i = 0; i < box.size(); i += 2) {
            BlowfishCryptBlock(left, right, context, BlowfishDirection::Encrypt);
            box[i] = left;
            box[i + 1] = right;
        }
    }
}

void BlowfishCryptBlock(std::uint32_t& left, std::uint32_t& right, const BlowfishContext& context,
                        BlowfishDirection direction) {
    std::uint32_t l = left, r = right;
    if (direction == BlowfishDirection::Encrypt) {
        for (int i = 0; i < 16; ++i) {
            l ^= context.p[i];
            r ^= F(context, l);
            std::swap(l, r);
        }
        std::swap(l, r);
        r ^= context.p[16];
        l ^= context.p[17];
    } else {
        for (int i = 17; i > 1; --i) {
            l ^= context.p[i];
            r ^= F(context, l);
            std::swap(l, r);
        }
        std::swap(l, r);
        r ^= context.p[1];
        l ^= context.p[0];
    }
    left = l;
    right = r;
}

void BlowfishCryptBuffer(std::uint8_t* buffer, std::size_t length, bool encrypt, bool little_endian,
                         std::uint32_t counter_low, std::uint32_t counter_high, std::string_view key) {
    BlowfishContext context;
    BlowfishSetKey(reinterpret_cast<const std::uint8_t*>(key.data()), key.size(), context);
    const BlowfishDirection direction = encrypt ? BlowfishDirection::Encrypt : BlowfishDirection::Decrypt;
    const bool counter_mode = counter_low != 0 || counter_high != 0;
    std::uint8_t counter[8];
    platform::StoreLe32(counter, counter_low);
    platform::StoreLe32(counter + 4, counter_high);
    for (std::size_t offset = 0; offset + 8 <= length; offset += 8) {
        std::uint8_t* block = buffer + offset;
        if (counter_mode) {
            // The counter counts as one big-endian number in memory order.
            for (int k = 7; k >= 0 && ++counter[k] == 0; --k) {
            }
            std::uint32_t l = platform::LoadBe32(counter), r = platform::LoadBe32(counter + 4);
            BlowfishCryptBlock(l, r, context, BlowfishDirection::Encrypt);
            std::uint8_t stream[8];
            platform::StoreBe32(stream, l);
            platform::StoreBe32(stream + 4, r);
            for (int k = 0; k < 8; ++k) block[k] ^= stream[k];
        } else if (little_endian) {
            std::uint32_t r = platform::LoadLe32(block), l = platform::LoadLe32(block + 4);
            BlowfishCryptBlock(l, r, context, direction);
            platform::StoreLe32(block, r);
            platform::StoreLe32(block + 4, l);
        } else {
            std::uint32_t l = platform::LoadBe32(block), r = platform::LoadBe32(block + 4);
            BlowfishCryptBlock(l, r, context, direction);
            platform::StoreBe32(block, l);
            platform::StoreBe32(block + 4, r);
        }
    }
}

void BlowfishDecryptText(std::string& text, std::string_view key, std::uint32_t counter_low,
                         std::uint32_t counter_high) {
    BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(text.data()), text.size(), false, false, counter_low,
                        counter_high, key);
    if (text.empty()) return;
    const auto n = static_cast<unsigned char>(text.back());
    if (n < 1 || n > 8 || n > text.size()) return;
    for (std::size_t k = text.size() - n; k < text.size(); ++k)
        if (static_cast<unsigned char>(text[k]) != n) return;
    text.resize(text.size() - n);
}

void BlowfishEncryptTextLE(std::string& text, std::string_view key) {
    BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(text.data()), text.size(), true, true, 0, 0, key);
}

void BlowfishDecryptTextLE(std::string& text, std::string_view key) {
    BlowfishCryptBuffer(reinterpret_cast<std::uint8_t*>(text.data()), text.size(), false, true, 0, 0, key);
}

std::uint32_t SwapBytes32(std::uint32_t value) { return platform::ByteSwap32(value); }

std::string Base64EncodeBuffer(const void* buffer, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::string text;
    text.reserve((length + 2) / 3 * 4);
    for (std::size_t i = 0; i < length; i += 3) {
        const std::size_t left = length - i;
        std::uint32_t group = std::uint32_t{bytes[i]} << 16;
        if (left > 1) group |= std::uint32_t{bytes[i + 1]} << 8;
        if (left > 2) group |= bytes[i + 2];
        text.push_back(kAlphabet[(group >> 18) & 63]);
        text.push_back(kAlphabet[(group >> 12) & 63]);
        text.push_back(left > 1 ? kAlphabet[(group >> 6) & 63] : '=');
        text.push_back(left > 2 ? kAlphabet[group & 63] : '=');
    }
    return text;
}

std::string Base64EncodeText(std::string_view text) { return Base64EncodeBuffer(text.data(), text.size()); }

std::string Base64DecodeBuffer(const char* text, std::size_t length) {
    if (text == nullptr || length == 0 || length % 4 != 0) return {};
    std::string result;
    result.reserve(length / 4 * 3);
    for (std::size_t i = 0; i < length; i += 4) {
        std::uint32_t group = 0;
        for (int k = 0; k < 4; ++k) {
            const int value = Base64Value(text[i + k]);
            if (value < 0) {
                // Two bytes of this group stand when only its last character
                // is outside the alphabet, else one.
                const std::size_t kept = k == 3 ? 2 : 1;
                group <<= 6 * (4 - k);
                for (std::size_t b = 0; b < kept; ++b) result.push_back(static_cast<char>(group >> (16 - 8 * b)));
                return result;
            }
            group = (group << 6) | static_cast<std::uint32_t>(value);
        }
        result.push_back(static_cast<char>(group >> 16));
        result.push_back(static_cast<char>(group >> 8));
        result.push_back(static_cast<char>(group));
    }
    return result;
}

std::string Base64DecodeText(std::string_view text) { return Base64DecodeBuffer(text.data(), text.size()); }

}  // namespace crashreport
