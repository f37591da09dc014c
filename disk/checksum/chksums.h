// The 32-bit additive checksum of El Torito boot-information tables: the
// sum, modulo 2^32, of a stream's little-endian 32-bit words. A stream whose
// length is not a multiple of four has its last word padded with zeros, as
// the boot loaders that check the table count it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace disk {

// Adds the words of `count` bytes at `buffer` to `sum` and returns it; a
// last partial word counts as if padded with zero bytes.
std::uint32_t SumDwords(const void* buffer, std::size_t count, std::uint32_t sum);

// Sums a stream that may arrive in pieces of any length: the words are the
// stream's, wherever the pieces break.
class DwordSummer {
public:
    void add(const void* bytes, std::size_t count);
    // The sum so far, the bytes of an unfinished word padded with zeros.
    std::uint32_t sum() const;

private:
    std::uint32_t sum_ = 0;
    std::uint8_t partial_[4] = {};
    std::size_t partial_count_ = 0;
};

// Reads `read` (which fills a buffer and returns the count, 0 at the end,
// -1 on failure) to its end in blocks of 65,536 bytes and returns the sum of
// everything read. Raises std::runtime_error("ReadFile failed") when a read
// fails.
std::uint32_t StreamChecksum32(const std::function<std::int64_t(void* buffer, std::size_t size)>& read);

// The same for a file from byte `offset` to its end. Raises
// std::runtime_error when the file cannot be opened or read.
std::uint32_t FileChecksum32(const std::string& file_name, std::int64_t offset);

}  // namespace disk
