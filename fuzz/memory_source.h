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
    bool read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) override {
        done = 0;
        if (offset < 0 || static_cast<std::size_t>(offset) >= size_) return true;
        done = std::min(buffer.size(), size_ - static_cast<std::size_t>(offset));
        std::memcpy(buffer.data(), data_ + offset, done);
        return true;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace fuzz
