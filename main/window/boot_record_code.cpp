// The boot-code writers and boot-record backups of the Advanced tab: the
// "Change Boot Code (Only)" and MBR buttons of the "Master Boot Record"
// page, and the "Change boot code" and "Logical Drive" buttons of the
// "Boot Sector" page.
#include <QComboBox>

#include <exception>
#include <memory>

#include "disk/copy/destination_hold.h"
#include "disk/sectors/sectors.h"
#include "disk/util/lib_helpers.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/boot_code.h"
#include "main/operations/boot_record_targets.h"
#include "main/window/boot_sector_page.h"
#include "main/window/page_host.h"
#include "main/window/partition_table_page.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

namespace {

constexpr const char* kMbrFilter = "MBR File (*.mbr)|*.mbr";
constexpr const char* kBsFilter = "BS File (*.bs)|*.bs";

// A template of the program folder, or (after saying why) nothing.
std::string TemplateFile(const std::function<std::string()>& find) {
    try {
        return find();
    } catch (const std::exception& e) {
        platform::Say(e.what());
        return "";
    }
}

// The file of a boot record's open or save dialog; empty when cancelled.
std::string PickRecordFile(QWidget* owner, const char* filter, bool open) {
    std::string file;
    if (!RunFileDialog(owner, "", filter, open, file, "", "")) return "";
    return file;
}

}  // namespace

void WithDiskVolumesLocked(const std::string& path, const std::function<void()>& write) {
    // The volumes of a disk are written under only while they are held:
    // nothing else may write there meanwhile, nor keep old copies of it.
    // The disk is held for the write, which then holds it once more.
    std::unique_ptr<disk::DestinationHold> hold;
    if (platform::device::IsWholeDiskPath(path)) {
        try {
            hold = disk::PrepareDestination(disk::OperationContext{}, path);
        } catch (const std::exception& e) {
            return platform::Say(e.what());
        }
        if (!hold) return;
    }
    write();
    if (hold) hold->complete();
}

bool PartitionTablePage::RunMbrBootCode(const std::string& file, const std::string& question, const std::string& done) {
    const std::string path = PartitionTablePath();
    if (!platform::AskAbout(question, platform::device::AboutDevices({path}))) return false;
    try {
        if (!ChangeMbrBootCode(path, file, {})) return false;
        host_.ShowTimedStatus(done);
        return true;
    } catch (const std::exception& e) {
        platform::Say(e.what());
        return false;
    }
}

void PartitionTablePage::btn_change_nt6mbrClick() {
    if (host_.busy()) return;
    const std::string file = TemplateFile([&] { return MbrTemplate(host_.state().program_folder); });
    if (file.empty()) return;
    RunMbrBootCode(file, "Change MBR Boot Code (to Win8.1) on " + PartitionTablePath() + "?", "Changed MBR OK");
}

void PartitionTablePage::btn_change_grubmbrClick() {
    if (host_.busy()) return;
    const std::string folder = host_.state().program_folder;
    const std::string file = TemplateFile([&] { return SuppliedTemplate(folder, "grldr.mbr"); });
    if (file.empty()) return;
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
    if (!mount.empty() && platform::Ask("Copy grldr to " + mount + "?")) copied = CopyGrubLoader(folder, mount);
    if (!copied) platform::Say("You now have to copy grldr and menu.lst to your partition(s).");
}

void PartitionTablePage::brnAnyMbrClick() {
    if (host_.busy()) return;
    const std::string file = PickRecordFile(host_.DialogOwner(), kMbrFilter, true);
    if (file.empty()) return;
    RunMbrBootCode(file, "Overwrite MBR on " + PartitionTablePath() + "?", "MBR Restore OK");
}

void PartitionTablePage::Button2Click() {
    if (host_.busy()) return;
    const std::string file = PickRecordFile(host_.DialogOwner(), kMbrFilter, false);
    if (file.empty()) return;
    try {
        const std::string path = PartitionTablePath();
        RefuseDynamicVhd(path);
        if (disk::CopySectorsToFile(path, file, 1, 0)) host_.ShowTimedStatus("Backup MBR OK");
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void PartitionTablePage::Button4Click() {
    if (host_.busy()) return;
    const std::string file = PickRecordFile(host_.DialogOwner(), kMbrFilter, true);
    if (file.empty()) return;
    const std::string path = PartitionTablePath();
    if (!platform::AskAbout("Restore MBR on " + path + "?", platform::device::AboutDevices({path}))) return;
    try {
        RefuseDynamicVhd(path);
        if (disk::RestoreMbr(path, file, false, disk::TMbrParts{})) host_.ShowTimedStatus("Restore MBR OK");
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void BootSectorPage::RestoreBootSectorFrom(const std::string& file, bool keep_bpb, const std::string& done) {
    const std::string path = BootSectorPath();
    try {
        RefuseDynamicVhd(path);
    } catch (const std::exception& e) {
        return platform::Say(e.what());
    }
    WithDiskVolumesLocked(path, [&] {
        if (disk::RestoreBootSector(path, file, keep_bpb)) host_.ShowTimedStatus(done);
    });
}

void BootSectorPage::RunBootSectorCode(const std::string& file, const std::string& question) {
    if (!platform::AskAbout(question, platform::device::AboutDevices({BootSectorPath()}))) return;
    RestoreBootSectorFrom(file, true, "Changed BS OK");
}

void BootSectorPage::btnBSNT6Click() {
    if (host_.busy()) return;
    const std::string file = TemplateFile([&] { return SuppliedTemplate(host_.state().program_folder, "nt62.bs"); });
    if (file.empty()) return;
    RunBootSectorCode(file, "Change BS Boot Code (to Win8.1) on " + BootSectorPath() + "?");
}

void BootSectorPage::btnAnyBSClick() {
    if (host_.busy()) return;
    const std::string file = PickRecordFile(host_.DialogOwner(), kBsFilter, true);
    if (file.empty()) return;
    RunBootSectorCode(file, "Change BS Boot Code on " + BootSectorPath() + "?");
}

void BootSectorPage::btn_backup_bsClick() {
    if (host_.busy()) return;
    const std::string file = PickRecordFile(host_.DialogOwner(), kBsFilter, false);
    if (file.empty()) return;
    const std::string resolved = platform::ResolveFilePath(file);
    if (!resolved.empty() && platform::FileFactsOf(resolved) && platform::Ask("File exists! Delete?"))
        platform::DeleteRegularFile(file);
    std::optional<std::string> typed = platform::AskText("Enter number of sectors to backup", "1");
    if (!typed) return;
    std::optional<std::int64_t> count = disk::ParseUserNumber(*typed, 1, INT32_MAX);
    if (!count) return platform::Say("'" + *typed + "' is not a valid integer value");
    if (disk::BackupSectors(BootSectorPath(), file, *count)) host_.ShowTimedStatus("BS Backup OK");
}

void BootSectorPage::btn_restore_bsClick() {
    if (host_.busy()) return;
    const std::string file = PickRecordFile(host_.DialogOwner(), kBsFilter, true);
    if (file.empty()) return;
    RestoreBootSectorFrom(file, false, "Restored BS OK");
}

}  // namespace tarnovell
