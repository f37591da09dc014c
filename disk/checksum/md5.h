// MD5 (RFC 1321) of memory and of files. A TMD5 can hand out the digest of
// what it has seen so far and still take more bytes afterwards: Final works
// on a copy of the running state.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace disk {

class TMD5 {
public:
    using Digest = std::array<std::uint8_t, 16>;

    TMD5() { Reset(); }

    void Reset();
    void Update(const void* bytes, std::size_t count);
    // The digest of everything added so far; the running state is left as
    // it is. Without new data since the last call the stored digest is
    // returned again.
    const Digest& Final();
    // The digest as 32 upper-case hexadecimal characters, byte 0 first.
    std::string DigestHex();

    // Adds the whole file; false when `cancel` was set before its end (what
    // was read is added all the same). Raises std::runtime_error when it
    // cannot be opened or read.
    bool HashFile(const std::string& file_name, std::atomic<bool>* cancel = nullptr);

private:
    std::array<std::uint32_t, 4> state_{};
    std::uint64_t length_ = 0;  // bytes added
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    Digest digest_{};
    bool changed_ = true;
};

// The MD5 of a file as 32 upper-case hexadecimal characters; "" when
// `cancel` was set before the file was read to its end.
std::string MD5File(const std::string& file_name, std::atomic<bool>* cancel = nullptr);

// The block transform for `count` consecutive 64-byte blocks.
void MD5Transform(std::uint32_t state[4], const std::uint8_t* blocks, std::size_t count);

}  // namespace disk
