#include "disk/volume_lock_set.h"

#include "disk/device_query.h"
#include "disk/handle_ops.h"
#include "platform/ini_file.h"
#include "platform/volume_api.h"

namespace disk {

using namespace platform;

int DiskNumberOfPath(const std::string& disk_path) {
    const std::string prefix = "\\\\.\\physicaldrive";
    std::string lower = ToLower(disk_path);
    if (lower.rfind(prefix, 0) != 0 || lower.size() == prefix.size()) return -1;
    int number = 0;
    for (char c : lower.substr(prefix.size())) {
        if (c < '0' || c > '9' || number > 9999) return -1;
        number = number * 10 + (c - '0');
    }
    return number;
}

void VolumeLockSet::lock_volumes_of(const std::string& disk_path) {
    release();
    int disk_number = DiskNumberOfPath(disk_path);
    DWORD drives = GetLogicalDrives();
    for (char letter = 'B'; letter <= 'Z'; ++letter) {
        if (!(drives & (1u << (letter - 'A')))) continue;
        unsigned type = GetDriveTypeA(std::string(1, letter) + ":\\");
        if (type != DRIVE_FIXED && type != DRIVE_REMOVABLE) continue;
        std::string volume = std::string("\\\\.\\") + letter + ":";
        int volume_disk = -1, partition = -1;
        if (!GetDeviceNumber(volume, volume_disk, partition) || volume_disk != disk_number) continue;
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
