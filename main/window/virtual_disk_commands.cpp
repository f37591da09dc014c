#include "main/window/virtual_disk_commands.h"

#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QString>

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "disk/bindings/virtdisk.h"
#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "disk/formats/vhd/vhd_footer.h"
#include "disk/formats/vhd/vhd_report.h"
#include "disk/partition/layout_edit.h"
#include "disk/util/lib_helpers.h"
#include "main/dialogs/dlg_disk.h"
#include "main/dialogs/dlg_virtualdisk.h"
#include "main/dialogs/file_dialog.h"
#include "main/window/page_host.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/base/win_error.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"

namespace tarnovell {

namespace {

namespace vd = platform::virtdisk;
using platform::DWORD;

constexpr const char* kThreeTypes = "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx|VHDs File (*.vhds)|*.vhds";
constexpr const char* kTwoTypes = "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx";

std::string Text(DWORD code) { return platform::SysErrorMessage(code); }

// The table of a disk just attached: an MBR with one partition of type 7
// over all of it.
bool CreateDiskLayoutMbr(const std::string& disk) { return disk::CreateDiskLayout(disk, disk::kLayoutMbr); }
bool CreateSinglePartitionMbr(const std::string& disk) { return disk::CreatePartitionMbr(disk, 1, true, 7, 0, 0); }

// Runs one step of the table; a routine that raises has failed.
bool TableStep(bool (*step)(const std::string&), const std::string& disk) {
    try {
        return step(disk);
    } catch (const std::exception&) {
        return false;
    }
}

// The file name with its extension replaced: "disk.img" -> "disk.vhd".
std::string ChangeFileExt(const std::string& file, const std::string& extension) {
    return std::filesystem::path(file).replace_extension(extension).string();
}

}  // namespace

VirtualDiskCommands::VirtualDiskCommands(PageHost& host, QObject* parent) : QObject(parent), host_(host) {}

VirtualDiskCommands::~VirtualDiskCommands() = default;

void VirtualDiskCommands::RunVirtualDiskCommand(const std::string& caption) {
    try {
        if (caption == "Create / Attach a VHD") CreateVhd();
        else if (caption == "Open / Attach a VHD or ISO") OpenVhd();
        else if (caption == "Detach VHD") DetachVhd();
        else if (caption == "Expand VHD") ExpandVhd();
        else if (caption == "Merge VHD") MergeVhd();
        else if (caption == "Compact VHD") CompactVhd();
        else if (caption == "Resize VHD") ResizeVhd();
        else if (caption == "Informations") VhdInformations();
    } catch (const std::exception& e) {
        // The service could not be loaded, or one of its calls raised.
        platform::Say(e.what());
    }
}

bool VirtualDiskCommands::PickVirtualDisk(const std::string& filter, std::string& file) {
    open_dialog_filter_ = filter;
    return RunFileDialog(host_.DialogOwner(), "", filter, true, file, "", "");
}

void VirtualDiskCommands::CreateVhd() {
    Tfrmvirtualdisk dialog(host_.DialogOwner());
    dialog.SetMode("create");
    dialog.chkRO->setVisible(false);
    if (dialog.exec() != QDialog::Accepted) return;
    std::int64_t size = dialog.size_mb().value_or(0) * 1024 * 1024;
    const std::string path = dialog.path(), parent = dialog.parent();
    bool dynamic = dialog.dynamic();
    if (!parent.empty()) {  // a differencing disk takes its size from the parent
        size = 0;
        dynamic = true;
    }
    const DWORD flags = dialog.permanent() ? DWORD{vd::ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME} : DWORD{0};
    const int logical = dialog.logical_sector_size(), physical = dialog.physical_sector_size();
    if ((logical != 0 || physical != 0) && !platform::ContainsNoCase(path, ".vhdx"))
        return platform::Say("sector size<>default, you need to select VHDX");

    auto handle = std::make_unique<platform::Handle>();
    const auto create = dynamic ? &disk::CreateVirtualDisk0 : &disk::CreateVirtualDisk1;
    DWORD result = create(path, vd::VIRTUAL_DISK_ACCESS_ALL, static_cast<std::uint32_t>(physical),
                          static_cast<std::uint32_t>(logical), nullptr, nullptr, parent, handle.get(), size);
    if (result != 0) return host_.ShowStatus(QString::fromStdString("CreateVirtualDisk failed, " + Text(result)));
    host_.ShowStatus("CreateVirtualDisk OK");
    result = disk::AttachVirtualDisk(*handle, flags);
    if (result != 0) {
        host_.ShowStatus(QString::fromStdString("AttachVirtualDisk Failed, " + Text(result)));
    } else {
        std::string physical_path;
        if (dialog.create_partition()) {
            physical_path = disk::GetVirtualDiskPhysicalPath(*handle);
            if (!physical_path.empty()) {
                if (!TableStep(&CreateDiskLayoutMbr, physical_path)) platform::Say("_Create_Disk_ failed");
                if (TableStep(&CreateSinglePartitionMbr, physical_path)) {
                    disk::IoctlSetDiskAttributes(physical_path, 1, 1);
                    std::this_thread::sleep_for(std::chrono::milliseconds(250));
                    disk::IoctlSetDiskAttributes(physical_path, 0, 1);
                } else {
                    platform::Say("_Create_Part_Ex_MBR failed");
                }
            }
        }
        host_.ShowStatus(QString::fromStdString("AttachVirtualDisk OK, " + physical_path));
        attached_disks_[path] = std::move(handle);
    }
    host_.RefreshDrives1Click();
}

void VirtualDiskCommands::OpenVhd() {
    Tfrmvirtualdisk dialog(host_.DialogOwner());
    dialog.setWindowTitle("Open VHD");
    dialog.SetMode("open");
    dialog.txtsize->setEnabled(false);
    dialog.txtsize->setStyleSheet("background-color: lightgray");
    for (QWidget* unused : std::initializer_list<QWidget*>{dialog.chkdynamic, dialog.chkcreatepart, dialog.txtParent,
                                                           dialog.lblparent, dialog.btnParent, dialog.grp_logical,
                                                           dialog.grp_physical})
        unused->setVisible(false);
    if (dialog.exec() != QDialog::Accepted) return;
    const std::string path = dialog.path();
    const bool permanent = dialog.permanent();
    DWORD flags = permanent ? DWORD{vd::ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME} : DWORD{0};
    if (platform::ContainsNoCase(path, ".iso") || dialog.read_only())
        flags |= vd::ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY;
    if (dialog.no_drive_letter()) flags |= vd::ATTACH_VIRTUAL_DISK_FLAG_NO_DRIVE_LETTER;

    auto handle = std::make_unique<platform::Handle>();
    DWORD result = disk::OpenVirtualDisk(path, handle.get(), vd::VIRTUAL_DISK_ACCESS_ALL, 1, 1);
    if (result != 0) {
        host_.ShowStatus(QString::fromStdString("OpenVirtualDisk failed, " + Text(result)));
    } else {
        host_.ShowStatus("OpenVirtualDisk OK");
        result = disk::AttachVirtualDisk(*handle, flags);
        host_.ShowStatus(QString::fromStdString(result != 0 ? "AttachVirtualDisk Failed, " + Text(result)
                                                      : std::string("AttachVirtualDisk OK")));
        // Without the permanent flag the disk stays attached while we hold it.
        if (result == 0 && !permanent) attached_disks_[path] = std::move(handle);
    }
    host_.RefreshDrives1Click();
}

void VirtualDiskCommands::DetachVhd() {
    const std::optional<disk::DiskListRow> row = host_.SelectedRow();
    if (!row) return;
    const std::string path = row->is_disk() ? platform::device::PhysicalDrivePath(row->data) : std::string();
    disk::StorageDependency dependency;
    try {
        if (disk::GetStorageDependencyInformation(path, dependency) != 0)
            return platform::Say("cannot GetStorageDependencyInfo");
    } catch (const std::exception& e) {
        return platform::Say(e.what());
    }
    std::string file = dependency.DependentVolumeRelativePath;
    if (!dependency.HostVolumeName.empty()) {
        file = disk::GetVolumeMountPaths(dependency.HostVolumeName) + file;
        if (const auto twice = file.find("\\\\"); twice != std::string::npos) file.erase(twice, 1);
    }
    platform::Handle handle;
    DWORD result = disk::OpenVirtualDisk(file, &handle, vd::VIRTUAL_DISK_ACCESS_DETACH, 1, 1);
    if (result != 0) {
        platform::Say("OpenVHD failed," + std::to_string(result));
    } else if ((result = disk::DetachVirtualDisk(handle)) != 0) {
        platform::Say("DetachVHD failed," + std::to_string(result));
    }
    handle.close();
    attached_disks_.erase(file);  // nothing of ours holds it any more
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    host_.RefreshDrives1Click();
}

void VirtualDiskCommands::VirtualDiskStep(const std::string& file, DWORD access, std::uint32_t depth,
                               const std::function<DWORD(platform::Handle&)>& call, const std::string& failed,
                               const std::string& done) {
    platform::Handle handle;
    DWORD result = disk::OpenVirtualDisk(file, &handle, access, 1, depth);
    if (result != 0) return host_.ShowStatus(QString::fromStdString("OpenVirtualDisk failed, " + Text(result)));
    host_.ShowStatus("OpenVirtualDisk OK");
    result = call(handle);
    if (result != 0) platform::Say(failed + Text(result));
    else host_.ShowStatus(QString::fromStdString(done));
}

void VirtualDiskCommands::ExpandVhd() {
    TfrmExpandVHD dialog(host_.DialogOwner());
    if (dialog.exec() != QDialog::Accepted) return;
    const std::int64_t size = dialog.size_mb().value_or(0) * 1048576;
    VirtualDiskStep(
        dialog.vhd(), vd::VIRTUAL_DISK_ACCESS_METAOPS, 1,
        [size](platform::Handle& handle) { return disk::ExpandVirtualDisk(handle, size); },
        "ExpandVirtualDisk Failed, ", "ExpandVirtualDisk OK");
}

void VirtualDiskCommands::MergeVhd() {
    TfrmMergeVHD dialog(host_.DialogOwner());
    if (dialog.exec() != QDialog::Accepted) return;
    VirtualDiskStep(dialog.vhd(), vd::VIRTUAL_DISK_ACCESS_METAOPS, 2, &disk::MergeVirtualDisk, "mergeVHD Failed, ",
                    "mergeVHD OK");
}

void VirtualDiskCommands::CompactVhd() {
    std::string file;
    if (!PickVirtualDisk(kThreeTypes, file)) return;
    VirtualDiskStep(file, vd::VIRTUAL_DISK_ACCESS_ALL, 1, &disk::CompactVirtualDisk, "CompactVHD Failed, ",
                    "CompactVHD OK");
}

void VirtualDiskCommands::ResizeVhd() {
    std::string file;
    if (!PickVirtualDisk(kTwoTypes, file)) return;
    VirtualDiskStep(file, vd::VIRTUAL_DISK_ACCESS_ALL, 1, &disk::ResizeVirtualDisk, "ResizeVHD Failed, ",
                    "ResizeVHD OK");
}

void VirtualDiskCommands::VhdInformations() {
    std::string file;
    if (!PickVirtualDisk(kTwoTypes, file)) return;
    auto* window = new Tfrmproperties(host_.DialogOwner());
    window->setWindowTitle(QString::fromStdString("Informations for " + file));
    window->show();
    std::string report;
    disk::VhdInfoReport(file, report);
    std::erase(report, '\r');
    window->Memo1->setPlainText(QString::fromStdString(report));
}

void VirtualDiskCommands::AddVhdFooterToRaw() {
    std::string file;
    if (!RunFileDialog(host_.DialogOwner(), "", open_dialog_filter_, true, file, "", "")) return;
    disk::AppendVhdFooter(file, ChangeFileExt(file, ".vhd"), 1);
}

}  // namespace tarnovell
