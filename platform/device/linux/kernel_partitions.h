// The kernel's partitions of a disk: what sysfs shows of them, and making
// them match a new table through BLKPG, partition by partition. BLKRRPART
// is never used: it drops every partition, mounted ones included, where
// BLKPG leaves alone what did not change and lets a mounted one grow.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/device/linux/sysfs.h"
#include "platform/device/records/partition_table.h"

namespace platform::device::kernel {

struct KernelPartition {
    std::string name;   // kernel name, e.g. "sda1", "nvme0n1p2", "loop3p1"
    int number = 0;     // the kernel's slot (pno)
    std::int64_t start = 0;   // bytes
    std::int64_t length = 0;  // bytes
    std::optional<DevNumber> dev;
    std::string sysfs_dir;
    std::string node() const { return DevPathOf(name); }
};

// The partitions of the disk with this kernel name, by start.
std::vector<KernelPartition> KernelPartitionsOf(const std::string& disk_name);

// Makes the kernel's partitions of the disk (its node and kernel name)
// those of `layout`: unchanged ones stay, ones that only grew are resized
// in place, the rest go and come back. The holds our own locks and claims
// have on its partitions are let go meanwhile and taken again after. False
// with the last error set (ERROR_ACCESS_DENIED for a partition in use);
// when a partition that had to go could not, none has gone.
bool ApplyLayoutToKernel(const std::string& node, const std::string& disk_name, const DiskLayout& layout,
                         std::int64_t disk_size, std::uint32_t sector_size);

// Marks the whole disk read-only (or writable) in the kernel.
bool SetKernelReadOnly(const std::string& node, bool read_only);

}  // namespace platform::device::kernel
