#include "tools/parteditor/ufrmparteditor.h"

#include <QAction>
#include <QBrush>
#include <QCloseEvent>
#include <QColor>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <thread>

#include "disk/copy/copy_loop.h"
#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "disk/engines/copy_engine.h"
#include "disk/partition/layout_edit.h"
#include "main/dialogs/dlg_disk.h"
#include "main/dialogs/file_dialog.h"
#include "main/dialogs/tool_services.h"
#include "main/dialogs/window_reporting.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/base/replace_file.h"
#include "platform/base/win_error.h"
#include "platform/device/device_naming.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/device/records/partition_table.h"
#include "platform/device/registry.h"
#include "tools/htmlreport/list_view_html.h"
#include "tools/parteditor/ufrmcreatepart.h"

namespace tarnovell {

namespace {

constexpr std::int64_t kMiB = 1048576;
constexpr const char* kImageFilter = "Image File (*.img)|*.img";
constexpr const char* kNotAnEntry = "not a valid part number";
enum Column { kNumber, kOffset, kLength, kHiddenOrId, kType, kBoot, kAttributes, kColumns };


void Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// A GUID as the layout routines take it: braced, 38 characters.
bool IsBracedGuid(const std::string& text) {
    platform::GUID guid{};
    return text.size() == 38 && text.front() == '{' && text.back() == '}' &&
           platform::device::GuidFromString(text, guid);
}

std::string NotAGuid(const std::string& text) { return "'" + text + "' is not a valid GUID value"; }
std::string NotAnInteger(const std::string& text) { return "'" + text + "' is not a valid integer value"; }

// The size of what a restore would write: a file's length, or a device's.
std::optional<std::int64_t> SourceSize(const std::string& path) {
    using namespace platform;
    Handle h = CreateFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!h) return std::nullopt;
    if (!device::IsDevicePath(path)) {
        std::int64_t size = 0;
        if (!GetFileSizeEx(h, &size)) return std::nullopt;
        return size;
    }
    return device::IsWholeDiskPath(path) ? disk::GetDiskLength(h) : disk::GetPartitionLength(h);
}

}  // namespace

Tfrmparteditor::Tfrmparteditor(ToolLink link, QWidget* owner)
    : ToolWindow(owner, "frmparteditor", "Partition Editor"), services_(std::move(link)) {

    ListView1 = new QTreeWidget;
    ListView1->setObjectName("ListView1");
    ListView1->setHeaderLabels(
        {"Number", "Offset (bytes)", "Length (bytes)", "HiddenSectors", "Type", "Boot", "Attributes"});
    ListView1->setRootIsDecorated(false);
    ListView1->setUniformRowHeights(true);
    ListView1->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView1->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView1->setContextMenuPolicy(Qt::CustomContextMenu);
    ListView1->setAllColumnsShowFocus(true);
    ListView1->header()->setStretchLastSection(true);

    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    CreateDisk1 = AddCommand("CreateDisk1", "Create Disk", &Tfrmparteditor::CreateDisk1Click);
    DeleteDriveLayout1 =
        AddCommand("DeleteDriveLayout1", "Delete Disk Layout", &Tfrmparteditor::DeleteDriveLayout1Click);
    PopupMenu1->addSeparator();
    CreatePartition1 = AddCommand("CreatePartition1", "Create Partition", &Tfrmparteditor::CreatePartition1Click);
    DeletePa1 = AddCommand("DeletePa1", "Delete Partition", &Tfrmparteditor::DeletePa1Click);
    PopupMenu1->addSeparator();
    ChangePartition1 =
        AddCommand("ChangePartition1", "Change Partition Type (MBR)", &Tfrmparteditor::ChangePartition1Click);
    ChangePartitionBootMBR1 = AddCommand("ChangePartitionBootMBR1", "Change Partition Boot (MBR)",
                                         &Tfrmparteditor::ChangePartitionBootMBR1Click);
    ChangeDiskID1 = AddCommand("ChangeDiskID1", "Change Disk ID (MBR)", &Tfrmparteditor::ChangeDiskID1Click);
    SetasPartitionNumber11 = AddCommand("SetasPartitionNumber11", "Set as Partition Number 1 (MBR)",
                                        &Tfrmparteditor::SetasPartitionNumber11Click);
    PopupMenu1->addSeparator();
    ChangePartitionTypeGPT1 = AddCommand("ChangePartitionTypeGPT1", "Change Partition Type (GPT)",
                                         &Tfrmparteditor::ChangePartitionTypeGPT1Click);
    ChangePartitionAttributesGPT1 = AddCommand("ChangePartitionAttributesGPT1", "Change Partition Attributes (GPT)",
                                               &Tfrmparteditor::ChangePartitionAttributesGPT1Click);
    ChangePartitionIDGPT1 =
        AddCommand("ChangePartitionIDGPT1", "Change PartitionID (GPT)", &Tfrmparteditor::ChangePartitionIDGPT1Click);
    ChangeDiskIDGPT1 = AddCommand("ChangeDiskIDGPT1", "Change Disk ID (GPT)", &Tfrmparteditor::ChangeDiskIDGPT1Click);
    PopupMenu1->addSeparator();
    Refresh1 = AddCommand("Refresh1", "Refresh", &Tfrmparteditor::Refresh1Click);
    SelectanotherDISK1 = AddCommand("SelectanotherDISK1", "Select another DISK", nullptr);
    SaveList1 = AddCommand("SaveList1", "Save List", &Tfrmparteditor::SaveList1Click);
    PopupMenu1->addSeparator();
    BackupPartition1 = AddCommand("BackupPartition1", "Backup Partition [src] to file [dst]",
                                  &Tfrmparteditor::BackupPartition1Click);
    RestorePartition1 = AddCommand("RestorePartition1", "Restore Partition [dst] from file [src]",
                                   &Tfrmparteditor::RestorePartition1Click);
    BackuptoPhysicaldisk1 = AddCommand("BackuptoPhysicaldisk1", "Backup Partition [src] to another PhysicalDrive [dst]",
                                       &Tfrmparteditor::BackuptoPhysicaldisk1Click);
    connect(ListView1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(ListView1->viewport()->mapToGlobal(at)); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(ListView1, 1);
    layout->addWidget(StatusBar1);
    resize(960, 280);
}

QAction* Tfrmparteditor::AddCommand(const char* name, const QString& caption, void (Tfrmparteditor::*handler)()) {
    QAction* action = PopupMenu1->addAction(caption);
    action->setObjectName(name);
    if (handler) connect(action, &QAction::triggered, this, handler);
    return action;
}

void Tfrmparteditor::showEvent(QShowEvent* event) {
    ToolWindow::showEvent(event);
    if (event->spontaneous()) return;
    SelectanotherDISK1->setVisible(false);
    ShowLayout();
    // Tall enough for the table of an ordinary disk, no taller than a screenful.
    if (!sized_) {
        sized_ = true;
        const int rows = std::clamp(ListView1->topLevelItemCount(), 8, 24);
        const int row_height = std::max(ListView1->sizeHintForRow(0), fontMetrics().height() + 2);
        const int list_height =
            ListView1->header()->sizeHint().height() + rows * row_height + 2 * ListView1->frameWidth();
        resize(width(), list_height + StatusBar1->sizeHint().height());
    }
}

void Tfrmparteditor::SetStatus(const std::string& text) { StatusBar1->showMessage(QString::fromStdString(text)); }

void Tfrmparteditor::ShowLayout() {
    ListView1->clear();
    try {
        auto buffer = std::make_unique<disk::DriveLayoutBuffer>();
        disk::GetDriveLayoutEx(DiskPath, *buffer);
        layout_ = EditorLayoutOf(*buffer);
    } catch (const std::exception& e) {
        layout_ = EditorLayout{};
        SetStatus(e.what());
        return;
    }
    LayoutCount = layout_.count;
    LayoutStyle = layout_.style;
    // A proposal may reach the disk's end where there is no GPT usable range.
    if (layout_.usable_end <= 0) {
        platform::Handle disk = disk::OpenForQuery(DiskPath, platform::GENERIC_READ);
        layout_.usable_end = disk ? disk::GetDiskLength(disk) : 0;
    }

    const bool mbr = LayoutStyle == kEditorMbr, gpt = LayoutStyle == kEditorGpt;
    if (mbr || gpt) {
        for (QAction* a : {ChangePartition1, ChangePartitionBootMBR1, ChangeDiskID1, SetasPartitionNumber11})
            a->setEnabled(mbr);
        for (QAction* a :
             {ChangePartitionTypeGPT1, ChangePartitionAttributesGPT1, ChangePartitionIDGPT1, ChangeDiskIDGPT1})
            a->setEnabled(gpt);
    }
    SetStatus(LayoutStatusText(LayoutStyle, LayoutCount));
    if (mbr) MbrSignature = layout_.mbr_signature;
    if (gpt) GptDiskId = layout_.gpt_disk_id;

    ListView1->headerItem()->setText(kHiddenOrId, gpt ? "ID" : "HiddenSectors");
    ListView1->setColumnHidden(kBoot, gpt);
    for (const EditorRow& row : layout_.rows) {
        auto* item = new QTreeWidgetItem(ListView1);
        const std::string texts[kColumns] = {row.number, row.offset, row.length,    row.hidden_or_id,
                                             row.type,   row.boot,   row.attributes};
        for (int c = 0; c < kColumns; ++c) item->setText(c, QString::fromStdString(texts[c]));
    }
    ListView1CustomDrawItem();
    // Every text shown whole: the columns take the width of what they hold.
    for (int c = 0; c < kColumns - 1; ++c)
        if (!ListView1->isColumnHidden(c)) ListView1->resizeColumnToContents(c);
}

void Tfrmparteditor::ListView1CustomDrawItem() {
    // Unused MBR entries are drawn light grey; the rest in the window's colour.
    for (int i = 0; i < ListView1->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ListView1->topLevelItem(i);
        if (item->text(kNumber) != "-") continue;
        for (int c = 0; c < kColumns; ++c) item->setBackground(c, QBrush(QColor(0xE5, 0xE5, 0xE5)));
    }
}

// ---- commands on an entry ---------------------------------------------------

std::optional<int> Tfrmparteditor::SelectedEntry() {
    QTreeWidgetItem* item = ListView1->currentItem();
    if (!item || !item->isSelected()) return std::nullopt;
    std::optional<int> entry = EntryNumberOf(ListView1->indexOfTopLevelItem(item));
    if (!entry) platform::Say(kNotAnEntry);
    return entry;
}

std::optional<int> Tfrmparteditor::SelectedEntryOf(std::uint32_t style, const char* refusal) {
    std::optional<int> entry = SelectedEntry();
    if (!entry) return std::nullopt;
    if (LayoutStyle != style) {
        platform::Say(refusal);
        return std::nullopt;
    }
    return entry;
}

void Tfrmparteditor::ChooseDiskAgain() {
    if (DiskChoice) platform::device::Registry::instance().choose(*DiskChoice);
}

bool Tfrmparteditor::AskAboutDisk(const std::string& question) {
    ChooseDiskAgain();
    return platform::AskAbout(question, platform::device::AboutDevices({disk::DevicePathOf(DiskPath)}));
}

bool Tfrmparteditor::ConfirmEntry(const char* verb, int entry) {
    return AskAboutDisk(std::string(verb) + " entry #" + std::to_string(entry) + " for " +
                        disk::DevicePathOf(DiskPath) + "?");
}

template <class Change>
void Tfrmparteditor::ApplyChange(Change change) {
    try {
        change();
    } catch (const std::exception& e) {
        platform::Say(e.what());
        return;
    }
    Pause(100);
    ShowLayout();
}

std::optional<std::string> Tfrmparteditor::AskType(const std::vector<std::string>& names, const std::string& selected) {
    Tfrmcreatepart dialog(this);
    dialog.SetTypes(names, selected);
    dialog.AskTypeOnly("Change Partition Type");
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.type_name();
}

void Tfrmparteditor::DeletePa1Click() {
    std::optional<int> entry = SelectedEntry();
    if (!entry || !ConfirmEntry("Delete", *entry)) return;
    const bool mbr = LayoutStyle == kEditorMbr;
    ApplyChange([&] { mbr ? disk::DeletePartitionMbr(DiskPath, *entry) : disk::DeletePartitionEx(DiskPath, *entry); });
}

void Tfrmparteditor::ChangePartition1Click() {
    std::optional<int> entry = SelectedEntryOf(kEditorMbr, "MBR only");
    if (!entry) return;
    std::optional<std::string> name = AskType(MbrChangeTypeNames(), "EXTENDED");
    if (!name) return;
    const std::optional<std::int64_t> code = ParseTypedNumber(PartitionTypeCode(kEditorMbr, *name));
    if (!code) return;
    if (!ConfirmEntry("Modify", *entry)) return;
    ApplyChange([&] { disk::SetMbrPartitionType(DiskPath, *entry, static_cast<std::uint8_t>(*code)); });
}

void Tfrmparteditor::ChangePartitionBootMBR1Click() {
    std::optional<int> entry = SelectedEntryOf(kEditorMbr, "MBR only");
    if (!entry) return;
    std::optional<std::string> typed = platform::AskText("Enter partition boot (0 or 1)");
    if (!typed) return;
    std::optional<bool> boot = ParseTypedBoolean(*typed);
    if (!boot) return platform::Say("'" + *typed + "' is not a valid boolean value");
    if (!ConfirmEntry("Modify", *entry)) return;
    ApplyChange([&] { disk::SetMbrBootIndicator(DiskPath, *entry, *boot); });
}

void Tfrmparteditor::ChangeDiskID1Click() {
    if (LayoutStyle != kEditorMbr) return platform::Say("MBR only");
    std::optional<std::string> typed = platform::AskText("Enter DiskID (4 bytes : $01020304)", "$");
    if (!typed || platform::Trim(*typed).empty() || platform::Trim(*typed) == "$") return;
    std::optional<std::uint32_t> signature = ParseDiskSignature(*typed);
    if (!signature) return platform::Say(NotAnInteger(*typed));
    if (!AskAboutDisk("Modify DiskID for " + disk::DevicePathOf(DiskPath) + "?")) return;
    ApplyChange([&] { disk::SetMbrDiskSignature(DiskPath, *signature); });
}

void Tfrmparteditor::SetasPartitionNumber11Click() {
    std::optional<int> entry = SelectedEntryOf(kEditorMbr, "MBR only");
    if (!entry) return;
    // Entry 1 has nowhere to go, and a logical entry cannot leave its
    // extended boot record.
    if (!CanBecomeFirst(*entry)) return platform::Say(kNotAnEntry);
    if (!ConfirmEntry("Modify", *entry)) return;
    try {
        disk::MovePartitionToFirst(DiskPath, *entry);
        Pause(50);
        disk::IoctlSetDiskAttributes(DiskPath, 1, 1);
        Pause(50);
        disk::IoctlSetDiskAttributes(DiskPath, 0, 1);
        Pause(50);
    } catch (const std::exception& e) {
        return platform::Say(e.what());
    }
    ShowLayout();
}

void Tfrmparteditor::ChangePartitionTypeGPT1Click() {
    std::optional<int> entry = SelectedEntryOf(kEditorGpt, "GPT only");
    if (!entry) return;
    std::optional<std::string> name = AskType(GptTypeNames(), "BASIC_DATA_GUID");
    if (!name) return;
    const std::string guid = PartitionTypeCode(kEditorGpt, *name);
    if (!ConfirmEntry("Modify", *entry)) return;
    ApplyChange([&] { disk::SetGptPartitionType(DiskPath, *entry, guid); });
}

void Tfrmparteditor::ChangePartitionAttributesGPT1Click() {
    std::optional<int> entry = SelectedEntryOf(kEditorGpt, "GPT only");
    if (!entry) return;
    std::optional<std::string> typed = platform::AskText("Enter partition attributes ($int64)");
    if (!typed) return;
    std::optional<std::int64_t> attributes = ParseTypedNumber(*typed);
    if (!attributes) return platform::Say(NotAnInteger(*typed));
    if (!ConfirmEntry("Modify", *entry)) return;
    ApplyChange([&] { disk::SetGptAttributes(DiskPath, *entry, *attributes); });
}

void Tfrmparteditor::ChangePartitionIDGPT1Click() {
    std::optional<int> entry = SelectedEntryOf(kEditorGpt, "GPT only");
    if (!entry) return;
    std::optional<std::string> typed = platform::AskText("Enter partitionid like {11223344-1122-1122-AABB-112233445566}");
    if (!typed) return;
    const std::string guid = platform::Trim(*typed);
    if (!IsBracedGuid(guid)) return platform::Say(NotAGuid(guid));
    if (!ConfirmEntry("Modify", *entry)) return;
    ApplyChange([&] { disk::SetGptPartitionId(DiskPath, *entry, guid); });
}

void Tfrmparteditor::ChangeDiskIDGPT1Click() {
    if (LayoutStyle != kEditorGpt) return platform::Say("GPT only");
    std::optional<std::string> typed = platform::AskText("Enter Disk GUID like {11223344-1122-1122-AABB-112233445566}");
    if (!typed || platform::Trim(*typed).empty()) return;
    const std::string guid = platform::Trim(*typed);
    if (!IsBracedGuid(guid)) return platform::Say(NotAGuid(guid));
    if (!AskAboutDisk("Modify Disk GUID for " + disk::DevicePathOf(DiskPath) + "?")) return;
    ApplyChange([&] { disk::SetGptDiskId(DiskPath, guid); });
}

// ---- the whole layout ---------------------------------------------------------

void Tfrmparteditor::DeleteDriveLayout1Click() {
    const std::string path = disk::DevicePathOf(DiskPath);
    if (!AskAboutDisk("Delete Drive Layout for " + path + "?")) return;
    try {
        disk::DeleteDriveLayout(path);
        SetStatus("DELETE_DRIVE_LAYOUT Ok");
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    Pause(100);
    ShowLayout();
}

void Tfrmparteditor::CreateDisk1Click() {
    Tfrmpartstyle dialog(this);
    if (dialog.exec() != QDialog::Accepted) return;
    const int style = dialog.style();
    if (!AskAboutDisk("Create Disk on " + DiskPath + "?")) return;
    bool created = false;
    try {
        created = disk::CreateDiskLayout(DiskPath, static_cast<std::uint8_t>(style));
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    SetStatus(created ? "IOCTL_DISK_CREATE_DISK Ok" : "IOCTL_DISK_CREATE_DISK Failed");
    Pause(100);
    ShowLayout();
}

void Tfrmparteditor::CreatePartition1Click() {
    QTreeWidgetItem* item = ListView1->currentItem();
    const bool selected = item && item->isSelected();
    if (ListView1->topLevelItemCount() > 0 && !selected) return;
    std::optional<int> entry = selected ? SelectedEntry() : std::optional<int>(1);
    if (!entry) return;
    const bool gpt = LayoutStyle == kEditorGpt;

    auto dialog = std::make_unique<Tfrmcreatepart>(this);
    if (gpt) dialog->SetTypes(GptTypeNames(), "BASIC_DATA_GUID");
    else dialog->SetTypes(MbrCreateTypeNames(), "IFS");
    const NewPartitionProposal proposal = ProposeNewPartition(layout_, *entry);
    dialog->txtoffset->setText(QString::number(proposal.offset));
    dialog->txtsize->setText(QString::number(proposal.size_mb));
    if (dialog->exec() != QDialog::Accepted) return;

    const bool boot = dialog->boot();
    const std::optional<std::int64_t> size_mb = dialog->size_mb();
    const std::optional<std::int64_t> offset = dialog->offset();
    const std::string code = PartitionTypeCode(LayoutStyle, dialog->type_name());
    const QString typed_offset = dialog->txtoffset->text(), typed_size = dialog->txtsize->text();
    dialog.reset();
    if (!offset || *offset < 0) return platform::Say(NotAnInteger(typed_offset.toStdString()));
    if (!size_mb || *size_mb < 0) return platform::Say(NotAnInteger(typed_size.toStdString()));
    // Without a style the name stands for itself, and no name is an MBR code.
    const std::optional<std::int64_t> mbr_type = gpt ? std::optional<std::int64_t>(0) : ParseTypedNumber(code);
    if (!mbr_type) return platform::Say(NotAnInteger(code));

    if (!ConfirmEntry("Create", *entry)) return;
    ApplyChange([&] {
        if (gpt) {
            disk::CreatePartitionEx(DiskPath, *entry, code, *size_mb * kMiB, *offset);
        } else {
            disk::CreatePartitionMbr(DiskPath, *entry, boot, static_cast<std::uint8_t>(*mbr_type), *size_mb * kMiB,
                                     *offset);
        }
    });
}

void Tfrmparteditor::Refresh1Click() { ShowLayout(); }

void Tfrmparteditor::SaveList1Click() {
    std::string file;
    constexpr const char* kHtmlFilter = "HTML files (*.html)|*.HTML|HTM files (*.htm)|*.HTM";
    if (!RunFileDialog(this, "html", kHtmlFilter, false, file, "Save HTML", "")) return;
    std::string html;
    ListViewToHtml(*ListView1, "partitions", html);
    if (!platform::ReplaceFileContents(file, html))
        platform::Say("could not write " + file + ": " + platform::SysErrorMessage(platform::GetLastError()));
}

// ---- copies of a partition ------------------------------------------------------

bool Tfrmparteditor::SelectedRange(std::int64_t& offset, std::int64_t& length) {
    QTreeWidgetItem* item = ListView1->currentItem();
    if (!item || !item->isSelected()) return false;
    const std::optional<std::int64_t> start = ParseTypedNumber(item->text(kOffset).toStdString());
    const std::optional<std::int64_t> size = ParseTypedNumber(item->text(kLength).toStdString());
    if (!start || !size || *size <= 0) return false;
    offset = *start;
    length = *size;
    return true;
}

template <class Copy>
void Tfrmparteditor::RunCopy(const char* failure_prefix, Copy copy) {
    Run(
        [&] {
            ToolReporting reporting(services_);
            copy(reporting);
        },
        failure_prefix);
}

void Tfrmparteditor::SetCommandsEnabled(bool enabled) { PopupMenu1->setEnabled(enabled); }

void Tfrmparteditor::BackupPartition1Click() {
    std::int64_t offset = 0, length = 0;
    if (running() || !SelectedRange(offset, length)) return;
    std::string file;
    if (!services_.SaveDialog1(kImageFilter, file)) return;
    services_.BringToFront();
    RunCopy("BackupPartition:", [&](ToolReporting& reporting) {
        disk::BackupRaw(DiskPath, file, reporting.progress(), length, offset, false, reporting.status());
    });
}

void Tfrmparteditor::RestorePartition1Click() {
    std::int64_t offset = 0, length = 0;
    if (running() || !SelectedRange(offset, length)) return;
    std::string file;
    if (!services_.OpenDialog1(kImageFilter, file)) return;
    // What does not fit the partition would land on whatever follows it.
    const std::optional<std::int64_t> size = SourceSize(file);
    if (size && *size > length)
        return platform::Say("RestorePartition:" + file + " (" + std::to_string(*size) +
                   " bytes) is larger than the partition (" + std::to_string(length) + " bytes)");
    ChooseDiskAgain();
    RunCopy("RestorePartition:", [&](ToolReporting& reporting) {
        disk::RestoreRaw(file, DiskPath, reporting.progress(), length, offset, false, reporting.status());
    });
}

void Tfrmparteditor::BackuptoPhysicaldisk1Click() {
    std::int64_t offset = 0, length = 0;
    if (running() || !SelectedRange(offset, length)) return;
    std::optional<std::string> typed = platform::AskText("Enter Destination PhysicalDrive (eg \\\\.\\PhysicalDriveX)");
    if (!typed) return;
    const std::string destination = platform::Trim(*typed);
    if (destination.empty()) return;
    // By device, not by name: "\\.\physicaldrive1" is the editor's own disk too.
    if (platform::EqualsNoCase(destination, DiskPath) || SameDevice(destination, DiskPath))
        return platform::Say("destination must be different from source!");
    platform::device::ChooseAsItIsNow(destination);
    const std::string question = "Write " + std::to_string(length / kMiB) + "MB at offset " + std::to_string(offset) +
                                 " on " + destination + "?";
    if (!platform::AskAbout(question, platform::device::AboutDevices({destination})))
        return;
    RunCopy("BackupPartition:", [&](ToolReporting& reporting) {
        disk::BackupRaw(DiskPath, destination, reporting.progress(), length, offset, false, reporting.status());
    });
}

}  // namespace tarnovell
