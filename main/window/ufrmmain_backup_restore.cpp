// The Clone page's clone, backup and restore commands and the device list's
// raw backup and restore: the options dialog, the file and the format
// chosen, and the copy run with the window's bar and status line. An EWF
// copy runs on the window's thread through the EWF conversions, which pump
// the window's messages as they go; the commands that would start another
// operation stay disabled until it ends.
#include <QCheckBox>
#include <QGroupBox>
#include <QRadioButton>
#include <QString>

#include <chrono>
#include <exception>
#include <functional>

#include "disk/device/device_query.h"
#include "disk/engines/convert.h"
#include "disk/engines/copy_engine.h"
#include "main/dialogs/dlg_backup.h"
#include "main/dialogs/dlg_disk.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/clone.h"
#include "main/operations/selection.h"
#include "main/operations/text_helpers.h"
#include "main/operations/vhd_copy.h"
#include "main/operations/wim_commands.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/device/path.h"
#include "platform/os/folders.h"

namespace tarnovell {

void Tfrmmain::StartClone() {
    if (busy_) return;  // one operation at a time: they share the worker fields
    std::string source;
    if (!Selected(SelectionRule{RowNeed::Any, kNoSourceItemSelected, ""}, source)) return;
    Tfrmtarget target(this);
    target.SetRows(disk::FillDiskList(state_.view_mode, state_.units));
    if (target.exec() != QDialog::Accepted) return;
    std::optional<disk::DiskListRow> chosen = target.SelectedRow();
    if (!chosen) {
        platform::Say("no destination item selected");
        return;
    }
    std::string destination = PathOfRow(*chosen);
    state_.cancel = false;
    if (source == destination) {
        platform::Say("Source and Destination cannot be the same");
        return;
    }
    BusyScope busy(*this);
    try {
        CloneDevice(disk::DevicePathOf(source), disk::DevicePathOf(destination), WindowContext(&progress()),
                    state_.quiet);
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    RefreshDrives1Click();
}

namespace {

// The options dialog for a backup or restore of `row`: the choices that
// fit the row's kind.
void PrepareFormatChoice(Tfrmbackup& dialog, const disk::DiskListRow& row) {
    bool disk_row = row.is_disk();
    dialog.rbwim->setEnabled(!disk_row);
    dialog.chk_wimboot->setEnabled(!disk_row);
    dialog.chk_unpartitioned->setEnabled(disk_row);
}

const char* BackupFilter(int code) {
    switch (code) {
    case kFormatWim: return "WIM File (*.wim)|*.wim";
    case kFormatEwf: return "EWF File (*.e01)|*.e01";
    case kFormatVhd:
        return "Fixed VHD File (*.VHD)|*.vhd|Dynamic VHD File (*.VHD)|*.vhd|Fixed VHDx File (*.VHDx)|*.vhdx|"
               "Dynamic VHDx File (*.VHDx)|*.vhdx";
    case kFormatLz4: return "LZ4 File (*.lz4)|*.lz4";
    default: return "Image File (*.img)|*.img";
    }
}

const char* RestoreFilter(int code) {
    switch (code) {
    case kFormatWim: return "WIM File (*.wim)|*.wim";
    case kFormatEwf: return "EWF File (*.e01)|*.e01";
    case kFormatVhd: return "VHD File (*.vhd)|*.vhd";
    case kFormatLz4: return "LZ4 File (*.lz4)|*.lz4";
    default: return "Image File (*.img)|*.img|Disk Dump (*.dd)|*.dd|All Files (*.*)|*.*";
    }
}

}  // namespace

void Tfrmmain::BackUpToFile(const std::string& device, const std::string& file, std::int64_t length, bool lz4) {
    BusyScope busy(*this);
    try {
        disk::BackupRaw(device, file, &progress(), length, 0, lz4, &operation_target());
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    ClearProgress();
}

void Tfrmmain::RestoreFromFile(const std::string& file, const std::string& device, bool lz4) {
    BusyScope busy(*this);
    try {
        disk::RestoreRaw(file, device, &progress(), 0, 0, lz4, &operation_target());
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    ClearProgress();
    RefreshDrives1Click();  // the restored table may hold other volumes
}

void Tfrmmain::BackupToImage() {
    if (busy_) return;  // one operation at a time: they share the worker fields
    ShowStatus("");
    state_.cancel = false;
    std::int64_t size = 0;
    std::string device;
    if (!Selected(SelectionRule{}, device)) return;
    Tfrmbackup dialog(this);
    dialog.setWindowTitle("Backup");
    PrepareFormatChoice(dialog, *SelectedRow());
    if (dialog.exec() != QDialog::Accepted) return;
    int code = dialog.format();
    bool skip = dialog.skip_unpartitioned();
    bool physical = platform::device::IsWholeDiskPath(device);
    if (!physical && skip) return platform::Say("Skip Unpartitioned space is for physical drives only");
    if (physical && code == kFormatWim) return platform::Say("WIM format is for logical drives only");
    if (code != kFormatWim && dialog.wimboot()) return platform::Say("WIMBOOT is for WIM format only");
    if (!physical && code == kFormatVhd) return platform::Say("VHD format is for physical drives only");
    if (skip) {
        size = disk::ReadDiskSector0(device);
        if (!platform::Ask("Backup " + std::to_string(size / 1024 / 1024) + " MBytes ?")) return;
    }
    std::string file;
    int filter_index = 1;
    if (!RunFileDialog(this, "", BackupFilter(code), false, file, platform::kProgramCaption, platform::CurrentFolder(),
                       &filter_index))
        return;
    // The chosen filter says what is written: a VHD or VHDX is told by its
    // name, so a VHD backup's name must carry the filter's extension.
    file = WithFilterExtension(file, FilterExtension(BackupFilter(code), filter_index), code == kFormatVhd);
    if (code == kFormatWim) {
        WimCapture(device, file, dialog.wimboot(), dialog.compression());
    } else if (code == kFormatVhd) {
        BusyScope busy(*this);
        RunVhdCopy(state_, device, file, VhdModeOfFilter(filter_index), &operation_target(), &progress());
    } else if (code == kFormatEwf) {
        BackupToEwf(device, file);
    } else {
        BackUpToFile(device, file, size, code == kFormatLz4);
    }
    ClearProgress();
}

void Tfrmmain::RestoreFromImage() {
    if (busy_) return;  // one operation at a time: they share the worker fields
    ShowStatus("");
    state_.cancel = false;
    std::string device;
    if (!Selected(SelectionRule{}, device)) return;
    Tfrmbackup dialog(this);
    dialog.setWindowTitle("Restore");
    dialog.grp_raw->setVisible(false);
    PrepareFormatChoice(dialog, *SelectedRow());
    if (dialog.exec() != QDialog::Accepted) return;
    int code = dialog.format();
    const bool physical = platform::device::IsWholeDiskPath(device);
    if (physical && code == kFormatWim) return platform::Say("WIM format is for logical drives only");
    if (code != kFormatWim && dialog.wimboot()) return platform::Say("WIMBOOT is for WIM format only");
    // The image goes onto a whole disk; a partition row has no disk to lock.
    if (!physical && code == kFormatVhd) return platform::Say("VHD format is for physical drives only");
    std::string file;
    if (!RunFileDialog(this, "*", RestoreFilter(code), true, file, platform::kProgramCaption, platform::CurrentFolder()))
        return;
    if (code == kFormatWim) {
        std::optional<std::string> typed = platform::AskText("Enter Index of WIM Image", "1");
        if (!typed) return;
        std::string problem;
        std::optional<int> index = ParseImageIndex(*typed, problem);
        if (!index) return platform::Say(problem);
        WimApply(file, device, *index, dialog.wimboot());
    } else if (code == kFormatVhd) {
        BusyScope busy(*this);
        ShowStatus("in progress...");
        // The copy holds the disk, and tells the system of its new table.
        RunVhdCopy(state_, file, device, kVhdToDevice, &operation_target(), &progress());
        RefreshDrives1Click();
    } else if (code == kFormatEwf) {
        RestoreFromEwf(file, device);
    } else {
        RestoreFromFile(file, device, code == kFormatLz4);
    }
    ClearProgress();
}

void Tfrmmain::WimCapture(const std::string& source, const std::string& wim_file, bool wimboot, int compression) {
    BusyScope busy(*this);
    tarnovell::WimCapture(state_, source, wim_file, wimboot, compression, &operation_target(), &progress());
}

void Tfrmmain::WimApply(const std::string& wim_file, const std::string& target, int index, bool wimboot) {
    BusyScope busy(*this);
    tarnovell::WimApply(state_, wim_file, target, index, wimboot, &operation_target(), &progress());
}

void Tfrmmain::BackupRAW1Click() {
    if (busy_) return;  // one operation at a time: they share the worker fields
    std::string device;
    if (!Selected(SelectionRule{}, device)) return;
    std::string file = SelectedRow()->device + ".img";
    if (!RunFileDialog(this, "", "Image File (*.img)|*.img", false, file, "", "")) return;
    BackUpToFile(device, file, 0, false);
}

void Tfrmmain::RestoreRAW1Click() {
    if (busy_) return;  // one operation at a time: they share the worker fields
    std::string device;
    if (!Selected(SelectionRule{}, device)) return;
    std::string file;
    if (!RunFileDialog(this, "", "Image File (*.img)|*.img|Disk Dump (*.dd)|*.dd|All Files (*.*)|*.*", true, file, "",
                       ""))
        return;
    RestoreFromFile(file, device, false);
}

namespace {

// Runs one conversion: its errors shown, and the time it took on the
// status line when it completed.
template <typename Conversion>
bool RunEwfConversion(const Conversion& conversion, const std::function<void(const QString&)>& show_status) {
    const auto started = std::chrono::steady_clock::now();
    disk::CopyResult result = disk::CopyResult::Failed;
    try {
        result = conversion();
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    if (result != disk::CopyResult::Completed) return false;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    show_status(QString::fromStdString("done in " + std::to_string(elapsed) + "ms"));
    return true;
}

}  // namespace

void Tfrmmain::BackupToEwf(const std::string& device, const std::string& file) {
    BusyScope busy(*this);
    RunEwfConversion([&] { return disk::RawToEwf(device, file, &progress(), &operation_target()); },
                     [this](const QString& text) { ShowStatus(text); });
}

void Tfrmmain::RestoreFromEwf(const std::string& file, const std::string& device) {
    {
        BusyScope busy(*this);
        RunEwfConversion([&] { return disk::EwfToRaw(file, device, &progress(), &operation_target()); },
                         [this](const QString& text) { ShowStatus(text); });
    }
    RefreshDrives1Click();  // the restored table may hold other volumes
}

}  // namespace tarnovell
