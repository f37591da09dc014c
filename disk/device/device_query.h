// One-shot questions to a disk or volume: open it, send one control code,
// copy the answer into a plain record, close it again. Everything else
// learns what a device is through these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/device/handle.h"
#include "platform/device/records/winioctl.h"

namespace disk {

struct TStorageInfo {
    std::string VendorId;
    std::string SerialNumber;
    std::string ProductId;  // shown as the disk's description everywhere
    std::string ProductRevision;
    std::uint8_t Removable = 0;
    std::string BusType;
};

#pragma pack(push, 1)
struct TDriveGeometry {
    std::uint16_t Size;
    std::uint16_t Flags;  // 4 for floppy and removable media types
    std::uint32_t Cylinders;
    std::uint32_t Heads;
    std::uint32_t SectorsPerTrack;
    std::uint64_t TotalSectors;
    std::uint16_t BytesPerSector;
    std::uint64_t DiskSize;
    std::uint32_t Reserved;
};
#pragma pack(pop)
static_assert(sizeof(TDriveGeometry) == 38);

// The one drive-layout record used for every layout read and write: the
// header and room for 128 entries, a full GPT array.
using DriveLayoutBuffer = platform::DRIVE_LAYOUT_INFORMATION_EX;
static_assert(sizeof(DriveLayoutBuffer) == 18480);

struct TDiskExtent {
    std::uint32_t DiskNumber = 0;
    std::int64_t StartingOffset = 0;
    std::int64_t ExtentLength = 0;
};

std::string BusTypeToStr(std::uint32_t bus_type);

// A string of a storage device descriptor: hex-encoded bytes when the whole
// string decodes to printable bytes, else the printable characters as they
// stand; empty for offset 0 or a string with control characters. Reads never
// go past `length`, the bytes the device returned.
std::string ExtractDescriptorString(const std::uint8_t* descriptor, std::size_t length, std::int64_t offset,
                                    bool swap);

bool GetStorageInfo(const std::string& path, TStorageInfo& info);
bool GetAccessAlignment(const std::string& path, platform::STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR& alignment);
// Raises "IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed:" + the system text on failure.
bool GetDriveLayoutEx(const std::string& path, DriveLayoutBuffer& layout);
bool GetPredictFailure(platform::Handle& handle, platform::STORAGE_PREDICT_FAILURE& prediction);
bool GetPartitionInfoEx(platform::Handle& handle, platform::PARTITION_INFORMATION_EX& info);
bool GetDiskCacheInfo(const std::string& path, platform::DISK_CACHE_INFORMATION& info);
bool GetDiskAttributes(const std::string& path, platform::GET_DISK_ATTRIBUTES& attributes);
bool GetDriveGeometryEx(int disk, platform::DISK_GEOMETRY_EX& geometry);
// Leaves `geometry` untouched on failure.
bool GetDriveGeometry(int disk, TDriveGeometry& geometry);
// Both numbers -1 on failure.
bool GetDeviceNumber(const std::string& path, int& disk, int& partition);
// All zero when the query fails.
void GetVolumeDiskExtents(TDiskExtent& extent, char letter);
// The first extent of the volume `volume_path` names; false (with the last
// error set, ERROR_NO_MORE_ITEMS for a volume without extents) when there is none.
bool GetVolumeDiskExtents(const std::string& volume_path, TDiskExtent& extent);

// First mount path of a volume ("C:\"); empty on any failure.
std::string GetVolumeMountPaths(const std::string& volume_guid_path);
// "C:\" -> its volume GUID path; empty on failure.
std::string GetVolumeNameForMountPoint(const std::string& mount_point);
// Gives the volume a letter: the first free one from C: with an empty path.
bool mount_vol(const std::string& volume, const std::string& path);
bool unmount_vol(const std::string& path);

// The device path of a list entry ("\\.\C: [System]" -> "\\.\C:"). A device
// entry is cut at its first blank; a file path keeps its blanks and loses
// only a trailing " [...]" description.
std::string DevicePathOf(const std::string& entry);

// Opens a device for a query, as the query routines all do: shared read and
// write, existing only.
platform::Handle OpenForQuery(const std::string& path, platform::DWORD access);

// Bytes from the start of the disk to the end of its furthest MBR partition,
// the space a backup that skips unused space must take. A GPT-protective
// entry stands for the whole disk, so the backup GPT at its end is kept.
// 0 when the disk cannot be read or measured.
std::int64_t ReadDiskSector0(const std::string& disk_path);

// The NT device name behind a volume name ("\\?\Volume{...}\" or "C:"),
// such as "\Device\HarddiskVolume2"; empty when there is none.
std::string VolumeNameToDeviceName(const std::string& volume_name);

}  // namespace disk
