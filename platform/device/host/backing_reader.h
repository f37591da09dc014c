// Reads a disk's bytes straight from its backing (image file or device
// node), bounded by the disk's size: what the layout parser and the
// file-system probe read through.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/device/records/partition_table.h"

namespace platform::device {

// `fd` must outlive the reader; `base` is where the disk starts in the backing.
inline ReadAt ReaderOverDescriptor(int fd, std::int64_t base, std::int64_t size) {
    return [fd, base, size](std::int64_t offset, void* buffer, std::size_t length) {
        if (offset < 0 || offset + static_cast<std::int64_t>(length) > size) return false;
        auto* out = static_cast<char*>(buffer);
        std::size_t done = 0;
        while (done < length) {
            ssize_t got = ::pread(fd, out + done, length - done, base + offset + static_cast<std::int64_t>(done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    };
}

}  // namespace platform::device
