// Operations on an open disk or volume handle (or on a path they open
// themselves) that prepare a device for raw writing or change its state.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/device/handle.h"

namespace disk {

// Up to five attempts a second apart; true when one succeeds.
bool LockVolumeHandle(platform::Handle& handle);
bool DismountVolumeHandle(platform::Handle& handle);
bool UnlockVolumeHandle(platform::Handle& handle);
// Lock, dismount, unlock, results ignored: makes the file system let go.
void LockDismountUnlock(platform::Handle& handle);
// The system re-reads the partition table.
bool IoctlUpdateProperties(platform::Handle& handle);
// Raise the operating-system error on failure.
bool IoctlVolumeOnline(platform::Handle& handle);
bool IoctlVolumeOffline(platform::Handle& handle);
// 0 on failure (and on plain files, whose callers use the file size instead).
std::int64_t GetPartitionLength(platform::Handle& handle);
std::int64_t GetDiskLength(platform::Handle& handle);
// Attribute bit 1 offline, bit 2 read-only; the mask says which to change.
bool IoctlSetDiskAttributes(const std::string& path, std::int64_t attributes, std::int64_t mask);
// Dismounts the disk and deletes its whole layout; raises
// "IOCTL_DISK_DELETE_DRIVE_LAYOUT failed:" + the system text.
bool DeleteDriveLayout(const std::string& disk);
bool DeleteDriveLayout(int disk);
// Creates `path` anew with `size` bytes: sparse, fully allocated, or plain.
// The file is made beside the name and replaces a file there only once it
// is complete. Raises "_make_sparse_file:" + the reason on failure, which
// leaves an existing file as it was and no new one.
bool _make_sparse_file(const std::string& path, bool sparse, bool allocate, std::int64_t size);

// "\\.\PhysicalDrive" + N for a bare number or any spelling of the disk path;
// "" (which opens nothing) for any other text.
std::string NormalizeDiskPath(const std::string& disk);

// The pause between lock attempts; tests shorten it.
void SetLockRetryDelay(std::chrono::milliseconds delay);

}  // namespace disk
