#include "main/window/ufrmmain.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QCheckBox>
#include <QGroupBox>
#include <QProgressBar>
#include <QRadioButton>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QToolBox>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <exception>
#include <map>

#include "disk/device/device_query.h"
#include "main/dialogs/dlg_disk.h"
#include "main/dialogs/file_dialog.h"
#include "main/dialogs/window_reporting.h"
#include "main/operations/selection.h"
#include "main/operations/text_helpers.h"
#include "main/window/boot_sector_page.h"
#include "main/window/disk_layout_commands.h"
#include "main/window/extract_page.h"
#include "main/window/network_commands.h"
#include "main/window/offline_registry_page.h"
#include "main/window/partition_table_page.h"
#include "main/window/speed_test_page.h"
#include "main/window/virtual_disk_commands.h"
#include "platform/base/interaction.h"
#include "platform/device/device_monitor.h"
#include "platform/device/handle.h"
#include "platform/device/registry.h"

namespace tarnovell {

namespace {

constexpr int kWindowWidth = 920;
constexpr int kWindowHeight = 620;
const QColor kDiskRowColour(229, 229, 229);

// Qt's item views have no grid lines of their own; the list draws them so
// that the columns of numbers stay readable.
class GridDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        painter->save();
        painter->setPen(option.palette.color(QPalette::Mid));
        painter->drawLine(option.rect.topRight(), option.rect.bottomRight());
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
        painter->restore();
    }
};

QAction* AddAction(QMenu* menu, const char* name, const QString& caption) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(name);
    return action;
}

QTreeWidgetItem* MakeListItem(const disk::DiskListRow& row, int index) {
    QTreeWidgetItem* item = MakeDeviceListItem(row, index);
    if (row.is_disk()) {
        item->setData(0, Qt::UserRole, row.data);
        // Disks stand out from the partitions listed under them.
        for (int column = 0; column < item->columnCount(); ++column) item->setBackground(column, kDiskRowColour);
    }
    return item;
}

}  // namespace

Tfrmmain::Tfrmmain(MainState& state, QWidget* parent)
    : QMainWindow(parent),
      state_(state),
      tool_services_(static_cast<ToolServices*>(this), [](ToolServices*) {}) {
    setObjectName("frmmain");
    // Closing the main window frees it, which ends the message loop.
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QString(platform::kProgramCaption) + " 2.3.8");

    auto* status = new QStatusBar;
    status->setObjectName("StatusBar1");
    status->setSizeGripEnabled(false);
    lblDeviceNotice = new QLabel;
    lblDeviceNotice->setObjectName("lblDeviceNotice");
    status->addPermanentWidget(lblDeviceNotice);
    setStatusBar(status);

    PageControl2 = new QTabWidget;
    PageControl2->setObjectName("PageControl2");
    PageControl2->addTab(CreateCloningPage(), "Cloning");
    PageControl2->addTab(CreateAdvancedPage(), "Advanced");
    setCentralWidget(PageControl2);

    CreateMenus();
    CreatePopupMenu();

    virtual_disks_ = new VirtualDiskCommands(*this, this);
    network_ = new NetworkCommands(*this, this);
    disk_layout_ = new DiskLayoutCommands(*this, this);
    side_bar_ = DefaultSideBar();
    BuildSideBar();

    setFixedSize(kWindowWidth, kWindowHeight);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    FormCreate();
    WatchDevices();
}

Tfrmmain::~Tfrmmain() {
    // The tool windows still open lose the window before any of it goes.
    tool_services_.reset();
}

platform::OperationTarget& Tfrmmain::operation_target() {
    if (!target_) target_ = std::make_unique<PostingTarget>(this);
    return *target_;
}

platform::ProgressBar& Tfrmmain::progress() {
    if (!progress_) progress_ = std::make_unique<BarProgress>(pb_img);
    return *progress_;
}

bool Tfrmmain::event(QEvent* event) {
    // Nothing here has a status tip: a menu passing over its items would
    // otherwise wipe the last operation's closing line with an empty one.
    if (event->type() == QEvent::StatusTip) return true;
    if (event->type() != OperationEvent::Kind()) return QMainWindow::event(event);
    WMOperationMessage(*static_cast<OperationEvent*>(event));
    return true;
}

void Tfrmmain::WMOperationMessage(const OperationEvent& message) {
    // The WIM windows have their own message numbers.
    if (message.channel != platform::WM_OPERATION) return;
    switch (message.kind) {
    case static_cast<int>(platform::OperationKind::Percent): SetProgress(static_cast<int>(message.percent)); break;
    case static_cast<int>(platform::OperationKind::Message): ShowText(MessageText(message)); break;
    case static_cast<int>(platform::OperationKind::Status): SetStatus(MessageText(message)); break;
    default: break;
    }
}

void Tfrmmain::SetProgress(int percent) { pb_img->setValue(percent); }

void Tfrmmain::ShowText(const QString& text) { platform::Say(text.toStdString()); }

void Tfrmmain::SetStatus(const QString& text) { ShowStatus(text); }

bool Tfrmmain::Selected(const SelectionRule& rule, std::string& path) {
    SelectionResult result = PathOfSelection(SelectedRow(), rule);
    if (!result.ok) {
        platform::Say(result.message);
        return false;
    }
    path = result.path;
    return true;
}

void Tfrmmain::WatchDevices() {
    // The monitor calls from its own thread; the list is refreshed on ours.
    QPointer<Tfrmmain> self(this);
    monitor_ = std::make_unique<platform::device::DeviceMonitor>(
        [self](bool arrival, std::uint32_t mask) {
            QMetaObject::invokeMethod(
                qApp,
                [self, arrival, mask] {
                    if (self) self->DeviceChanged(arrival, mask);
                },
                Qt::QueuedConnection);
        },
        [self] {
            QMetaObject::invokeMethod(
                qApp,
                [self] {
                    if (self) self->DisksChanged();
                },
                Qt::QueuedConnection);
        });
}

void Tfrmmain::FormCreate() {
    PrepareStartup(state_);
    DisksandParts1->setChecked(true);

    RefreshDrives1Click();
    // Devices still settling at start can leave the first look empty.
    if (rows_.empty()) RefreshDrives1Click();

    PageControl2->setCurrentIndex(0);
    PageControl4->setCurrentIndex(0);
    JvOutlookBar1->setCurrentIndex(0);
    ShowAdvancedTab(false);

    LoadConfig();
    // Said once the window is up, through whatever answers for it then.
    QTimer::singleShot(0, this, &Tfrmmain::ReportMachineProblem);
}

void Tfrmmain::LoadConfig() { ApplyConfig(ReadMainConfig(state_.program_folder)); }

void Tfrmmain::ApplyConfig(const MainConfig& config) {
    if (!config.exists) return;
    if (config.enable_advanced) {
        Hide1->setChecked(false);
        ShowAdvancedTab(true);
    }
    if (config.hide_advanced) Hide1->setVisible(false);
    TrimSideBar(side_bar_, config.outlookbar);
    BuildSideBar();
}

void Tfrmmain::CreateMenus() {
    QMenu* file = menuBar()->addMenu("File");
    file->setObjectName("File1");
    connect(AddAction(file, "Exit1", "Exit"), &QAction::triggered, this, &Tfrmmain::Exit1Click);

    QMenu* tools = menuBar()->addMenu("Tools");
    tools->setObjectName("Tools1");
    connect(AddAction(tools, "RefreshDrives1", "Refresh Drives"), &QAction::triggered, this,
            &Tfrmmain::RefreshDrives1Click);
    Hide1 = AddAction(tools, "Hide1", "Hide Advanced Menu");
    Hide1->setCheckable(true);
    Hide1->setChecked(true);
    // Qt flips the check mark itself when the item is chosen; the tab follows it.
    connect(Hide1, &QAction::toggled, this, [this](bool checked) { ShowAdvancedTab(!checked); });
    connect(AddAction(tools, "Screenshot1", "Screenshot"), &QAction::triggered, this, &Tfrmmain::Screenshot1Click);
    QAction* chs = AddAction(tools, "SectorstoCHS1", "Sectors to C.H.S");
    chs->setVisible(false);
    connect(chs, &QAction::triggered, this, &Tfrmmain::SectorstoCHS1Click);
    connect(AddAction(tools, "LaunchCMDassystem1", "Launch CMD as system"), &QAction::triggered, this,
            &Tfrmmain::LaunchCMDassystem1Click);

    QMenu* help = menuBar()->addMenu("Help");
    help->setObjectName("Help1");
    connect(AddAction(help, "About1", "About"), &QAction::triggered, this, &Tfrmmain::About1Click);

    QAction* server = menuBar()->addAction("Server");
    server->setObjectName("Server1");
    server->setVisible(false);
}

void Tfrmmain::CreatePopupMenu() {
    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    connect(AddAction(PopupMenu1, "BackupRAW1", "Backup (RAW)"), &QAction::triggered, this, &Tfrmmain::BackupRAW1Click);
    connect(AddAction(PopupMenu1, "RestoreRAW1", "Restore (RAW)"), &QAction::triggered, this,
            &Tfrmmain::RestoreRAW1Click);
    PopupMenu1->addSeparator();

    PhysicalOnly1 = AddAction(PopupMenu1, "PhysicalOnly1", "Display DISK Only");
    PARTonly1 = AddAction(PopupMenu1, "PARTonly1", "Display PART Only");
    DisksandParts1 = AddAction(PopupMenu1, "DisksandParts1", "Display Disks and Parts");
    for (QAction* view : {PhysicalOnly1, PARTonly1, DisksandParts1}) view->setCheckable(true);
    connect(PhysicalOnly1, &QAction::triggered, this, &Tfrmmain::PhysicalOnly1Click);
    connect(PARTonly1, &QAction::triggered, this, &Tfrmmain::PARTonly1Click);
    connect(DisksandParts1, &QAction::triggered, this, &Tfrmmain::DisksandParts1Click);

    QAction* sectors = AddAction(PopupMenu1, "SwitchtoSectors1", "Display Units = Sectors");
    sectors->setVisible(false);
    connect(sectors, &QAction::triggered, this, &Tfrmmain::SwitchtoSectors1Click);
    QAction* megabytes = AddAction(PopupMenu1, "UnitsMB1", "Display Units = MB");
    megabytes->setVisible(false);
    connect(megabytes, &QAction::triggered, this, &Tfrmmain::UnitsMB1Click);
    PopupMenu1->addSeparator();

    connect(AddAction(PopupMenu1, "Showmoredetails1", "Show DISK/PART info"), &QAction::triggered, this,
            &Tfrmmain::Showmoredetails1Click);
    QAction* volume_name = AddAction(PopupMenu1, "GetVolumeName1", "GetVolumeName");
    volume_name->setVisible(false);
    connect(volume_name, &QAction::triggered, this, &Tfrmmain::GetVolumeName1Click);
    connect(AddAction(PopupMenu1, "Openvolume1", "Open volume"), &QAction::triggered, this,
            &Tfrmmain::Openvolume1Click);

    lvdisks->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lvdisks, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(lvdisks->viewport()->mapToGlobal(at)); });
}

QWidget* Tfrmmain::CreateCloningPage() {
    auto* page = new QWidget;
    page->setObjectName("TabSheetCloning");

    lvdisks = new QTreeWidget;
    lvdisks->setObjectName("lvdisks");
    lvdisks->setColumnCount(8);
    // The last column says which disk or volume of this machine a row is.
    lvdisks->setHeaderLabels(
        {"#", "Device", "Description", "Size (MB)", "Used (MB)", "Unused (MB)", "FS", "Linux Device"});
    lvdisks->setRootIsDecorated(false);
    lvdisks->setItemsExpandable(false);
    lvdisks->setUniformRowHeights(true);
    lvdisks->setSelectionMode(QAbstractItemView::SingleSelection);
    lvdisks->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvdisks->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvdisks->setAllColumnsShowFocus(true);
    lvdisks->setItemDelegate(new GridDelegate(lvdisks));
    lvdisks->header()->setSectionsMovable(false);
    lvdisks->setColumnWidth(0, 0);
    lvdisks->setColumnHidden(0, true);
    lvdisks->setColumnWidth(1, 80);
    lvdisks->setColumnWidth(2, 200);
    for (int column = 3; column <= 5; ++column) lvdisks->setColumnWidth(column, 90);
    lvdisks->installEventFilter(this);
    connect(lvdisks, &QTreeWidget::itemDoubleClicked, this, [this] { ShowDeviceProperties(); });

    JvOutlookBar1 = new QToolBox;
    JvOutlookBar1->setObjectName("JvOutlookBar1");
    JvOutlookBar1->setFixedWidth(210);

    pb_img = new QProgressBar;
    pb_img->setObjectName("pb_img");
    pb_img->setValue(0);

    btn_cancel_backup_restore = new QPushButton("Cancel Operation");
    btn_cancel_backup_restore->setObjectName("btn_cancel_backup_restore");
    connect(btn_cancel_backup_restore, &QPushButton::clicked, this, &Tfrmmain::btn_cancel_backup_restoreClick);

    auto* progress_row = new QHBoxLayout;
    progress_row->addWidget(pb_img, 1);
    progress_row->addWidget(btn_cancel_backup_restore);

    auto* list_column = new QVBoxLayout;
    list_column->addWidget(lvdisks, 1);
    list_column->addLayout(progress_row);

    auto* layout = new QHBoxLayout(page);
    layout->addWidget(JvOutlookBar1);
    layout->addLayout(list_column, 1);
    return page;
}

QWidget* Tfrmmain::CreateAdvancedPage() {
    TabSheetAdvanced = new QWidget;
    TabSheetAdvanced->setObjectName("TabSheetAdvanced");

    PageControl4 = new QTabWidget;
    PageControl4->setObjectName("PageControl4");

    // Each page starts with its drive selector at the top; the page's own
    // fields come below it.
    boot_sector_ = new BootSectorPage(*this, PageControl4, this);
    partition_table_ = new PartitionTablePage(*this, *boot_sector_, this);
    offline_registry_ = new OfflineRegistryPage(*this, this);
    speed_test_ = new SpeedTestPage(*this, this);
    PageControl4->addTab(partition_table_->page(), "Master Boot Record");
    PageControl4->addTab(boot_sector_->page(), "Boot Sector");
    PageControl4->addTab(MakeExtractPage(), "Extract");
    PageControl4->addTab(offline_registry_->page(), "Offline Registry");
    PageControl4->addTab(speed_test_->page(), "Speed Test");

    auto* layout = new QVBoxLayout(TabSheetAdvanced);
    layout->addWidget(PageControl4);
    return TabSheetAdvanced;
}

namespace {

// The side-bar buttons whose commands the program carries.
using Command = void (Tfrmmain::*)();

// The commands of the Volume, Disk and Virtual Hard Disk pages.
Command DiskVolumeVhdCommand(const std::string& page, const std::string& caption) {
    static const std::map<std::pair<std::string, std::string>, Command> commands = {
        {{"Volume", "Close handles / Redetect"}, &Tfrmmain::DismountVolume},
        {{"Volume", "Set Volume Offline"}, &Tfrmmain::SetVolumeOffline},
        {{"Volume", "Set Volume Online"}, &Tfrmmain::SetVolumeOnline},
        {{"Volume", "Format"}, &Tfrmmain::FormatSelectedVolume},
        {{"Volume", "Check Disk"}, &Tfrmmain::CheckDisk},
        {{"Disk", "Set Disk Online"}, &Tfrmmain::SetDiskOnline},
        {{"Disk", "Set Disk Offline"}, &Tfrmmain::SetDiskOffline},
        {{"Disk", "Set Disk Read-Only"}, &Tfrmmain::SetDiskReadOnly},
        {{"Disk", "Set Disk Read-Write"}, &Tfrmmain::SetDiskReadWrite},
        {{"Disk", "Update Disk Properties"}, &Tfrmmain::UpdateDiskProperties},
        {{"Disk", "Delete Disk Layout"}, &Tfrmmain::DeleteDiskLayout},
        {{"Virtual Hard Disk", "Create / Attach a VHD"}, &Tfrmmain::JvOutlookBar1ButtonsClick},
        {{"Virtual Hard Disk", "Open / Attach a VHD or ISO"}, &Tfrmmain::JvOutlookBar1ButtonsClick},
        {{"Virtual Hard Disk", "Detach VHD"}, &Tfrmmain::JvOutlookBar1ButtonsClick},
        {{"Virtual Hard Disk", "Expand VHD"}, &Tfrmmain::JvOutlookBar1ButtonsClick},
        {{"Virtual Hard Disk", "Resize VHD"}, &Tfrmmain::JvOutlookBar1ButtonsClick},
        {{"Virtual Hard Disk", "Compact VHD"}, &Tfrmmain::JvOutlookBar1ButtonsClick},
        {{"Virtual Hard Disk", "Merge VHD"}, &Tfrmmain::JvOutlookBar1ButtonsClick},
        {{"Virtual Hard Disk", "Informations"}, &Tfrmmain::JvOutlookBar1ButtonsClick},
    };
    auto found = commands.find({page, caption});
    return found == commands.end() ? nullptr : found->second;
}
Command WindowCommand(const std::string& page, const std::string& caption) {
    if (page == "Clone" && caption == "Tarnovell") return &Tfrmmain::StartClone;
    if (page == "Clone" && caption == "Backup to Image") return &Tfrmmain::BackupToImage;
    if (page == "Clone" && caption == "Restore from Image") return &Tfrmmain::RestoreFromImage;
    if (page == "Disk" && caption == "Create Disk") return &Tfrmmain::CreateDisk;
    if (page == "Disk" && caption == "Create Partition") return &Tfrmmain::CreateSinglePartition;
    if (page == "Volume" && caption == "Extend") return &Tfrmmain::ExtendVolume;
    if (page == "Volume" && caption == "Shrink") return &Tfrmmain::ShrinkVolume;
    if (caption == "Wipe Disk" || caption == "Wipe Volume") return &Tfrmmain::WipeSelected;
    if (page == "Volume" && caption == "Clean Volume") return &Tfrmmain::CleanVolume;
    if (page == "Clone" && caption == "Copy Files") return &Tfrmmain::JvOutlookBar1Pages0Buttons3Click;
    if (page == "Volume" && caption == "Volume Names") return &Tfrmmain::JvOutlookBar1Pages1Buttons0Click;
    if (page == "Disk Image" && caption == "Make a RAW disk image") return &Tfrmmain::JvOutlookBar1Pages4Buttons3Click;
    if (page == "Disk Image" && caption == "Create a VMDK File descriptor")
        return &Tfrmmain::JvOutlookBar1Pages4Buttons4Click;
    if (page == "Disk Image" && caption == "LZ4 Compressor") return &Tfrmmain::JvOutlookBar1Pages4Buttons6Click;
    if (page == "Disk" && caption == "Partition Editor") return &Tfrmmain::JvOutlookBar1Pages2Buttons8Click;
    if (page == "Disk Image" && caption == "Disk Image Conversion") return &Tfrmmain::JvOutlookBar1Pages4Buttons0Click;
    if (page == "Disk Image" && caption == "WIM Image") return &Tfrmmain::JvOutlookBar1Pages4Buttons2Click;
    if (auto command = DiskVolumeVhdCommand(page, caption)) return command;
    if (page == "Disk Image" && caption == "Make ISO disc image") return &Tfrmmain::JvOutlookBar1Pages4Buttons1Click;
    if (page == "Disk Image" && caption == "7Z Extract") return &Tfrmmain::JvOutlookBar1Pages4Buttons5Click;
    if (page == "Virtual Hard Disk" && caption == "MD5 Hash") return &Tfrmmain::OpenMd5Window;
    return nullptr;
}

}  // namespace

std::function<void()> Tfrmmain::SideBarCommand(const std::string& page, const std::string& caption) {
    if (page == "Clone" && caption == "Backup to Network") return [this] { network_->BackupToNetwork(); };
    if (page == "Clone" && caption == "Restore from Network") return [this] { network_->RestoreFromNetwork(); };
    if (page == "Virtual Hard Disk" && caption == "Add VHD footer to a RAW file")
        return [this] { virtual_disks_->AddVhdFooterToRaw(); };
    if (const Command command = WindowCommand(page, caption)) return [this, command] { (this->*command)(); };
    return {};
}

void Tfrmmain::BuildSideBar() {
    while (JvOutlookBar1->count() > 0) {
        QWidget* page = JvOutlookBar1->widget(0);
        JvOutlookBar1->removeItem(0);
        delete page;
    }
    for (const auto& side_page : side_bar_) {
        auto* page = new QWidget;
        page->setObjectName(QString::fromStdString(SideBarPageName(side_page.caption)));
        auto* layout = new QVBoxLayout(page);
        layout->setContentsMargins(4, 4, 4, 4);
        layout->setSpacing(3);
        for (const auto& caption : side_page.buttons) {
            auto* button = new QPushButton(QString::fromStdString(caption));
            button->setObjectName(QString::fromStdString(SideBarButtonName(side_page.caption, caption)));
            if (std::function<void()> command = SideBarCommand(side_page.caption, caption))
                connect(button, &QPushButton::clicked, this, command);
            else
                button->setEnabled(false);  // each command is connected once its operation exists
            layout->addWidget(button);
        }
        layout->addStretch(1);
        JvOutlookBar1->addItem(page, QString::fromStdString(side_page.caption));
    }
}

void Tfrmmain::FillDeviceList() {
    // The disk or volume selected stays selected under whatever number or
    // letter it has now; one that is gone leaves nothing selected, so that
    // no command acts on whatever took its place.
    const std::optional<disk::DiskListRow> selected = SelectedRow();
    lvdisks->clear();
    rows_.clear();
    try {
        rows_ = disk::FillDiskList(state_.view_mode, state_.units);
    } catch (const std::exception& e) {
        ShowStatus(QString::fromStdString(e.what()));
    }
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        QTreeWidgetItem* item = MakeListItem(rows_[i], static_cast<int>(i));
        lvdisks->addTopLevelItem(item);
        if (selected && selected->identity && rows_[i].identity && rows_[i].is_disk() == selected->is_disk() &&
            selected->identity->same_device(*rows_[i].identity))
            lvdisks->setCurrentItem(item);
    }
    // The device a row is, whole: the list scrolls sideways rather than cut it.
    lvdisks->resizeColumnToContents(lvdisks->columnCount() - 1);
}

std::optional<disk::DiskListRow> Tfrmmain::SelectedRow() const { return SelectedDeviceRow(lvdisks, rows_); }

void Tfrmmain::RefreshDrives1Click() {
    FillDeviceList();
    boot_sector_->RefillSelector();
    speed_test_->RefillSelector();
    partition_table_->RefillSelector();
}

void Tfrmmain::SetViewMode(int view_mode, QAction* chosen) {
    state_.view_mode = view_mode;
    FillDeviceList();
    for (QAction* view : {PhysicalOnly1, PARTonly1, DisksandParts1}) view->setChecked(view == chosen);
}

void Tfrmmain::PhysicalOnly1Click() { SetViewMode(2, PhysicalOnly1); }
void Tfrmmain::PARTonly1Click() { SetViewMode(1, PARTonly1); }
void Tfrmmain::DisksandParts1Click() { SetViewMode(0, DisksandParts1); }

void Tfrmmain::SetUnits(const std::string& units) {
    state_.units = units;
    const bool sectors = units == "S";
    const QString unit = sectors ? "(Sect.)" : "(MB)";
    auto* header = lvdisks->headerItem();
    header->setText(3, "Size " + unit);
    header->setText(4, "Used " + unit);
    header->setText(5, "Unused " + unit);
    FillDeviceList();
}

void Tfrmmain::SwitchtoSectors1Click() { SetUnits("S"); }
void Tfrmmain::UnitsMB1Click() { SetUnits("MB"); }

void Tfrmmain::ShowAdvancedTab(bool visible) { PageControl2->setTabVisible(PageControl2->indexOf(TabSheetAdvanced), visible); }

void Tfrmmain::Hide1Click() { Hide1->toggle(); }

void Tfrmmain::Exit1Click() {
    close();
    QCoreApplication::quit();
}

void Tfrmmain::btn_cancel_backup_restoreClick() {
    // The window's loops, its workers and the copy engines stop on one flag.
    state_.cancel = true;
}

void Tfrmmain::ShowStatus(const QString& text) { statusBar()->showMessage(text); }

void Tfrmmain::ClearProgress() { pb_img->setValue(0); }

void Tfrmmain::HoldCommands(bool hold) {
    // Nothing that starts another operation may run while one does; Cancel
    // stays available.
    busy_ = hold;
    JvOutlookBar1->setEnabled(!hold);
    PopupMenu1->setEnabled(!hold);
    lvdisks->setContextMenuPolicy(hold ? Qt::NoContextMenu : Qt::CustomContextMenu);
}

bool Tfrmmain::OpenDialog1(const std::string& filter, std::string& file) {
    return RunFileDialog(this, "", filter, true, file, "", "");
}

bool Tfrmmain::SaveDialog1(const std::string& filter, std::string& file) {
    return RunFileDialog(this, "", filter, false, file, "", "");
}

void Tfrmmain::ReportMachineProblem() {
    const std::string problem = platform::device::Registry::instance().problem();
    if (problem.empty()) return;
    statusBar()->showMessage(QString::fromStdString(problem));
    platform::Say(problem);
}

void Tfrmmain::DisksChanged() { RefreshDrives1Click(); }

void Tfrmmain::DeviceChanged(bool arrival, std::uint32_t unit_mask) {
    const QString when = QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
    lblDeviceNotice->setText(QString::fromStdString(DeviceNotice(arrival, unit_mask, when.toStdString())));
    RefreshDrives1Click();
}

bool Tfrmmain::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // F5 brings the list up to date without touching the drive combos.
        if (watched == lvdisks && key->key() == Qt::Key_F5) {
            FillDeviceList();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

}  // namespace tarnovell
