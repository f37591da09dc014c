#include "tools/volumes/ufrmvolume.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFile>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QPointer>
#include <QStatusBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <exception>

#include "disk/copy/copy_loop.h"
#include "disk/device/device_lists.h"
#include "disk/device/device_query.h"
#include "disk/engines/copy_engine.h"
#include "main/dialogs/dlg_disk.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/copy_files.h"
#include "main/operations/main_state.h"
#include "main/operations/open_volume.h"
#include "main/operations/selection.h"
#include "main/dialogs/tool_services.h"
#include "main/dialogs/window_reporting.h"
#include "platform/base/interaction.h"
#include "platform/device/device_monitor.h"
#include "platform/device/volume_api.h"
#include "tools/htmlreport/list_view_html.h"

namespace tarnovell {

namespace {

constexpr const char* kPickAVolume = "pick a volume";
constexpr const char* kImageFilter = "Image File (*.img)|*.img";
constexpr int kRowIndexRole = Qt::UserRole + 1;

enum Column { kVolume, kPathName, kDisk, kPart, kDosDevice, kSize, kSerial };

void ToClipboard(const std::string& text) { QGuiApplication::clipboard()->setText(QString::fromStdString(text)); }

QAction* AddItem(QMenu* menu, const char* name, const QString& caption) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(name);
    return action;
}

std::string WithoutTrailingBackslash(std::string text) {
    if (!text.empty() && text.back() == '\\') text.pop_back();
    return text;
}

}  // namespace

Tfrmvolumes::Tfrmvolumes(ToolLink link, QWidget* owner)
    : ToolWindow(owner, "frmvolumes", "Volumes"), services_(std::move(link)) {
    lvvolumes = new QTreeWidget;
    lvvolumes->setObjectName("lvvolumes");
    lvvolumes->setHeaderLabels({"Volume", "PathName", "Disk #", "Part #", "Dos Device", "Volume Size", "Serial"});
    lvvolumes->setRootIsDecorated(false);
    lvvolumes->setItemsExpandable(false);
    lvvolumes->setUniformRowHeights(true);
    lvvolumes->setSelectionMode(QAbstractItemView::SingleSelection);
    lvvolumes->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvvolumes->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvvolumes->setAllColumnsShowFocus(true);
    lvvolumes->setColumnWidth(kVolume, 380);
    lvvolumes->setColumnWidth(kPathName, 90);
    lvvolumes->setColumnWidth(kDisk, 55);
    lvvolumes->setColumnWidth(kPart, 55);
    lvvolumes->setColumnWidth(kDosDevice, 200);
    lvvolumes->setColumnWidth(kSize, 110);
    connect(lvvolumes, &QTreeWidget::itemDoubleClicked, this, [this] { GetVolumeInformations1Click(); });

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    connect(AddItem(PopupMenu1, "Unmount1", "Unmount Volume"), &QAction::triggered, this, &Tfrmvolumes::Unmount1Click);
    connect(AddItem(PopupMenu1, "Mount1", "Mount Volume (Auto assign letter)"), &QAction::triggered, this,
            &Tfrmvolumes::Mount1Click);
    connect(AddItem(PopupMenu1, "Mount2", "Mount Volume (Specify path)"), &QAction::triggered, this,
            &Tfrmvolumes::Mount2Click);
    PopupMenu1->addSeparator();
    Getnonvolumedrives1 = AddItem(PopupMenu1, "Getnonvolumedrives1", "Get Dos Devices");
    Getnonvolumedrives1->setCheckable(true);
    connect(Getnonvolumedrives1, &QAction::triggered, this, &Tfrmvolumes::Getnonvolumedrives1Click);
    connect(AddItem(PopupMenu1, "RemoveDosDevice1", "Remove Dos Device Letter"), &QAction::triggered, this,
            &Tfrmvolumes::RemoveDosDevice1Click);
    connect(AddItem(PopupMenu1, "AddDosDevice1", "Add Dos Device Letter"), &QAction::triggered, this,
            &Tfrmvolumes::AddDosDevice1Click);
    PopupMenu1->addSeparator();
    connect(AddItem(PopupMenu1, "CopyVolumeName1", "Copy Volume Name (to clipboard)"), &QAction::triggered, this,
            &Tfrmvolumes::CopyVolumeName1Click);
    connect(AddItem(PopupMenu1, "CopyDosDevicetoclipboard1", "Copy Dos Device (to clipboard)"), &QAction::triggered,
            this, &Tfrmvolumes::CopyDosDevicetoclipboard1Click);
    connect(AddItem(PopupMenu1, "GetVolumeInformations1", "Get Volume / Dos Device Informations"),
            &QAction::triggered, this, &Tfrmvolumes::GetVolumeInformations1Click);
    connect(AddItem(PopupMenu1, "GetSerialNumber1", "Get Volume / Dos Device Serial Number"), &QAction::triggered,
            this, &Tfrmvolumes::GetSerialNumber1Click);
    PopupMenu1->addSeparator();
    connect(AddItem(PopupMenu1, "Refresh1", "Refresh"), &QAction::triggered, this, &Tfrmvolumes::Refresh1Click);
    connect(AddItem(PopupMenu1, "SaveList1", "Save List"), &QAction::triggered, this, &Tfrmvolumes::SaveList1Click);
    QAction* open = AddItem(PopupMenu1, "OpenVolume1", "Open Volume");
    open->setVisible(false);
    connect(open, &QAction::triggered, this, &Tfrmvolumes::OpenVolume1Click);
    PopupMenu1->addSeparator();
    connect(AddItem(PopupMenu1, "Backup1", "Backup to file"), &QAction::triggered, this, &Tfrmvolumes::Backup1Click);
    connect(AddItem(PopupMenu1, "Restore1", "Restore from file"), &QAction::triggered, this,
            &Tfrmvolumes::Restore1Click);
    connect(AddItem(PopupMenu1, "Backuptoanothervolume1", "Volume to Volume"), &QAction::triggered, this,
            &Tfrmvolumes::Backuptoanothervolume1Click);
    PopupMenu1->addSeparator();
    connect(AddItem(PopupMenu1, "CopyFiles1", "Copy Files"), &QAction::triggered, this,
            &Tfrmvolumes::CopyFiles1Click);
    lvvolumes->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvvolumes, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(lvvolumes->viewport()->mapToGlobal(at)); });

    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    SetStatusBar(StatusBar1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(lvvolumes, 1);
    layout->addWidget(StatusBar1);
    resize(1000, 340);

    // The monitor calls from its own thread; the list is filled on ours.
    QPointer<Tfrmvolumes> self(this);
    monitor_ = std::make_unique<platform::device::DeviceMonitor>([self](bool arrival, std::uint32_t mask) {
        QMetaObject::invokeMethod(
            qApp,
            [self, arrival, mask] {
                if (self) self->WMDeviceChange(arrival, mask);
            },
            Qt::QueuedConnection);
    });
}

Tfrmvolumes::~Tfrmvolumes() = default;

void Tfrmvolumes::showEvent(QShowEvent* event) {
    ToolWindow::showEvent(event);
    if (filled_once_) return;
    filled_once_ = true;
    FillList();
}

void Tfrmvolumes::keyPressEvent(QKeyEvent* event) {
    // Escape stops a running copy after its current block; the window stays.
    if (event->key() == Qt::Key_Escape) {
        disk::copy_cancel = true;
        return;
    }
    ToolWindow::keyPressEvent(event);
}

void Tfrmvolumes::SetCommandsEnabled(bool enabled) { PopupMenu1->setEnabled(enabled); }

void Tfrmvolumes::ShowStatus(const std::string& text) { StatusBar1->showMessage(QString::fromStdString(text)); }

void Tfrmvolumes::FillList() {
    lvvolumes->clear();
    rows_.clear();
    volumes_.clear();
    try {
        volumes_ = list_volumes();
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    std::string notice;
    try {
        rows_ = FillVolumeRows(volumes_, Getnonvolumedrives1->isChecked(), notice);
    } catch (const std::exception& e) {
        notice = e.what();
    }
    if (!notice.empty()) ShowStatus(notice);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const VolumeRow& row = rows_[i];
        auto* item = new QTreeWidgetItem(QStringList{
            QString::fromStdString(row.caption), QString::fromStdString(row.path), QString::number(row.disk),
            QString::number(row.partition), QString::fromStdString(row.device), QString::number(row.size),
            QString::fromStdString(row.serial)});
        item->setData(0, kRowIndexRole, static_cast<int>(i));
        lvvolumes->addTopLevelItem(item);
    }
}

const VolumeRow* Tfrmvolumes::SelectedRow() const {
    const auto selected = lvvolumes->selectedItems();
    if (selected.isEmpty()) return nullptr;
    bool ok = false;
    const int index = selected.first()->data(0, kRowIndexRole).toInt(&ok);
    if (!ok || index < 0 || static_cast<std::size_t>(index) >= rows_.size()) return nullptr;
    return &rows_[static_cast<std::size_t>(index)];
}

void Tfrmvolumes::Refresh1Click() { FillList(); }

void Tfrmvolumes::AfterMountChange(bool done, const char* failure) {
    if (!done) platform::Say(failure);
    FillList();
}

void Tfrmvolumes::Unmount1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row || row->caption.empty()) return;
    AfterMountChange(disk::unmount_vol(row->path), "unmount failed");
}

void Tfrmvolumes::Mount1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row || row->caption.empty()) return;
    AfterMountChange(disk::mount_vol(row->caption, ""), "mount failed");
}

void Tfrmvolumes::Mount2Click() {
    const VolumeRow* row = SelectedRow();
    if (!row || row->caption.empty()) return;
    const std::string volume = row->caption;
    std::optional<std::string> path = platform::AskText("Enter Path : x:\\, c:\\mount\\", "x:\\");
    if (!path) return;
    AfterMountChange(disk::mount_vol(volume, *path), "mount failed");
}

void Tfrmvolumes::Getnonvolumedrives1Click() { FillList(); }

void Tfrmvolumes::RemoveDosDevice1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row) return;
    std::string name = row->path;
    std::erase(name, '\\');
    const std::string target = row->device;
    if (!platform::DefineDosDeviceA(platform::DDD_REMOVE_DEFINITION, name, target) &&
        !platform::DefineDosDeviceA(platform::DDD_REMOVE_DEFINITION | platform::DDD_RAW_TARGET_PATH, name, target))
        platform::Say("failed");
    FillList();
}

void Tfrmvolumes::AddDosDevice1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row) return;
    const std::string target = row->device;
    std::optional<std::string> name = platform::AskText("Enter Path : x:", "x:");
    if (!name) return;
    const bool added = platform::DefineDosDeviceA(platform::DDD_RAW_TARGET_PATH, *name, target) ||
                       platform::DefineDosDeviceA(0, *name, target);
    FillList();
    ShowStatus(added ? "Add Device OK" : "Cannot DefineDosDevice.");
}

void Tfrmvolumes::CopyVolumeName1Click() {
    if (const VolumeRow* row = SelectedRow()) ToClipboard(row->caption);
}

void Tfrmvolumes::CopyDosDevicetoclipboard1Click() {
    if (const VolumeRow* row = SelectedRow()) ToClipboard(row->device);
}

void Tfrmvolumes::GetVolumeInformations1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row) return platform::Say(kPickAVolume);
    std::string path = WithoutTrailingBackslash(row->caption);
    if (path.empty()) path = row->path;
    if (path.empty()) path = row->device;
    std::vector<std::string> lines;
    disk::DiskInfoReport(disk::DevicePathOf(path), lines);
    auto* window = new Tfrmproperties(this);
    window->setWindowTitle(QString::fromStdString("Properties for " + path));
    window->SetLines(lines);
    window->show();
}

void Tfrmvolumes::GetSerialNumber1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row) return platform::Say(kPickAVolume);
    std::string path = row->caption;
    if (path.empty()) path = row->path;
    if (path.empty()) path = row->device + "\\";
    platform::Say(VolumePathSerial(path));
}

void Tfrmvolumes::SaveList1Click() {
    std::string file;
    if (!RunFileDialog(this, "*.html", "HTML files (*.html)|*.HTML|HTM files (*.htm)|*.HTM", false, file,
                       "Save HTML", services_.ProgramFolder()))
        return;
    std::string page;
    ListViewToHtml(*lvvolumes, "volumes", page);
    QFile out(QString::fromStdString(file));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        out.write(page.data(), static_cast<qint64>(page.size())) != static_cast<qint64>(page.size()))
        platform::Say("could not write " + file + ": " + out.errorString().toStdString());
}

void Tfrmvolumes::OpenVolume1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row) return platform::Say(kNoSourceItemSelected);
    const std::string path = row->caption.empty() ? row->path : row->caption;
    const std::string problem = ShowVolumeInFileManager(path);
    if (!problem.empty()) platform::Say(problem);
}

void Tfrmvolumes::RawCopy(const std::string& source, const std::string& destination, std::int64_t length,
                          bool restore) {
    Run([&] {
        ToolReporting reporting(services_);
        if (restore)
            disk::RestoreRaw(source, destination, reporting.progress(), length, 0, false, reporting.status());
        else
            disk::BackupRaw(source, destination, reporting.progress(), length, 0, false, reporting.status());
    });
}

void Tfrmvolumes::Backup1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row || running()) return;
    const std::string source = CopySourceOf(*row);
    const std::int64_t length = CopyLengthOf(*row, volumes_);
    std::string file = "disk.img";
    if (!RunFileDialog(this, "", kImageFilter, false, file, "", "")) return;
    RawCopy(source, file, length, false);
}

void Tfrmvolumes::Restore1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row || running()) return;
    const std::string destination = CopySourceOf(*row);
    std::string file = "disk.img";
    if (!RunFileDialog(this, "", kImageFilter, true, file, "", "")) return;
    RawCopy(file, destination, 0, true);
}

void Tfrmvolumes::Backuptoanothervolume1Click() {
    const VolumeRow* row = SelectedRow();
    if (!row || running()) return;
    const std::string source = CopySourceOf(*row);
    const std::int64_t length = CopyLengthOf(*row, volumes_);
    std::optional<std::string> destination =
        platform::AskText("Enter Destination Volume (eg \\\\?\\Volume{12345678-1234-4567-89ab-123456123456})", "");
    if (!destination) return;
    RawCopy(source, WithoutTrailingBackslash(*destination), length, false);
}

void Tfrmvolumes::CopyFiles1Click() {
    const VolumeRow* row = SelectedRow();
    if (running()) return;
    std::string source;
    if (row) source = disk::DevicePathOf(row->caption.empty() ? row->path : row->caption);
    if (source.empty()) return platform::Say("you need a volume or pathname");

    Tfrmtarget target(this);
    std::vector<disk::DiskListRow> choices;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        disk::DiskListRow choice;
        choice.caption = std::to_string(i);
        choice.device = " ";
        choice.description = rows_[i].caption.empty() ? rows_[i].path : rows_[i].caption;
        choices.push_back(std::move(choice));
    }
    target.SetRows(choices);
    target.lvdisks->setColumnHidden(1, true);
    target.lvdisks->setColumnWidth(2, 400);
    for (int column = 3; column <= 6; ++column) target.lvdisks->setColumnHidden(column, true);
    if (target.exec() != QDialog::Accepted) return;
    const std::optional<disk::DiskListRow> chosen = target.SelectedRow();
    if (!chosen) return platform::Say("no destination item selected");
    const std::string destination = disk::DevicePathOf(chosen->description);

    Run([&] {
        // Escape stops the copy as it stops the raw copies: both archivers end.
        disk::copy_cancel = false;
        // Its bar is the main window's; its status lines are this window's.
        ToolReporting reporting(services_);
        PostingTarget status(this);
        disk::OperationContext context;
        context.cancel = &disk::copy_cancel;
        context.progress = reporting.progress();
        context.status = &status;
        CopyVolumeFiles(source, destination, context);
    });
}

void Tfrmvolumes::WMDeviceChange(bool arrival, std::uint32_t unit_mask) {
    const QString when = QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
    ShowStatus(DeviceNotice(arrival, unit_mask, when.toStdString()));
    if (!running()) FillList();
}

}  // namespace tarnovell
