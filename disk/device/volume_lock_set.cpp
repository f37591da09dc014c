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

bool VolumeLockSet::lock_volumes_of(const std::string& disk_path) {
    release();
    int disk_number = device::DiskNumberOf(disk_path);
    if (disk_number < 0) return true;
    DWORD first_error = ERROR_SUCCESS;
    auto failed = [&] {
        if (first_error == ERROR_SUCCESS) first_error = GetLastError();
    };
    for (const auto& volume : VolumesOnDisk(disk_number)) {
        Handle h = CreateFile(volume, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
        if (!h) {
            failed();
            continue;
        }
        // A lock that fails may still leave a dismount to do: both are tried.
        if (!LockVolumeHandle(h)) failed();
        if (!DismountVolumeHandle(h)) failed();
        handles_.push_back(std::move(h));
    }
    if (first_error == ERROR_SUCCESS) return true;
    SetLastError(first_error);
    return false;
}

void VolumeLockSet::unlock_all() {
    for (auto& h : handles_) UnlockVolumeHandle(h);
}

void VolumeLockSet::release() { handles_.clear(); }

}  // namespace disk
