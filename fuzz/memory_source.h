// A fuzz input as the stored bytes a copy source reads: an image file in
// memory, ending where the input ends.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "disk/copy/copy_endpoints.h"

namespace fuzz {

class MemorySource : public disk::CopySource {
public:
    MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::int64_t size() override { return static_cast<std::int64_t>(size_); }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override {
        if (offset < 0 || static_cast<std::size_t>(offset) >= size_) return 0;
        const std::size_t done = std::min(buffer.size(), size_ - static_cast<std::size_t>(offset));
        std::memcpy(buffer.data(), data_ + offset, done);
        return done;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace fuzz
