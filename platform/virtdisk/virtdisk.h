// The virtual-disk interface (VirtDisk.dll) as the program calls it, carried
// out by the qemu tools (qemu-img, qemu-nbd served through nbdfuse) and our
// own VHD code. The entry points keep their Windows names, arguments and
// results; callers reach them through GetProcAddress on the module
// "VirtDisk.dll" (platform/modules/module.h), which loads when qemu-img is on PATH.
//
// Results are Windows error codes (0 = success). A virtual-disk handle is a
// platform::Handle of kind VirtualDisk: once attached, ReadAt/WriteAt and
// ReadFile/WriteFile on it reach the virtual disk's bytes [0, virtual size),
// and closing it detaches an attach made without the permanent flag.
// Records use our natural (64-bit) layout; texts are UTF-16.
//
// A differencing VHD can be created (over a VHD parent), opened, queried and
// merged into its parent, but not attached: qemu cannot read one.
#pragma once

#include "platform/os/stand_in_module.h"

#include <cstdint>

#include "platform/device/handle.h"
#include "platform/device/records/winioctl.h"
#include "platform/base/win_error.h"

namespace platform::virtdisk {

using ULONG = std::uint32_t;
using ULONGLONG = std::uint64_t;
using BOOL = int;
using PCWSTR = const char16_t*;
using PWSTR = char16_t*;

enum : DWORD {
    ERROR_VHD_INVALID_TYPE = 0xC03A001Bu,
    ERROR_VIRTDISK_UNSUPPORTED_DISK_SECTOR_SIZE = 0xC03A0019u,
    ERROR_VHD_PARENT_VHD_NOT_FOUND = 0xC03A0017u,
    ERROR_VHD_CHILD_PARENT_ID_MISMATCH = 0xC03A0018u,
};

// ---- storage type ----------------------------------------------------------

enum : ULONG {
    VIRTUAL_STORAGE_TYPE_DEVICE_UNKNOWN = 0,
    VIRTUAL_STORAGE_TYPE_DEVICE_ISO = 1,
    VIRTUAL_STORAGE_TYPE_DEVICE_VHD = 2,
    VIRTUAL_STORAGE_TYPE_DEVICE_VHDX = 3,
    VIRTUAL_STORAGE_TYPE_DEVICE_VHDSET = 4,
};

struct VIRTUAL_STORAGE_TYPE {
    ULONG DeviceId;
    GUID VendorId;
};
static_assert(sizeof(VIRTUAL_STORAGE_TYPE) == 20);

// {EC984AEC-A0F9-47e9-901F-71415A66345B}
inline constexpr GUID VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT = {
    0xEC984AEC, 0xA0F9, 0x47e9, {0x90, 0x1F, 0x71, 0x41, 0x5A, 0x66, 0x34, 0x5B}};
inline constexpr GUID VIRTUAL_STORAGE_TYPE_VENDOR_UNKNOWN = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// ---- access masks and flags ------------------------------------------------

enum : DWORD {
    VIRTUAL_DISK_ACCESS_NONE = 0,
    VIRTUAL_DISK_ACCESS_ATTACH_RO = 0x00010000,
    VIRTUAL_DISK_ACCESS_ATTACH_RW = 0x00020000,
    VIRTUAL_DISK_ACCESS_DETACH = 0x00040000,
    VIRTUAL_DISK_ACCESS_GET_INFO = 0x00080000,
    VIRTUAL_DISK_ACCESS_CREATE = 0x00100000,
    VIRTUAL_DISK_ACCESS_METAOPS = 0x00200000,
    VIRTUAL_DISK_ACCESS_READ = 0x000D0000,
    VIRTUAL_DISK_ACCESS_ALL = 0x003F0000,
    VIRTUAL_DISK_ACCESS_WRITABLE = 0x00320000,

    OPEN_VIRTUAL_DISK_FLAG_NONE = 0,
    OPEN_VIRTUAL_DISK_FLAG_NO_PARENTS = 1,
    OPEN_VIRTUAL_DISK_FLAG_BLANK_FILE = 2,

    CREATE_VIRTUAL_DISK_FLAG_NONE = 0,
    CREATE_VIRTUAL_DISK_FLAG_FULL_PHYSICAL_ALLOCATION = 1,

    ATTACH_VIRTUAL_DISK_FLAG_NONE = 0,
    ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY = 1,
    ATTACH_VIRTUAL_DISK_FLAG_NO_DRIVE_LETTER = 2,
    ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME = 4,
    ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST = 8,

    DETACH_VIRTUAL_DISK_FLAG_NONE = 0,
    EXPAND_VIRTUAL_DISK_FLAG_NONE = 0,
    MERGE_VIRTUAL_DISK_FLAG_NONE = 0,
    COMPACT_VIRTUAL_DISK_FLAG_NONE = 0,
    RESIZE_VIRTUAL_DISK_FLAG_NONE = 0,
    RESIZE_VIRTUAL_DISK_FLAG_ALLOW_UNSAFE_VIRTUAL_SIZE = 1,
    RESIZE_VIRTUAL_DISK_FLAG_RESIZE_TO_SMALLEST_SAFE_VIRTUAL_SIZE = 2,

    GET_STORAGE_DEPENDENCY_FLAG_NONE = 0,
    GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES = 1,
    GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE = 2,

    DEPENDENT_DISK_FLAG_NONE = 0,
    DEPENDENT_DISK_FLAG_READ_ONLY = 0x00000008,
    DEPENDENT_DISK_FLAG_FULLY_ALLOCATED = 0x00000002,
    DEPENDENT_DISK_FLAG_PERMANENT_LIFETIME = 0x00000080,
    DEPENDENT_DISK_FLAG_NO_DRIVE_LETTER = 0x00000200,
    DEPENDENT_DISK_FLAG_NO_HOST_DISK = 0x00001000,
};

// ---- parameter records -----------------------------------------------------

struct OPEN_VIRTUAL_DISK_PARAMETERS {
    ULONG Version;  // 1 or 2
    union {
        struct {
            ULONG RWDepth;
        } Version1;
        struct {
            BOOL GetInfoOnly;
            BOOL ReadOnly;
            GUID ResiliencyGuid;
        } Version2;
    };
};

struct CREATE_VIRTUAL_DISK_PARAMETERS {
    ULONG Version;  // 1 or 2
    union {
        struct {
            GUID UniqueId;
            ULONGLONG MaximumSize;
            ULONG BlockSizeInBytes;
            ULONG SectorSizeInBytes;
            PCWSTR ParentPath;
            PCWSTR SourcePath;
        } Version1;
        struct {
            GUID UniqueId;
            ULONGLONG MaximumSize;
            ULONG BlockSizeInBytes;
            ULONG SectorSizeInBytes;
            ULONG PhysicalSectorSizeInBytes;
            PCWSTR ParentPath;
            PCWSTR SourcePath;
            DWORD OpenFlags;
            VIRTUAL_STORAGE_TYPE ParentVirtualStorageType;
            VIRTUAL_STORAGE_TYPE SourceVirtualStorageType;
            GUID ResiliencyGuid;
        } Version2;
    };
};

struct ATTACH_VIRTUAL_DISK_PARAMETERS {
    ULONG Version;  // 1
    ULONG Reserved;
};

struct EXPAND_VIRTUAL_DISK_PARAMETERS {
    ULONG Version;  // 1
    ULONGLONG NewSize;
};

struct MERGE_VIRTUAL_DISK_PARAMETERS {
    ULONG Version;  // 1
    ULONG MergeDepth;
};

struct RESIZE_VIRTUAL_DISK_PARAMETERS {
    ULONG Version;  // 1
    ULONGLONG NewSize;
};

struct COMPACT_VIRTUAL_DISK_PARAMETERS {
    ULONG Version;  // 1
    ULONG Reserved;
};

// ---- information ---------------------------------------------------------------

enum : ULONG {
    GET_VIRTUAL_DISK_INFO_UNSPECIFIED = 0,
    GET_VIRTUAL_DISK_INFO_SIZE = 1,
    GET_VIRTUAL_DISK_INFO_IDENTIFIER = 2,
    GET_VIRTUAL_DISK_INFO_PARENT_LOCATION = 3,
    GET_VIRTUAL_DISK_INFO_PARENT_IDENTIFIER = 4,
    GET_VIRTUAL_DISK_INFO_PARENT_TIMESTAMP = 5,
    GET_VIRTUAL_DISK_INFO_VIRTUAL_STORAGE_TYPE = 6,
    GET_VIRTUAL_DISK_INFO_PROVIDER_SUBTYPE = 7,
};

struct GET_VIRTUAL_DISK_INFO {
    ULONG Version;  // what the caller asks for
    union {
        struct {
            ULONGLONG VirtualSize;
            ULONGLONG PhysicalSize;
            ULONG BlockSize;
            ULONG SectorSize;
        } Size;
        GUID Identifier;
        struct {
            BOOL ParentResolved;
            char16_t ParentLocationBuffer[1];  // NUL-terminated, runs on into the caller's buffer
        } ParentLocation;
        GUID ParentIdentifier;
        ULONG ParentTimestamp;
        VIRTUAL_STORAGE_TYPE VirtualStorageType;
        ULONG ProviderSubtype;  // 2 fixed, 3 dynamic, 4 differencing
    };
};

struct STORAGE_DEPENDENCY_INFO_TYPE_2 {
    DWORD DependencyTypeFlags;
    ULONG ProviderSpecificFlags;
    VIRTUAL_STORAGE_TYPE VirtualStorageType;
    ULONG AncestorLevel;
    PWSTR DependencyDeviceName;         // \\.\PhysicalDriveN
    PWSTR HostVolumeName;               // empty: the relative path below is a full path of this machine
    PWSTR DependentVolumeName;
    PWSTR DependentVolumeRelativePath;  // the backing file
};

struct STORAGE_DEPENDENCY_INFO {
    ULONG Version;  // 2
    ULONG NumberOfEntries;
    STORAGE_DEPENDENCY_INFO_TYPE_2 Version2Entries[1];  // the texts follow the entries in the same buffer
};

struct OVERLAPPED;  // never used: every call here completes before it returns
struct SECURITY_DESCRIPTOR;

// ---- entry points -------------------------------------------------------------

using HANDLE = Handle*;
using PHANDLE = Handle*;  // receives the opened handle

DWORD OpenVirtualDisk(const VIRTUAL_STORAGE_TYPE* VirtualStorageType, PCWSTR Path, DWORD VirtualDiskAccessMask,
                      DWORD Flags, const OPEN_VIRTUAL_DISK_PARAMETERS* Parameters, PHANDLE Handle);
DWORD CreateVirtualDisk(const VIRTUAL_STORAGE_TYPE* VirtualStorageType, PCWSTR Path, DWORD VirtualDiskAccessMask,
                        const SECURITY_DESCRIPTOR* SecurityDescriptor, DWORD Flags, ULONG ProviderSpecificFlags,
                        const CREATE_VIRTUAL_DISK_PARAMETERS* Parameters, OVERLAPPED* Overlapped, PHANDLE Handle);
DWORD AttachVirtualDisk(HANDLE VirtualDiskHandle, const SECURITY_DESCRIPTOR* SecurityDescriptor, DWORD Flags,
                        ULONG ProviderSpecificFlags, const ATTACH_VIRTUAL_DISK_PARAMETERS* Parameters,
                        OVERLAPPED* Overlapped);
DWORD DetachVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, ULONG ProviderSpecificFlags);
DWORD GetVirtualDiskInformation(HANDLE VirtualDiskHandle, ULONG* VirtualDiskInfoSize,
                                GET_VIRTUAL_DISK_INFO* VirtualDiskInfo, ULONG* SizeUsed);
// `DiskPathSizeInBytes` counts bytes of the UTF-16 buffer, the final NUL included.
DWORD GetVirtualDiskPhysicalPath(HANDLE VirtualDiskHandle, ULONG* DiskPathSizeInBytes, PWSTR DiskPath);
DWORD GetStorageDependencyInformation(HANDLE ObjectHandle, DWORD Flags, ULONG StorageDependencyInfoSize,
                                      STORAGE_DEPENDENCY_INFO* StorageDependencyInfo, ULONG* SizeUsed);
DWORD ExpandVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, const EXPAND_VIRTUAL_DISK_PARAMETERS* Parameters,
                        OVERLAPPED* Overlapped);
DWORD MergeVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, const MERGE_VIRTUAL_DISK_PARAMETERS* Parameters,
                       OVERLAPPED* Overlapped);
DWORD CompactVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, const COMPACT_VIRTUAL_DISK_PARAMETERS* Parameters,
                         OVERLAPPED* Overlapped);
DWORD ResizeVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, const RESIZE_VIRTUAL_DISK_PARAMETERS* Parameters,
                        OVERLAPPED* Overlapped);

// The pointer types the callers cast GetProcAddress results to.
using OpenVirtualDiskProc = decltype(&OpenVirtualDisk);
using CreateVirtualDiskProc = decltype(&CreateVirtualDisk);
using AttachVirtualDiskProc = decltype(&AttachVirtualDisk);
using DetachVirtualDiskProc = decltype(&DetachVirtualDisk);
using GetVirtualDiskInformationProc = decltype(&GetVirtualDiskInformation);
using GetVirtualDiskPhysicalPathProc = decltype(&GetVirtualDiskPhysicalPath);
using GetStorageDependencyInformationProc = decltype(&GetStorageDependencyInformation);
using ExpandVirtualDiskProc = decltype(&ExpandVirtualDisk);
using MergeVirtualDiskProc = decltype(&MergeVirtualDisk);
using CompactVirtualDiskProc = decltype(&CompactVirtualDisk);
using ResizeVirtualDiskProc = decltype(&ResizeVirtualDisk);

}  // namespace platform::virtdisk

namespace platform {
// The stand-in LoadLibraryA hands out for this library.
const StandInModule& VirtDiskModule();
}  // namespace platform
