// The main window over a machine of image files: its components, the device
// list in every view and unit, the drive combos, the Advanced tab and the
// config.ini options.
#include <gtest/gtest.h>

#include <set>

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QDateTime>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QToolBox>
#include <QTreeWidget>

#include <map>
#include <memory>
#include <set>

#include "disk/device/device_lists.h"
#include "main/operations/selection.h"
#include "main/window/ufrmmain.h"
#include "support/embedded_machine.h"
#include "support/test_support.h"
#include "support/test_application.h"

using disk::DiskListRow;
using tarnovell::MainConfig;
using tarnovell::Tfrmmain;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

using Texts = std::vector<std::vector<std::string>>;

// sfdisk and sgdisk pause after each write, so every layout is made once
// per test program and each machine gets a copy of it.
DiskSpec CopyOfLayout(const std::string& name, std::int64_t size, const std::vector<std::string>& commands) {
    static test_support::TempDir folder;
    static std::map<std::string, std::string> made;
    auto [at, fresh] = made.try_emplace(name, folder.file(name + ".img"));
    if (fresh) {
        test_support::MakeSparseFile(at->second, size);
        for (const auto& command : commands) test_support::RunOn(command, at->second);
    }
    DiskSpec spec;
    spec.size = size;
    spec.prepare = {"cp --sparse=always " + test_support::Quote(at->second) + " %s"};
    return spec;
}

// 8 MiB MBR: a labelled FAT primary partition and an extended partition
// holding one logical partition.
DiskSpec MbrDisk() {
    return CopyOfLayout("mbr", 8 << 20,
                        {"printf 'label: dos\\nstart=2048,size=4096,type=6\\nstart=6144,size=10240,type=5\\n"
                         "start=8192,size=4096,type=83\\n' | sfdisk -q %s",
                         "mkfs.fat -n SYSTEM --offset 2048 %s 2048 >/dev/null"});
}

// 8 MiB GPT with one data partition.
DiskSpec GptDisk() {
    return CopyOfLayout("gpt", 8 << 20, {"sgdisk -n 1:2048:10239 -t 1:0700 -c 1:Data %s >/dev/null"});
}

DiskSpec BlankDisk() {
    DiskSpec spec;
    spec.size = 4 << 20;
    return spec;
}

Texts RowTexts(const std::vector<DiskListRow>& rows) {
    Texts texts;
    for (const auto& r : rows)
        texts.push_back({r.caption, r.device, r.description, r.size, r.used, r.unused, r.file_system, r.node});
    return texts;
}

Texts ListTexts(const QTreeWidget* list) {
    Texts texts;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        std::vector<std::string> columns;
        for (int c = 0; c < list->columnCount(); ++c) columns.push_back(list->topLevelItem(i)->text(c).toStdString());
        texts.push_back(columns);
    }
    return texts;
}

std::vector<std::string> ComboTexts(const QComboBox* combo) {
    std::vector<std::string> texts;
    for (int i = 0; i < combo->count(); ++i) texts.push_back(combo->itemText(i).toStdString());
    return texts;
}

std::vector<std::string> HeaderTexts(const QTreeWidget* list) {
    std::vector<std::string> texts;
    for (int c = 0; c < list->columnCount(); ++c) texts.push_back(list->headerItem()->text(c).toStdString());
    return texts;
}

std::vector<std::string> ActionTexts(const QMenu* menu) {
    std::vector<std::string> texts;
    for (const QAction* action : menu->actions())
        if (!action->isSeparator()) texts.push_back(action->text().toStdString());
    return texts;
}

void SendKey(QWidget* widget, int key, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(widget, &press);
}

const std::vector<std::string> kMegabyteHeaders = {"#",         "Device",      "Description", "Size (MB)",
                                                   "Used (MB)", "Unused (MB)", "FS",          "Linux Device"};
const std::vector<std::string> kSectorHeaders = {"#",           "Device",         "Description", "Size (Sect.)",
                                                 "Used (Sect.)", "Unused (Sect.)", "FS",          "Linux Device"};

class MainWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }

    void SetUp() override {
        machine_ = std::make_unique<EmbeddedMachine>(std::vector<DiskSpec>{MbrDisk(), GptDisk()});
        window_ = new Tfrmmain(state_);
    }

    void TearDown() override {
        delete window_.data();
        machine_.reset();
    }

    template <typename T>
    T* Find(const char* name) {
        T* found = window_->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QAction* Action(const char* name) { return Find<QAction>(name); }
    QTreeWidget* List() { return Find<QTreeWidget>("lvdisks"); }
    QTabWidget* Tabs() { return Find<QTabWidget>("PageControl2"); }
    bool AdvancedVisible() { return Tabs()->isTabVisible(1); }
    QString Status() { return Find<QStatusBar>("StatusBar1")->currentMessage(); }

    tarnovell::MainState state_;
    std::unique_ptr<EmbeddedMachine> machine_;
    QPointer<Tfrmmain> window_;
};

TEST_F(MainWindow, HasItsComponentsUnderTheirNames) {
    EXPECT_EQ(window_->windowTitle(), "Tarnovell 2.3.8");
    EXPECT_EQ(window_->minimumSize(), window_->maximumSize()) << "the window is not resizable";
    for (const char* name : {"StatusBar1", "PageControl2", "PageControl4", "pb_img", "btn_cancel_backup_restore",
                             "TabSheet20", "TabSheet9", "TabSheet12", "TabSheet13"})
        EXPECT_NE(window_->findChild<QWidget*>(name), nullptr) << name;
    EXPECT_NE(window_->findChild<QTreeWidget*>("lvdisks"), nullptr);
    EXPECT_NE(window_->findChild<QToolBox*>("JvOutlookBar1"), nullptr);
    EXPECT_NE(window_->findChild<QProgressBar*>("pb_img"), nullptr);
    EXPECT_EQ(Find<QPushButton>("btn_cancel_backup_restore")->text(), "Cancel Operation");
    for (const char* name : {"DriveComboBS", "drive_speed", "drivecombopart"}) {
        auto* combo = Find<QComboBox>(name);
        ASSERT_NE(combo, nullptr);
        EXPECT_FALSE(combo->isEditable()) << name;
    }
}

TEST_F(MainWindow, StartsOnTheCloningTabWithAdvancedHidden) {
    QTabWidget* tabs = Tabs();
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), "Cloning");
    EXPECT_EQ(tabs->tabText(1), "Advanced");
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_FALSE(AdvancedVisible());

    QTabWidget* advanced = Find<QTabWidget>("PageControl4");
    std::vector<std::string> pages;
    for (int i = 0; i < advanced->count(); ++i) pages.push_back(advanced->tabText(i).toStdString());
    EXPECT_EQ(pages, (std::vector<std::string>{"Master Boot Record", "Boot Sector", "Extract", "Offline Registry",
                                               "Speed Test"}));
    EXPECT_EQ(advanced->currentIndex(), 0);

    EXPECT_EQ(Find<QToolBox>("JvOutlookBar1")->currentIndex(), 0);
    EXPECT_EQ(state_.view_mode, 0);
    EXPECT_EQ(state_.units, "MB");
    EXPECT_FALSE(state_.program_folder.empty());
    EXPECT_EQ(state_.program_folder.back(), '/');
}

TEST_F(MainWindow, MenusHoldTheirItemsInOrder) {
    EXPECT_EQ(ActionTexts(Find<QMenu>("File1")), (std::vector<std::string>{"Exit"}));
    EXPECT_EQ(ActionTexts(Find<QMenu>("Tools1")),
              (std::vector<std::string>{"Refresh Drives", "Hide Advanced Menu", "Screenshot", "Sectors to C.H.S",
                                        "Launch CMD as system"}));
    EXPECT_EQ(ActionTexts(Find<QMenu>("Help1")), (std::vector<std::string>{"About"}));
    EXPECT_EQ(ActionTexts(Find<QMenu>("PopupMenu1")),
              (std::vector<std::string>{"Backup (RAW)", "Restore (RAW)", "Display DISK Only", "Display PART Only",
                                        "Display Disks and Parts", "Display Units = Sectors", "Display Units = MB",
                                        "Show DISK/PART info", "GetVolumeName", "Open volume"}));
}

struct ItemCase {
    const char* name;
    bool visible;
    bool enabled;
    bool checked;
};

class MenuItems : public MainWindow, public ::testing::WithParamInterface<ItemCase> {};

TEST_P(MenuItems, StartVisibleEnabledAndCheckedAsDesigned) {
    const auto& c = GetParam();
    QAction* action = Action(c.name);
    ASSERT_NE(action, nullptr);
    EXPECT_EQ(action->isVisible(), c.visible);
    // Qt counts a hidden action as disabled whatever it was set to.
    if (c.visible) {
        EXPECT_EQ(action->isEnabled(), c.enabled);
    }
    EXPECT_EQ(action->isChecked(), c.checked);
}

// Every visible command can be started; only the hidden ones are not offered.
INSTANTIATE_TEST_SUITE_P(
    Cases, MenuItems,
    ::testing::Values(ItemCase{"Exit1", true, true, false}, ItemCase{"RefreshDrives1", true, true, false},
                      ItemCase{"Hide1", true, true, true}, ItemCase{"Screenshot1", true, true, false},
                      ItemCase{"SectorstoCHS1", false, false, false}, ItemCase{"LaunchCMDassystem1", true, true, false},
                      ItemCase{"About1", true, true, false}, ItemCase{"Server1", false, true, false},
                      ItemCase{"BackupRAW1", true, true, false}, ItemCase{"RestoreRAW1", true, true, false},
                      ItemCase{"PhysicalOnly1", true, true, false}, ItemCase{"PARTonly1", true, true, false},
                      ItemCase{"DisksandParts1", true, true, true}, ItemCase{"SwitchtoSectors1", false, true, false},
                      ItemCase{"UnitsMB1", false, true, false}, ItemCase{"Showmoredetails1", true, true, false},
                      ItemCase{"GetVolumeName1", false, false, false}, ItemCase{"Openvolume1", true, true, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(MainWindow, SideBarIsTheDefaultOneWithStableNames) {
    QToolBox* bar = Find<QToolBox>("JvOutlookBar1");
    const auto pages = tarnovell::DefaultSideBar();
    ASSERT_EQ(bar->count(), static_cast<int>(pages.size()));
    for (std::size_t p = 0; p < pages.size(); ++p) {
        EXPECT_EQ(bar->itemText(static_cast<int>(p)).toStdString(), pages[p].caption);
        EXPECT_EQ(bar->widget(static_cast<int>(p))->objectName().toStdString(), "JvOutlookBar1Pages" + std::to_string(p));
        for (const auto& caption : pages[p].buttons) {
            std::string name = tarnovell::SideBarButtonName(pages[p].caption, caption);
            auto* button = bar->widget(static_cast<int>(p))->findChild<QPushButton*>(QString::fromStdString(name));
            ASSERT_NE(button, nullptr) << name;
            EXPECT_EQ(button->text().toStdString(), caption);
            // Only the commands the program carries can be started.
            static const std::set<std::pair<std::string, std::string>> kCarried = {
                {"Clone", "Tarnovell"},
                {"Clone", "Backup to Image"},
                {"Clone", "Restore from Image"},
                {"Clone", "Backup to Network"},
                {"Clone", "Restore from Network"},
                {"Volume", "Close handles / Redetect"},
                {"Volume", "Set Volume Offline"},
                {"Volume", "Set Volume Online"},
                {"Volume", "Format"},
                {"Volume", "Check Disk"},
                {"Disk", "Set Disk Online"},
                {"Disk", "Set Disk Offline"},
                {"Disk", "Set Disk Read-Only"},
                {"Disk", "Set Disk Read-Write"},
                {"Disk", "Update Disk Properties"},
                {"Disk", "Delete Disk Layout"},
                {"Virtual Hard Disk", "Create / Attach a VHD"},
                {"Virtual Hard Disk", "Open / Attach a VHD or ISO"},
                {"Virtual Hard Disk", "Detach VHD"},
                {"Virtual Hard Disk", "Expand VHD"},
                {"Virtual Hard Disk", "Resize VHD"},
                {"Virtual Hard Disk", "Compact VHD"},
                {"Virtual Hard Disk", "Merge VHD"},
                {"Virtual Hard Disk", "Informations"},
                {"Virtual Hard Disk", "Add VHD footer to a RAW file"},
                {"Disk", "Wipe Disk"},
                {"Volume", "Wipe Volume"},
                {"Volume", "Clean Volume"},
                {"Disk Image", "WIM Image"},
                {"Disk", "Create Disk"},
                {"Disk", "Create Partition"},
                {"Volume", "Extend"},
                {"Volume", "Shrink"},
                {"Clone", "Copy Files"},
                {"Volume", "Volume Names"},
                {"Disk Image", "Make a RAW disk image"},
                {"Disk Image", "Create a VMDK File descriptor"},
                {"Disk Image", "LZ4 Compressor"},
                {"Disk", "Partition Editor"},
                {"Disk Image", "Disk Image Conversion"},
                {"Virtual Hard Disk", "MD5 Hash"},
                {"Disk Image", "Make ISO disc image"},
                {"Disk Image", "7Z Extract"},
            };
            bool carried = kCarried.count({pages[p].caption, caption}) != 0;
            EXPECT_EQ(button->isEnabled(), carried) << caption;
        }
    }
    EXPECT_EQ(Find<QPushButton>("JvOutlookBar1Pages4Buttons2")->text(), "WIM Image");
}

TEST_F(MainWindow, ListIsAReadOnlyReportOfEightColumns) {
    QTreeWidget* list = List();
    EXPECT_EQ(HeaderTexts(list), kMegabyteHeaders);
    EXPECT_TRUE(list->isColumnHidden(0));
    EXPECT_FALSE(list->rootIsDecorated());
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);
}

// The column that says which device of this machine a row is shows each
// name whole: "partition 1 of /dev/sd..." cut short names no device.
TEST_F(MainWindow, TheLinuxDeviceColumnShowsItsNamesWhole) {
    QTreeWidget* list = List();
    const int column = list->columnCount() - 1;
    ASSERT_EQ(list->headerItem()->text(column), "Linux Device");
    ASSERT_GT(list->topLevelItemCount(), 0);
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QString name = list->topLevelItem(i)->text(column);
        EXPECT_GE(list->columnWidth(column), list->fontMetrics().horizontalAdvance(name)) << name.toStdString();
    }
}

TEST_F(MainWindow, DiskRowsAreShadedAndCarryTheirNumber) {
    QTreeWidget* list = List();
    ASSERT_EQ(list->topLevelItemCount(), static_cast<int>(window_->rows().size()));
    int disks = 0, parts = 0;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list->topLevelItem(i);
        const DiskListRow& row = window_->rows()[static_cast<std::size_t>(i)];
        if (row.is_disk()) {
            ++disks;
            EXPECT_EQ(item->data(0, Qt::UserRole).toInt(), row.data);
            for (int c = 0; c < list->columnCount(); ++c)
                EXPECT_EQ(item->background(c).color(), QColor(229, 229, 229)) << "row " << i << " column " << c;
        } else {
            ++parts;
            for (int c = 0; c < list->columnCount(); ++c)
                EXPECT_EQ(item->background(c).style(), Qt::NoBrush) << "row " << i << " column " << c;
        }
    }
    EXPECT_EQ(disks, 2);
    EXPECT_GE(parts, 2);
}

struct ViewCase {
    const char* name;
    std::vector<const char*> actions;  // chosen from the pop-up menu, in order
    int view_mode;
    std::string units;
    const char* checked;  // the one view item that shows a check mark
};

class ViewsAndUnits : public MainWindow, public ::testing::WithParamInterface<ViewCase> {};

TEST_P(ViewsAndUnits, ListShowsTheRowsOfTheChosenViewAndUnits) {
    const auto& c = GetParam();
    // The machine must give each view and each unit rows of its own, or the
    // comparisons below could not tell them apart.
    ASSERT_NE(RowTexts(disk::FillDiskList(0, "MB")), RowTexts(disk::FillDiskList(1, "MB")));
    ASSERT_NE(RowTexts(disk::FillDiskList(0, "MB")), RowTexts(disk::FillDiskList(2, "MB")));
    ASSERT_NE(RowTexts(disk::FillDiskList(2, "MB")), RowTexts(disk::FillDiskList(2, "S")));

    for (const char* name : c.actions) Action(name)->trigger();

    EXPECT_EQ(state_.view_mode, c.view_mode);
    EXPECT_EQ(state_.units, c.units);
    auto expected = disk::FillDiskList(c.view_mode, c.units);
    EXPECT_EQ(ListTexts(List()), RowTexts(expected));
    EXPECT_EQ(RowTexts(window_->rows()), RowTexts(expected));
    EXPECT_EQ(HeaderTexts(List()), c.units == "S" ? kSectorHeaders : kMegabyteHeaders);
    for (const char* view : {"PhysicalOnly1", "PARTonly1", "DisksandParts1"})
        EXPECT_EQ(Action(view)->isChecked(), std::string(view) == c.checked) << view;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ViewsAndUnits,
    ::testing::Values(
        ViewCase{"at_start", {}, 0, "MB", "DisksandParts1"},
        ViewCase{"disks_only", {"PhysicalOnly1"}, 2, "MB", "PhysicalOnly1"},
        ViewCase{"partitions_only", {"PARTonly1"}, 1, "MB", "PARTonly1"},
        ViewCase{"back_to_both", {"PhysicalOnly1", "DisksandParts1"}, 0, "MB", "DisksandParts1"},
        ViewCase{"the_checked_view_again", {"PhysicalOnly1", "PhysicalOnly1"}, 2, "MB", "PhysicalOnly1"},
        ViewCase{"sectors", {"SwitchtoSectors1"}, 0, "S", "DisksandParts1"},
        ViewCase{"units_keep_the_view", {"PARTonly1", "SwitchtoSectors1"}, 1, "S", "PARTonly1"},
        ViewCase{"view_keeps_the_units", {"SwitchtoSectors1", "PhysicalOnly1"}, 2, "S", "PhysicalOnly1"},
        ViewCase{"back_to_megabytes", {"SwitchtoSectors1", "PhysicalOnly1", "UnitsMB1"}, 2, "MB", "PhysicalOnly1"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(MainWindow, RefreshFillsTheDriveCombosAndAStaleChoiceChoosesNothing) {
    struct {
        const char* name;
        int mode;
    } combos[] = {{"DriveComboBS", 11}, {"drive_speed", 10}, {"drivecombopart", 20}};
    for (const auto& c : combos) {
        QComboBox* combo = Find<QComboBox>(c.name);
        ASSERT_NE(combo, nullptr);
        combo->addItem("stale entry");
        combo->setCurrentIndex(combo->count() - 1);
    }
    Action("RefreshDrives1")->trigger();
    for (const auto& c : combos) {
        QComboBox* combo = Find<QComboBox>(c.name);
        auto expected = disk::FillDriveCombo(c.mode);
        ASSERT_FALSE(expected.empty()) << c.name;
        EXPECT_EQ(ComboTexts(combo), expected) << c.name;
        // What was chosen names nothing the machine has: nothing is chosen,
        // rather than some other disk under the old one's fields.
        EXPECT_EQ(combo->currentIndex(), -1) << c.name;
    }
}

TEST_F(MainWindow, F5RefillsTheListButNotTheDriveCombos) {
    const char* names[] = {"DriveComboBS", "drive_speed", "drivecombopart"};
    std::vector<std::vector<std::string>> combos_before;
    for (const char* name : names) combos_before.push_back(ComboTexts(Find<QComboBox>(name)));

    EmbeddedMachine replugged({BlankDisk()});
    auto expected = RowTexts(disk::FillDiskList(0, "MB"));
    ASSERT_NE(ListTexts(List()), expected) << "the new machine must look different";
    ASSERT_NE(disk::FillDriveCombo(20), combos_before[2]);

    SendKey(List(), Qt::Key_F5);
    EXPECT_EQ(ListTexts(List()), expected);
    for (std::size_t i = 0; i < std::size(names); ++i)
        EXPECT_EQ(ComboTexts(Find<QComboBox>(names[i])), combos_before[i]) << names[i];

    SendKey(List(), Qt::Key_F6);  // any other key leaves the list alone
    EXPECT_EQ(ListTexts(List()), expected);
}

TEST_F(MainWindow, DriveCombosTakeNoTypedKeys) {
    for (const char* name : {"DriveComboBS", "drive_speed", "drivecombopart"}) {
        QComboBox* combo = Find<QComboBox>(name);
        auto entries = ComboTexts(combo);
        // A key that a plain combo would answer by jumping to another entry.
        QChar key;
        for (std::size_t i = 1; i < entries.size() && key.isNull(); ++i)
            if (QChar(entries[i][0]).toUpper() != QChar(entries[0][0]).toUpper()) key = QChar(entries[i][0]);
        ASSERT_FALSE(key.isNull()) << name << ": no two entries start differently";

        QComboBox plain;
        for (const auto& entry : entries) plain.addItem(QString::fromStdString(entry));
        plain.setCurrentIndex(0);
        SendKey(&plain, key.toUpper().unicode(), QString(key));
        ASSERT_NE(plain.currentIndex(), 0) << name << ": the key would not have moved a plain combo";

        combo->setCurrentIndex(0);
        SendKey(combo, key.toUpper().unicode(), QString(key));
        EXPECT_EQ(combo->currentIndex(), 0) << name;
    }
}

TEST_F(MainWindow, SelectedRowIsTheRowUnderTheSelection) {
    EXPECT_FALSE(window_->SelectedRow().has_value());
    EXPECT_EQ(tarnovell::PathOfSelection(window_->SelectedRow()).message, "pick a disk/part");

    QTreeWidget* list = List();
    bool saw_disk = false, saw_part = false;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        list->setCurrentItem(list->topLevelItem(i));
        auto row = window_->SelectedRow();
        ASSERT_TRUE(row.has_value()) << "row " << i;
        EXPECT_EQ(RowTexts({*row}), RowTexts({window_->rows()[static_cast<std::size_t>(i)]}));
        auto result = tarnovell::PathOfSelection(row);
        ASSERT_TRUE(result.ok);
        if (row->is_disk()) {
            saw_disk = true;
            EXPECT_EQ(result.path, "\\\\.\\PhysicalDrive" + std::to_string(row->data));
        } else {
            saw_part = true;
            // "\\.\" and the letter with its colon, whatever label follows.
            EXPECT_EQ(result.path, "\\\\.\\" + row->description.substr(0, 2));
        }
    }
    EXPECT_TRUE(saw_disk);
    EXPECT_TRUE(saw_part);
    EXPECT_EQ(window_->rows().front().description, "Test Disk 0");
}

TEST_F(MainWindow, InTheDiskViewPartitionCommandsFindNoPartition) {
    Action("PhysicalOnly1")->trigger();
    QTreeWidget* list = List();
    ASSERT_GT(list->topLevelItemCount(), 0);
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        list->setCurrentItem(list->topLevelItem(i));
        auto result = tarnovell::PathOfSelection(window_->SelectedRow(), {tarnovell::RowNeed::Partition});
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.message, "has to be a PART type");
    }
}

struct DeviceChangeCase {
    const char* name;
    bool arrival;
    std::uint32_t unit_mask;
    std::string prefix;
};

class DeviceChange : public MainWindow, public ::testing::WithParamInterface<DeviceChangeCase> {};

TEST_P(DeviceChange, SaysWhatHappenedAndRefreshesDrives) {
    const auto& c = GetParam();
    EmbeddedMachine replugged({BlankDisk()});
    Find<QStatusBar>("StatusBar1")->showMessage("clone done in 1 ms, 1 KBytes/sec");
    window_->DeviceChanged(c.arrival, c.unit_mask);

    // Beside the status line, which keeps what the last operation said.
    EXPECT_EQ(Status(), "clone done in 1 ms, 1 KBytes/sec");
    QString status = Find<QLabel>("lblDeviceNotice")->text();
    ASSERT_TRUE(status.startsWith(QString::fromStdString(c.prefix))) << status.toStdString();
    QString when = status.mid(static_cast<int>(c.prefix.size()));
    EXPECT_TRUE(QLocale().toDateTime(when, QLocale::ShortFormat).isValid()) << when.toStdString();

    EXPECT_EQ(ListTexts(List()), RowTexts(disk::FillDiskList(0, "MB")));
    EXPECT_EQ(ComboTexts(Find<QComboBox>("drivecombopart")), disk::FillDriveCombo(20));
    EXPECT_EQ(ComboTexts(Find<QComboBox>("DriveComboBS")), disk::FillDriveCombo(11));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceChange,
    ::testing::Values(DeviceChangeCase{"arrival_of_e", true, 1u << 4, "E: device inserted "},
                      DeviceChangeCase{"removal_of_e", false, 1u << 4, "E: device removed "},
                      DeviceChangeCase{"lowest_letter_of_several", true, (1u << 25) | (1u << 3), "D: device inserted "},
                      DeviceChangeCase{"removal_without_letter", false, 0, "device removed "}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(MainWindow, HideAdvancedMenuTogglesTheAdvancedTab) {
    QAction* hide = Action("Hide1");
    ASSERT_TRUE(hide->isChecked());
    ASSERT_FALSE(AdvancedVisible());

    window_->Hide1Click();
    EXPECT_FALSE(hide->isChecked());
    EXPECT_TRUE(AdvancedVisible());

    window_->Hide1Click();
    EXPECT_TRUE(hide->isChecked());
    EXPECT_FALSE(AdvancedVisible());

    hide->trigger();  // chosen from the menu
    EXPECT_FALSE(hide->isChecked());
    EXPECT_TRUE(AdvancedVisible());
}

TEST_F(MainWindow, CancelOperationSetsTheCancelFlag) {
    state_.cancel = false;
    Find<QPushButton>("btn_cancel_backup_restore")->click();
    EXPECT_TRUE(state_.cancel);
    state_.cancel = false;
}

struct ConfigCase {
    const char* name;
    MainConfig config;
    bool advanced_visible;
    bool hide_checked;
    bool hide_visible;
};

class AppliedConfig : public MainWindow, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(AppliedConfig, SetsTheAdvancedTabAndItsMenuItem) {
    const auto& c = GetParam();
    window_->ApplyConfig(c.config);
    EXPECT_EQ(AdvancedVisible(), c.advanced_visible);
    EXPECT_EQ(Action("Hide1")->isChecked(), c.hide_checked);
    EXPECT_EQ(Action("Hide1")->isVisible(), c.hide_visible);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppliedConfig,
    ::testing::Values(ConfigCase{"no_file", MainConfig{false, true, true, {}}, false, true, true},
                      ConfigCase{"defaults", MainConfig{true, false, false, {}}, false, true, true},
                      ConfigCase{"enable_advanced", MainConfig{true, true, false, {}}, true, false, true},
                      ConfigCase{"hide_advanced", MainConfig{true, false, true, {}}, false, true, false},
                      ConfigCase{"both", MainConfig{true, true, true, {}}, true, false, false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(MainWindow, ConfigFileWithBothKeysShowsTheTabAndHidesTheItem) {
    test_support::TempDir folder;
    test_support::WriteWholeFile(folder.file("Config.ini"),
                                 "[Options]\r\nenable_advanced=1\r\nhide_advanced=1\r\n");
    window_->ApplyConfig(tarnovell::ReadMainConfig(folder.path().string() + "/"));
    EXPECT_TRUE(AdvancedVisible());
    EXPECT_FALSE(Action("Hide1")->isVisible());
}

TEST_F(MainWindow, TrimmedSideBarKeepsTheNamesOfWhatIsLeft) {
    window_->ApplyConfig(MainConfig{true, false, false, {{"Wipe Disk", "0"}, {"Disk Image", "0"}, {"Format", "1"}}});
    QToolBox* bar = Find<QToolBox>("JvOutlookBar1");
    ASSERT_EQ(bar->count(), 4);
    EXPECT_EQ(bar->itemText(3), "Virtual Hard Disk");
    EXPECT_EQ(window_->findChild<QWidget*>("JvOutlookBar1Pages4"), nullptr);
    EXPECT_EQ(window_->findChild<QPushButton*>("JvOutlookBar1Pages2Buttons9"), nullptr);
    EXPECT_EQ(Find<QPushButton>("JvOutlookBar1Pages2Buttons8")->text(), "Partition Editor");
    EXPECT_EQ(Find<QPushButton>("JvOutlookBar1Pages1Buttons4")->text(), "Format");
    EXPECT_EQ(bar->widget(2)->findChildren<QPushButton*>().size(), 9);
}

TEST_F(MainWindow, ClosingFreesTheWindow) {
    window_->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window_.isNull());
}

TEST_F(MainWindow, ExitEndsTheMessageLoop) {
    bool gave_up = false;
    // Only there so that a broken Exit fails the test instead of hanging it.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        gave_up = true;
        QCoreApplication::exit(1);
    });
    guard.start(30000);
    QTimer::singleShot(0, window_.data(), &Tfrmmain::Exit1Click);
    int code = QCoreApplication::exec();
    EXPECT_FALSE(gave_up);
    EXPECT_EQ(code, 0);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window_.isNull());
}

}  // namespace
