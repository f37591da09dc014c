// The Linux machine's own disks: whole disks from /sys/block, partitions
// matched to the kernel's by start offset, mounts from /proc/self/mountinfo.
//
// TARNOVELL_LINUX_DISKS, when set, is a comma-separated list of kernel disk
// names (e.g. "loop3,loop4"); only those disks are offered. Tests use it so
// that nothing but their own loop devices is ever numbered, let alone opened.
#pragma once

#include <string>

#include "platform/device/host/host.h"

namespace platform::device {

class LinuxHost : public Host {
public:
    LinuxHost();
    ~LinuxHost() override;

    std::string name() const override { return "linux"; }
    std::vector<DiskInfo> enumerate_disks() override;
    void annotate_volumes(const DiskInfo& disk, std::vector<VolumeInfo>& volumes) override;
    BackingLocation disk_backing(const DiskInfo& disk) override;
    BackingLocation volume_backing(const DiskInfo& disk, const VolumeInfo& volume) override;
    std::vector<ByteRange> busy_ranges(const DiskInfo& disk, const std::vector<VolumeInfo>& volumes) override;
    std::unique_ptr<VolumeClaim> claim_volume(const DiskInfo& disk, const VolumeInfo& volume, bool exclusive) override;
    // The disk opened exclusively, our own holds of its partitions standing aside.
    std::unique_ptr<DiskHold> hold_disk(const DiskInfo& disk) override;
    bool layout_changed(const DiskInfo& disk, const DiskLayout& new_layout) override;
    bool apply_read_only(const DiskInfo& disk, bool read_only) override;
    std::string state_path() const override;
    std::uint64_t busy_generation() override;
    // Attaching sets up a loop device over the backing (read-only when asked,
    // limited to the disk's size); it is offered even when
    // TARNOVELL_LINUX_DISKS leaves it out.
    bool attach_virtual_disk(VirtualDiskAttachment& attachment) override;
    bool detach_virtual_disk(const VirtualDiskAttachment& attachment) override;
    std::vector<VirtualDiskAttachment> attached_virtual_disks() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform::device
