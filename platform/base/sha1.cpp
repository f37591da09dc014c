#include "platform/base/sha1.h"

#include <bit>
#include <cstring>

#include "platform/base/byte_order.h"

namespace platform {

namespace {

void Transform(std::array<std::uint32_t, 5>& state, const std::uint8_t* block) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i) w[i] = platform::LoadBe32(block + 4 * i);
    for (int i = 16; i < 80; ++i) w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t next = std::rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

void Sha1::Reset() {
    state_ = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    length_ = 0;
    buffered_ = 0;
}

void Sha1::Update(const void* bytes, std::size_t count) {
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    length_ += count;
    if (buffered_ > 0) {
        const std::size_t take = std::min(count, buffer_.size() - buffered_);
        std::memcpy(buffer_.data() + buffered_, in, take);
        buffered_ += take;
        in += take;
        count -= take;
        if (buffered_ < buffer_.size()) return;
        Transform(state_, buffer_.data());
        buffered_ = 0;
    }
    for (; count >= 64; in += 64, count -= 64) Transform(state_, in);
    std::memcpy(buffer_.data(), in, count);
    buffered_ = count;
}

Sha1::Digest Sha1::Final() const {
    auto state = state_;
    std::uint8_t tail[128] = {};
    std::memcpy(tail, buffer_.data(), buffered_);
    tail[buffered_] = 0x80;
    const std::size_t blocks = buffered_ < 56 ? 1 : 2;
    platform::StoreBe64(tail + blocks * 64 - 8, length_ * 8);
    for (std::size_t i = 0; i < blocks; ++i) Transform(state, tail + 64 * i);
    Digest digest{};
    for (int i = 0; i < 5; ++i) platform::StoreBe32(digest.data() + 4 * i, state[i]);
    return digest;
}

std::string HexDigest(const std::uint8_t* digest, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[digest[i] >> 4];
        text += kDigits[digest[i] & 15];
    }
    return text;
}

}  // namespace platform
