// A loop device that shows exactly one window of a file or device: the bytes
// of one volume, for wimlib's NTFS mode, which wants a device of its own.
// Attached with auto-clear and detached when the object goes.
#pragma once

#include <cstdint>
#include <string>

#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"

namespace platform::wim {

class LoopDevice {
public:
    LoopDevice() = default;
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    // Attaches [offset, offset + length) of `backing`; false with the last
    // error set (ERROR_ACCESS_DENIED when not allowed to, e.g. not root).
    bool attach(const std::string& backing, std::int64_t offset, std::int64_t length, bool read_only);
    void detach();

    const std::string& path() const { return path_; }

private:
    UniqueFd device_;
    std::string path_;
};

}  // namespace platform::wim
