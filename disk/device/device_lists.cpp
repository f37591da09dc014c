#include "disk/device/device_lists.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "disk/util/lib_helpers.h"
#include "platform/device/device_naming.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"
#include "platform/device/records/partition_table.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/device/volume_api.h"
#include "platform/device/volume_folder.h"

namespace disk {

using namespace platform;

namespace {

// The system's DOS device names, with the buffer grown while it is too small.
std::vector<std::string> DosDeviceNames() {
    std::vector<char> buffer(65535);
    DWORD stored = 0;
    for (;;) {
        stored = QueryDosDeviceA("", buffer.data(), static_cast<DWORD>(buffer.size() - 1));
        if (stored != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() > (64u << 20)) break;
        buffer.resize(buffer.size() * 2);
    }
    std::vector<std::string> names;
    for (std::size_t at = 0; at < stored && buffer[at] != 0;) {
        std::string name(buffer.data() + at);
        names.push_back(name);
        at += name.size() + 1;
    }
    return names;
}

bool IsDriveLetterName(const std::string& name) {
    return name.size() == 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])) &&
           !EqualsNoCase(name, "a:");
}

bool AllDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Hex(std::uint64_t value, int min_digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llX", min_digits, static_cast<unsigned long long>(value));
    return text;
}

std::string StyleLine(std::uint32_t style) {
    switch (style) {
    case PARTITION_STYLE_MBR: return "Style: MBR";
    case PARTITION_STYLE_GPT: return "Style: GPT";
    case PARTITION_STYLE_RAW: return "Style: RAW";
    default: return "???";
    }
}

std::string NameOf(const char16_t* name, std::size_t max) {
    std::string text;
    for (std::size_t i = 0; i < max && name[i]; ++i) text += name[i] < 0x80 ? static_cast<char>(name[i]) : '?';
    return text;
}

// Step 2 of filling the list: one slot per volume of the machine.
std::vector<TVolumeSlot> VolumeSlots() {
    std::vector<TVolumeSlot> slots;
    for (const std::string& volume : list_volumes()) {
        TVolumeSlot slot;
        std::string device = volume;
        if (!device.empty() && device.back() == '\\') device.pop_back();
        int disk_number = -1, partition = -1;
        if (GetDeviceNumber(device, disk_number, partition)) {
            slot.DiskNumber = static_cast<std::uint8_t>(disk_number);
            slot.PartitionNumber = static_cast<std::uint8_t>(partition);
        } else {
            std::vector<std::string> paths = VolumePathNames(volume);
            if (!paths.empty() && !paths.front().empty()) {
                TDiskExtent extent;
                GetVolumeDiskExtents(extent, paths.front()[0]);
                if (extent.ExtentLength > 0) slot.DiskNumber = static_cast<std::uint8_t>(extent.DiskNumber);
            }
        }
        std::string mount = GetVolumeMountPaths(volume);
        if (slot.DiskNumber != 255 && !mount.empty()) {
            if (mount.back() == '\\' || (mount.size() > 1 && mount.back() == '/')) mount.pop_back();
            VolumeInformation info;
            std::string label;
            if (GetVolumeInformationA(volume, info)) {
                label = info.label;
                slot.FileSystem = info.file_system;
                DWORD spc = 0, bps = 0, free = 0, total = 0;
                if (GetDiskFreeSpaceA(volume, &spc, &bps, &free, &total)) {
                    std::uint64_t cluster = static_cast<std::uint64_t>(spc) * bps;
                    slot.Total = static_cast<std::int64_t>(total * cluster / 1024 / 1024);
                    slot.Free = static_cast<std::int64_t>(free * cluster / 1024 / 1024);
                    slot.Used = slot.Total - slot.Free;
                } else {
                    // The file system keeps no free count we can read: the size at least is known.
                    Handle h = OpenForQuery(device, 0);
                    if (h) slot.Total = GetPartitionLength(h) / 1024 / 1024;
                }
            }
            slot.Path = mount + (label.empty() ? "" : " [" + label + "]");
            slot.Kind = "PART";
        }
        slots.push_back(std::move(slot));
    }
    return slots;
}

// The row's node and identity, by the name a command derives from it.
void NameRow(DiskListRow& row, const device::Snapshot& snap, const std::string& path) {
    row.node = device::DeviceNodeText(snap, path);
    row.identity = device::IdentityIn(snap, path);
}

DiskListRow PartitionRow(const TVolumeSlot& slot, const device::Snapshot& snap) {
    DiskListRow row;
    row.caption = std::to_string(slot.PartitionNumber);
    row.device = "PART " + std::to_string(slot.DiskNumber) + "," + std::to_string(slot.PartitionNumber);
    row.description = slot.Path;
    row.size = std::to_string(slot.Total);
    row.used = std::to_string(slot.Used);
    row.unused = std::to_string(slot.Free);
    row.file_system = slot.FileSystem;
    NameRow(row, snap, DevicePathOf("\\\\.\\" + slot.Path));
    return row;
}

}  // namespace

std::vector<std::string> list_volumes() {
    std::vector<std::string> volumes;
    HFINDVOLUME find = nullptr;
    try {
        char name[256];
        find = FindFirstVolumeA(name, sizeof name);
        if (!find) {
            if (GetLastError() == ERROR_NO_MORE_FILES) return volumes;  // a machine without volumes
            throw std::runtime_error("invalid handle");
        }
        do {
            std::string device = VolumeNameToDeviceName(name);
            if (!ContainsNoCase(device, "cdrom") && !ContainsNoCase(device, "floppy")) volumes.push_back(name);
        } while (FindNextVolumeA(find, name, sizeof name));
    } catch (const std::exception& e) {
        interaction().inform(std::string("list_volumes:") + e.what(), kLibraryErrorCaption);
    }
    if (find) FindVolumeClose(find);
    return volumes;
}

std::uint32_t GetDosDriveMask() {
    std::uint32_t mask = 0;
    for (const auto& name : DosDeviceNames())
        if (IsDriveLetterName(name))
            mask |= 1u << (std::toupper(static_cast<unsigned char>(name[0])) - 'A');
    return mask;
}

bool IsFloppyDevice(const std::string& name) {
    char target[1024] = {};
    if (QueryDosDeviceA(name, target, sizeof target) == 0) return false;
    return ContainsNoCase(target, "floppy");
}

std::vector<std::string> FillDriveCombo(int mode) {
    auto in = [mode](std::initializer_list<int> modes) { return std::find(modes.begin(), modes.end(), mode) != modes.end(); };
    std::vector<std::string> entries;
    for (const auto& name : DosDeviceNames()) {
        if (mode == 0) {
            entries.push_back(name);
            continue;
        }
        if (in({1, 3, 10, 11, 12, 30}) && IsDriveLetterName(name)) {
            unsigned type = GetDriveTypeA(name + "\\");
            if (type == DRIVE_REMOTE || type == DRIVE_CDROM) continue;
            std::string entry = name;
            VolumeInformation info;
            if (mode != 12 && GetVolumeInformationA(name + "\\", info)) entry = name + " [" + info.label + "]";
            entries.push_back(in({10, 12}) ? entry : "\\\\.\\" + entry);
        }
        if (in({2, 3, 20, 30}) && device::IsWholeDiskPath("\\\\.\\" + name)) {
            TStorageInfo storage;
            std::string entry = name;
            if (GetStorageInfo("\\\\.\\" + name, storage) && !storage.ProductId.empty())
                entry = name + " [" + storage.ProductId + "]";
            entries.push_back("\\\\.\\" + entry);
        }
        if (mode == 99) {
            if (StartsWithNoCase(name, "harddiskvolumeshadowcopy")) entries.push_back("\\\\?\\GLOBALROOT\\Device\\" + name);
            else if (StartsWithNoCase(name, "harddiskvolume") && AllDigits(name.substr(14))) entries.push_back("\\\\.\\" + name);
            else if (StartsWithNoCase(name, "volume{")) entries.push_back("\\\\.\\" + name);
        }
    }
    if (mode == 11 || mode == 20) entries.push_back("Disk Image File (*.img;*.ima)");
    if (mode == 30) entries.push_back("DevIO");
    std::sort(entries.begin(), entries.end(),
              [](const std::string& a, const std::string& b) { return ToLower(a) < ToLower(b); });
    return entries;
}

std::string DriveComboEntryIdentity(const std::string& entry) {
    const std::string path = DevicePathOf(entry);
    device::Registry& registry = device::Registry::instance();
    const auto snap = registry.snapshot();
    if (device::IsWholeDiskPath(path)) {
        const device::DiskInfo* disk = snap->disk(device::DiskNumberOf(path));
        return disk ? "disk " + disk->identity : "";
    }
    device::DevicePath volume_path;
    std::string below;
    if (device::NamesVolume(path, volume_path, below) && below.empty()) {
        const device::VolumeInfo* volume = registry.resolve_volume(*snap, volume_path);
        return volume ? "volume " + device::GuidToString(volume->guid) : "";
    }
    if (device::IsDevicePath(path)) return "";
    return "entry " + entry;
}

void ChooseDriveComboEntry(const std::string& path, const std::string& entry_identity) {
    device::DeviceIdentity chosen;
    chosen.path = path;
    const auto snap = device::Registry::instance().snapshot();
    if (entry_identity.rfind("disk ", 0) == 0) {
        chosen.disk_key = entry_identity.substr(5);
        for (const auto& disk : snap->disks)
            if (disk.identity == chosen.disk_key) chosen.description = device::DescribeDisk(disk);
    } else if (entry_identity.rfind("volume ", 0) == 0) {
        chosen.volume_guid = entry_identity.substr(7);
        if (const device::VolumeInfo* volume = snap->volume_by_guid(chosen.volume_guid))
            chosen.description = device::DescribeVolume(*snap, *volume);
    } else {
        return;  // a file, or an entry whose device could not be told
    }
    device::Registry::instance().choose(chosen);
}

std::vector<DiskListRow> FillDiskList(int view_mode, const std::string& units, std::vector<UnopenedDisk>* unopened) {
    std::vector<DiskListRow> rows;
    std::vector<TVolumeSlot> slots;
    if (view_mode == 0 || view_mode == 1) slots = VolumeSlots();
    const auto snap = device::Registry::instance().snapshot();
    if (view_mode == 1) {
        for (const auto& slot : slots)
            if (slot.Kind == "PART") rows.push_back(PartitionRow(slot, *snap));
        return rows;
    }
    for (int n = 0; n <= 15; ++n) {
        Handle h = CreateFile(device::PhysicalDrivePath(n), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
        if (!h) {
            const DWORD error = GetLastError();
            // No such disk is no news; a disk that is there and refuses to open is.
            if (unopened && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                const device::DiskInfo* disk = device::Registry::instance().snapshot()->disk(n);
                unopened->push_back({n, disk ? disk->backing : std::string(), error});
            }
            continue;
        }
        std::int64_t size = GetDiskLength(h);
        h.close();
        TDriveGeometry geometry{};
        if (units == "S" && GetDriveGeometry(n, geometry)) size = static_cast<std::int64_t>(geometry.TotalSectors);
        else if (units == "MB") size /= 1048576;
        TStorageInfo storage;
        GetStorageInfo(device::PhysicalDrivePath(n), storage);
        DiskListRow disk;
        disk.caption = std::to_string(n);
        disk.data = n;
        disk.device = "DISK " + std::to_string(n);
        disk.description = storage.ProductId;
        disk.size = std::to_string(size);
        NameRow(disk, *snap, device::PhysicalDrivePath(n));
        rows.push_back(disk);
        if (view_mode == 0)
            for (const auto& slot : slots)
                if (slot.Kind == "PART" && slot.DiskNumber == n) rows.push_back(PartitionRow(slot, *snap));
    }
    return rows;
}

namespace {

void VolumeReport(const std::string& path, std::vector<std::string>& lines) {
    Handle h = CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    STORAGE_DEVICE_NUMBER number{};
    DWORD returned = 0;
    if (h && DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned))
        lines.push_back("->Parent DeviceNumber: " + std::to_string(number.DeviceNumber));
    else
        lines.push_back("->Parent DeviceNumber: NONE");
    PARTITION_INFORMATION_EX info{};
    if (h && GetPartitionInfoEx(h, info)) {
        lines.push_back("->Partition_Info");
        lines.push_back(StyleLine(info.PartitionStyle));
        lines.push_back("StartingOffset: " + std::to_string(info.StartingOffset));
        lines.push_back("PartitionLength: " + std::to_string(info.PartitionLength) + " bytes, " +
                        std::to_string(info.PartitionLength / 1048576) + " Mbytes");
        lines.push_back("PartitionNumber: " + std::to_string(info.PartitionNumber));
        if (info.PartitionStyle == PARTITION_STYLE_MBR) {
            lines.push_back("PartitionType: " + std::to_string(info.Mbr.PartitionType));
            lines.push_back("HiddenSectors: " + std::to_string(info.Mbr.HiddenSectors));
            lines.push_back("BootIndicator: " + BoolToText(info.Mbr.BootIndicator != 0));
            lines.push_back("RecognizedPartition: " + BoolToText(info.Mbr.RecognizedPartition != 0));
        } else if (info.PartitionStyle == PARTITION_STYLE_GPT) {
            lines.push_back("PartitionType: " + device::GuidToString(info.Gpt.PartitionType));
            lines.push_back("PartitionId: " + device::GuidToString(info.Gpt.PartitionId));
            lines.push_back("Attributes: " + std::to_string(info.Gpt.Attributes));
            lines.push_back("Name: " + NameOf(info.Gpt.Name, 36));
        }
    } else {
        lines.push_back("->Partition_Info: NONE");
    }
    h.close();

    const std::string root = device::LocalDeviceName(path) + "\\";
    lines.push_back("->VolumeGUID: " + GetVolumeNameForMountPoint(root));
    VolumeInformation volume;
    if (GetVolumeInformationA(root, volume)) lines.push_back("->Serial:" + Hex(volume.serial, 4));
    else lines.push_back("GetVolumeInformation failed:" + SysErrorMessage(GetLastError()));
    DWORD spc = 0, bps = 0, free = 0, total = 0;
    if (GetDiskFreeSpaceA(root, &spc, &bps, &free, &total)) {
        std::uint64_t cluster = static_cast<std::uint64_t>(spc) * bps;
        auto mb = [cluster](std::uint64_t clusters) { return std::to_string(clusters * cluster / 1048576); };
        lines.push_back("->GetDiskFreeSpace");
        lines.push_back("Sectors per cluster: " + std::to_string(spc));
        lines.push_back("Bytes per sector: " + std::to_string(bps));
        lines.push_back("ClusterSize: " + std::to_string(cluster));
        lines.push_back("Total clusters: " + std::to_string(total) + " (" + mb(total) + " MB)");
        lines.push_back("Free Clusters: " + std::to_string(free) + " (" + mb(free) + " MB) / Used Clusters: " +
                        std::to_string(total - free) + " (" + mb(total - free) + " MB)");
    } else {
        lines.push_back("GetDiskFreeSpace failed:" + SysErrorMessage(GetLastError()));
    }
}

void DiskReport(const std::string& path, std::vector<std::string>& lines) {
    const int number = device::DiskNumberOf(path);
    if (number < 0) return;
    TDriveGeometry geometry{};
    if (!GetDriveGeometry(number, geometry)) return;
    lines.push_back("->Drive Geometry");
    lines.push_back("Cylinders / Heads / Sectors:" + std::to_string(geometry.Cylinders) + " / " +
                    std::to_string(geometry.Heads) + " / " + std::to_string(geometry.SectorsPerTrack));
    lines.push_back("BytesPerSector: " + std::to_string(geometry.BytesPerSector));

    Handle h = CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    std::int64_t length = h ? GetDiskLength(h) : 0;
    lines.push_back("->Disk Length");
    lines.push_back("Size: " + std::to_string(length) + " bytes, " + std::to_string(length / 1048576) + " Mbytes");
    lines.push_back("TotalSectors: " + std::to_string(geometry.BytesPerSector ? length / geometry.BytesPerSector : 0));

    try {
        auto layout = std::make_unique<DriveLayoutBuffer>();
        GetDriveLayoutEx(path, *layout);
        lines.push_back("->Drive Layout");
        lines.push_back(StyleLine(layout->Header.PartitionStyle));
        lines.push_back("PartitionCount: " + std::to_string(layout->Header.PartitionCount));
        if (layout->Header.PartitionStyle == PARTITION_STYLE_GPT) {
            lines.push_back("DiskID: " + device::GuidToString(layout->Header.Gpt.DiskId));
        } else {
            std::string id = Hex(layout->Header.Mbr.Signature, 4);
            if (id.size() == 7) id = "0" + id;
            lines.push_back("DiskID: " + id);
        }
    } catch (const std::exception&) {
        lines.push_back("->Drive Layout Error!");
    }

    STORAGE_PREDICT_FAILURE prediction;
    if (h && GetPredictFailure(h, prediction))
        lines.push_back(std::string("->Storage Predict Failure: ") + (prediction.PredictFailure ? "True" : "False"));
    h.close();

    lines.push_back("->Storage Property");
    TStorageInfo storage;
    if (GetStorageInfo(path, storage)) {
        if (storage.VendorId.size() > 1) lines.push_back("Vendorid: " + storage.VendorId);
        lines.push_back("ProductID: " + storage.ProductId);
        if (storage.ProductRevision.size() > 1) lines.push_back("ProductRev: " + storage.ProductRevision);
        if (storage.SerialNumber.size() > 1) lines.push_back("S/N: " + storage.SerialNumber);
        lines.push_back("Removeable:" + BoolToText(storage.Removable != 0));
        lines.push_back("BusType:" + storage.BusType);
    }
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
    if (GetAccessAlignment(path, alignment))
        lines.push_back("BytesPerPhysicalSector:" + std::to_string(alignment.BytesPerPhysicalSector));
    DISK_CACHE_INFORMATION cache{};
    if (GetDiskCacheInfo(path, cache)) {
        lines.push_back("->Disk Cache Information");
        lines.push_back("ReadCacheEnabled:" + BoolToText(cache.ReadCacheEnabled != 0) + " / " +
                        "WriteCacheEnabled:" + BoolToText(cache.WriteCacheEnabled != 0));
    }
    GET_DISK_ATTRIBUTES attributes{};
    if (GetDiskAttributes(path, attributes)) {
        std::uint64_t a = attributes.Attributes;
        bool offline = a & DISK_ATTRIBUTE_OFFLINE, read_only = a & DISK_ATTRIBUTE_READ_ONLY;
        std::string state = offline && read_only ? "Offline Read-Only "
                            : read_only         ? "Online Read-Only "
                            : offline           ? "Offline Read-Write "
                            : (a >> 32) == 0    ? "Online Read-Write "
                                                : "";
        lines.push_back("->Disk Attributes");
        lines.push_back("Attributes: " + state);
    }
}

// What the disk or volume is on this machine.
void LinuxDeviceReport(const std::string& path, std::vector<std::string>& lines) {
    const auto snap = device::Registry::instance().snapshot();
    const std::optional<device::DeviceIdentity> identity = device::IdentityIn(*snap, path);
    if (!identity) return;
    lines.push_back("->Linux Device");
    lines.push_back("Node: " + device::DeviceNodeText(*snap, path));
    lines.push_back((identity->volume_guid.empty() ? "Disk: " : "Volume: ") + identity->description);
}

}  // namespace

void DiskInfoReport(const std::string& path, std::vector<std::string>& lines) {
    lines.clear();
    if (device::IsWholeDiskPath(path)) DiskReport(path, lines);
    else VolumeReport(path, lines);
    if (!lines.empty()) LinuxDeviceReport(path, lines);
}

}  // namespace disk
