// The "Volume" and "Disk" pages of the side bar: dismount, format and check
// a volume, take it offline and online; a disk's attributes, its properties
// and its layout; wipe a disk or volume and zero a volume's free space; and
// the device report of any row.
#include <QString>

#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include "disk/device/device_lists.h"
#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "main/dialogs/dlg_disk.h"
#include "main/operations/selection.h"
#include "main/operations/wipe.h"
#include "main/window/ufrmmain.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/base/win_error.h"
#include "platform/device/device_naming.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "tools/checkdisk/ufrmcheckdisk.h"
#include "tools/format/ufrmformat.h"

namespace tarnovell {

namespace {

platform::Handle OpenReadWrite(const std::string& path) {
    return platform::CreateFile(path, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
}

std::string CouldNotCreateFile() {
    return "could not createfile\r\n" + platform::SysErrorMessage(platform::GetLastError());
}

const SelectionRule kPartitionRow{RowNeed::Partition};
const SelectionRule kDiskRow{RowNeed::Disk};

}  // namespace

void Tfrmmain::DismountVolume() {
    std::string path;
    if (!Selected(kPartitionRow, path)) return;
    ShowStatus("");
    platform::Handle volume = OpenReadWrite(path);
    if (!volume) return platform::Say(CouldNotCreateFile());
    if (disk::DismountVolumeHandle(volume)) ShowStatus("FSCTL_DISMOUNT_VOLUME Ok");
    else platform::Say("FSCTL_DISMOUNT_VOLUME failed");
}

// Makes the file system let go before a tool window works on the volume;
// asks whether to go on when it will not. False: the user stopped.
bool Tfrmmain::DismountForTool(const std::string& path) {
    ShowStatus("");
    platform::Handle volume = OpenReadWrite(path);
    if (volume && disk::DismountVolumeHandle(volume)) return true;
    return platform::Ask("FSCTL_DISMOUNT_VOLUME failed, Continue?");
}

void Tfrmmain::FormatSelectedVolume() {
    std::string path;
    if (!Selected(kPartitionRow, path) || !DismountForTool(path)) return;
    const std::string letter = SelectedRow()->description.substr(0, 1);
    auto* window = new TfrmFormat(this);
    window->setWindowTitle(QString::fromStdString("Format " + letter + ":"));
    window->VolumeLetter = letter;
    window->exec();
    RefreshDrives1Click();
}

void Tfrmmain::CheckDisk() {
    std::string path;
    if (!Selected(kPartitionRow, path) || !DismountForTool(path)) return;
    const std::string letter = SelectedRow()->description.substr(0, 1);
    auto* window = new Tfrmcheckdisk(this);
    window->setWindowTitle(QString::fromStdString("Check Disk " + letter + ":"));
    window->VolumeLetter = letter;
    window->show();
}

void Tfrmmain::SetVolumeState(bool online) {
    std::string path;
    if (!Selected(kPartitionRow, path)) return;
    const std::string question = "Set " + path + (online ? " online ?" : " offline ?");
    if (!platform::AskAbout(question, platform::device::AboutDevices({path}))) return;
    ShowStatus("");
    platform::Handle volume = OpenReadWrite(path);
    if (!volume) return platform::Say(CouldNotCreateFile());
    if ((!disk::LockVolumeHandle(volume) || !disk::DismountVolumeHandle(volume)) &&
        platform::AskAbout("Lock and/or Dismount failed! Abort?", platform::device::AboutDevices({path})))
        return;
    try {
        if (online) {
            disk::IoctlVolumeOnline(volume);
            ShowStatus("IOCTL_VOLUME_ONLINE Ok");
        } else {
            disk::IoctlVolumeOffline(volume);
            ShowStatus("IOCTL_VOLUME_OFFLINE Ok");
        }
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void Tfrmmain::SetVolumeOffline() { SetVolumeState(false); }
void Tfrmmain::SetVolumeOnline() { SetVolumeState(true); }

void Tfrmmain::ChangeDiskAttributes(const std::string& question, std::int64_t attributes, std::int64_t mask,
                                    const std::string& what, bool online_cycle) {
    std::string path;
    if (!Selected(kDiskRow, path)) return;
    if (!platform::AskAbout("Set " + path + question, platform::device::AboutDevices({path}))) return;
    if (!disk::IoctlSetDiskAttributes(path, attributes, mask))
        return platform::Say("IOCTL_DISK_SET_DISK_ATTRIBUTES " + what + " failed");
    ShowStatus(QString::fromStdString("IOCTL_DISK_SET_DISK_ATTRIBUTES " + what + " Ok"));
    platform::GET_DISK_ATTRIBUTES now{};
    // The read-only state takes effect when an online disk goes offline and
    // comes back.
    if (online_cycle && disk::GetDiskAttributes(path, now) && (now.Attributes == 0 || now.Attributes == 2)) {
        disk::IoctlSetDiskAttributes(path, 1, 1);
        disk::IoctlSetDiskAttributes(path, 0, 1);
    }
}

void Tfrmmain::SetDiskOnline() { ChangeDiskAttributes(" online ?", 0, 1, "DISK_ONLINE", false); }
void Tfrmmain::SetDiskOffline() { ChangeDiskAttributes(" offline ?", 1, 1, "DISK_OFFLINE", false); }
void Tfrmmain::SetDiskReadOnly() { ChangeDiskAttributes(" read-only ?", 2, 2, "DISK_READ_ONLY", true); }
void Tfrmmain::SetDiskReadWrite() { ChangeDiskAttributes(" read-write ?", 0, 2, "DISK_READ_WRITE", true); }

void Tfrmmain::UpdateDiskProperties() {
    std::string path;
    if (!Selected(kDiskRow, path)) return;
    ShowStatus("");
    platform::Handle disk_handle = OpenReadWrite(path);
    if (!disk_handle) return platform::Say(CouldNotCreateFile());
    if (disk::IoctlUpdateProperties(disk_handle)) ShowStatus("IOCTL_DISK_UPDATE_PROPERTIES Ok");
    else platform::Say("IOCTL_DISK_UPDATE_PROPERTIES failed");
}

void Tfrmmain::DeleteDiskLayout() {
    std::string path;
    if (!Selected(kDiskRow, path)) return;
    if (!platform::device::IsWholeDiskPath(path))
        return platform::Say("this operation can only take place on \\.\\PhysicalDriveX");
    ShowStatus("");
    if (!platform::AskAbout("Delete Drive Layout for " + path + "?", platform::device::AboutDevices({path}))) return;
    try {
        disk::DeleteDriveLayout(path);
        ShowStatus("DELETE_DRIVE_LAYOUT Ok");
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    FillDeviceList();
}

void Tfrmmain::Showmoredetails1Click() { ShowDeviceProperties(); }

void Tfrmmain::ShowDeviceProperties() {
    std::string path;
    if (!Selected(SelectionRule{}, path)) return;
    std::vector<std::string> lines;
    disk::DiskInfoReport(path, lines);
    auto* window = new Tfrmproperties(this);
    window->setWindowTitle(QString::fromStdString("Properties for " + path));
    window->SetLines(lines);
    window->show();
}

void Tfrmmain::RunWipeCommand(const SelectionRule& rule,
                              WipeResult (*wipe)(const std::string&, const disk::OperationContext&)) {
    if (busy_) return;
    state_.cancel = false;
    std::string path;
    if (!Selected(rule, path)) return;
    {
        BusyScope busy(*this);
        try {
            wipe(path, WindowContext(&progress()));
        } catch (const std::exception& e) {
            platform::Say(e.what());
        }
    }
    RefreshDrives1Click();
}

void Tfrmmain::WipeSelected() { RunWipeCommand(SelectionRule{}, &WipeDevice); }

void Tfrmmain::CleanVolume() {
    RunWipeCommand(SelectionRule{RowNeed::Partition, kPickDiskPart, kPickAPart}, &ZeroFreeClusters);
}


}  // namespace tarnovell
