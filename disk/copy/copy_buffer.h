// A block buffer aligned for unbuffered device I/O, freed with its owner.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>

namespace disk {

class AlignedBuffer {
public:
    static constexpr std::size_t kAlignment = 4096;

    AlignedBuffer() = default;
    explicit AlignedBuffer(std::size_t size) : size_(size) {
        std::size_t rounded = (size + kAlignment - 1) / kAlignment * kAlignment;
        bytes_.reset(static_cast<std::byte*>(std::aligned_alloc(kAlignment, rounded ? rounded : kAlignment)));
        if (!bytes_) throw std::bad_alloc();
    }

    std::byte* data() const { return bytes_.get(); }
    std::size_t size() const { return size_; }
    std::span<std::byte> span() const { return {bytes_.get(), size_}; }
    std::span<std::byte> first(std::size_t n) const { return {bytes_.get(), n}; }
    void zero(std::size_t n) const { std::memset(bytes_.get(), 0, n); }

private:
    struct Free {
        void operator()(std::byte* p) const { std::free(p); }
    };
    std::unique_ptr<std::byte, Free> bytes_;
    std::size_t size_ = 0;
};

}  // namespace disk
