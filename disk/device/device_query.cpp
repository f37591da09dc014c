#include "disk/device/device_query.h"

#include <cstring>
#include <stdexcept>

#include "platform/base/ascii.h"
#include "platform/device/path.h"
#include "platform/device/records/mbr.h"
#include "platform/base/interaction.h"
#include "platform/device/volume_api.h"
#include "disk/device/handle_ops.h"

namespace disk {

using namespace platform;

namespace {

bool Printable(unsigned char c) { return c >= 32 && c <= 126; }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Devices that store their serial as hex pairs ("3132333435" for "12345").
bool DecodeHex(const std::string& raw, std::string& decoded) {
    decoded.clear();
    int high = -1;
    for (char original : raw) {
        char c = platform::AsciiLower(original);
        int nibble = HexDigit(c);
        if (nibble < 0) return false;  // blanks, tabs and CR count as invalid digits too
        if (high < 0) {
            high = nibble;
            continue;
        }
        auto byte = static_cast<unsigned char>(high * 16 + nibble);
        high = -1;
        if (byte == 0) continue;  // padding; a NUL inside a text would cut it short
        if (!Printable(byte)) return false;
        decoded += static_cast<char>(byte);
    }
    // All padding ("0000") is no hex text at all: read it as it stands.
    return !decoded.empty();
}

}  // namespace

std::string BusTypeToStr(std::uint32_t bus_type) {
    static const char* const names[] = {"Scsi", "Atapi", "Ata", "1394", "Ssa", "Fibre",
                                        "Usb",  "RAID",  "iSCSI", "Sas", "Sata"};
    if (bus_type >= 1 && bus_type <= 11) return names[bus_type - 1];
    return "unknown";
}

std::string ExtractDescriptorString(const std::uint8_t* descriptor, std::size_t length, std::int64_t offset,
                                    bool swap) {
    if (offset <= 0 || static_cast<std::uint64_t>(offset) >= length) return "";
    // The string runs to its NUL or to the end of what the device returned.
    std::string raw;
    for (std::size_t i = static_cast<std::size_t>(offset); i < length && descriptor[i] != 0; ++i)
        raw += static_cast<char>(descriptor[i]);

    std::string result;
    if (!DecodeHex(raw, result)) {
        result.clear();
        for (char c : raw) {
            if (!Printable(static_cast<unsigned char>(c))) return "";
            result += c;
        }
    }
    if (swap)
        for (std::size_t i = 0; i + 1 < result.size(); i += 2) std::swap(result[i], result[i + 1]);
    return platform::Trim(result);
}

Handle OpenForQuery(const std::string& path, DWORD access) {
    return CreateFile(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
}

bool GetStorageInfo(const std::string& path, TStorageInfo& info) {
    Handle h = OpenForQuery(path, 0);
    if (!h) return false;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<std::uint8_t> buffer(4096);
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned))
        return false;
    if (returned < sizeof(STORAGE_DEVICE_DESCRIPTOR)) return false;
    STORAGE_DEVICE_DESCRIPTOR d;
    std::memcpy(&d, buffer.data(), sizeof d);
    info.VendorId = ExtractDescriptorString(buffer.data(), returned, d.VendorIdOffset, false);
    info.SerialNumber = ExtractDescriptorString(buffer.data(), returned, d.SerialNumberOffset, false);
    info.ProductId = ExtractDescriptorString(buffer.data(), returned, d.ProductIdOffset, false);
    info.ProductRevision = ExtractDescriptorString(buffer.data(), returned, d.ProductRevisionOffset, false);
    info.Removable = d.RemovableMedia;
    info.BusType = BusTypeToStr(d.BusType);
    return true;
}

bool GetAccessAlignment(const std::string& path, STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR& alignment) {
    Handle h = OpenForQuery(path, 0);
    if (!h) return false;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageAccessAlignmentProperty;
    std::vector<std::uint8_t> buffer(4096);
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned) ||
        returned < sizeof alignment)
        return false;
    std::memcpy(&alignment, buffer.data(), sizeof alignment);
    return true;
}

bool GetDriveLayoutEx(const std::string& path, DriveLayoutBuffer& layout) {
    Handle h = CreateFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    DWORD returned = 0;
    if (!h || !DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, &layout, sizeof layout, &returned)) {
        DWORD error = GetLastError();
        h.close();
        throw std::runtime_error("IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed:" + SysErrorMessage(error));
    }
    return true;
}

bool GetPredictFailure(Handle& handle, STORAGE_PREDICT_FAILURE& prediction) {
    std::memset(&prediction, 0, sizeof prediction);
    SetLastError(ERROR_SUCCESS);
    DWORD returned = 0;
    return DeviceIoControl(handle, IOCTL_STORAGE_PREDICT_FAILURE, nullptr, 0, &prediction, sizeof prediction,
                           &returned);
}

bool GetPartitionInfoEx(Handle& handle, PARTITION_INFORMATION_EX& info) {
    DWORD returned = 0;
    return DeviceIoControl(handle, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, &info, sizeof info, &returned);
}

bool GetDiskCacheInfo(const std::string& path, DISK_CACHE_INFORMATION& info) {
    Handle h = OpenForQuery(path, GENERIC_READ);
    DWORD returned = 0;
    return h && DeviceIoControl(h, IOCTL_DISK_GET_CACHE_INFORMATION, nullptr, 0, &info, sizeof info, &returned);
}

bool GetDiskAttributes(const std::string& path, GET_DISK_ATTRIBUTES& attributes) {
    Handle h = OpenForQuery(path, GENERIC_READ);
    DWORD returned = 0;
    return h &&
           DeviceIoControl(h, IOCTL_DISK_GET_DISK_ATTRIBUTES, nullptr, 0, &attributes, sizeof attributes, &returned);
}

bool GetDriveGeometryEx(int disk_number, DISK_GEOMETRY_EX& geometry) {
    Handle h = OpenForQuery(device::PhysicalDrivePath(disk_number), 0);
    if (!h) return false;
    DWORD returned = 0;
    return DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry, sizeof geometry, &returned);
}

bool GetDriveGeometry(int disk_number, TDriveGeometry& geometry) {
    DISK_GEOMETRY_EX ex{};
    if (!GetDriveGeometryEx(disk_number, ex)) return false;
    std::uint32_t media = ex.Geometry.MediaType;
    geometry.Size = 30;
    geometry.Flags = ((media >= 1 && media <= 11) || (media >= 13 && media <= 22)) ? 4 : 0;
    geometry.Cylinders = static_cast<std::uint32_t>(ex.Geometry.Cylinders);
    geometry.Heads = ex.Geometry.TracksPerCylinder;
    geometry.SectorsPerTrack = ex.Geometry.SectorsPerTrack;
    // In 64 bits: a product of 32-bit numbers overflows on disks over 2 TiB.
    geometry.TotalSectors = static_cast<std::uint64_t>(ex.Geometry.Cylinders) * ex.Geometry.TracksPerCylinder *
                            ex.Geometry.SectorsPerTrack;
    geometry.BytesPerSector = static_cast<std::uint16_t>(ex.Geometry.BytesPerSector);
    geometry.DiskSize = static_cast<std::uint64_t>(ex.DiskSize);
    geometry.Reserved = 0;
    return true;
}

bool GetDeviceNumber(const std::string& path, int& disk_number, int& partition) {
    disk_number = partition = -1;
    Handle h = CreateFile(path, 0, 0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (!h) return false;
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned))
        return false;
    disk_number = static_cast<int>(number.DeviceNumber);
    partition = static_cast<int>(number.PartitionNumber);
    return true;
}

void GetVolumeDiskExtents(TDiskExtent& extent, char letter) {
    if (!GetVolumeDiskExtents(device::LetterVolumePath(letter), extent)) extent = {};
}

bool GetVolumeDiskExtents(const std::string& volume_path, TDiskExtent& extent) {
    extent = {};
    Handle h = OpenForQuery(volume_path, GENERIC_READ | GENERIC_WRITE);
    if (!h) return false;
    std::uint8_t reply[260] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, reply, sizeof reply, &returned))
        return false;
    VOLUME_DISK_EXTENTS extents;
    std::memcpy(&extents, reply, sizeof extents);
    if (extents.NumberOfDiskExtents == 0) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return false;
    }
    extent.DiskNumber = extents.Extents[0].DiskNumber;
    extent.StartingOffset = extents.Extents[0].StartingOffset;
    extent.ExtentLength = extents.Extents[0].ExtentLength;
    return true;
}

std::string GetVolumeMountPaths(const std::string& volume_guid_path) {
    try {
        char buffer[260] = {};
        DWORD returned = 0;
        if (!GetVolumePathNamesForVolumeNameA(volume_guid_path, buffer, sizeof buffer, &returned)) return "";
        buffer[sizeof buffer - 1] = 0;
        return buffer;  // the first name of the list
    } catch (...) {
        return "";
    }
}

std::string GetVolumeNameForMountPoint(const std::string& mount_point) {
    char buffer[261] = {};
    if (!GetVolumeNameForVolumeMountPointA(mount_point, buffer, sizeof buffer)) return "";
    return buffer;
}

namespace {

bool MountOnce(const std::string& volume, const std::string& path) {
    if (!SetVolumeMountPointA(path, volume)) throw OSError(GetLastError());
    return true;
}

}  // namespace

bool mount_vol(const std::string& volume, const std::string& path) {
    try {
        if (!path.empty()) return MountOnce(volume, path);
        for (char letter = 'C'; letter <= 'Z'; ++letter)
            if (SetVolumeMountPointA(std::string(1, letter) + ":\\", volume)) return true;
        return false;
    } catch (const std::exception& e) {
        interaction().inform(std::string("mount_vol:") + e.what(), "mount_vol");
        return false;
    }
}

bool unmount_vol(const std::string& path) {
    try {
        if (!DeleteVolumeMountPointA(path)) throw OSError(GetLastError());
        return true;
    } catch (const std::exception& e) {
        interaction().inform(std::string("unmount_vol:") + e.what(), "unmount_vol");
        return false;
    }
}

std::string DevicePathOf(const std::string& entry) {
    if (device::IsDevicePath(entry)) {
        auto blank = entry.find(' ');
        return blank == std::string::npos ? entry : entry.substr(0, blank);
    }
    // A file path may hold blanks: only the " [label]" the lists add is cut.
    if (!entry.empty() && entry.back() == ']') {
        auto open = entry.rfind(" [");
        if (open != std::string::npos) return entry.substr(0, open);
    }
    return entry;
}

std::int64_t ReadDiskSector0(const std::string& disk_path) {
    platform::Handle h = platform::CreateFile(disk_path, platform::GENERIC_READ,
                                              platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                              platform::OPEN_EXISTING, 0);
    if (!h) return 0;
    device::MasterBootRecord mbr{};
    std::size_t got = 0;
    if (!platform::ReadAt(h, 0, &mbr, sizeof mbr, &got) || got != sizeof mbr) return 0;
    h.close();

    const int number = device::DiskNumberOf(disk_path);
    if (number < 0) return 0;
    TDriveGeometry geometry{};
    if (!GetDriveGeometry(number, geometry)) return 0;

    std::uint64_t furthest = 0;  // in sectors, 64-bit: start + count overflows 32 bits past 2 TiB
    for (const device::MbrPartitionRecord& entry : mbr.PartitionRecord) {
        const std::uint32_t start = entry.StartingLBA.value();
        const std::uint32_t count = entry.SizeInLBA.value();
        if (count == 0 || start == 0) continue;
        if (entry.OSType == device::kMbrTypeGptProtective) return static_cast<std::int64_t>(geometry.DiskSize);
        furthest = std::max<std::uint64_t>(furthest, static_cast<std::uint64_t>(start) + count);
    }
    return static_cast<std::int64_t>(furthest * geometry.BytesPerSector);
}

std::string VolumeNameToDeviceName(const std::string& volume_name) {
    try {
        std::string name = volume_name;
        if (name.find(':') == std::string::npos) {
            // "\\?\Volume{...}\" -> "Volume{...}"
            if (name.size() < 5) return "";
            name = name.substr(4, name.size() - 5);
        }
        char target[260] = {};
        if (platform::QueryDosDeviceA(name, target, sizeof target) == 0) return "";
        target[sizeof target - 1] = 0;
        return target;
    } catch (const std::exception& e) {
        platform::interaction().inform(std::string("VolumeNameToDeviceName:") + e.what(),
                                       platform::kLibraryErrorCaption);
        return "";
    }
}

}  // namespace disk
