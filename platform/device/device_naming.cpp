#include "platform/device/device_naming.h"

#include "platform/device/path.h"

namespace platform::device {

namespace {

std::string Megabytes(std::int64_t bytes) { return std::to_string(bytes / 1048576) + " MB"; }

// The folder that shows the volume's file system, or where it is mounted at all.
std::string MountFolder(const VolumeInfo& volume) {
    std::string folder = volume.root_mount_point();
    if (folder.empty() && !volume.mount_points.empty()) folder = volume.mount_points.front();
    return folder;
}

// A volume's own node; "" where it has none (the embedded host, a partition
// the kernel does not know) or where it is the whole disk.
std::string VolumeNode(const DiskInfo& disk, const VolumeInfo& volume) {
    return volume.kernel_device == disk.backing ? "" : volume.kernel_device;
}

}  // namespace

std::string DescribeDisk(const DiskInfo& disk) {
    return disk.backing + " (" + (disk.product.empty() ? "" : disk.product + ", ") + Megabytes(disk.size) + ")";
}

std::string DescribeVolume(const Snapshot& snap, const VolumeInfo& volume) {
    const DiskInfo* disk = snap.disk(volume.disk);
    if (!disk) return "";
    const std::string folder = MountFolder(volume);
    const std::string mounted = folder.empty() ? "" : " mounted at " + folder;
    if (volume.partition_number == 0) return DescribeDisk(*disk) + mounted;
    const std::string node = VolumeNode(*disk, volume);
    const std::string partition = "partition " + std::to_string(volume.partition_number) + " of " + DescribeDisk(*disk);
    return node.empty() ? partition + mounted : node + mounted + ", " + partition;
}

std::optional<DeviceIdentity> IdentityIn(const Snapshot& snap, const std::string& path) {
    const DevicePath parsed = ParseDevicePath(path);
    DeviceIdentity identity;
    identity.path = path;
    const DiskInfo* disk = nullptr;
    if (parsed.kind == PathKind::Disk) {
        disk = snap.disk(parsed.disk);
        if (!disk) return std::nullopt;
        identity.description = DescribeDisk(*disk);
    } else {
        const VolumeInfo* volume = Registry::instance().resolve_volume(snap, parsed);
        if (!volume || !(disk = snap.disk(volume->disk))) return std::nullopt;
        identity.volume_guid = GuidToString(volume->guid);
        identity.description = DescribeVolume(snap, *volume);
    }
    identity.disk_key = disk->identity;
    identity.node = disk->backing;
    identity.size = disk->size;
    identity.serial = disk->serial;
    return identity;
}

std::optional<DeviceIdentity> IdentityNow(const std::string& path) {
    return IdentityIn(*Registry::instance().snapshot(), path);
}

std::string DeviceNodeText(const Snapshot& snap, const std::string& path) {
    const DevicePath parsed = ParseDevicePath(path);
    if (parsed.kind == PathKind::Disk) {
        const DiskInfo* disk = snap.disk(parsed.disk);
        return disk ? disk->backing : "";
    }
    const VolumeInfo* volume = Registry::instance().resolve_volume(snap, parsed);
    const DiskInfo* disk = volume ? snap.disk(volume->disk) : nullptr;
    if (!disk) return "";
    std::string node = volume->partition_number == 0 ? disk->backing : VolumeNode(*disk, *volume);
    if (node.empty()) node = "partition " + std::to_string(volume->partition_number) + " of " + disk->backing;
    const std::string folder = MountFolder(*volume);
    return folder.empty() ? node : node + " on " + folder;
}

void ChooseAsItIsNow(const std::string& path) {
    if (auto identity = IdentityNow(path)) Registry::instance().choose(*identity);
}

std::string AboutDevices(std::initializer_list<std::string> paths) {
    std::string about;
    for (const std::string& path : paths) {
        if (!IsDevicePath(path)) continue;
        std::optional<DeviceIdentity> identity = Registry::instance().chosen(path);
        if (!identity || identity->description.empty()) identity = IdentityNow(path);
        if (!identity) continue;
        about += (about.empty() ? "" : "\n") + path + " is " + identity->description;
    }
    return about;
}

std::string ChoiceRefusal(const std::string& path) {
    const std::optional<DeviceIdentity> chosen = Registry::instance().chosen(path);
    if (!chosen) return "";
    const std::optional<DeviceIdentity> now = IdentityNow(path);
    if (now && chosen->same_device(*now)) return "";
    const std::string was = !chosen->description.empty() ? chosen->description
                            : !chosen->volume_guid.empty() ? "volume " + chosen->volume_guid
                                                           : chosen->disk_key;
    const std::string what = chosen->volume_guid.empty() ? "disk" : "volume";
    return path + " is no longer " + was + ", the " + what + " that was chosen: " +
           (now ? "it is now " + now->description : "it names nothing now") + ". Nothing was written";
}

std::string OpenFailureText(const std::string& usual, const std::string& path, std::uint32_t code) {
    if (code != ERROR_MEDIA_CHANGED) return usual;
    const std::string refusal = ChoiceRefusal(path);
    return refusal.empty() ? usual : refusal;
}

}  // namespace platform::device
