// A machine made of image files. A manifest (platform/device/embedded/manifest.h)
// lists the disks: section [diskN] is \\.\PhysicalDriveN, its image a regular
// file or a block device. A fixed VHD image offers the disk
// without its 512-byte footer. Letters and attributes live in
// "<manifest>.state" beside the manifest; volume locks are byte-range locks
// on "<manifest>.state.volumes", so they hold across processes and vanish
// with the process that took them. Attached virtual disks are recorded in
// the state file too (platform/device/attached_disks.h) and numbered after
// the manifest's disks.
#pragma once

#include <set>
#include <string>

#include "platform/device/host/host.h"

namespace platform::device {

class EmbeddedHost : public Host {
public:
    explicit EmbeddedHost(std::string manifest_path);

    std::string name() const override { return "embedded"; }
    // Raises ManifestError, naming the manifest, when the manifest cannot be
    // read or is malformed, or an image is neither a file nor a block device.
    std::vector<DiskInfo> enumerate_disks() override;
    void annotate_volumes(const DiskInfo& disk, std::vector<VolumeInfo>& volumes) override;
    BackingLocation disk_backing(const DiskInfo& disk) override;
    BackingLocation volume_backing(const DiskInfo& disk, const VolumeInfo& volume) override;
    std::vector<ByteRange> busy_ranges(const DiskInfo& disk, const std::vector<VolumeInfo>& volumes) override;
    std::unique_ptr<VolumeClaim> claim_volume(const DiskInfo& disk, const VolumeInfo& volume, bool exclusive) override;
    bool layout_changed(const DiskInfo& disk, const DiskLayout& new_layout) override;
    bool apply_read_only(const DiskInfo& disk, bool read_only) override;
    std::string state_path() const override;
    std::uint64_t busy_generation() override { return 0; }
    bool attach_virtual_disk(VirtualDiskAttachment& attachment) override;
    bool detach_virtual_disk(const VirtualDiskAttachment& attachment) override;
    std::vector<VirtualDiskAttachment> attached_virtual_disks() override;

    const std::string& manifest_path() const { return manifest_path_; }

private:
    std::set<int> manifest_numbers() const;
    std::string manifest_path_;
};

}  // namespace platform::device
