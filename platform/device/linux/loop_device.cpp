#include "platform/device/linux/loop_device.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/device/linux/sysfs.h"

namespace platform::device {

namespace {

using namespace std::chrono_literals;

// A detach of a device someone else still holds for a moment (a probe run
// on every new block device, say) completes when they let go.
constexpr auto kUnbindWait = 2s;

bool FailFromErrno() {
    SetLastErrorFromErrno(errno);
    return false;
}

bool Configure(int device, int backing, std::int64_t offset, std::int64_t length, bool read_only, bool auto_clear) {
    loop_config config{};
    config.fd = static_cast<std::uint32_t>(backing);
    config.info.lo_offset = static_cast<std::uint64_t>(offset);
    config.info.lo_sizelimit = static_cast<std::uint64_t>(length);
    config.info.lo_flags = (auto_clear ? LO_FLAGS_AUTOCLEAR : 0) | (read_only ? LO_FLAGS_READ_ONLY : 0);
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

// Binds a free loop device to the window; `device` keeps it open.
bool Bind(const std::string& backing, std::int64_t offset, std::int64_t length, bool read_only, bool auto_clear,
          UniqueFd& device, std::string& path) {
    UniqueFd source(::open(backing.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!source) return FailFromErrno();
    UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!control) return FailFromErrno();
    // Another process may take the free device between the two calls, or
    // remove it (LOOP_CTL_REMOVE) before we open it.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
        if (number < 0) return FailFromErrno();
        std::string candidate = "/dev/loop" + std::to_string(number);
        UniqueFd opened(::open(candidate.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
        if (!opened && (errno == ENOENT || errno == ENXIO || errno == ENODEV)) continue;
        if (!opened) return FailFromErrno();
        if (Configure(opened.get(), source.get(), offset, length, read_only, auto_clear)) {
            device = std::move(opened);
            path = std::move(candidate);
            return true;
        }
        if (errno != EBUSY) return FailFromErrno();
    }
    SetLastError(ERROR_BUSY);
    return false;
}

void WaitUntilUnbound(const std::string& device) {
    const std::string name = kernel::KernelNameOf(device);
    const auto deadline = std::chrono::steady_clock::now() + kUnbindWait;
    while (!kernel::LoopBackingFile(name).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
}

}  // namespace

LoopDevice::~LoopDevice() { detach(); }

bool LoopDevice::attach(const std::string& backing, std::int64_t offset, std::int64_t length, bool read_only) {
    detach();
    return Bind(backing, offset, length, read_only, true, device_, path_);
}

void LoopDevice::detach() {
    if (!device_) return;
    // A tool that wrote through the device and closed it without a sync
    // left its blocks in the device's cache, which we hold open: they reach
    // the backing only if flushed before the device lets go of it.
    ::fsync(device_.get());
    ::ioctl(device_.get(), LOOP_CLR_FD, 0);
    device_.reset();
    WaitUntilUnbound(path_);
    path_.clear();
}

std::string AttachLastingLoop(const std::string& backing, std::int64_t length, bool read_only) {
    UniqueFd device;
    std::string path;
    if (!Bind(backing, 0, length, read_only, false, device, path)) return "";
    return path;  // bound without auto-clear: closing our descriptor leaves it be
}

bool DetachLoop(const std::string& device) {
    UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd || ::ioctl(fd.get(), LOOP_CLR_FD, 0) != 0) {
        SetLastError(ERROR_DEVICE_IN_USE);
        return false;
    }
    fd.reset();
    WaitUntilUnbound(device);
    return true;
}

bool LoopBacks(const std::string& device, const std::string& backing) {
    const std::string name = kernel::KernelNameOf(device);
    if (name.empty() || backing.empty()) return false;
    struct stat st {};
    if (::stat(backing.c_str(), &st) != 0) {
        std::string shown = kernel::LoopBackingFile(name);
        const std::string deleted = " (deleted)";
        if (shown.size() > deleted.size() && shown.compare(shown.size() - deleted.size(), deleted.size(), deleted) == 0)
            shown.resize(shown.size() - deleted.size());
        return !shown.empty() && shown == backing;
    }
    UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    loop_info64 info{};
    if (!fd || ::ioctl(fd.get(), LOOP_GET_STATUS64, &info) != 0) return false;
    return info.lo_device == static_cast<std::uint64_t>(st.st_dev) &&
           info.lo_inode == static_cast<std::uint64_t>(st.st_ino);
}

bool AnyLoopStandsOn(const FileFacts& file) {
    for (const auto& entry : kernel::ListFolder("/sys/block")) {
        const std::string name = entry.filename().string();
        if (!kernel::StartsWith(name, "loop")) continue;
        const std::string backing = kernel::LoopBackingFile(name);
        if (backing.empty()) continue;
        const auto facts = FileFactsOf(backing);
        if (facts && facts->same_file(file)) return true;
    }
    return false;
}

}  // namespace platform::device
