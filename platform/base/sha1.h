// SHA-1 (FIPS 180-4) of memory: the second hash an EWF image may store of
// its disk, and the hash a WIM image stores of each file it holds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class Sha1 {
public:
    using Digest = std::array<std::uint8_t, 20>;

    Sha1() { Reset(); }
    void Reset();
    void Update(const void* bytes, std::size_t count);
    // The digest of everything added so far (the running state is kept).
    Digest Final() const;

private:
    std::array<std::uint32_t, 5> state_{};
    std::uint64_t length_ = 0;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
};

// A digest as lower-case hexadecimal text, byte 0 first.
std::string HexDigest(const std::uint8_t* digest, std::size_t size);

}  // namespace platform
