#include "platform/device/linux/held_devices.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "platform/base/win_error.h"

namespace platform::device::kernel {

namespace {

std::mutex& HoldsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::set<ExclusiveHold*>& Holds() {
    static std::set<ExclusiveHold*> holds;
    return holds;
}

}  // namespace

ExclusiveHold::ExclusiveHold(std::string device) : device_(std::move(device)) {
    std::lock_guard guard(HoldsMutex());
    Holds().insert(this);
}

ExclusiveHold::~ExclusiveHold() {
    std::lock_guard guard(HoldsMutex());
    Holds().erase(this);
}

bool ExclusiveHold::take() {
    if (fd_) return true;
    fd_.reset(::open(device_.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    wanted_ = wanted_ || static_cast<bool>(fd_);
    if (fd_) return true;
    SetLastError(errno == EBUSY ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno));
    return false;
}

void ExclusiveHold::release() {
    fd_.reset();
    wanted_ = false;
}

bool ExclusiveHold::held() const { return static_cast<bool>(fd_); }

HoldsSetAside::HoldsSetAside(const std::vector<std::string>& devices) : lock_(HoldsMutex()) {
    for (ExclusiveHold* hold : Holds()) {
        if (!hold->wanted_ || std::find(devices.begin(), devices.end(), hold->device_) == devices.end()) continue;
        hold->fd_.reset();
        aside_.push_back(hold);
    }
}

HoldsSetAside::~HoldsSetAside() {
    // Taking back must not change the error its caller reads next.
    const DWORD error = GetLastError();
    for (ExclusiveHold* hold : aside_) hold->take();  // a partition that is gone for good stays let go
    SetLastError(error);
}

}  // namespace platform::device::kernel
