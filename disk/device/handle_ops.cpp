#include "disk/device/handle_ops.h"

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/device/path.h"
#include "platform/device/records/winioctl.h"
#include "platform/base/ascii.h"
#include "platform/base/replace_file.h"
#include "platform/os/file_facts.h"

namespace disk {

using namespace platform;

namespace {

std::atomic<long long> lock_retry_delay_ms{1000};

bool Control(Handle& handle, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned);
}

}  // namespace

void SetLockRetryDelay(std::chrono::milliseconds delay) { lock_retry_delay_ms = delay.count(); }

bool LockVolumeHandle(Handle& handle) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (Control(handle, FSCTL_LOCK_VOLUME)) return true;
        DWORD error = GetLastError();
        std::this_thread::sleep_for(std::chrono::milliseconds(lock_retry_delay_ms.load()));
        SetLastError(error);
    }
    return false;
}

bool DismountVolumeHandle(Handle& handle) { return Control(handle, FSCTL_DISMOUNT_VOLUME); }

bool UnlockVolumeHandle(Handle& handle) { return Control(handle, FSCTL_UNLOCK_VOLUME); }

void LockDismountUnlock(Handle& handle) {
    Control(handle, FSCTL_LOCK_VOLUME);
    Control(handle, FSCTL_DISMOUNT_VOLUME);
    Control(handle, FSCTL_UNLOCK_VOLUME);
}

bool IoctlUpdateProperties(Handle& handle) { return Control(handle, IOCTL_DISK_UPDATE_PROPERTIES); }

bool IoctlVolumeOnline(Handle& handle) {
    if (!Control(handle, IOCTL_VOLUME_ONLINE)) RaiseLastOSError();
    return true;
}

bool IoctlVolumeOffline(Handle& handle) {
    if (!Control(handle, IOCTL_VOLUME_OFFLINE)) RaiseLastOSError();
    return true;
}

std::int64_t GetPartitionLength(Handle& handle) {
    PARTITION_INFORMATION_EX info;
    std::memset(&info, 0, sizeof info);
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, &info, sizeof info, &returned)) return 0;
    return info.PartitionLength;
}

std::int64_t GetDiskLength(Handle& handle) {
    std::int64_t length = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned)) return 0;
    return length;
}

bool IoctlSetDiskAttributes(const std::string& path, std::int64_t attributes, std::int64_t mask) {
    Handle h = CreateFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!h) return false;
    SET_DISK_ATTRIBUTES request{};
    request.Version = sizeof request;
    request.Persist = 0;  // until the next boot
    request.Attributes = static_cast<std::uint64_t>(attributes);
    request.AttributesMask = static_cast<std::uint64_t>(mask);
    DWORD returned = 0;
    return DeviceIoControl(h, IOCTL_DISK_SET_DISK_ATTRIBUTES, &request, sizeof request, nullptr, 0, &returned);
}

std::string NormalizeDiskPath(const std::string& disk) {
    const int number = device::DiskNumberOfArgument(disk);
    return number >= 0 ? device::PhysicalDrivePath(number) : std::string();
}

bool DeleteDriveLayout(const std::string& disk) {
    Handle h = CreateFile(NormalizeDiskPath(disk), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h) {
        Control(h, FSCTL_DISMOUNT_VOLUME);
        if (Control(h, IOCTL_DISK_DELETE_DRIVE_LAYOUT)) {
            Control(h, IOCTL_DISK_UPDATE_PROPERTIES);
            return true;
        }
    }
    DWORD error = GetLastError();
    throw std::runtime_error("IOCTL_DISK_DELETE_DRIVE_LAYOUT failed:" + SysErrorMessage(error));
}

bool DeleteDriveLayout(int disk) { return DeleteDriveLayout(std::to_string(disk)); }

namespace {

[[noreturn]] void FailSparse(const std::string& what) { throw std::runtime_error(what); }

void MakeFile(const std::string& path, bool sparse, bool allocate, std::int64_t size) {
    if (size < 0) FailSparse("negative size");
    constexpr std::int64_t kBlock = 1 << 20;
    std::vector<char> zeros(kBlock, 0);

    // Only ever replace a regular file: a device node or folder of that name
    // is refused, never unlinked.
    std::string resolved = ResolveFilePath(path);
    if (resolved.empty()) FailSparse(SysErrorMessage(GetLastError()));
    if (const auto existing = LinkFactsOf(resolved); existing && !existing->is_regular())
        FailSparse(resolved + " exists and is not a regular file");
    // The new file is made beside the name and takes it only once it is
    // whole: a size the file system refuses leaves the old file as it was.
    FileReplacement replacement(resolved, FileReplacement::Start::NameOnly);
    if (!replacement) FailSparse(SysErrorMessage(GetLastError()));
    Handle h = CreateFile(replacement.path(), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (!h) FailSparse(SysErrorMessage(GetLastError()));

    DWORD returned = 0;
    if (sparse) {
        if (!DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned)) FailSparse("FSCTL_SET_SPARSE failed");
    } else if (allocate) {
        if (!SetFileInformationByHandle(h, FileAllocationInfo, &size, sizeof size))
            FailSparse("SetFileInformationByHandle failed");
        if (size > kBlock && size % kBlock == 0) {
            for (std::int64_t i = 0; i < size / kBlock; ++i) {
                DWORD written = 0;
                if (!WriteFile(h, zeros.data(), static_cast<DWORD>(kBlock), &written))
                    FailSparse(SysErrorMessage(GetLastError()));
            }
        }
    }
    // Whatever way was taken, the file ends exactly at the size asked for.
    std::int64_t end = 0;
    if (!SetFilePointerEx(h, size, &end, FILE_BEGIN) || !SetEndOfFile(h)) FailSparse(SysErrorMessage(GetLastError()));
    if (!h.close() || !replacement.commit()) FailSparse(SysErrorMessage(GetLastError()));
}

}  // namespace

bool _make_sparse_file(const std::string& path, bool sparse, bool allocate, std::int64_t size) {
    if (path.empty()) return false;
    try {
        MakeFile(path, sparse, allocate, size);
        return true;
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("_make_sparse_file:") + e.what());
    }
}

}  // namespace disk
