// What the kernel says about block devices through sysfs and /dev: small
// readers that never throw (a sysfs folder may vanish while it is read),
// device numbers, kernel names, and the description of a whole disk.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/device/host/host.h"

namespace platform::device::kernel {

// sysfs gives partition starts and sizes in these units, whatever the disk's sectors.
inline constexpr std::int64_t kSysfsSector = 512;

std::optional<std::string> ReadText(const std::string& path);
// The text without the blanks at either end; "" when it cannot be read.
std::string ReadTrimmed(const std::string& path);
// A non-negative decimal number, or nothing.
std::optional<std::int64_t> ReadNumber(const std::string& path);

struct DevNumber {
    unsigned major = 0, minor = 0;
    bool operator==(const DevNumber&) const = default;
};

// "8:1" as sysfs and mountinfo write it.
std::optional<DevNumber> ParseDevNumber(const std::string& text);
// The major:minor of a block device node, from the node itself.
std::optional<DevNumber> DevNumberOfNode(const std::string& node);
// The same, from sysfs when the node's name is a kernel name.
std::optional<DevNumber> DevNumberOf(const std::string& node);

// "/dev/cciss/c0d0" for the kernel name "cciss!c0d0", and back.
std::string DevPathOf(const std::string& kernel_name);
std::string KernelNameOf(const std::string& node);

// Undoes the octal escapes (\040 for a space, \011, \012, \134) that
// mountinfo and /proc/swaps put in paths.
std::string UnescapeOctal(const std::string& text);

// The entries of a folder; none when it cannot be read.
std::vector<std::filesystem::path> ListFolder(const std::string& folder);
std::vector<std::string> SplitOn(const std::string& text, char separator);
// "sda" < "sdb", "loop2" < "loop10", "nvme0n1" < "nvme0n2" < "nvme1n1".
bool NaturalLess(const std::string& a, const std::string& b);
bool StartsWith(const std::string& text, const std::string& prefix);

// Whether the device at this sysfs folder is held by another (a device
// mapper, a RAID).
bool HasHolders(const std::string& sysfs_dir);

// Kernel disks that are never offered: RAM disks, optical and floppy drives,
// and what is made of other disks (md, dm).
bool SkippedByName(const std::string& name);
// The file a loop device shows, as the kernel keeps its name; "" when unbound.
std::string LoopBackingFile(const std::string& kernel_name);

// The disk with this kernel name, as the host offers it (number unset);
// nothing for an unbound loop device.
std::optional<DiskInfo> DescribeDisk(const std::string& kernel_name);

}  // namespace platform::device::kernel
