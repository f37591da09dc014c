// A claim on a volume of the Linux host: its lock unmounts every mount of
// the volume and then holds the device exclusively; letting go puts the
// mounts back as they were, flags and options included.
#pragma once

#include <string>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/device/host/host.h"

namespace platform::device {

// One mount taken away, with what it takes to make it again.
struct SavedMount {
    std::string source, target, fstype, root;
    unsigned long mount_flags = 0;  // MS_* of this mount (rw/ro, nosuid, atime, ...)
    unsigned long super_flags = 0;  // MS_* of the file system itself
    std::string data;               // the file system's options that are not flags
};

class LinuxVolumeClaim : public VolumeClaim {
public:
    // `device` is the volume's kernel device; "" for a volume without one.
    explicit LinuxVolumeClaim(std::string device) : device_(std::move(device)) {}
    ~LinuxVolumeClaim() override;

    // Sole use from the start: nobody else may hold the device exclusively
    // or have it mounted.
    bool take_exclusive();

    bool lock() override;
    bool unlock() override;
    bool dismount() override;
    bool locked() const override { return locked_; }
    bool dismounted() const override { return dismounted_; }

private:
    bool release();

    std::string device_;
    UniqueFd exclusive_;
    bool held_by_claim_ = false;  // the fd belongs to an exclusive claim, not to the lock
    bool locked_ = false;
    bool dismounted_ = false;
    std::vector<SavedMount> unmounted_;  // in the order they were mounted
};

}  // namespace platform::device
