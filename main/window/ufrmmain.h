// The main window: the device list, the side bar of commands, the progress
// bar and the Advanced tab. It is the only window created at start; every
// other window is opened by one of its commands.
#pragma once

#include <QMainWindow>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/device/device_lists.h"
#include "main/operations/config.h"
#include "main/operations/main_state.h"
#include "main/operations/partition_table_fields.h"
#include "main/operations/selection.h"
#include "main/operations/side_bar.h"
#include "main/operations/speed_test.h"
#include "main/operations/wipe.h"
#include "platform/base/progress.h"

namespace platform {
class Handle;
}
namespace platform::device {
class DeviceMonitor;
}

class QAction;
class QString;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QToolBox;
class QTreeWidget;

namespace tarnovell {

class OperationEvent;
enum class OfflineRepair;
struct ByteRange;

class Tfrmmain : public QMainWindow {
    Q_OBJECT

public:
    // Runs the creation sequence: start-up state, first refresh, config.ini.
    // Closing the window deletes it, so it must be created with new.
    explicit Tfrmmain(MainState& state, QWidget* parent = nullptr);
    ~Tfrmmain() override;

    MainState& state() { return state_; }
    // The rows the device list shows, in list order.
    const std::vector<disk::DiskListRow>& rows() const { return rows_; }
    std::optional<disk::DiskListRow> SelectedRow() const;
    // True while an operation runs.
    bool busy() const { return busy_; }

    // What LoadConfig does with a config.ini once it is read.
    void ApplyConfig(const MainConfig& config);

public slots:
    void RefreshDrives1Click();
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

    // ---- Disk, volume and virtual-disk commands (side-bar pages Volume,
    // Disk and Virtual Hard Disk) and the device report ----
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
    // Every "Virtual Hard Disk" button but the last: runs the command its
    // caption names.
    void JvOutlookBar1ButtonsClick();
    void RunVirtualDiskCommand(const std::string& caption);
    void CreateVhd();
    void OpenVhd();
    void DetachVhd();
    void ExpandVhd();
    void MergeVhd();
    void CompactVhd();
    void ResizeVhd();
    void VhdInformations();
    // "Add VHD footer to a RAW file".
    void AddVhdFooterToRaw();
    // "Show DISK/PART info" and a double-click on a row.
    void Showmoredetails1Click();
    void ShowDeviceProperties();

    // Wipe, clean volume and speed test (ufrmmain_wipe.cpp).
    void WipeSelected();
    void CleanVolume();
    void btn_write_seqClick();
    void btn_read_seqClick();
    void btn_write_rndClick();
    void btn_read_rndClick();
    void btn_test_cancelClick();

    // ---- Tool windows reach the window through frmmain() (frmmain.h); what
    // they use of it is inline, as their libraries do not link this one ----
    QProgressBar* ImgProgressBar() const { return pb_img; }

    // ---- Partition editor and image converter (ufrmmain_parteditor.cpp,
    // ufrmmain_convert.cpp): "Partition Editor" on the Disk page and "Disk
    // Image Conversion" on the Disk Image page ----
    void JvOutlookBar1Pages2Buttons8Click();
    void JvOutlookBar1Pages4Buttons0Click();

    // Network backup and restore ("Backup to Network", "Restore from
    // Network" on the Clone page): the selected disk or volume sent to, or
    // received from, a peer as a plain stream or through devio.
    void BackupToNetwork();
    void RestoreFromNetwork();

    // MD5, ISO maker and 7-Zip extractor windows (ufrmmain_disk_image_tools.cpp).
    void JvOutlookBar1Pages4Buttons1Click();  // "Make ISO disc image"
    void JvOutlookBar1Pages4Buttons5Click();  // "7Z Extract"
    void OpenMd5Window();                     // "MD5 Hash"

    // ---- WIM Image (ufrmmain_wim.cpp): the WIM hub, "WIM Image" on the
    // "Disk Image" page ----
    void JvOutlookBar1Pages4Buttons2Click();

public:
    // The WM_OPERATION handler and what its kinds do.
    void WMOperationMessage(const OperationEvent& message);
    void SetProgress(int percent);
    void ShowText(const QString& text);
    void SetStatus(const QString& text);

    // Where operations post their WM_OPERATION messages, and the bar they move.
    platform::OperationTarget& operation_target();
    platform::ProgressBar& progress();

    // Machine check: a machine that cannot be told (a manifest that cannot
    // be read or is malformed) is said once, when the window has opened.
    void ReportMachineProblem();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void FormCreate();
    void LoadConfig();
    // Volume arrival and removal reach DeviceChanged from here.
    void WatchDevices();

    void CreateMenus();
    void CreatePopupMenu();
    QWidget* CreateCloningPage();
    QWidget* CreateAdvancedPage();
    void BuildSideBar();

    // The device list and the drive combos; a failing query leaves its
    // list empty and says why in the status bar. A refilled combo keeps
    // the disk, volume or file it had chosen, under whatever name it has
    // now; one whose disk or volume is gone chooses none, its page's fields
    // cleared and its commands disabled until another entry is chosen.
    void FillDeviceList();
    void FillDriveCombo(QComboBox* combo, int mode);
    void AddDriveComboEntry(QComboBox* combo, const QString& entry);
    void ForgetDriveComboTarget(QComboBox* combo);
    void ShowDriveComboTarget(QComboBox* combo);
    void SetViewMode(int view_mode, QAction* chosen);
    void SetUnits(const std::string& units);
    void ShowAdvancedTab(bool visible);
    void ShowStatus(const QString& text);

    // The raw or LZ4 copy behind every backup and restore command of the
    // window, with its error shown and the list or bar set right after.
    void BackUpToFile(const std::string& device, const std::string& file, std::int64_t length, bool lz4);
    void RestoreFromFile(const std::string& file, const std::string& device, bool lz4);
    // ---- EWF images (ufrmmain_ewf.cpp) ----
    // "Backup to Image" and "Restore from Image" in EWF: the selected disk
    // or volume acquired into an EWF set, and a set written back onto it.
    void BackupToEwf(const std::string& device, const std::string& file);
    void RestoreFromEwf(const std::string& file, const std::string& device);

    // Shows a selection rule's message; true when there is a path.
    bool Selected(const SelectionRule& rule, std::string& path);

    // Held while an operation runs: the commands that would start another
    // one are disabled.
    class BusyScope {
    public:
        explicit BusyScope(Tfrmmain& window);
        ~BusyScope();
        BusyScope(const BusyScope&) = delete;
        BusyScope& operator=(const BusyScope&) = delete;

    private:
        Tfrmmain& window_;
        const bool outer_;
    };
    bool busy_ = false;

    // Disk, volume and virtual-disk commands: the volume of a partition row
    // dismounted for a tool window, the disk attribute changes, the file
    // picked for a virtual disk.
    bool DismountForTool(const std::string& path);
    void ChangeDiskAttributes(const std::string& question, std::int64_t attributes, std::int64_t mask,
                              const std::string& what, bool online_cycle);
    void SetVolumeState(bool online);
    bool PickVirtualDisk(const std::string& filter, std::string& file);
    // Opens a virtual disk, makes one call of the service on it and says
    // how that went: `failed` + the system text in a box, `done` in the
    // status line.
    void VirtualDiskStep(const std::string& file, std::uint32_t access, std::uint32_t depth,
                         const std::function<std::uint32_t(platform::Handle&)>& call, const std::string& failed,
                         const std::string& done);
    // Virtual disks attached by this window without the permanent flag:
    // attached as long as their handle, and so the program, lives.
    std::map<std::string, std::unique_ptr<platform::Handle>> attached_disks_;  // by image file
    std::string open_dialog_filter_ = "All Files (*.*)|*.*";

    // Wipe, clean volume and speed test (ufrmmain_wipe.cpp).
    void AddSpeedTestControls(QWidget* page);
    void RunWipeCommand(const SelectionRule& rule, WipeResult (*wipe)(const std::string&, const disk::OperationContext&));
    // What an operation started from the window reports to and stops on.
    disk::OperationContext WindowContext(platform::ProgressBar* bar);
    void RunSpeedTest(bool (*test)(const SpeedTestOptions&, const disk::OperationContext&));
    std::unique_ptr<platform::ProgressBar> speed_progress_;
    QProgressBar* pb_speed = nullptr;
    QComboBox* cb_buffer_size = nullptr;
    class QButtonGroup* grp_flags = nullptr;

    // ---- Advanced tab: the "Master Boot Record" page with its partition
    // rows and boot-code buttons, the "Boot Sector" page and the "Extract"
    // page (ufrmmain_partition_table.cpp, ufrmmain_partition_rows.cpp,
    // ufrmmain_boot_code.cpp, ufrmmain_boot_sector.cpp) ----
public:
    void TabSheet20Show();
    void drivecombopartChange();
    void btn_read_part_tableClick();
    void btn_reset_part_tableClick();
    void btn_write_partClick();
    void btn_mbr_writehtmlClick();
    void btn_mbr_apply_diskidClick();
    void SectorstoCHS1Click();
    // "..." of partition row 1..4: its menu at the mouse cursor.
    void btn_bs_Click(int row);
    void Openbootsector(int row);
    void Backuppartition(int row);
    void Restorepartition(int row);
    void OpenGPTparttable1Click();
    void Createadefaultactivepartition1Click();
    void btn_change_nt6mbrClick();
    void btn_change_grubmbrClick();
    void brnAnyMbrClick();
    void Button2Click();
    void Button4Click();
    void btnBSNT6Click();
    void btnAnyBSClick();
    void btn_backup_bsClick();
    void btn_restore_bsClick();
    void TabSheet9Show();
    void DriveComboBSChange();
    void btn_read_bsClick();
    // A double-click on txtbs<field>: the in-place editor of that field.
    void EditBootSectorField(int field);
    void txtbs21DblClick();
    // The sector "Open boot sector" points the Boot Sector page at (the
    // combo's Tag): 0 normally, a partition's first sector after the row
    // command.
    std::int64_t boot_sector_tag() const { return bs_tag_; }

private:
    struct MbrRowEdits {
        QLineEdit *b, *hs, *cs, *ss, *t, *he, *ce, *se, *s, *l;
    };
    void AddPartitionTableControls(QWidget* page);
    void AddBootSectorControls(QWidget* page);
    void AddExtractControls(QWidget* page);
    QMenu* MakePartitionRowMenu(int row);
    // The bytes row `row` (1..4) covers at `path`; nothing while an operation
    // runs, for a row of no bytes, or (after saying why) a field that is no
    // number.
    std::optional<ByteRange> PartitionRowBytes(int row, const std::string& path);
    // A row's copy: the window busy meanwhile, a failure said, the bar back
    // at 0 afterwards.
    void RunPartitionRowCopy(const std::function<void()>& copy);
    // The texts of the rows as they stand, and the rows set from texts.
    MbrRows PartitionRowTexts() const;
    // The path the page reads and writes: the selector's entry, a file
    // path whole.
    std::string PartitionTablePath() const;
    std::string BootSectorPath() const;
    // The image pick of both pages' "Disk Image File" entry; false when
    // cancelled.
    bool PickDiskImage(QComboBox* combo);
    // "hh:nn:ss:zzz - text" in the status bar.
    void ShowTimedStatus(const std::string& text);
    // Reads the Boot Sector page's sector into `sector`: at the Tag, or at
    // the sector asked for; the byte offset read is kept so that the
    // editors write where the page read. False when nothing was read.
    struct BootSectorRead {
        std::string path;
        std::int64_t offset = 0;  // bytes
        disk::SectorBuffer sector{};
    };
    bool ReadBootSectorAt(BootSectorRead& read);
    bool WriteBootSector(const BootSectorRead& read);
    // Runs a boot-sector write with the volumes of the disk locked when the
    // target is a whole disk.
    void WithDiskVolumesLocked(const std::string& path, const std::function<void()>& write);
    bool RunMbrBootCode(const std::string& file, const std::string& question, const std::string& done);
    void RunBootSectorCode(const std::string& file, const std::string& question);

    std::array<MbrRowEdits, 4> mbr_rows_{};
    QGroupBox* grp_partitions = nullptr;
    QLineEdit* txtMBRDiskID = nullptr;
    std::array<QMenu*, 4> MbrPopupMenus{};
    std::array<QLineEdit*, 22> txtbs{};
    std::int64_t bs_tag_ = 0;
    // Where the Boot Sector page last read: path and byte offset.
    std::string bs_read_path_;
    std::optional<std::int64_t> bs_read_offset_;
    QProgressBar* pb_extract = nullptr;
    // ---- end of the Advanced tab's pages ----

    MainState& state_;
    std::unique_ptr<platform::device::DeviceMonitor> monitor_;
    std::unique_ptr<platform::OperationTarget> target_;
    std::unique_ptr<platform::ProgressBar> progress_;
    std::vector<disk::DiskListRow> rows_;
    std::vector<SideBarPage> side_bar_;

    QTabWidget* PageControl2 = nullptr;
    QTabWidget* PageControl4 = nullptr;
    QWidget* TabSheetAdvanced = nullptr;
    QTreeWidget* lvdisks = nullptr;
    QToolBox* JvOutlookBar1 = nullptr;
    QProgressBar* pb_img = nullptr;
    QPushButton* btn_cancel_backup_restore = nullptr;
    QComboBox* DriveComboBS = nullptr;
    QComboBox* drive_speed = nullptr;
    QComboBox* drivecombopart = nullptr;

    QMenu* PopupMenu1 = nullptr;
    QAction* Hide1 = nullptr;
    QAction* PhysicalOnly1 = nullptr;
    QAction* PARTonly1 = nullptr;
    QAction* DisksandParts1 = nullptr;

    // Partition tables (ufrmmain_disk_layout.cpp): "Create Disk" and
    // "Create Partition" on a disk row, "Extend" and "Shrink" on a partition row.
public:
    void CreateDisk();
    void CreateSinglePartition();
    void ExtendVolume();
    void ShrinkVolume();

private:
    // The selected volume, the resize dialog and the question "<verb> C: by
    // ..." with the change asked for; false when there is no volume to
    // measure or the user does not go on.
    bool AskVolumeResize(const char* verb, bool suggest, std::string& path, std::int64_t& delta,
                         std::int64_t& new_sectors);

    // ---- Offline registry repairs: the Advanced tab's "Offline Registry"
    // page and Tools > "Launch CMD as system" (advanced_registry_page.cpp) ----
public:
    void btn_reg1_offClick();
    void btn_reg3_offClick();
    void btn_reg4_offClick();
    void btn_reg5_offClick();
    void Button13Click();
    void Button14Click();
    void Button12Click();
    void Button11Click();
    void btn_reg2_onClick();
    void btn_reg3_onClick();
    void btn_reg4_onClick();
    void btn_reg5_onClick();
    void btn_dump_registryClick();
    void btn_reg_importClick();
    void LaunchCMDassystem1Click();

private:
    void AddOfflineRegistryControls(QWidget* page);
    // Asks for the hive, then changes or reads it and says how that went.
    void RunOfflineRegistryRepair(OfflineRepair repair);
    void RunOfflineRegistryRead(std::string (*read)(const std::string&));
    // ---- end of the offline registry repairs ----

    // ---- Copy files and the tool windows (ufrmmain_tool_windows.cpp):
    // "Copy Files" on the Clone page, "Volume Names", the LZ4, raw-image and
    // VMDK windows of the Disk Image page, About, Screenshot, and the list's
    // "GetVolumeName" and "Open volume" ----
public:
    void JvOutlookBar1Pages0Buttons3Click();  // "Copy Files"
    void CopyFiles();
    void JvOutlookBar1Pages1Buttons0Click();  // "Volume Names"
    void JvOutlookBar1Pages4Buttons3Click();  // "Make a RAW disk image"
    void JvOutlookBar1Pages4Buttons4Click();  // "Create a VMDK File descriptor"
    void JvOutlookBar1Pages4Buttons6Click();  // "LZ4 Compressor"
    void About1Click();
    void Screenshot1Click();
    void GetVolumeName1Click();
    void Openvolume1Click();
};

}  // namespace tarnovell
