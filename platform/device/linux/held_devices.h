// The block devices this process holds for itself (an exclusive open, which
// keeps anyone from mounting them), and letting go of them for a moment.
//
// The kernel will not take away a partition that anyone has open, this
// process included: a partition we locked must be let go before its table
// entry can leave the kernel, and held again afterwards. Nor does it let
// anyone claim a whole disk while one of its partitions is claimed, or a
// partition while its disk is: a hold of the whole disk stands in for the
// holds of its partitions while it lasts.
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
    // (ERROR_SHARING_VIOLATION when someone else holds or mounts it). A
    // partition of a disk this process holds whole is held by that hold.
    bool take();
    void release();
    bool held() const;
    const std::string& device() const { return device_; }

private:
    friend class HoldsSetAside;
    friend class WholeDiskHold;
    bool take_locked();

    std::string device_;
    UniqueFd fd_;
    // Taken and not released: a hold whose partition left the kernel for a
    // while is taken again when a change brings the partition back.
    bool wanted_ = false;
    // The node of the disk whose hold holds this one, without a descriptor
    // of its own; "" when none does.
    std::string covered_by_;
};

// The whole disk `node` (kernel name `disk_name`) opened exclusively for as
// long as the object lives: nobody can mount or claim a partition of it, and
// the system's own re-reading of its table (which needs the disk to itself)
// waits. This process's holds of its partitions let go of their devices
// while it lasts and take them again when it ends.
class WholeDiskHold {
public:
    WholeDiskHold(std::string node, std::string disk_name);
    ~WholeDiskHold();
    WholeDiskHold(const WholeDiskHold&) = delete;
    WholeDiskHold& operator=(const WholeDiskHold&) = delete;

    // False with the last error set (ERROR_SHARING_VIOLATION when another
    // program holds the disk or uses one of its partitions); our own holds
    // of its partitions are then as they were.
    bool take();
    void release();
    bool held() const { return static_cast<bool>(fd_); }

private:
    bool covers(const std::string& device) const;
    friend class ExclusiveHold;
    friend int DuplicateWholeDiskHold(const std::string& node);

    std::string node_;
    std::string disk_name_;
    UniqueFd fd_;
};

// A descriptor (the caller's to close) on the exclusive open this process
// has of the whole disk `node`; -1 when it holds none.
int DuplicateWholeDiskHold(const std::string& node);

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
