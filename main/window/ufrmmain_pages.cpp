// The window's commands that the page controllers carry, under the names
// they have always had on the window: each hands over to its controller.
#include <QPushButton>

#include "main/window/boot_sector_page.h"
#include "main/window/disk_layout_commands.h"
#include "main/window/offline_registry_page.h"
#include "main/window/partition_table_page.h"
#include "main/window/speed_test_page.h"
#include "main/window/ufrmmain.h"
#include "main/window/virtual_disk_commands.h"

namespace tarnovell {

// Every "Virtual Hard Disk" button but the last: the command its caption names.
void Tfrmmain::JvOutlookBar1ButtonsClick() {
    if (auto* button = qobject_cast<QPushButton*>(sender()))
        virtual_disks_->RunVirtualDiskCommand(button->text().toStdString());
}
void Tfrmmain::CreateVhd() { virtual_disks_->CreateVhd(); }
void Tfrmmain::OpenVhd() { virtual_disks_->OpenVhd(); }
void Tfrmmain::DetachVhd() { virtual_disks_->DetachVhd(); }
void Tfrmmain::ExpandVhd() { virtual_disks_->ExpandVhd(); }
void Tfrmmain::MergeVhd() { virtual_disks_->MergeVhd(); }
void Tfrmmain::CompactVhd() { virtual_disks_->CompactVhd(); }
void Tfrmmain::ResizeVhd() { virtual_disks_->ResizeVhd(); }

void Tfrmmain::CreateDisk() { disk_layout_->CreateDisk(); }
void Tfrmmain::CreateSinglePartition() { disk_layout_->CreateSinglePartition(); }
void Tfrmmain::ExtendVolume() { disk_layout_->ExtendVolume(); }
void Tfrmmain::ShrinkVolume() { disk_layout_->ShrinkVolume(); }

void Tfrmmain::TabSheet20Show() { partition_table_->TabSheet20Show(); }
void Tfrmmain::drivecombopartChange() { partition_table_->drivecombopartChange(); }
void Tfrmmain::btn_read_part_tableClick() { partition_table_->btn_read_part_tableClick(); }
void Tfrmmain::btn_reset_part_tableClick() { partition_table_->btn_reset_part_tableClick(); }
void Tfrmmain::btn_write_partClick() { partition_table_->btn_write_partClick(); }
void Tfrmmain::btn_mbr_writehtmlClick() { partition_table_->btn_mbr_writehtmlClick(); }
void Tfrmmain::btn_mbr_apply_diskidClick() { partition_table_->btn_mbr_apply_diskidClick(); }
void Tfrmmain::SectorstoCHS1Click() { partition_table_->SectorstoCHS1Click(); }
void Tfrmmain::OpenGPTparttable1Click() { partition_table_->OpenGPTparttable1Click(); }
void Tfrmmain::Createadefaultactivepartition1Click() { partition_table_->Createadefaultactivepartition1Click(); }
void Tfrmmain::btn_change_nt6mbrClick() { partition_table_->btn_change_nt6mbrClick(); }
void Tfrmmain::btn_change_grubmbrClick() { partition_table_->btn_change_grubmbrClick(); }
void Tfrmmain::brnAnyMbrClick() { partition_table_->brnAnyMbrClick(); }
void Tfrmmain::Button2Click() { partition_table_->Button2Click(); }
void Tfrmmain::Button4Click() { partition_table_->Button4Click(); }

void Tfrmmain::TabSheet9Show() { boot_sector_->TabSheet9Show(); }
void Tfrmmain::DriveComboBSChange() { boot_sector_->DriveComboBSChange(); }
void Tfrmmain::btn_read_bsClick() { boot_sector_->btn_read_bsClick(); }
void Tfrmmain::txtbs21DblClick() { boot_sector_->txtbs21DblClick(); }
void Tfrmmain::btnBSNT6Click() { boot_sector_->btnBSNT6Click(); }
void Tfrmmain::btnAnyBSClick() { boot_sector_->btnAnyBSClick(); }
void Tfrmmain::btn_backup_bsClick() { boot_sector_->btn_backup_bsClick(); }
void Tfrmmain::btn_restore_bsClick() { boot_sector_->btn_restore_bsClick(); }

void Tfrmmain::btn_write_seqClick() { speed_test_->btn_write_seqClick(); }
void Tfrmmain::btn_read_seqClick() { speed_test_->btn_read_seqClick(); }
void Tfrmmain::btn_write_rndClick() { speed_test_->btn_write_rndClick(); }
void Tfrmmain::btn_read_rndClick() { speed_test_->btn_read_rndClick(); }
void Tfrmmain::btn_test_cancelClick() { speed_test_->btn_test_cancelClick(); }

void Tfrmmain::btn_dump_registryClick() { offline_registry_->btn_dump_registryClick(); }
void Tfrmmain::btn_reg_importClick() { offline_registry_->btn_reg_importClick(); }
void Tfrmmain::LaunchCMDassystem1Click() { offline_registry_->LaunchCMDassystem1Click(); }

}  // namespace tarnovell
