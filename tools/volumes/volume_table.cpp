#include "tools/volumes/volume_table.h"

#include <cstdio>
#include <stdexcept>

#include "disk/device/device_lists.h"
#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "platform/base/ascii.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"
#include "platform/device/shadow_copies.h"
#include "platform/device/volume_api.h"

namespace tarnovell {

namespace {

constexpr std::uint8_t kUnknown = 255;

std::uint8_t Small(int number) { return number >= 0 && number < kUnknown ? static_cast<std::uint8_t>(number) : kUnknown; }

std::string WithoutTrailingBackslash(std::string name) {
    if (!name.empty() && name.back() == '\\') name.pop_back();
    return name;
}

std::string FirstMountPath(const std::string& volume_name) {
    const std::vector<std::string> paths = platform::VolumePathNames(volume_name);
    return paths.empty() ? "" : paths.front();
}

// The disk and partition a shadow copy is a picture of: those of the volume
// the kernel knows by the origin's node.
void OriginNumbers(const platform::device::ShadowCopy& copy, int& disk, int& partition) {
    disk = partition = kUnknown;
    if (copy.origin_node.empty()) return;
    auto snap = platform::device::Registry::instance().snapshot();
    for (const auto& volume : snap->volumes)
        if (volume.kernel_device == copy.origin_node) {
            disk = volume.disk;
            partition = static_cast<int>(volume.partition_number);
            return;
        }
}

void AddShadowCopies(std::vector<VolumeRow>& rows, const std::vector<TDosDeviceRecord>& dos, std::string& notice) {
    std::vector<platform::device::ShadowCopy> copies;
    if (!platform::device::ListShadowCopies(copies, notice)) return;
    for (const auto& copy : copies) {
        const std::string device = "\\??\\harddiskvolumeshadowcopy" + std::to_string(copy.number);
        bool known = false;
        for (const auto& record : dos) known = known || platform::EqualsNoCase(record.DeviceName, device);
        if (known) continue;
        VolumeRow row;
        OriginNumbers(copy, row.disk, row.partition);
        row.device = device;
        row.size = copy.size;
        if (copy.serial) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "%04X", *copy.serial);
            row.serial = hex;
        }
        row.shadow_node = copy.node;
        rows.push_back(std::move(row));
    }
}

}  // namespace

void GetVolume_Storage(const std::string& volume_name, int& disk, int& partition) {
    if (!disk::GetDeviceNumber(WithoutTrailingBackslash(volume_name), disk, partition))
        throw std::runtime_error("GetVolume_Storage:" + platform::SysErrorMessage(platform::GetLastError()));
}

void _GetVolumeExtent(const std::string& volume_name, int& disk, std::int64_t& start, std::int64_t& length) {
    disk::TDiskExtent extent;
    if (!disk::GetVolumeDiskExtents(WithoutTrailingBackslash(volume_name), extent))
        throw std::runtime_error("_GetVolumeExtent:" + platform::SysErrorMessage(platform::GetLastError()));
    disk = static_cast<int>(extent.DiskNumber);
    start = extent.StartingOffset;
    length = extent.ExtentLength;
}

std::int64_t VolumePathSize(const std::string& path) {
    platform::DWORD sectors_per_cluster = 0, bytes_per_sector = 0, free_clusters = 0, total_clusters = 0;
    if (!platform::GetDiskFreeSpaceA(path, &sectors_per_cluster, &bytes_per_sector, &free_clusters, &total_clusters))
        return 0;
    return static_cast<std::int64_t>(sectors_per_cluster) * bytes_per_sector * total_clusters;
}

std::string VolumePathSerial(const std::string& path) {
    platform::VolumeInformation info;
    if (!platform::GetVolumeInformationA(path, info)) return "";
    char hex[16];
    std::snprintf(hex, sizeof hex, "%04X", info.serial);
    return hex;
}

std::vector<TVolumeRecord> list_volumes() {
    std::vector<TVolumeRecord> volumes;
    try {
        char name[256] = {};
        platform::HFINDVOLUME find = platform::FindFirstVolumeA(name, sizeof name);
        if (!find) {
            // A machine without volumes has nothing to list; anything else stops the scan.
            if (platform::GetLastError() == platform::ERROR_NO_MORE_FILES) return volumes;
            throw std::runtime_error("invalid handle");
        }
        struct Closer {
            platform::HFINDVOLUME find;
            ~Closer() { platform::FindVolumeClose(find); }
        } closer{find};
        do {
            TVolumeRecord record;
            record.VolumeName = name;
            record.DeviceName = disk::VolumeNameToDeviceName(name);
            const std::string& device = record.DeviceName;
            if (platform::ContainsNoCase(device, "cdrom") || platform::ContainsNoCase(device, "floppy")) continue;
            record.MountPath = FirstMountPath(name);
            int disk = kUnknown, partition = kUnknown;
            try {
                GetVolume_Storage(name, disk, partition);
            } catch (const std::exception&) {
                // No storage numbers: the first extent's disk will do, the
                // partition stays unknown.
                std::int64_t start = 0, length = 0;
                try {
                    _GetVolumeExtent(name, disk, start, length);
                } catch (const std::exception&) {
                    disk = kUnknown;
                }
                partition = kUnknown;
            }
            record.DiskNumber = Small(disk);
            record.PartitionNumber = Small(partition);
            record.Size = VolumePathSize(name);
            record.Serial = VolumePathSerial(name);
            volumes.push_back(std::move(record));
        } while (platform::FindNextVolumeA(find, name, sizeof name));
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("list_volumes:") + e.what());
    }
    return volumes;
}

std::vector<TDosDeviceRecord> list_dos_devices() {
    std::vector<TDosDeviceRecord> records;
    const std::uint32_t mask = disk::GetDosDriveMask();
    for (int bit = 0; bit < 26; ++bit) {
        if (!(mask & (1u << bit))) continue;
        const std::string letter = std::string(1, static_cast<char>('A' + bit)) + ":";
        const unsigned type = platform::GetDriveTypeA(letter + "\\");
        if (type == platform::DRIVE_UNKNOWN || type == platform::DRIVE_REMOTE || type == platform::DRIVE_CDROM)
            continue;
        if (type == platform::DRIVE_REMOVABLE && disk::IsFloppyDevice(letter)) continue;
        TDosDeviceRecord record;
        int disk = kUnknown, partition = kUnknown;
        disk::GetDeviceNumber(platform::device::LetterVolumePath(static_cast<char>('A' + bit)), disk, partition);
        record.DiskNumber = Small(disk);
        record.PartitionNumber = Small(partition);
        record.Letter = letter;
        record.DeviceName = disk::VolumeNameToDeviceName(letter);
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<VolumeRow> FillVolumeRows(const std::vector<TVolumeRecord>& volumes, bool dos_devices,
                                      std::string& notice) {
    notice.clear();
    std::vector<VolumeRow> rows;
    for (const auto& volume : volumes)
        rows.push_back({volume.VolumeName, volume.MountPath, volume.DiskNumber, volume.PartitionNumber,
                        volume.DeviceName, volume.Size, volume.Serial, ""});
    if (!dos_devices) return rows;
    const std::vector<TDosDeviceRecord> dos = list_dos_devices();
    for (const auto& record : dos) {
        bool listed = false;
        for (const auto& volume : volumes)
            listed = listed || platform::EqualsNoCase(volume.MountPath.substr(0, 2), record.Letter);
        if (listed) continue;
        rows.push_back({"", record.Letter + "\\", record.DiskNumber, record.PartitionNumber, record.DeviceName, 0, "",
                        ""});
    }
    AddShadowCopies(rows, dos, notice);
    return rows;
}

std::string CopySourceOf(const VolumeRow& row) {
    if (!row.shadow_node.empty()) return row.shadow_node;
    if (!row.caption.empty()) return WithoutTrailingBackslash(row.caption);
    if (!row.path.empty()) {
        std::string letter = row.path;
        std::erase(letter, '\\');
        return "\\\\.\\" + letter;
    }
    return row.device;
}

std::int64_t CopyLengthOf(const VolumeRow& row, const std::vector<TVolumeRecord>& volumes) {
    if (!platform::ContainsNoCase(row.device, "HarddiskVolumeShadowCopy")) return 0;
    std::int64_t length = row.size;
    for (const auto& volume : volumes) {
        if (volume.Serial.empty() || volume.Serial != row.serial) continue;
        platform::Handle handle = platform::CreateFile(WithoutTrailingBackslash(volume.VolumeName),
                                                       platform::GENERIC_READ,
                                                       platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                       platform::OPEN_EXISTING, 0);
        if (handle) {
            const std::int64_t partition = disk::GetPartitionLength(handle);
            if (partition != 0) length = partition;
        }
        break;
    }
    return length;
}

}  // namespace tarnovell
