// A disk made of a fuzz input: the first bytes choose the sector size and
// how large the disk claims to be, the rest is its beginning. Everything
// past the input reads as zeros, so a small input can stand for a large
// disk whose tables sit at its start (and whose backup GPT is blank).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/device/records/partition_table.h"

namespace fuzz {

struct FuzzDisk {
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    std::int64_t size = 0;
    std::uint32_t sector_size = 512;

    // Header: one byte of sector-size choice, four of size in sectors.
    static bool From(const std::uint8_t* data, std::size_t length, FuzzDisk& disk) {
        if (length < 5) return false;
        static const std::uint32_t kSectorSizes[] = {512, 1024, 2048, 4096};
        disk.sector_size = kSectorSizes[data[0] % 4];
        std::uint32_t sectors = 0;
        std::memcpy(&sectors, data + 1, 4);
        // Up to 2^32 sectors of up to 4 KiB: past 2 TiB, where MBR arithmetic overflows.
        disk.size = static_cast<std::int64_t>(sectors) * disk.sector_size;
        disk.bytes = data + 5;
        disk.length = length - 5;
        return true;
    }

    platform::device::ReadAt reader() const {
        return [this](std::int64_t offset, void* buffer, std::size_t count) {
            if (offset < 0 || offset + static_cast<std::int64_t>(count) > size) return false;
            auto* out = static_cast<std::uint8_t*>(buffer);
            std::memset(out, 0, count);
            if (offset < static_cast<std::int64_t>(length)) {
                std::size_t available = length - static_cast<std::size_t>(offset);
                std::memcpy(out, bytes + offset, std::min(count, available));
            }
            return true;
        };
    }
};

}  // namespace fuzz
