#include "disk/device/endpoint_overlap.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "disk/device/device_query.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"
#include "platform/os/file_facts.h"
#include "platform/os/folders.h"

namespace disk {

using namespace platform;

namespace {

struct DiskRange {
    int disk = -1;
    std::int64_t start = 0;
    std::int64_t length = 0;
    bool overlaps(const DiskRange& other) const {
        return disk == other.disk && start < other.start + other.length && other.start < start + length;
    }
};

// The bytes an endpoint occupies: ranges of disks, and the file itself.
struct Footprint {
    bool device = false;
    std::vector<DiskRange> ranges;
    std::optional<FileFacts> file;
};

Footprint DeviceFootprint(const std::string& path) {
    Footprint footprint;
    footprint.device = true;
    Handle h = OpenForQuery(path, 0);
    if (!h) return footprint;
    PARTITION_INFORMATION_EX info{};
    if (!GetPartitionInfoEx(h, info)) return footprint;
    footprint.ranges.push_back({h.disk_number(), info.StartingOffset, info.PartitionLength});
    return footprint;
}

// A file is stored on some device: the disk whose image it is (the embedded
// host), or the volume or disk whose file system holds it (the Linux host).
Footprint FileFootprint(const std::string& path) {
    Footprint footprint;
    std::string resolved = ResolveFilePath(path);
    if (resolved.empty()) return footprint;
    auto st = FileFactsOf(resolved);
    if (st) footprint.file = st;
    // A file yet to be made lives where its folder lives.
    std::filesystem::path folder = std::filesystem::path(AbsolutePath(resolved)).parent_path();
    auto home = st ? st : FileFactsOf(folder.string());
    if (!home) return footprint;

    auto snap = device::Registry::instance().snapshot();
    for (const auto& disk : snap->disks) {
        auto backing = FileFactsOf(disk.backing);
        if (!backing) continue;
        bool is_image = st && backing->is_regular() && backing->same_file(*st);
        bool holds_file = backing->is_block_device() && backing->device == home->file_system;
        if (is_image || holds_file) footprint.ranges.push_back({disk.number, 0, disk.size});
    }
    for (const auto& volume : snap->volumes) {
        auto node = FileFactsOf(volume.kernel_device);
        if (node && node->is_block_device() && node->device == home->file_system)
            footprint.ranges.push_back({volume.disk, volume.start, volume.length});
    }
    return footprint;
}

Footprint FootprintOf(const std::string& path) {
    return device::IsDevicePath(path) ? DeviceFootprint(path) : FileFootprint(path);
}

}  // namespace

bool EndpointsOverlap(const std::string& first, const std::string& second) {
    Footprint a = FootprintOf(first);
    Footprint b = FootprintOf(second);
    if (a.file && b.file && a.file->same_file(*b.file)) return true;
    // Two files on one volume share its range but not their bytes.
    if (!a.device && !b.device) return false;
    for (const auto& x : a.ranges)
        for (const auto& y : b.ranges)
            if (x.overlaps(y)) return true;
    return false;
}

}  // namespace disk
