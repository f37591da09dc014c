#include "platform/device/linux/held_devices.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "platform/base/win_error.h"
#include "platform/device/linux/sysfs.h"

namespace platform::device::kernel {

namespace {

// Never destroyed: a hold may end while the program's static objects are
// being destroyed at exit, in an order nobody chose.
std::mutex& HoldsMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::set<ExclusiveHold*>& Holds() {
    static auto* holds = new std::set<ExclusiveHold*>;
    return *holds;
}

std::set<WholeDiskHold*>& WholeDisks() {
    static auto* disks = new std::set<WholeDiskHold*>;
    return *disks;
}

DWORD ErrorOfExclusiveOpen(int err) { return err == EBUSY ? ERROR_SHARING_VIOLATION : ErrorFromErrno(err); }

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
    std::lock_guard guard(HoldsMutex());
    return take_locked();
}

bool ExclusiveHold::take_locked() {
    if (fd_) return true;
    for (const WholeDiskHold* disk : WholeDisks())
        if (disk->held() && disk->covers(device_)) {
            wanted_ = true;
            covered_by_ = disk->node_;
            return true;
        }
    covered_by_.clear();
    fd_.reset(::open(device_.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    wanted_ = wanted_ || static_cast<bool>(fd_);
    if (fd_) return true;
    SetLastError(ErrorOfExclusiveOpen(errno));
    return false;
}

void ExclusiveHold::release() {
    std::lock_guard guard(HoldsMutex());
    fd_.reset();
    wanted_ = false;
    covered_by_.clear();
}

bool ExclusiveHold::held() const {
    std::lock_guard guard(HoldsMutex());
    return static_cast<bool>(fd_) || !covered_by_.empty();
}

// ---- the whole disk ------------------------------------------------------------

WholeDiskHold::WholeDiskHold(std::string node, std::string disk_name)
    : node_(std::move(node)), disk_name_(std::move(disk_name)) {}

WholeDiskHold::~WholeDiskHold() { release(); }

bool WholeDiskHold::covers(const std::string& device) const {
    const std::string name = KernelNameOf(device);
    return !name.empty() && name != disk_name_ && ReadNumber("/sys/block/" + disk_name_ + "/" + name + "/partition");
}

bool WholeDiskHold::take() {
    std::lock_guard guard(HoldsMutex());
    if (fd_) return true;
    // The kernel lets nobody claim the disk while a partition of it is
    // claimed, we included: our own partition holds let go first.
    std::vector<ExclusiveHold*> aside;
    for (ExclusiveHold* hold : Holds())
        if (hold->fd_ && covers(hold->device_)) {
            hold->fd_.reset();
            aside.push_back(hold);
        }
    fd_.reset(::open(node_.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    if (!fd_) {
        const DWORD error = ErrorOfExclusiveOpen(errno);
        for (ExclusiveHold* hold : aside) hold->take_locked();
        SetLastError(error);
        return false;
    }
    for (ExclusiveHold* hold : aside) hold->covered_by_ = node_;
    WholeDisks().insert(this);
    return true;
}

void WholeDiskHold::release() {
    std::lock_guard guard(HoldsMutex());
    if (!fd_) return;
    const DWORD error = GetLastError();
    WholeDisks().erase(this);
    fd_.reset();
    // The partitions still locked are held on their own again; one that
    // someone else took meanwhile (nobody could) or that is gone stays let go.
    for (ExclusiveHold* hold : Holds())
        if (hold->covered_by_ == node_) {
            hold->covered_by_.clear();
            if (hold->wanted_) hold->take_locked();
        }
    SetLastError(error);
}

int DuplicateWholeDiskHold(const std::string& node) {
    std::lock_guard guard(HoldsMutex());
    for (const WholeDiskHold* disk : WholeDisks())
        if (disk->node_ == node && disk->fd_) return ::fcntl(disk->fd_.get(), F_DUPFD_CLOEXEC, 0);
    return -1;
}

// ---- setting aside --------------------------------------------------------------

HoldsSetAside::HoldsSetAside(const std::vector<std::string>& devices) : lock_(HoldsMutex()) {
    for (ExclusiveHold* hold : Holds()) {
        if (!hold->wanted_ || std::find(devices.begin(), devices.end(), hold->device_) == devices.end()) continue;
        hold->fd_.reset();
        hold->covered_by_.clear();
        aside_.push_back(hold);
    }
}

HoldsSetAside::~HoldsSetAside() {
    // Taking back must not change the error its caller reads next.
    const DWORD error = GetLastError();
    for (ExclusiveHold* hold : aside_) hold->take_locked();  // a partition that is gone for good stays let go
    SetLastError(error);
}

}  // namespace platform::device::kernel
