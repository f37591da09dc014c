// The first block of a raw stream from a peer, read for the size guess.
#include <cstddef>
#include <cstdint>
#include <span>

#include "disk/net/net_endpoints.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::int64_t guess = disk::GuessStreamSize(std::as_bytes(std::span(data, size)));
    if (guess < 0) __builtin_trap();  // a size is never negative
    return 0;
}
