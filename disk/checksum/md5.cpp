#include "disk/checksum/md5.h"

#include <cstring>
#include <stdexcept>

#include "disk/copy/copy_loop.h"
#include "platform/base/byte_order.h"
#include "platform/device/handle.h"

namespace disk {

namespace {

constexpr std::uint32_t kInitialState[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};

constexpr std::uint32_t Rotate(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The four rounds as the RFC gives them, written so that each step has as
// little serial dependency on `b` as the function allows: F and G select
// without a NOT on the critical path, and G's two terms are disjoint, so
// they may be added instead of or-ed.
#define MD5_STEP_F(a, b, c, d, x, t, s) \
    a += ((d ^ (b & (c ^ d))) + (x) + (t)); \
    a = Rotate(a, s) + b;
#define MD5_STEP_G(a, b, c, d, x, t, s) \
    a += ((~d & c) + (x) + (t)) + (d & b); \
    a = Rotate(a, s) + b;
#define MD5_STEP_H(a, b, c, d, x, t, s) \
    a += ((b ^ c ^ d) + (x) + (t)); \
    a = Rotate(a, s) + b;
#define MD5_STEP_I(a, b, c, d, x, t, s) \
    a += ((c ^ (b | ~d)) + (x) + (t)); \
    a = Rotate(a, s) + b;

}  // namespace

void MD5Transform(std::uint32_t state[4], const std::uint8_t* blocks, std::size_t count) {
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = platform::LoadLe32(blocks + 4 * i);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

        MD5_STEP_F(a, b, c, d, x[0], 0xd76aa478u, 7)
        MD5_STEP_F(d, a, b, c, x[1], 0xe8c7b756u, 12)
        MD5_STEP_F(c, d, a, b, x[2], 0x242070dbu, 17)
        MD5_STEP_F(b, c, d, a, x[3], 0xc1bdceeeu, 22)
        MD5_STEP_F(a, b, c, d, x[4], 0xf57c0fafu, 7)
        MD5_STEP_F(d, a, b, c, x[5], 0x4787c62au, 12)
        MD5_STEP_F(c, d, a, b, x[6], 0xa8304613u, 17)
        MD5_STEP_F(b, c, d, a, x[7], 0xfd469501u, 22)
        MD5_STEP_F(a, b, c, d, x[8], 0x698098d8u, 7)
        MD5_STEP_F(d, a, b, c, x[9], 0x8b44f7afu, 12)
        MD5_STEP_F(c, d, a, b, x[10], 0xffff5bb1u, 17)
        MD5_STEP_F(b, c, d, a, x[11], 0x895cd7beu, 22)
        MD5_STEP_F(a, b, c, d, x[12], 0x6b901122u, 7)
        MD5_STEP_F(d, a, b, c, x[13], 0xfd987193u, 12)
        MD5_STEP_F(c, d, a, b, x[14], 0xa679438eu, 17)
        MD5_STEP_F(b, c, d, a, x[15], 0x49b40821u, 22)

        MD5_STEP_G(a, b, c, d, x[1], 0xf61e2562u, 5)
        MD5_STEP_G(d, a, b, c, x[6], 0xc040b340u, 9)
        MD5_STEP_G(c, d, a, b, x[11], 0x265e5a51u, 14)
        MD5_STEP_G(b, c, d, a, x[0], 0xe9b6c7aau, 20)
        MD5_STEP_G(a, b, c, d, x[5], 0xd62f105du, 5)
        MD5_STEP_G(d, a, b, c, x[10], 0x02441453u, 9)
        MD5_STEP_G(c, d, a, b, x[15], 0xd8a1e681u, 14)
        MD5_STEP_G(b, c, d, a, x[4], 0xe7d3fbc8u, 20)
        MD5_STEP_G(a, b, c, d, x[9], 0x21e1cde6u, 5)
        MD5_STEP_G(d, a, b, c, x[14], 0xc33707d6u, 9)
        MD5_STEP_G(c, d, a, b, x[3], 0xf4d50d87u, 14)
        MD5_STEP_G(b, c, d, a, x[8], 0x455a14edu, 20)
        MD5_STEP_G(a, b, c, d, x[13], 0xa9e3e905u, 5)
        MD5_STEP_G(d, a, b, c, x[2], 0xfcefa3f8u, 9)
        MD5_STEP_G(c, d, a, b, x[7], 0x676f02d9u, 14)
        MD5_STEP_G(b, c, d, a, x[12], 0x8d2a4c8au, 20)

        MD5_STEP_H(a, b, c, d, x[5], 0xfffa3942u, 4)
        MD5_STEP_H(d, a, b, c, x[8], 0x8771f681u, 11)
        MD5_STEP_H(c, d, a, b, x[11], 0x6d9d6122u, 16)
        MD5_STEP_H(b, c, d, a, x[14], 0xfde5380cu, 23)
        MD5_STEP_H(a, b, c, d, x[1], 0xa4beea44u, 4)
        MD5_STEP_H(d, a, b, c, x[4], 0x4bdecfa9u, 11)
        MD5_STEP_H(c, d, a, b, x[7], 0xf6bb4b60u, 16)
        MD5_STEP_H(b, c, d, a, x[10], 0xbebfbc70u, 23)
        MD5_STEP_H(a, b, c, d, x[13], 0x289b7ec6u, 4)
        MD5_STEP_H(d, a, b, c, x[0], 0xeaa127fau, 11)
        MD5_STEP_H(c, d, a, b, x[3], 0xd4ef3085u, 16)
        MD5_STEP_H(b, c, d, a, x[6], 0x04881d05u, 23)
        MD5_STEP_H(a, b, c, d, x[9], 0xd9d4d039u, 4)
        MD5_STEP_H(d, a, b, c, x[12], 0xe6db99e5u, 11)
        MD5_STEP_H(c, d, a, b, x[15], 0x1fa27cf8u, 16)
        MD5_STEP_H(b, c, d, a, x[2], 0xc4ac5665u, 23)

        MD5_STEP_I(a, b, c, d, x[0], 0xf4292244u, 6)
        MD5_STEP_I(d, a, b, c, x[7], 0x432aff97u, 10)
        MD5_STEP_I(c, d, a, b, x[14], 0xab9423a7u, 15)
        MD5_STEP_I(b, c, d, a, x[5], 0xfc93a039u, 21)
        MD5_STEP_I(a, b, c, d, x[12], 0x655b59c3u, 6)
        MD5_STEP_I(d, a, b, c, x[3], 0x8f0ccc92u, 10)
        MD5_STEP_I(c, d, a, b, x[10], 0xffeff47du, 15)
        MD5_STEP_I(b, c, d, a, x[1], 0x85845dd1u, 21)
        MD5_STEP_I(a, b, c, d, x[8], 0x6fa87e4fu, 6)
        MD5_STEP_I(d, a, b, c, x[15], 0xfe2ce6e0u, 10)
        MD5_STEP_I(c, d, a, b, x[6], 0xa3014314u, 15)
        MD5_STEP_I(b, c, d, a, x[13], 0x4e0811a1u, 21)
        MD5_STEP_I(a, b, c, d, x[4], 0xf7537e82u, 6)
        MD5_STEP_I(d, a, b, c, x[11], 0xbd3af235u, 10)
        MD5_STEP_I(c, d, a, b, x[2], 0x2ad7d2bbu, 15)
        MD5_STEP_I(b, c, d, a, x[9], 0xeb86d391u, 21)

        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state[0] = a;
    state[1] = b;
    state[2] = c;
    state[3] = d;
}

#undef MD5_STEP_F
#undef MD5_STEP_G
#undef MD5_STEP_H
#undef MD5_STEP_I

void TMD5::Reset() {
    std::memcpy(state_.data(), kInitialState, sizeof kInitialState);
    length_ = 0;
    buffered_ = 0;
    changed_ = true;
}

void TMD5::Update(const void* bytes, std::size_t count) {
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    length_ += count;
    changed_ = true;
    if (buffered_ > 0) {
        std::size_t take = std::min(count, buffer_.size() - buffered_);
        std::memcpy(buffer_.data() + buffered_, in, take);
        buffered_ += take;
        in += take;
        count -= take;
        if (buffered_ < buffer_.size()) return;
        MD5Transform(state_.data(), buffer_.data(), 1);
        buffered_ = 0;
    }
    if (std::size_t blocks = count / 64; blocks > 0) {
        MD5Transform(state_.data(), in, blocks);
        in += blocks * 64;
        count -= blocks * 64;
    }
    std::memcpy(buffer_.data(), in, count);
    buffered_ = count;
}

const TMD5::Digest& TMD5::Final() {
    if (!changed_) return digest_;
    std::uint8_t tail[128] = {};
    std::memcpy(tail, buffer_.data(), buffered_);
    tail[buffered_] = 0x80;
    const std::size_t tail_length = buffered_ < 56 ? 64 : 128;
    platform::StoreLe64(tail + tail_length - 8, length_ * 8);
    std::uint32_t state[4] = {state_[0], state_[1], state_[2], state_[3]};
    MD5Transform(state, tail, tail_length / 64);
    for (int i = 0; i < 4; ++i) platform::StoreLe32(digest_.data() + 4 * i, state[i]);
    changed_ = false;
    return digest_;
}

std::string TMD5::DigestHex() {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t byte : Final()) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

namespace {

// Hashing is a copy into the digest: the copy loop reads the file ahead on
// a thread of its own while this one hashes, so the file's reading and the
// hashing overlap.
class DigestSink : public CopySink {
public:
    explicit DigestSink(TMD5& md5) : md5_(md5) {}
    void write(std::int64_t, std::span<const std::byte> data) override { md5_.Update(data.data(), data.size()); }
    void finish() override {}

private:
    TMD5& md5_;
};

}  // namespace

bool TMD5::HashFile(const std::string& file_name, std::atomic<bool>* cancel) {
    platform::Handle file = platform::CreateFile(file_name, platform::GENERIC_READ,
                                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                 platform::OPEN_EXISTING, platform::FILE_FLAG_SEQUENTIAL_SCAN);
    if (!file)
        throw std::runtime_error("Cannot open file \"" + file_name + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
    std::int64_t size = 0;
    if (!platform::GetFileSizeEx(file, &size))
        throw std::runtime_error("Error " + platform::SysErrorMessage(platform::GetLastError()) +
                                 " Createing FileMap for " + file_name);
    RawSource source(file, 0, size);
    DigestSink sink(*this);
    CopyLoopSettings settings;
    settings.block_size = 1 << 20;
    settings.read_ahead = 4;
    settings.progress.pump = false;
    settings.read_errors = ReadErrorPolicy::Stop;
    settings.quiet_write_errors = true;
    // No one is told anything: the caller shows the outcome.
    OperationContext quiet;
    quiet.cancel = cancel;
    CopyOutcome outcome = RunCopyLoop(source, sink, settings, quiet);
    if (outcome.end == CopyEnd::Cancelled) return false;
    if (!outcome.completed()) throw std::runtime_error("MapViewOfFile Failed for " + file_name);
    return true;
}

std::string MD5File(const std::string& file_name, std::atomic<bool>* cancel) {
    TMD5 md5;
    return md5.HashFile(file_name, cancel) ? md5.DigestHex() : std::string();
}

}  // namespace disk
