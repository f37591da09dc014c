#include "disk/partition/layout_edit.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"
#include "platform/device/records/partition_table.h"
#include "platform/device/records/winioctl.h"
#include "platform/device/registry.h"

namespace disk {

using namespace platform;

namespace {

constexpr const char* kReadFailed = "IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed:";
constexpr const char* kWriteFailed = "IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:";
constexpr const char* kWriteFailedShort = "IOCTL_DISK_SET_DRIVE_LAYOUT failed:";
constexpr const char* kUpdateDriveSizeFailed = "IOCTL_DISK_UPDATE_DRIVE_SIZE failed+";
constexpr std::int64_t kMiB = 1048576;

void Box(const std::string& text) { interaction().inform(text, kLibraryErrorCaption); }
void Box(const std::string& prefix, DWORD error) { Box(prefix + SysErrorMessage(error)); }

[[noreturn]] void Raise(const std::string& prefix, DWORD error) {
    throw std::runtime_error(prefix + SysErrorMessage(error));
}

bool Control(Handle& handle, DWORD code, const void* in = nullptr, DWORD in_size = 0, void* out = nullptr,
             DWORD out_size = 0) {
    DWORD returned = 0;
    return DeviceIoControl(handle, code, in, in_size, out, out_size, &returned);
}

Handle OpenReadWrite(const std::string& path) {
    return CreateFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                      FILE_ATTRIBUTE_NORMAL);
}

bool ReadLayout(Handle& handle, DriveLayoutBuffer& layout) {
    std::memset(&layout, 0, sizeof layout);
    return Control(handle, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, &layout, sizeof layout);
}

bool WriteLayout(Handle& handle, const DriveLayoutBuffer& layout) {
    return Control(handle, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, &layout, sizeof layout);
}

// Entry k of the layout as it was read; null (with ERROR_INVALID_PARAMETER)
// for a number outside it, which the system would otherwise ignore while
// the caller believed the change made.
PARTITION_INFORMATION_EX* EntryAt(DriveLayoutBuffer& layout, int k) {
    if (k < 1 || k > kMaxLayoutEntries || static_cast<std::uint32_t>(k) > layout.Header.PartitionCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &layout.PartitionEntry[k - 1];
}

GUID ParseGuid(const std::string& text) {
    GUID guid{};
    if (text.size() != 38 || text.front() != '{' || !device::GuidFromString(text, guid))
        throw std::invalid_argument("'" + text + "' is not a valid GUID value");
    return guid;
}

// One volume a new table would take from under whoever uses it, and what
// to do about it: "partition 2 (\\.\E:, /dev/sdb2) is mounted at /mnt/data:
// unmount it first".
std::string InTheWay(const device::VolumeInfo& volume) {
    std::string names;
    if (volume.letter) names = std::string("\\\\.\\") + volume.letter + ":";
    if (!volume.kernel_device.empty()) names += (names.empty() ? "" : ", ") + volume.kernel_device;
    if (names.empty()) names = volume.guid_path;
    std::string text = "partition " + std::to_string(volume.partition_number) + " (" + names + ")";
    if (!volume.mount_points.empty()) {
        text += " is mounted at ";
        for (std::size_t i = 0; i < volume.mount_points.size(); ++i) text += (i ? ", " : "") + volume.mount_points[i];
        return text + ": unmount it first";
    }
    // On the Linux host a partition mounted nowhere is in use as swap or
    // under a device built on it; a volume of image files is mounted as
    // its drive letter, as Windows mounts every volume it knows.
    if (!volume.kernel_device.empty()) return text + " is in use (as swap, or by a device built on it): release it first";
    return text + " is mounted: set it offline first";
}

// Why a new table was refused with access denied: the volumes in use that
// the change would remove, move or shrink, and where they are used; "" when
// no volume is to blame.
std::string VolumesInTheWay(int disk, const DriveLayoutBuffer& before, const DriveLayoutBuffer& after) {
    if (disk < 0) return "";
    std::vector<device::VolumeInfo> volumes;
    const std::uint32_t count = std::min<std::uint32_t>(before.Header.PartitionCount, kMaxLayoutEntries);
    for (std::uint32_t i = 0; i < count; ++i) {
        const PARTITION_INFORMATION_EX& was = before.PartitionEntry[i];
        const PARTITION_INFORMATION_EX& is = after.PartitionEntry[i];
        if (was.PartitionLength <= 0) continue;
        if (i < after.Header.PartitionCount && is.StartingOffset == was.StartingOffset &&
            is.PartitionLength >= was.PartitionLength)
            continue;
        for (const device::VolumeInfo& volume :
             device::Registry::instance().volumes_in_the_way(disk, was.StartingOffset, was.PartitionLength))
            if (std::none_of(volumes.begin(), volumes.end(),
                             [&](const device::VolumeInfo& v) { return v.guid_path == volume.guid_path; }))
                volumes.push_back(volume);
    }
    std::string text;
    for (const device::VolumeInfo& volume : volumes) text += (text.empty() ? "" : "; ") + InTheWay(volume);
    return text;
}

// The edit sequence of the setters: open, dismount, read, change, write,
// re-read. `change` returns false (with the last error) to refuse the edit.
// A write refused because volumes in use stand in the way names them.
template <class Change>
bool EditLayout(const std::string& path, const char* write_failed, Change change) {
    Handle handle = OpenReadWrite(path);
    if (!handle) {
        Box(kReadFailed, GetLastError());
        return false;
    }
    Control(handle, FSCTL_DISMOUNT_VOLUME);
    DriveLayoutBuffer layout;
    if (!ReadLayout(handle, layout)) {
        Box(kReadFailed, GetLastError());
        return false;
    }
    auto before = std::make_unique<DriveLayoutBuffer>(layout);
    if (!change(layout)) {
        Box(write_failed, GetLastError());
        return false;
    }
    if (!WriteLayout(handle, layout)) {
        const DWORD error = GetLastError();
        const std::string why =
            error == ERROR_ACCESS_DENIED ? VolumesInTheWay(handle.disk_number(), *before, layout) : "";
        Box(std::string(write_failed) + SysErrorMessage(error) + (why.empty() ? "" : " - " + why));
        return false;
    }
    Control(handle, IOCTL_DISK_UPDATE_PROPERTIES);
    return true;
}

// An edit of entry k alone.
template <class Change>
bool EditEntry(const std::string& path, int k, const char* write_failed, Change change) {
    return EditLayout(path, write_failed, [&](DriveLayoutBuffer& layout) {
        PARTITION_INFORMATION_EX* entry = EntryAt(layout, k);
        if (!entry) return false;
        change(*entry);
        entry->RewritePartition = 1;
        return true;
    });
}

// What the create routines report before they write.
void PrintCreated(int k, std::int64_t offset, std::int64_t length) {
    std::cout << "partition_number:" << k << "\n"
              << "offset:" << offset << "\n"
              << "size:" << length << "\n"
              << std::flush;
    std::cout.clear();  // a closed standard output must not stop the edit
}

// The common start of the create routines: the disk open, dismounted and
// its layout read; raises on failure.
void OpenAndRead(const std::string& disk, Handle& handle, DriveLayoutBuffer& layout) {
    handle = OpenReadWrite(NormalizeDiskPath(disk));
    if (!handle) Raise(kReadFailed, GetLastError());
    Control(handle, FSCTL_DISMOUNT_VOLUME);
    if (!ReadLayout(handle, layout)) Raise(kReadFailed, GetLastError());
}

// From 1 MiB to the last whole MiB of the disk.
std::int64_t WholeDiskLength(Handle& handle, std::int64_t offset) {
    std::int64_t length = 0;
    if (!Control(handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length))
        Raise("IOCTL_DISK_GET_LENGTH_INFO failed:", GetLastError());
    return ((length - offset - 1) / kMiB) * kMiB;
}

void UpdateDriveSize(Handle& handle) {
    DISK_GEOMETRY geometry{};
    if (!Control(handle, IOCTL_DISK_UPDATE_DRIVE_SIZE, nullptr, 0, &geometry, sizeof geometry))
        Box(kUpdateDriveSizeFailed, GetLastError());
}

}  // namespace

bool SetGptDiskId(const std::string& disk, const std::string& guid) {
    return EditLayout(NormalizeDiskPath(disk), kWriteFailed, [&](DriveLayoutBuffer& layout) {
        layout.Header.Gpt.DiskId = ParseGuid(guid);
        return true;
    });
}

bool SetMbrDiskSignature(const std::string& disk, std::uint32_t signature) {
    return EditLayout(NormalizeDiskPath(disk), kWriteFailed, [&](DriveLayoutBuffer& layout) {
        layout.Header.Mbr.Signature = signature;
        return true;
    });
}

bool SetGptAttributes(const std::string& disk, int entry, std::int64_t attributes) {
    return EditEntry(NormalizeDiskPath(disk), entry, kWriteFailed, [&](PARTITION_INFORMATION_EX& e) {
        e.Gpt.Attributes = static_cast<std::uint64_t>(attributes);
    });
}

bool SetGptPartitionId(const std::string& disk, int entry, const std::string& guid) {
    return EditEntry(NormalizeDiskPath(disk), entry, kWriteFailed,
                     [&](PARTITION_INFORMATION_EX& e) { e.Gpt.PartitionId = ParseGuid(guid); });
}

bool SetGptPartitionType(const std::string& disk, int entry, const std::string& guid) {
    return EditEntry(NormalizeDiskPath(disk), entry, kWriteFailed,
                     [&](PARTITION_INFORMATION_EX& e) { e.Gpt.PartitionType = ParseGuid(guid); });
}

bool SetMbrBootIndicator(const std::string& path, int entry, bool boot) {
    return EditEntry(path, entry, kWriteFailed, [&](PARTITION_INFORMATION_EX& e) { e.Mbr.BootIndicator = boot ? 1 : 0; });
}

bool SetMbrPartitionType(const std::string& path, int entry, std::uint8_t type) {
    return EditEntry(path, entry, kWriteFailed, [&](PARTITION_INFORMATION_EX& e) { e.Mbr.PartitionType = type; });
}

bool MovePartitionToFirst(const std::string& disk, int entry) {
    return EditLayout(NormalizeDiskPath(disk), kWriteFailed, [&](DriveLayoutBuffer& layout) {
        PARTITION_INFORMATION_EX* first = EntryAt(layout, 1);
        PARTITION_INFORMATION_EX* other = EntryAt(layout, entry);
        if (!first || !other) return false;
        std::swap(*first, *other);
        first->RewritePartition = other->RewritePartition = 1;
        return true;
    });
}

bool DeletePartitionMbr(const std::string& disk, int entry) {
    return EditEntry(NormalizeDiskPath(disk), entry, kWriteFailed, [](PARTITION_INFORMATION_EX& e) {
        e.PartitionStyle = PARTITION_STYLE_MBR;
        e.StartingOffset = 0;
        e.PartitionLength = 0;
        e.PartitionNumber = 0;
        e.Mbr.PartitionType = 0;
        e.Mbr.BootIndicator = 0;
        e.Mbr.RecognizedPartition = 0;
        e.Mbr.HiddenSectors = 0;
    });
}

bool DeletePartitionEx(const std::string& disk, int entry) {
    return EditEntry(NormalizeDiskPath(disk), entry, kWriteFailedShort, [](PARTITION_INFORMATION_EX& e) {
        e.PartitionStyle = PARTITION_STYLE_GPT;
        e.StartingOffset = 0;
        e.PartitionLength = 0;
        e.PartitionNumber = 0;
        e.Gpt.PartitionType = GUID{};
    });
}

bool CreatePartitionMbr(const std::string& disk, int entry, bool boot, std::uint8_t type, std::int64_t length,
                        std::int64_t offset) {
    Handle handle;
    DriveLayoutBuffer layout;
    OpenAndRead(disk, handle, layout);
    if (entry == 1 && offset == 0 && length == 0) {
        offset = kMiB;
        length = WholeDiskLength(handle, offset);
    }
    if (layout.Header.PartitionCount == 0) layout.Header.PartitionCount = 4;
    PARTITION_INFORMATION_EX* e = EntryAt(layout, entry);
    if (!e) Raise(kWriteFailedShort, GetLastError());
    *e = PARTITION_INFORMATION_EX{};
    e->PartitionStyle = PARTITION_STYLE_MBR;
    e->StartingOffset = offset;
    e->PartitionLength = length;
    e->PartitionNumber = static_cast<std::uint32_t>(entry);
    e->Mbr.BootIndicator = boot ? 1 : 0;
    e->Mbr.RecognizedPartition = 1;
    e->Mbr.HiddenSectors = 0;
    e->Mbr.PartitionType = type;
    e->RewritePartition = 1;
    PrintCreated(entry, offset, length);
    if (!WriteLayout(handle, layout)) Raise(kWriteFailedShort, GetLastError());
    Control(handle, IOCTL_DISK_UPDATE_PROPERTIES);
    return true;
}

bool CreatePartitionEx(const std::string& disk, int entry, const std::string& type_guid, std::int64_t length,
                       std::int64_t offset) {
    Handle handle;
    DriveLayoutBuffer layout;
    OpenAndRead(disk, handle, layout);
    if (entry == 1 && offset == 0 && length == 0) offset = kMiB;
    if (entry == 1 && length == 0) {
        // Whole MiB up to the disk's end, but never into the backup table.
        const std::int64_t usable_end = layout.Header.Gpt.StartingUsableOffset + layout.Header.Gpt.UsableLength;
        length = WholeDiskLength(handle, offset);
        if (layout.Header.PartitionStyle == PARTITION_STYLE_GPT && usable_end > offset)
            length = std::min(length, ((usable_end - offset) / kMiB) * kMiB);
    }
    if (layout.Header.PartitionCount == 0) layout.Header.PartitionCount = 4;
    if (entry >= 1 && entry <= kMaxLayoutEntries && static_cast<std::uint32_t>(entry) > layout.Header.PartitionCount)
        layout.Header.PartitionCount = static_cast<std::uint32_t>(entry);
    PARTITION_INFORMATION_EX* e = EntryAt(layout, entry);
    if (!e) Raise(kWriteFailed, GetLastError());
    const GUID type = ParseGuid(type_guid);
    e->PartitionStyle = PARTITION_STYLE_GPT;
    e->StartingOffset = offset;
    e->PartitionLength = length;
    e->PartitionNumber = static_cast<std::uint32_t>(entry);
    e->Gpt.PartitionType = type;
    e->RewritePartition = 1;
    PrintCreated(entry, offset, length);
    if (!WriteLayout(handle, layout)) Raise(kWriteFailed, GetLastError());
    Control(handle, IOCTL_DISK_UPDATE_PROPERTIES);
    return true;
}

bool CreateDiskLayout(const std::string& disk, std::uint8_t style) {
    constexpr const char* kFailed = "IOCTL_DISK_CREATE_DISK failed:";
    CREATE_DISK request{};
    switch (style) {
    case kLayoutMbr:
        request.PartitionStyle = PARTITION_STYLE_MBR;
        request.Mbr.Signature = 0x01020304;
        break;
    case kLayoutGpt:
        request.PartitionStyle = PARTITION_STYLE_GPT;
        request.Gpt.DiskId = device::NewRandomGuid();
        request.Gpt.MaxPartitionCount = 128;
        break;
    case kLayoutRaw: request.PartitionStyle = PARTITION_STYLE_RAW; break;
    default: Raise(kFailed, ERROR_INVALID_PARAMETER);
    }
    Handle handle = OpenReadWrite(NormalizeDiskPath(disk));
    if (!handle || !Control(handle, IOCTL_DISK_CREATE_DISK, &request, sizeof request)) Raise(kFailed, GetLastError());
    Control(handle, FSCTL_DISMOUNT_VOLUME);
    Control(handle, IOCTL_DISK_UPDATE_PROPERTIES);
    return true;
}

bool ExtendVolumeIoctl(const std::string& volume, std::int64_t sectors) {
    Handle handle = OpenReadWrite(volume);
    if (!handle || !Control(handle, FSCTL_EXTEND_VOLUME, &sectors, sizeof sectors)) {
        Box("FSCTL_EXTEND_VOLUME failed:", GetLastError());
        return false;
    }
    Control(handle, FSCTL_DISMOUNT_VOLUME);
    UpdateDriveSize(handle);
    return true;
}

bool ShrinkVolumeIoctl(const std::string& volume, std::int64_t sectors) {
    Handle handle = OpenReadWrite(volume);
    SHRINK_VOLUME_INFORMATION request{};
    request.ShrinkRequestType = ShrinkPrepare;
    request.NewNumberOfSectors = sectors;
    if (!handle || !Control(handle, FSCTL_SHRINK_VOLUME, &request, sizeof request)) {
        Box("FSCTL_SHRINK_VOLUME failed:", GetLastError());
        return false;
    }
    SHRINK_VOLUME_INFORMATION commit{};
    commit.ShrinkRequestType = ShrinkCommit;
    const bool shrunk = Control(handle, FSCTL_SHRINK_VOLUME, &commit, sizeof commit);
    Control(handle, FSCTL_DISMOUNT_VOLUME);
    UpdateDriveSize(handle);
    return shrunk;
}

bool GrowPartitionIoctl(const std::string& path, std::int64_t bytes) {
    Handle handle = OpenReadWrite(path);
    STORAGE_DEVICE_NUMBER number{};
    if (!handle || !Control(handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number)) {
        Box("IOCTL_STORAGE_GET_DEVICE_NUMBER failed");
        return false;
    }
    DISK_GROW_PARTITION request{};
    request.PartitionNumber = number.PartitionNumber;
    request.BytesToGrow = bytes;
    if (!Control(handle, IOCTL_DISK_GROW_PARTITION, &request, sizeof request)) {
        Box("IOCTL_DISK_GROW_PARTITION failed:", GetLastError());
        return false;
    }
    Control(handle, FSCTL_DISMOUNT_VOLUME);
    UpdateDriveSize(handle);
    return true;
}

}  // namespace disk
