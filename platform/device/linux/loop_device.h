// Loop devices: a window of a file or device shown as a block device of its
// own. One home for both kinds the program makes:
//  - a LoopDevice lives as long as the object that made it (auto-clear,
//    detached when the object goes): a volume's bytes for wimlib's NTFS
//    mode, which wants a device;
//  - a lasting one stays after we exit, until it is detached: a virtual
//    disk attached to the Linux host, which every process sees.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os/file_facts.h"

#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"

namespace platform::device {

class LoopDevice {
public:
    LoopDevice() = default;
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    // Attaches [offset, offset + length) of `backing`; false with the last
    // error set (ERROR_ACCESS_DENIED when not allowed to, e.g. not root).
    bool attach(const std::string& backing, std::int64_t offset, std::int64_t length, bool read_only);
    // Detaches, and waits (a little) until the kernel has let go of the
    // backing, so that it is free again when this returns.
    void detach();

    const std::string& path() const { return path_; }

private:
    UniqueFd device_;
    std::string path_;
};

// Attaches the first `length` bytes of `backing` to a free loop device that
// stays attached after this process ends. Its "/dev/loopN", or "" with the
// last error set.
std::string AttachLastingLoop(const std::string& backing, std::int64_t length, bool read_only);

// Detaches a loop device; one still in use goes once its last user closes
// it. False (with the last error) when it cannot be asked to.
bool DetachLoop(const std::string& device);

// Whether loop device `device` is bound to the file `backing` itself, not
// merely to some file of that name: a loop number may have been given to
// someone else since. The device and inode of the backing tell; a backing
// that can no longer be looked at (its server ended) is known by the name
// the kernel keeps.
bool LoopBacks(const std::string& device, const std::string& backing);

// Whether any loop device of the system stands on this file.
bool AnyLoopStandsOn(const FileFacts& file);

}  // namespace platform::device
