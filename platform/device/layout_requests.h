// The control codes that change a disk's partition table or a volume's file
// system, answered for DeviceIoControl (ioctl.cpp) by the device registry.
// Shared by the control-code code of this folder only.
//
// Every change is worked out first (platform/device/records/layout_writer.h)
// and checked against what the machine is using: a volume in use may keep
// its place, grow, or shrink to no less than its file system, but is never
// deleted or moved. Only then is the table written, synced, and the host told
// (on Linux: the kernel's partitions follow through BLKPG).
#pragma once

#include "platform/base/win_error.h"
#include "platform/device/handle_state.h"
#include "platform/device/host/host.h"

namespace platform::device {

// IOCTL_DISK_SET_DRIVE_LAYOUT_EX: the whole layout, as the record gives it.
bool SetDriveLayoutRequest(Handle::State& handle, const DiskInfo& disk, const void* in, DWORD in_size);
// IOCTL_DISK_CREATE_DISK: a new, empty MBR, GPT or raw disk.
bool CreateDiskRequest(Handle::State& handle, const DiskInfo& disk, const void* in, DWORD in_size);
// IOCTL_DISK_DELETE_DRIVE_LAYOUT: no table at all (as CREATE_DISK raw).
bool DeleteDriveLayoutRequest(Handle::State& handle, const DiskInfo& disk);
// IOCTL_DISK_GROW_PARTITION: partition n of the disk by a (signed) byte
// count. Growing needs free room up to the new end (ERROR_DISK_FULL
// otherwise); shrinking may not cut into the file system.
bool GrowPartitionRequest(Handle::State& handle, const DiskInfo& disk, const void* in, DWORD in_size);

// FSCTL_EXTEND_VOLUME and FSCTL_SHRINK_VOLUME on a volume handle: the file
// system grows to fill its partition up to the new size, or shrinks to it,
// through the file system's own resizer.
bool ExtendVolumeRequest(Handle::State& handle, const DiskInfo& disk, const VolumeInfo& volume, const void* in,
                         DWORD in_size);
bool ShrinkVolumeRequest(Handle::State& handle, const DiskInfo& disk, const VolumeInfo& volume, const void* in,
                         DWORD in_size);

// Whether `length` bytes written at `offset` of the disk (`data`, or zeros
// when null) leave its table as a table change must: every volume in use
// where it was, as large as its file system. Only a write that touches
// bytes the table is read from can change it. False with
// ERROR_ACCESS_DENIED when a volume in use would be deleted, moved or cut
// short; with the system's error when the table cannot be read.
bool WriteSparesVolumesInUse(const DiskInfo& disk, std::int64_t offset, std::size_t length, const void* data);

// The bytes a file system at [start, start + length) of the disk occupies,
// by its own count; 0 when it is not known.
std::int64_t FileSystemBytes(const ReadAt& read, std::int64_t start, std::int64_t length);

}  // namespace platform::device
