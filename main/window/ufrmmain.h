// The main window: the device list, the side bar of commands, the progress
// bar and the Advanced tab. It is the only window created at start; every
// other window is opened by one of its commands.
//
// The window holds the device list and the commands that work on its
// selection; the Advanced tab's pages and the virtual-disk, network and
// disk-layout commands are page controllers of their own (page_host.h names
// what they use of the window). The commands those carry keep their names
// here as one-line forwarders (ufrmmain_pages.cpp). The tool windows reach
// the window through the ToolServices it hands them.
#pragma once

#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/device/device_lists.h"
#include "main/dialogs/tool_services.h"
#include "main/operations/config.h"
#include "main/operations/main_state.h"
#include "main/operations/selection.h"
#include "main/operations/side_bar.h"
#include "main/operations/wipe.h"
#include "main/window/page_host.h"
#include "platform/base/progress.h"

namespace platform::device {
class DeviceMonitor;
}

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QString;
class QTabWidget;
class QToolBox;
class QTreeWidget;

namespace tarnovell {

class BootSectorPage;
class DiskLayoutCommands;
class NetworkCommands;
class OfflineRegistryPage;
class OperationEvent;
class PartitionTablePage;
class SpeedTestPage;
class VirtualDiskCommands;

class Tfrmmain : public QMainWindow, public PageHost, public ToolServices {
    Q_OBJECT

public:
    // Runs the creation sequence: start-up state, first refresh, config.ini.
    // Closing the window deletes it, so it must be created with new.
    explicit Tfrmmain(MainState& state, QWidget* parent = nullptr);
    ~Tfrmmain() override;

    MainState& state() override { return state_; }
    // The rows the device list shows, in list order.
    const std::vector<disk::DiskListRow>& rows() const { return rows_; }
    std::optional<disk::DiskListRow> SelectedRow() const override;
    // True while an operation runs.
    bool busy() const override { return busy_; }

    // What LoadConfig does with a config.ini once it is read.
    void ApplyConfig(const MainConfig& config);

    // What the tool windows this window opens are given of it: its
    // services while it lives.
    ToolLink tool_link() const { return ToolLink(tool_services_); }

public slots:
    void RefreshDrives1Click() override;
    void PhysicalOnly1Click();
    void PARTonly1Click();
    void DisksandParts1Click();
    void SwitchtoSectors1Click();
    void UnitsMB1Click();
    void Hide1Click();
    void Exit1Click();
    void btn_cancel_backup_restoreClick();
    // A volume arrived (or left); `unit_mask` has the bit of its drive letter.
    void DeviceChanged(bool arrival, std::uint32_t unit_mask);
    // The disks changed and no letter came or went (a blank disk in
    // another's place or number): the lists are brought up to date, the
    // status line is left alone.
    void DisksChanged();

    // ---- Clone, backup and restore (ufrmmain_backup_restore.cpp) ----
    // "Tarnovell" on the Clone page: disk or volume onto another.
    void StartClone();
    // "Backup to Image" and "Restore from Image" on the Clone page.
    void BackupToImage();
    void RestoreFromImage();
    // WIM capture of a volume and apply onto one, run as workers.
    void WimCapture(const std::string& source, const std::string& wim_file, bool wimboot, int compression);
    void WimApply(const std::string& wim_file, const std::string& target, int index, bool wimboot);
    // The device list's "Backup (RAW)" and "Restore (RAW)".
    void BackupRAW1Click();
    void RestoreRAW1Click();

    // ---- Volume and Disk pages of the side bar: the volume and disk
    // commands, the wipes and the device report
    // (ufrmmain_volume_commands.cpp) ----
    void DismountVolume();
    void FormatSelectedVolume();
    void CheckDisk();
    void SetVolumeOffline();
    void SetVolumeOnline();
    void SetDiskOnline();
    void SetDiskOffline();
    void SetDiskReadOnly();
    void SetDiskReadWrite();
    void UpdateDiskProperties();
    void DeleteDiskLayout();
    // "Show DISK/PART info" and a double-click on a row.
    void Showmoredetails1Click();
    void ShowDeviceProperties();

    void WipeSelected();
    void CleanVolume();

    // ---- Copy files and the tool windows (ufrmmain_tool_windows.cpp) ----
    void JvOutlookBar1Pages0Buttons3Click();  // "Copy Files"
    void CopyFiles();
    void JvOutlookBar1Pages1Buttons0Click();  // "Volume Names"
    void JvOutlookBar1Pages2Buttons8Click();  // "Partition Editor"
    void JvOutlookBar1Pages4Buttons0Click();  // "Disk Image Conversion"
    void JvOutlookBar1Pages4Buttons1Click();  // "Make ISO disc image"
    void JvOutlookBar1Pages4Buttons2Click();  // "WIM Image"
    void JvOutlookBar1Pages4Buttons3Click();  // "Make a RAW disk image"
    void JvOutlookBar1Pages4Buttons4Click();  // "Create a VMDK File descriptor"
    void JvOutlookBar1Pages4Buttons5Click();  // "7Z Extract"
    void JvOutlookBar1Pages4Buttons6Click();  // "LZ4 Compressor"
    void OpenMd5Window();                     // "MD5 Hash"
    void About1Click();
    void Screenshot1Click();
    void GetVolumeName1Click();
    void Openvolume1Click();

    // ---- Forwarders to the page controllers (ufrmmain_pages.cpp) ----
    // The "Virtual Hard Disk" page: every button but the last runs the
    // command its caption names.
    void JvOutlookBar1ButtonsClick();
    void CreateVhd();
    void OpenVhd();
    void DetachVhd();
    void ExpandVhd();
    void MergeVhd();
    void CompactVhd();
    void ResizeVhd();
    // "Create Disk", "Create Partition", "Extend" and "Shrink".
    void CreateDisk();
    void CreateSinglePartition();
    void ExtendVolume();
    void ShrinkVolume();
    // The "Master Boot Record" page and its boot-code buttons.
    void TabSheet20Show();
    void drivecombopartChange();
    void btn_read_part_tableClick();
    void btn_reset_part_tableClick();
    void btn_write_partClick();
    void btn_mbr_writehtmlClick();
    void btn_mbr_apply_diskidClick();
    void SectorstoCHS1Click();
    void OpenGPTparttable1Click();
    void Createadefaultactivepartition1Click();
    void btn_change_nt6mbrClick();
    void btn_change_grubmbrClick();
    void brnAnyMbrClick();
    void Button2Click();
    void Button4Click();
    // The "Boot Sector" page.
    void TabSheet9Show();
    void DriveComboBSChange();
    void btn_read_bsClick();
    void txtbs21DblClick();
    void btnBSNT6Click();
    void btnAnyBSClick();
    void btn_backup_bsClick();
    void btn_restore_bsClick();
    // The "Speed Test" page.
    void btn_write_seqClick();
    void btn_read_seqClick();
    void btn_write_rndClick();
    void btn_read_rndClick();
    void btn_test_cancelClick();
    // The "Offline Registry" page's hidden commands and Tools > "Launch
    // CMD as system".
    void btn_dump_registryClick();
    void btn_reg_importClick();
    void LaunchCMDassystem1Click();

public:
    // The WM_OPERATION handler and what its kinds do.
    void WMOperationMessage(const OperationEvent& message);
    void SetProgress(int percent);
    void ShowText(const QString& text);
    void SetStatus(const QString& text);

    // Where operations post their WM_OPERATION messages, and the bar they move.
    platform::OperationTarget& operation_target() override;
    platform::ProgressBar& progress() override;

    // Machine check: a machine that cannot be told (a manifest that cannot
    // be read or is malformed) is said once, when the window has opened.
    void ReportMachineProblem();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;

private:
    // What the page controllers use of the window (page_host.h).
    QWidget* DialogOwner() override { return this; }
    bool Selected(const SelectionRule& rule, std::string& path) override;
    void FillDeviceList() override;
    void ShowStatus(const QString& text) override;
    void ClearProgress() override;
    void HoldCommands(bool hold) override;

    // What the tool windows use of it (tool_services.h).
    std::string ProgramFolder() const override { return state_.program_folder; }
    std::atomic<bool>& CancelFlag() override { return state_.cancel; }
    bool OpenDialog1(const std::string& filter, std::string& file) override;
    bool SaveDialog1(const std::string& filter, std::string& file) override;
    QProgressBar* ProgressBar() override { return pb_img; }
    QWidget* StatusTarget() override { return this; }

    void FormCreate();
    void LoadConfig();
    // Volume arrival and removal reach DeviceChanged from here, other changes
    // of the disks DisksChanged.
    void WatchDevices();

    void CreateMenus();
    void CreatePopupMenu();
    QWidget* CreateCloningPage();
    QWidget* CreateAdvancedPage();
    void BuildSideBar();
    // The command of a side-bar button; nothing for one whose operation
    // the program does not carry.
    std::function<void()> SideBarCommand(const std::string& page, const std::string& caption);

    void SetViewMode(int view_mode, QAction* chosen);
    void SetUnits(const std::string& units);
    void ShowAdvancedTab(bool visible);

    // The raw or LZ4 copy behind every backup and restore command of the
    // window, with its error shown and the list or bar set right after.
    void BackUpToFile(const std::string& device, const std::string& file, std::int64_t length, bool lz4);
    void RestoreFromFile(const std::string& file, const std::string& device, bool lz4);
    // "Backup to Image" and "Restore from Image" in EWF: the selected disk
    // or volume acquired into an EWF set, and a set written back onto it.
    void BackupToEwf(const std::string& device, const std::string& file);
    void RestoreFromEwf(const std::string& file, const std::string& device);

    // The volume of a partition row dismounted for a tool window, the disk
    // attribute changes and the volume state.
    bool DismountForTool(const std::string& path);
    void ChangeDiskAttributes(const std::string& question, std::int64_t attributes, std::int64_t mask,
                              const std::string& what, bool online_cycle);
    void SetVolumeState(bool online);

    // The wipe of the selected row by `wipe`, with the list refilled after.
    void RunWipeCommand(const SelectionRule& rule, WipeResult (*wipe)(const std::string&, const disk::OperationContext&));

    MainState& state_;
    bool busy_ = false;
    // The services the tool windows hold weakly: released first when the
    // window goes, so that no tool window reaches a window being destroyed.
    std::shared_ptr<ToolServices> tool_services_;
    std::unique_ptr<platform::device::DeviceMonitor> monitor_;
    std::unique_ptr<platform::OperationTarget> target_;
    std::unique_ptr<platform::ProgressBar> progress_;
    std::vector<disk::DiskListRow> rows_;
    std::vector<SideBarPage> side_bar_;

    // The page controllers; children of the window.
    BootSectorPage* boot_sector_ = nullptr;
    PartitionTablePage* partition_table_ = nullptr;
    OfflineRegistryPage* offline_registry_ = nullptr;
    SpeedTestPage* speed_test_ = nullptr;
    VirtualDiskCommands* virtual_disks_ = nullptr;
    NetworkCommands* network_ = nullptr;
    DiskLayoutCommands* disk_layout_ = nullptr;

    QTabWidget* PageControl2 = nullptr;
    QTabWidget* PageControl4 = nullptr;
    QWidget* TabSheetAdvanced = nullptr;
    QTreeWidget* lvdisks = nullptr;
    QToolBox* JvOutlookBar1 = nullptr;
    QProgressBar* pb_img = nullptr;
    QPushButton* btn_cancel_backup_restore = nullptr;
    // Beside the status line: the last volume that arrived or left, so
    // that a notice never takes the place of an operation's closing line.
    QLabel* lblDeviceNotice = nullptr;

    QMenu* PopupMenu1 = nullptr;
    QAction* Hide1 = nullptr;
    QAction* PhysicalOnly1 = nullptr;
    QAction* PARTonly1 = nullptr;
    QAction* DisksandParts1 = nullptr;
};

}  // namespace tarnovell
