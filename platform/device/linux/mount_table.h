// The kernel's mount table as /proc/self/mountinfo shows it, which mounts
// belong to a block device, and the swap in use.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/device/linux/sysfs.h"

namespace platform::device::kernel {

struct MountEntry {
    DevNumber dev;
    std::string root;           // the folder of the file system this mount shows ("/" for all of it)
    std::string target;
    std::string mount_options;  // per-mount: rw/ro, nosuid, relatime, ...
    std::string fstype;
    std::string source;
    std::string super_options;  // the file system's own options
};

// Every mount, in the order they were made.
std::vector<MountEntry> ReadMountInfo();

// Whether a mount shows the file system on `node`. File systems that report
// a virtual device number (btrfs) are matched by the source they were
// mounted from.
bool MountIsOf(const MountEntry& m, const std::optional<DevNumber>& dev, const std::string& node);
std::vector<MountEntry> MountsOf(const std::string& node);

// The devices of the swap partitions in use.
std::vector<DevNumber> ActiveSwapDevices();

// Tells whether the mount table changed since it was last asked, without
// reading it: the kernel flags the open table when a mount comes or goes.
class MountTableWatch {
public:
    MountTableWatch();
    // True once after each change.
    bool changed();

private:
    UniqueFd mountinfo_;
};

}  // namespace platform::device::kernel
