#include "main/window/disk_layout_commands.h"

#include <QDialog>
#include <QLineEdit>
#include <QRadioButton>

#include <chrono>
#include <memory>
#include <optional>
#include <cstdint>
#include <string>
#include <thread>

#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "disk/partition/layout_edit.h"
#include "disk/util/lib_helpers.h"
#include "main/dialogs/dlg_disk.h"
#include "main/window/page_host.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"
#include "platform/device/path.h"
#include "platform/device/volume_api.h"

namespace tarnovell {

namespace {

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr const char* kBasicDataGuid = "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}";

// The one question of the program asked under the caption in lower case.

// The size a resize starts from: sectors, bytes, and the bytes of one
// sector. It is the partition's, which the file system grows and shrinks
// with; the file system's own count of its clusters leaves out what it
// keeps beside them (NTFS its backup boot sector, a mounted ext4 what
// statvfs does not count), and a resize measured by it would leave that
// much room behind the file system at every turn, its backup boot sector
// no longer at the partition's end. Nothing when the file system cannot
// be asked.
struct VolumeSize {
    std::int64_t sectors = 0;
    std::int64_t bytes = 0;
    std::int64_t bytes_per_sector = 0;
};

std::optional<VolumeSize> SizeOfVolume(const std::string& volume_path) {
    platform::DWORD spc = 0, bps = 0, free = 0, total = 0;
    const std::string root = platform::device::LocalDeviceName(volume_path) + "\\";
    if (!platform::GetDiskFreeSpaceA(root, &spc, &bps, &free, &total) || bps == 0)
        return std::nullopt;
    VolumeSize size;
    size.bytes_per_sector = bps;
    size.bytes = std::int64_t{spc} * bps * total;
    platform::Handle volume = disk::OpenForQuery(volume_path, platform::GENERIC_READ);
    platform::PARTITION_INFORMATION_EX info{};
    if (volume && disk::GetPartitionInfoEx(volume, info) && info.PartitionLength > 0) size.bytes = info.PartitionLength;
    size.sectors = size.bytes / bps;
    return size;
}

// From the partition's start to the end of its disk, less a megabyte: what
// "Extend" offers to grow to. 0 when it cannot be told.
std::int64_t RoomToTheDiskEndMb(const std::string& volume_path) {
    platform::Handle volume = disk::OpenForQuery(volume_path, platform::GENERIC_READ);
    platform::PARTITION_INFORMATION_EX info{};
    if (!volume || !disk::GetPartitionInfoEx(volume, info)) return 0;
    int disk_number = -1, partition = -1;
    if (!disk::GetDeviceNumber(volume_path, disk_number, partition)) return 0;
    platform::Handle whole =
        disk::OpenForQuery(platform::device::PhysicalDrivePath(disk_number), platform::GENERIC_READ);
    if (!whole) return 0;
    return (disk::GetDiskLength(whole) - info.StartingOffset) / kMiB - 1;
}

}  // namespace

DiskLayoutCommands::DiskLayoutCommands(PageHost& host, QObject* parent) : QObject(parent), host_(host) {}

bool DiskLayoutCommands::AskVolumeResize(const char* verb, bool suggest, std::string& path, std::int64_t& delta,
                               std::int64_t& new_sectors) {
    if (!host_.Selected(SelectionRule{RowNeed::Partition}, path)) return false;
    const std::string drive = platform::device::LocalDeviceName(path);
    const std::optional<VolumeSize> size = SizeOfVolume(path);
    if (!size) {
        platform::Say("Could not GetDiskFreeSpace");
        return false;
    }
    Tfrmresize dialog(host_.DialogOwner());
    dialog.SetCurrentSize(size->bytes / 1024 / 1024);
    if (const std::int64_t suggestion = suggest ? RoomToTheDiskEndMb(path) : 0; suggestion > 0)
        dialog.SetNewSize(suggestion);
    if (dialog.exec() != QDialog::Accepted) return false;
    const std::optional<std::int64_t> megabytes = dialog.new_size_mb();
    if (!megabytes) {
        platform::Say("'" + dialog.txtnew->text().toStdString() + "' is not a valid integer value");
        return false;
    }
    delta = *megabytes * 1024 * 1024 - size->bytes;
    new_sectors = delta / size->bytes_per_sector + size->sectors;
    return platform::AskAbout(std::string(verb) + " " + drive + " by " + std::to_string(delta / kMiB) + " MBytes" +
                                  "\r\n" + "AND" + "\r\n" + "Extend to " + std::to_string(new_sectors) + " Sectors (" +
                                  std::to_string(new_sectors * size->bytes_per_sector / kMiB) + " MBytes)?",
                              platform::device::AboutDevices({path}));
}

void DiskLayoutCommands::CreateDisk() {
    if (host_.busy()) return;
    std::string path;
    if (!host_.Selected(SelectionRule{RowNeed::Disk}, path)) return;
    Tfrmpartstyle dialog(host_.DialogOwner());
    if (dialog.exec() != QDialog::Accepted) return;
    const int style = dialog.style();
    if (!platform::AskAbout("Create Disk on " + path + "?", platform::device::AboutDevices({path}))) return;
    PageHost::BusyScope busy(host_);
    try {
        if (disk::CreateDiskLayout(path, static_cast<std::uint8_t>(style))) host_.ShowStatus("IOCTL_DISK_CREATE_DISK Ok");
        else platform::Say("IOCTL_DISK_CREATE_DISK failed");
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    // The old partitions are gone from the disk; they go from the list too.
    host_.RefreshDrives1Click();
}

void DiskLayoutCommands::CreateSinglePartition() {
    if (host_.busy()) return;
    std::string path;
    if (!host_.Selected(SelectionRule{RowNeed::Disk}, path)) return;
    Tfrmpartstyle dialog(host_.DialogOwner());
    dialog.rbraw->hide();
    // The style the disk's table has is the one proposed: an MBR entry has
    // no place in a GPT table.
    try {
        auto layout = std::make_unique<disk::DriveLayoutBuffer>();
        if (disk::GetDriveLayoutEx(path, *layout) && layout->Header.PartitionStyle == platform::PARTITION_STYLE_GPT)
            dialog.rbgpt->setChecked(true);
    } catch (const std::exception&) {
        // A disk whose table cannot be read is proposed MBR, as a blank one is.
    }
    if (dialog.exec() != QDialog::Accepted) return;
    const int style = dialog.style();
    host_.ShowStatus("");
    if (!platform::AskAbout("Create one unique partition on " + path + "?", platform::device::AboutDevices({path})))
        return;
    PageHost::BusyScope busy(host_);
    bool created = false;
    try {
        created = style == kStyleGpt ? disk::CreatePartitionEx(path, 1, kBasicDataGuid, 0, 0)
                                     : disk::CreatePartitionMbr(path, 1, true, 7, 0, 0);
        if (created) {
            // An offline disk takes the new table up once it comes back.
            platform::GET_DISK_ATTRIBUTES attributes{};
            if (disk::GetDiskAttributes(path, attributes) && (attributes.Attributes & platform::DISK_ATTRIBUTE_OFFLINE)) {
                disk::IoctlSetDiskAttributes(path, 1, 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
                disk::IoctlSetDiskAttributes(path, 0, 1);
            }
            host_.ShowStatus("IOCTL_DISK_SET_DRIVE_LAYOUT_EX Ok");
        } else {
            platform::Say("IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed");
        }
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    host_.RefreshDrives1Click();
}

void DiskLayoutCommands::ExtendVolume() {
    if (host_.busy()) return;
    std::string path;
    std::int64_t delta = 0, new_sectors = 0;
    if (!AskVolumeResize("Grow", true, path, delta, new_sectors)) return;
    PageHost::BusyScope busy(host_);
    bool grown = false;
    try {
        grown = disk::GrowPartitionIoctl(path, delta);
        host_.ShowStatus(grown ? "GROW_PARTITION Ok" : "GROW_PARTITION not Ok");
    } catch (const std::exception& e) {
        platform::Say(e.what());
        return;
    }
    if (!grown && !platform::interaction().confirm("continue anyway with extend_volume?", platform::kLibraryErrorCaption)) return;
    try {
        const bool extended = disk::ExtendVolumeIoctl(path, new_sectors);
        host_.ShowStatus(extended ? "GROW_PARTITION Ok, Extend_Volume Ok" : "GROW_PARTITION Ok, Extend_Volume not Ok");
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    host_.RefreshDrives1Click();
}

void DiskLayoutCommands::ShrinkVolume() {
    if (host_.busy()) return;
    std::string path;
    std::int64_t delta = 0, new_sectors = 0;
    if (!AskVolumeResize("Shrink", false, path, delta, new_sectors)) return;
    PageHost::BusyScope busy(host_);
    QString status;
    try {
        const bool shrunk = disk::ShrinkVolumeIoctl(path, new_sectors);
        status = shrunk ? "Shrink_Volume Ok" : "Shrink_Volume not Ok";
        host_.ShowStatus(status);
        if (shrunk) {
            const bool grown = disk::GrowPartitionIoctl(path, delta);
            host_.ShowStatus(status + (grown ? ",GROW_PARTITION Ok" : ",GROW_PARTITION not Ok"));
        }
    } catch (const std::exception& e) {
        platform::Say(e.what());
        return;
    }
    host_.RefreshDrives1Click();
}

}  // namespace tarnovell
