#include "disk/device/volume_lock_set.h"

#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "platform/base/ascii.h"
#include "platform/device/path.h"
#include "platform/device/volume_api.h"

namespace disk {

using namespace platform;

namespace {

// Every volume on the disk, lettered or not: a volume without a letter (an
// EFI system partition) is in the way of a disk write just the same.
std::vector<std::string> VolumesOnDisk(int disk_number) {
    std::vector<std::string> paths;
    char name[260] = {};
    HFINDVOLUME find = FindFirstVolumeA(name, sizeof name);
    for (bool more = find != nullptr; more; more = FindNextVolumeA(find, name, sizeof name)) {
        unsigned type = GetDriveTypeA(name);
        if (type != DRIVE_FIXED && type != DRIVE_REMOVABLE) continue;
        int disk = -1, partition = -1;
        if (GetDeviceNumber(name, disk, partition) && disk == disk_number) paths.push_back(name);
    }
    if (find) FindVolumeClose(find);
    return paths;
}

}  // namespace

void VolumeLockSet::lock_volumes_of(const std::string& disk_path) {
    release();
    int disk_number = device::DiskNumberOf(disk_path);
    if (disk_number < 0) return;
    for (const auto& volume : VolumesOnDisk(disk_number)) {
        Handle h = CreateFile(volume, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
        if (!h) continue;
        LockVolumeHandle(h);
        DismountVolumeHandle(h);
        handles_.push_back(std::move(h));
    }
}

void VolumeLockSet::unlock_all() {
    for (auto& h : handles_) UnlockVolumeHandle(h);
}

void VolumeLockSet::release() { handles_.clear(); }

}  // namespace disk
