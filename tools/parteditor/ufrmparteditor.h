// The partition editor: the partition table of one physical disk, entry by
// entry as the system reports it, and the commands that change it entry by
// entry, make or wipe the whole layout, copy a partition to or from an image
// file or another disk, and save the list as HTML. Every change goes through
// the layout routines of the disk library and is followed by a fresh read.
//
// Modeless; it deletes itself when closed. The opener sets DiskPath before
// showing it.
#pragma once

#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>

#include "main/dialogs/tool_services.h"
#include "platform/device/device_identity.h"
#include "main/dialogs/tool_window.h"
#include "tools/parteditor/partition_rows.h"

class QAction;
class QMenu;
class QStatusBar;
class QTreeWidget;

namespace tarnovell {

class Tfrmparteditor : public ToolWindow {
    Q_OBJECT

public:
    // Its copies report on the bar and status line of the window whose
    // services it is given.
    explicit Tfrmparteditor(ToolLink link = {}, QWidget* owner = nullptr);

    // "\\.\PhysicalDrive" + N.
    std::string DiskPath;
    // The disk DiskPath meant when the editor was opened for it: the
    // editor's changes are written only while the path still means it.
    std::optional<platform::device::DeviceIdentity> DiskChoice;
    // From the last read: the style (0 MBR, 1 GPT, 2 RAW), the entry count
    // and the disk's signature or GUID.
    std::uint32_t LayoutStyle = kEditorRaw;
    std::uint32_t LayoutCount = 0;
    std::uint32_t MbrSignature = 0;
    platform::GUID GptDiskId{};

    QTreeWidget* ListView1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* CreateDisk1 = nullptr;
    QAction* DeleteDriveLayout1 = nullptr;
    QAction* CreatePartition1 = nullptr;
    QAction* DeletePa1 = nullptr;
    QAction* ChangePartition1 = nullptr;
    QAction* ChangePartitionBootMBR1 = nullptr;
    QAction* ChangeDiskID1 = nullptr;
    QAction* SetasPartitionNumber11 = nullptr;
    QAction* ChangePartitionTypeGPT1 = nullptr;
    QAction* ChangePartitionAttributesGPT1 = nullptr;
    QAction* ChangePartitionIDGPT1 = nullptr;
    QAction* ChangeDiskIDGPT1 = nullptr;
    QAction* Refresh1 = nullptr;
    QAction* SelectanotherDISK1 = nullptr;
    QAction* SaveList1 = nullptr;
    QAction* BackupPartition1 = nullptr;
    QAction* RestorePartition1 = nullptr;
    QAction* BackuptoPhysicaldisk1 = nullptr;

    // Reads the layout of DiskPath and lists it; a read that fails is said
    // in the status bar.
    void ShowLayout();

    void CreateDisk1Click();
    void DeleteDriveLayout1Click();
    void CreatePartition1Click();
    void DeletePa1Click();
    void ChangePartition1Click();
    void ChangePartitionBootMBR1Click();
    void ChangeDiskID1Click();
    void SetasPartitionNumber11Click();
    void ChangePartitionTypeGPT1Click();
    void ChangePartitionAttributesGPT1Click();
    void ChangePartitionIDGPT1Click();
    void ChangeDiskIDGPT1Click();
    void Refresh1Click();
    void SaveList1Click();
    void BackupPartition1Click();
    void RestorePartition1Click();
    void BackuptoPhysicaldisk1Click();

protected:
    void showEvent(QShowEvent* event) override;
    // The pop-up menu is off while a copy runs.
    void SetCommandsEnabled(bool enabled) override;

private:
    QAction* AddCommand(const char* name, const QString& caption, void (Tfrmparteditor::*handler)());
    void ListView1CustomDrawItem();
    void SetStatus(const std::string& text);

    // The entry of a command on the selected row; nothing (after saying why
    // where there is something to say) when there is none or it is no
    // entry of this style.
    std::optional<int> SelectedEntry();
    std::optional<int> SelectedEntryOf(std::uint32_t style, const char* refusal);
    // "Modify entry #3 for \\.\PhysicalDrive1?", with the verb given.
    bool ConfirmEntry(const char* verb, int entry);
    // The disk the editor was opened for, made the choice of DiskPath again
    // (another window may have chosen by that name since); then the
    // question before a change, with what the disk is.
    void ChooseDiskAgain();
    bool AskAboutDisk(const std::string& question);
    // Runs a confirmed change of the layout: the layout is shown again
    // 100 ms after it returns; an exception is shown and nothing re-read.
    template <class Change>
    void ApplyChange(Change change);
    // The offset and length of the selected row; nothing without one, or
    // with a length of 0.
    bool SelectedRange(std::int64_t& offset, std::int64_t& length);
    // Asks a type through the create dialog with only its type list shown.
    std::optional<std::string> AskType(const std::vector<std::string>& names, const std::string& selected);

    // Runs a copy reporting to the main window; its exception is shown after
    // `failure_prefix`. The commands are off until it ends, and a close
    // asked for meanwhile stops it and closes the window once it has ended.
    template <class Copy>
    void RunCopy(const char* failure_prefix, Copy copy);

    ToolLink services_;
    EditorLayout layout_;
    bool sized_ = false;
};

}  // namespace tarnovell
