// The virtual-disk service as the program uses it: thin wrappers that look
// each VirtDisk.dll entry point up at the call (raising "could not load ...
// from virtdisk.dll" when the library or the entry point is missing) and
// return its Windows result code. rawvhd, the block copy between a disk or
// file and a VHD/VHDX, is in disk/engines/rawvhd.h.
#pragma once

#include <cstdint>
#include <string>

#include "platform/device/handle.h"
#include "platform/base/progress.h"
#include "platform/virtdisk/virtdisk.h"

namespace disk {

using platform::DWORD;
using platform::virtdisk::GET_VIRTUAL_DISK_INFO;
using platform::virtdisk::VIRTUAL_STORAGE_TYPE;

// The extension of the path's file name, lower-cased (".vhdx"); "" when the
// name has none. Folders do not count: "/a.vhdx.d/b.vhd" gives ".vhd".
std::string LoweredExtension(const std::string& path);

// The storage type a path names by its file name's extension: ".iso" an
// ISO, ".vhdx" a VHDX, ".vhds" a VHD set, anything else a VHD.
VIRTUAL_STORAGE_TYPE StorageTypeOfPath(const std::string& path);

// Paths that are not valid UTF-8 are refused with ERROR_INVALID_NAME by the
// wrappers that take one before anything is touched.

// Opens a virtual disk. An ISO is always opened with access 0xD0000.
// Parameter version 1 carries `rw_depth`; version 2 opens for everything.
DWORD OpenVirtualDisk(const std::string& path, platform::Handle* out, DWORD access_mask, int parameter_version,
                      std::uint32_t rw_depth);

// Creates a virtual disk of `maximum_size` bytes and opens it into `out`
// (left invalid when the result is not 0). A physical sector size for a
// VHDX makes the parameters version 2, whose access mask is 0.
DWORD CreateVirtualDisk(const std::string& path, DWORD access_mask, DWORD flags, std::uint32_t physical_sector_size,
                        std::uint32_t sector_size, const platform::virtdisk::SECURITY_DESCRIPTOR* security,
                        platform::virtdisk::OVERLAPPED* overlapped, const std::string& parent, platform::Handle* out,
                        std::int64_t maximum_size);
// Fixed (fully allocated) and expandable (dynamic) disks.
DWORD CreateVirtualDisk1(const std::string& path, DWORD access_mask, std::uint32_t physical_sector_size,
                         std::uint32_t sector_size, const platform::virtdisk::SECURITY_DESCRIPTOR* security,
                         platform::virtdisk::OVERLAPPED* overlapped, const std::string& parent, platform::Handle* out,
                         std::int64_t maximum_size);
DWORD CreateVirtualDisk0(const std::string& path, DWORD access_mask, std::uint32_t physical_sector_size,
                         std::uint32_t sector_size, const platform::virtdisk::SECURITY_DESCRIPTOR* security,
                         platform::virtdisk::OVERLAPPED* overlapped, const std::string& parent, platform::Handle* out,
                         std::int64_t maximum_size);

DWORD AttachVirtualDisk(platform::Handle& handle, DWORD flags);
DWORD DetachVirtualDisk(platform::Handle& handle);
// Resizes to the smallest safe virtual size.
DWORD ResizeVirtualDisk(platform::Handle& handle);
DWORD CompactVirtualDisk(platform::Handle& handle);
DWORD ExpandVirtualDisk(platform::Handle& handle, std::int64_t new_size);
// Merges a differencing disk one level into its parent.
DWORD MergeVirtualDisk(platform::Handle& handle);
// The caller sets info.Version; the answer comes back in `info`.
DWORD GetVirtualDiskInformation(platform::Handle& handle, GET_VIRTUAL_DISK_INFO& info);
// "\\.\PhysicalDriveN" of the attached disk; "" when it has none.
std::string GetVirtualDiskPhysicalPath(platform::Handle& handle);

// The first dependency entry of an attached virtual disk, with texts of its
// own (the service's buffer is gone once the call returns).
struct StorageDependency {
    DWORD DependencyTypeFlags = 0;
    std::uint32_t ProviderSpecificFlags = 0;
    VIRTUAL_STORAGE_TYPE VirtualStorageType{};
    std::uint32_t AncestorLevel = 0;
    std::string DependencyDeviceName;         // \\.\PhysicalDriveN
    std::string HostVolumeName;               // empty: the relative path is a full path of this machine
    std::string DependentVolumeName;
    std::string DependentVolumeRelativePath;  // the image file
};

// For a disk given as "\\.\PhysicalDriveN" or as its number: 0 and the
// entry when the disk is an attached virtual disk, else 255. Raises
// "could not createfile" when the disk cannot be opened.
int GetStorageDependencyInformation(const std::string& disk, StorageDependency& out);
int GetStorageDependencyInformation(int disk_number, StorageDependency& out);

// IOCTL_DISK_GET_LENGTH_INFO of a disk or volume handle; 0 on failure.
std::int64_t GetHandleLength(platform::Handle& handle);

}  // namespace disk
