// The main window: the device list, the side bar of commands, the progress
// bar and the Advanced tab. It is the only window created at start; every
// other window is opened by one of its commands.
#pragma once

#include <QMainWindow>

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
class QMenu;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QToolBox;
class QTreeWidget;

namespace tarnovell {

class OperationEvent;

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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool event(QEvent* event) override;

    // Machine check: a machine that cannot be told (a manifest that cannot
    // be read or is malformed) is said once, when the window has opened.
    void ReportMachineProblem();

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
    // list empty and says why in the status bar.
    void FillDeviceList();
    void FillDriveCombo(QComboBox* combo, int mode);
    void SetViewMode(int view_mode, QAction* chosen);
    void SetUnits(const std::string& units);
    void ShowAdvancedTab(bool visible);
    void ShowStatus(const QString& text);

    // The raw or LZ4 copy behind every backup and restore command of the
    // window, with its error shown and the list or bar set right after.
    void BackUpToFile(const std::string& device, const std::string& file, std::int64_t length, bool lz4);
    void RestoreFromFile(const std::string& file, const std::string& device, bool lz4);
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
};

}  // namespace tarnovell
