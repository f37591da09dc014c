// The bytes of one volume inside a disk, for the file-system readers:
// reads are taken relative to the volume and refused past its end.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "platform/device/records/partition_table.h"

namespace platform::device {

class VolumeBytes {
public:
    VolumeBytes(const ReadAt& read, std::int64_t offset, std::int64_t length)
        : read_(read), offset_(offset), length_(length) {}

    std::int64_t length() const { return length_; }

    bool get(std::uint64_t at, void* out, std::size_t size) const {
        if (at > static_cast<std::uint64_t>(length_) || size > static_cast<std::uint64_t>(length_) - at) return false;
        if (size == 0) return true;
        return read_(offset_ + static_cast<std::int64_t>(at), out, size);
    }
    bool get(std::uint64_t at, std::vector<std::uint8_t>& out, std::size_t size) const {
        out.assign(size, 0);
        return get(at, out.data(), size);
    }

private:
    const ReadAt& read_;
    std::int64_t offset_;
    std::int64_t length_;
};

}  // namespace platform::device
