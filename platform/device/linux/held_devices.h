// The block devices this process holds for itself (an exclusive open, which
// keeps anyone from mounting them), and letting go of them for a moment.
//
// The kernel will not take away a partition that anyone has open, this
// process included: a partition we locked must be let go before its table
// entry can leave the kernel, and held again afterwards.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/base/unique_fd.h"

namespace platform::device::kernel {

// An exclusive open of one device node. Every hold of the process is known,
// so that a change of a disk's partitions can set them aside.
class ExclusiveHold {
public:
    explicit ExclusiveHold(std::string device);
    ~ExclusiveHold();
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

    // Opens the device exclusively; false with the last error set
    // (ERROR_SHARING_VIOLATION when someone else holds or mounts it).
    bool take();
    void release();
    bool held() const;
    const std::string& device() const { return device_; }

private:
    friend class HoldsSetAside;
    std::string device_;
    UniqueFd fd_;
    // Taken and not released: a hold whose partition left the kernel for a
    // while is taken again when a change brings the partition back.
    bool wanted_ = false;
};

// While it lives, every hold of this process on the named devices is let go
// (nothing is remounted: a locked volume stays locked); when it goes, each
// is taken again where its device exists, as is a hold on one of them that
// had lost its device to an earlier change. Holds can be neither made nor
// dropped meanwhile.
class HoldsSetAside {
public:
    explicit HoldsSetAside(const std::vector<std::string>& devices);
    ~HoldsSetAside();
    HoldsSetAside(const HoldsSetAside&) = delete;
    HoldsSetAside& operator=(const HoldsSetAside&) = delete;

private:
    std::unique_lock<std::mutex> lock_;
    std::vector<ExclusiveHold*> aside_;
};

}  // namespace platform::device::kernel
