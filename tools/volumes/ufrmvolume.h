// "Volumes": every volume of the machine with its mount path, disk and
// partition numbers, NT device name, size and serial number, optionally the
// other drive letters and the shadow copies, and commands on the selected
// row: mount and unmount, drive letters, the clipboard, the device report,
// raw copies to and from files and volumes, and Copy Files.
//
// Modeless; it deletes itself when closed, so create it with new. Copies
// report on the progress bar and status line of the window whose services
// it is given; the Escape key stops a running copy after its current block.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "main/dialogs/tool_services.h"
#include "main/dialogs/tool_window.h"
#include "tools/volumes/volume_table.h"

class QAction;
class QMenu;
class QStatusBar;
class QTreeWidget;

namespace platform::device {
class DeviceMonitor;
}

namespace tarnovell {

class Tfrmvolumes : public ToolWindow {
    Q_OBJECT

public:
    explicit Tfrmvolumes(ToolLink link = {}, QWidget* owner = nullptr);
    ~Tfrmvolumes() override;

    QTreeWidget* lvvolumes = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QAction* Getnonvolumedrives1 = nullptr;

    // The rows as listed, in list order.
    const std::vector<VolumeRow>& rows() const { return rows_; }

public slots:
    void Refresh1Click();
    void Unmount1Click();
    void Mount1Click();
    void Mount2Click();
    void Getnonvolumedrives1Click();
    void RemoveDosDevice1Click();
    void AddDosDevice1Click();
    void CopyVolumeName1Click();
    void CopyDosDevicetoclipboard1Click();
    void GetVolumeInformations1Click();
    void GetSerialNumber1Click();
    void SaveList1Click();
    void OpenVolume1Click();
    void Backup1Click();
    void Restore1Click();
    void Backuptoanothervolume1Click();
    void CopyFiles1Click();
    // A volume arrived or left; `unit_mask` has the bit of its letter.
    void WMDeviceChange(bool arrival, std::uint32_t unit_mask);

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void SetCommandsEnabled(bool enabled) override;

private:
    void FillList();
    const VolumeRow* SelectedRow() const;
    void ShowStatus(const std::string& text);
    // A mount or unmount that went (`done`), or its failure text; the list
    // is filled again half a second later either way.
    void AfterMountChange(bool done, const char* failure);
    // BackupRaw or RestoreRaw on the main window's bar and status line.
    void RawCopy(const std::string& source, const std::string& destination, std::int64_t length, bool restore);

    ToolLink services_;
    std::vector<TVolumeRecord> volumes_;
    std::vector<VolumeRow> rows_;
    bool filled_once_ = false;
    std::unique_ptr<platform::device::DeviceMonitor> monitor_;
};

}  // namespace tarnovell
