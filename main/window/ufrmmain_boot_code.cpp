// The boot-code writers and boot-record backups of the Advanced tab: the
// "Change Boot Code (Only)" and MBR buttons of the "Master Boot Record"
// page, and the "Change boot code" and "Logical Drive" buttons of the
// "Boot Sector" page.
#include <QComboBox>

#include <exception>

#include "disk/sectors/sectors.h"
#include "disk/util/lib_helpers.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/boot_code.h"
#include "main/operations/boot_record_targets.h"
#include "main/operations/clone.h"
#include "main/window/ufrmmain.h"

#include "disk/copy/destination_hold.h"
#include "platform/base/scope_guard.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

namespace {

constexpr const char* kMbrFilter = "MBR File (*.mbr)|*.mbr";
constexpr const char* kBsFilter = "BS File (*.bs)|*.bs";

void Say(const std::string& text) { platform::interaction().inform(text, "Tarnovell"); }
bool Ask(const std::string& question) { return platform::interaction().confirm(question, "Tarnovell"); }

}  // namespace

bool Tfrmmain::RunMbrBootCode(const std::string& file, const std::string& question, const std::string& done) {
    const std::string path = PartitionTablePath();
    if (!Ask(question)) return false;
    try {
        if (!ChangeMbrBootCode(path, file, {})) return false;
        ShowTimedStatus(done);
        return true;
    } catch (const std::exception& e) {
        Say(e.what());
        return false;
    }
}

void Tfrmmain::btn_change_nt6mbrClick() {
    if (busy_) return;
    std::string file;
    try {
        file = MbrTemplate(state_.program_folder);
    } catch (const std::exception& e) {
        return Say(e.what());
    }
    RunMbrBootCode(file, "Change MBR Boot Code (to Win8.1) on " + PartitionTablePath() + "?", "Changed MBR OK");
}

void Tfrmmain::btn_change_grubmbrClick() {
    if (busy_) return;
    std::string file;
    try {
        file = SuppliedTemplate(state_.program_folder, "grldr.mbr");
    } catch (const std::exception& e) {
        return Say(e.what());
    }
    const std::string path = PartitionTablePath();
    if (!RunMbrBootCode(file, "Change MBR Boot Code (to G4D 0.4.6a) on " + path + "?", "Changed MBR OK")) return;

    // The loader goes onto the disk's first partition, where GRUB4DOS looks for it.
    std::string mount;
    try {
        mount = FirstPartitionMountPath(path);
    } catch (const std::exception&) {
        mount.clear();  // an image file has no volumes of its own: the loader is copied by hand
    }
    bool copied = false;
    if (!mount.empty() && Ask("Copy grldr to " + mount + "?")) copied = CopyGrubLoader(state_.program_folder, mount);
    if (!copied) Say("You now have to copy grldr and menu.lst to your partition(s).");
}

void Tfrmmain::brnAnyMbrClick() {
    if (busy_) return;
    std::string file;
    int filter_index = 1;
    if (!RunFileDialog(this, "", kMbrFilter, true, file, "", "", &filter_index)) return;
    RunMbrBootCode(file, "Overwrite MBR on " + PartitionTablePath() + "?", "MBR Restore OK");
}

void Tfrmmain::Button2Click() {
    if (busy_) return;
    std::string file;
    if (!RunFileDialog(this, "", kMbrFilter, false, file, "", "")) return;
    try {
        const std::string path = PartitionTablePath();
        RefuseDynamicVhd(path);
        if (disk::CopySectorsToFile(path, file, 1, 0)) ShowTimedStatus("Backup MBR OK");
    } catch (const std::exception& e) {
        Say(e.what());
    }
}

void Tfrmmain::Button4Click() {
    if (busy_) return;
    std::string file;
    if (!RunFileDialog(this, "", kMbrFilter, true, file, "", "")) return;
    const std::string path = PartitionTablePath();
    if (!Ask("Restore MBR on " + path + "?")) return;
    try {
        RefuseDynamicVhd(path);
        if (disk::RestoreMbr(path, file, false, disk::TMbrParts{})) ShowTimedStatus("Restore MBR OK");
    } catch (const std::exception& e) {
        Say(e.what());
    }
}

void Tfrmmain::WithDiskVolumesLocked(const std::string& path, const std::function<void()>& write) {
    // The volumes of a disk are written under only while they are held:
    // nothing else may write there meanwhile, nor keep old copies of it.
    // The disk is held for the write, which then holds it once more.
    std::unique_ptr<disk::DestinationHold> hold;
    if (platform::device::IsWholeDiskPath(path)) {
        try {
            hold = disk::PrepareDestination(disk::OperationContext{}, path);
        } catch (const std::exception& e) {
            return Say(e.what());
        }
        if (!hold) return;
    }
    write();
    if (hold) hold->complete();
}

void Tfrmmain::RunBootSectorCode(const std::string& file, const std::string& question) {
    const std::string path = BootSectorPath();
    if (!Ask(question)) return;
    try {
        RefuseDynamicVhd(path);
    } catch (const std::exception& e) {
        return Say(e.what());
    }
    WithDiskVolumesLocked(path, [&] {
        if (disk::RestoreBootSector(path, file, true)) ShowTimedStatus("Changed BS OK");
    });
}

void Tfrmmain::btnBSNT6Click() {
    if (busy_) return;
    std::string file;
    try {
        file = SuppliedTemplate(state_.program_folder, "nt62.bs");
    } catch (const std::exception& e) {
        return Say(e.what());
    }
    RunBootSectorCode(file, "Change BS Boot Code (to Win8.1) on " + BootSectorPath() + "?");
}

void Tfrmmain::btnAnyBSClick() {
    if (busy_) return;
    std::string file;
    int filter_index = 1;
    if (!RunFileDialog(this, "", kBsFilter, true, file, "", "", &filter_index)) return;
    RunBootSectorCode(file, "Change BS Boot Code on " + BootSectorPath() + "?");
}

void Tfrmmain::btn_backup_bsClick() {
    if (busy_) return;
    std::string file;
    int filter_index = 1;
    if (!RunFileDialog(this, "", kBsFilter, false, file, "", "", &filter_index)) return;
    const std::string resolved = platform::ResolveFilePath(file);
    if (!resolved.empty() && platform::FileFactsOf(resolved) && Ask("File exists! Delete?"))
        platform::DeleteRegularFile(file);
    std::optional<std::string> typed =
        platform::interaction().input_box("Tarnovell", "Enter number of sectors to backup", "1");
    if (!typed) return;
    std::optional<std::int64_t> count = disk::ParseUserNumber(*typed, 1, INT32_MAX);
    if (!count) return Say("'" + *typed + "' is not a valid integer value");
    if (disk::BackupSectors(BootSectorPath(), file, *count)) ShowTimedStatus("BS Backup OK");
}

void Tfrmmain::btn_restore_bsClick() {
    if (busy_) return;
    std::string file;
    int filter_index = 1;
    if (!RunFileDialog(this, "", kBsFilter, true, file, "", "", &filter_index)) return;
    const std::string path = BootSectorPath();
    try {
        RefuseDynamicVhd(path);
    } catch (const std::exception& e) {
        return Say(e.what());
    }
    WithDiskVolumesLocked(path, [&] {
        if (disk::RestoreBootSector(path, file, false)) ShowTimedStatus("Restored BS OK");
    });
}

}  // namespace tarnovell
