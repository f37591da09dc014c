#include "platform/wim/loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace platform::wim {

namespace {

bool FailFromErrno() {
    SetLastErrorFromErrno(errno);
    return false;
}

bool Configure(int device, int backing, std::int64_t offset, std::int64_t length, bool read_only) {
    loop_config config{};
    config.fd = static_cast<std::uint32_t>(backing);
    config.info.lo_offset = static_cast<std::uint64_t>(offset);
    config.info.lo_sizelimit = static_cast<std::uint64_t>(length);
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (read_only ? LO_FLAGS_READ_ONLY : 0);
    if (::ioctl(device, LOOP_CONFIGURE, &config) == 0) return true;
    if (errno != EINVAL && errno != ENOTTY) return false;
    // Kernels before 5.8 take the same in two steps.
    if (::ioctl(device, LOOP_SET_FD, backing) != 0) return false;
    loop_info64 info = config.info;
    if (::ioctl(device, LOOP_SET_STATUS64, &info) == 0) return true;
    const int error = errno;
    ::ioctl(device, LOOP_CLR_FD, 0);
    errno = error;
    return false;
}

}  // namespace

LoopDevice::~LoopDevice() { detach(); }

bool LoopDevice::attach(const std::string& backing, std::int64_t offset, std::int64_t length, bool read_only) {
    detach();
    UniqueFd source(::open(backing.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!source) return FailFromErrno();
    UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control) return FailFromErrno();
    // Another process may take the free device between the two calls.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (number < 0) return FailFromErrno();
        std::string path = "/dev/loop" + std::to_string(number);
        UniqueFd device(::open(path.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
        if (!device) return FailFromErrno();
        if (Configure(device.get(), source.get(), offset, length, read_only)) {
            device_ = std::move(device);
            path_ = std::move(path);
            return true;
        }
        if (errno != EBUSY) return FailFromErrno();
    }
    SetLastError(ERROR_BUSY);
    return false;
}

void LoopDevice::detach() {
    if (!device_) return;
    ::ioctl(device_.get(), LOOP_CLR_FD, 0);
    device_.reset();
    path_.clear();
}

}  // namespace platform::wim
