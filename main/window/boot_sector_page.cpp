// The "Boot Sector" page of the Advanced tab: one boot sector of a volume,
// disk or image file shown field by field, some fields edited in place by
// a double-click.
#include "main/window/boot_sector_page.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include <exception>
#include <random>

#include "disk/device/device_query.h"
#include "disk/util/lib_helpers.h"
#include "main/dialogs/dialog_parts.h"
#include "main/operations/boot_record_targets.h"
#include "main/window/drive_combo.h"
#include "main/window/event_hook.h"
#include "main/window/page_host.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"
#include "platform/device/path.h"

namespace tarnovell {

namespace {

const char* const kFieldCaptions[kBootFieldCount] = {
    "JMP",         "OEMID",         "BytesPerSec.",  "SectorsPerClus.", "SecReserved",     "NumOfFATs",
    "RootEntries", "SmallTotalSec", "MediaDescr.",   "SecPerFAT",       "SecPerTrack",     "Heads",
    "HiddenSec",   "LargeTotalSec", "BigSecPerFAT",  "TotalSec",        "MftStartLcn",     "Mft2StartLcn",
    "ClusPerFileRec", "ClusPerIndexBl.", "VolSerialNum", "VolSerialName"};

}  // namespace

BootSectorPage::BootSectorPage(PageHost& host, QTabWidget* tabs, QObject* parent)
    : QObject(parent), host_(host), tabs_(tabs) {
    DriveComboBS = MakeDriveCombo("DriveComboBS");
    page_ = MakeSelectorPage("TabSheet9", DriveComboBS, "Logical Drive");
    AddControls();
}

void BootSectorPage::AddControls() {
    auto* drive_buttons = new QHBoxLayout;
    const std::pair<const char*, const char*> drive_commands[] = {
        {"btn_read_bs", "Refresh"}, {"btn_backup_bs", "Backup"}, {"btn_restore_bs", "Restore"}};
    void (BootSectorPage::*drive_handlers[])() = {&BootSectorPage::btn_read_bsClick, &BootSectorPage::btn_backup_bsClick,
                                                  &BootSectorPage::btn_restore_bsClick};
    for (int i = 0; i < 3; ++i) {
        QPushButton* button = MakeButton(drive_commands[i].first, drive_commands[i].second);
        connect(button, &QPushButton::clicked, this, drive_handlers[i]);
        drive_buttons->addWidget(button);
    }
    drive_buttons->addStretch(1);

    QGroupBox* fields = MakeGroup("grp_bs_fields", "Boot Sector");
    auto* grid = new QGridLayout(fields);
    constexpr int kRowsPerColumn = 11;
    for (int i = 0; i < static_cast<int>(kBootFieldCount); ++i) {
        const int field = i + 1;
        QLineEdit* edit = MakeEdit(("txtbs" + std::to_string(field)).c_str());
        edit->setReadOnly(true);
        txtbs[static_cast<std::size_t>(i)] = edit;
        QLabel* caption = new QLabel(kFieldCaptions[i]);
        const int row = i % kRowsPerColumn, column = 2 * (i / kRowsPerColumn);
        grid->addWidget(caption, row, column);
        grid->addWidget(edit, row, column + 1);
        if (field == 15) caption->setVisible(false), edit->setVisible(false);  // BigSecPerFAT: read, not shown
        const bool serial = field == 21 || field == 22;
        if (!serial && !BootFieldEditOf(field)) continue;
        edit->setToolTip(serial ? QString() : QString("Double-click to change"));
        EventHook::Install(edit, [this, field, serial](QEvent* event) {
            if (event->type() != QEvent::MouseButtonDblClick) return false;
            if (serial) txtbs21DblClick();
            else EditBootSectorField(field);
            return true;
        });
    }

    QGroupBox* boot_code = MakeGroup("grp_bs_bootcode", "Change boot code");
    auto* boot_code_row = new QHBoxLayout(boot_code);
    QPushButton* nt6 = MakeButton("btnBSNT6", "NT6.3");
    nt6->setToolTip("nt62.bs of the program folder (a Windows boot sector; not carried by this program)");
    QPushButton* any = MakeButton("btnAnyBS", "Any");
    connect(nt6, &QPushButton::clicked, this, &BootSectorPage::btnBSNT6Click);
    connect(any, &QPushButton::clicked, this, &BootSectorPage::btnAnyBSClick);
    boot_code_row->addWidget(nt6);
    boot_code_row->addWidget(any);
    boot_code_row->addStretch(1);

    auto* layout = static_cast<QVBoxLayout*>(page_->layout());
    layout->insertLayout(1, drive_buttons);
    layout->insertWidget(2, fields);
    layout->insertWidget(3, boot_code);

    connect(DriveComboBS, &QComboBox::activated, this, &BootSectorPage::DriveComboBSChange);
    EventHook::Install(page_, [this](QEvent* event) {
        if (event->type() == QEvent::Show) TabSheet9Show();
        return false;
    });
}

void BootSectorPage::RefillSelector() {
    RefillDriveCombo(
        DriveComboBS, 11, [this](const std::string& problem) { host_.ShowStatus(QString::fromStdString(problem)); },
        [this] { ForgetTarget(); });
}

void BootSectorPage::ForgetTarget() {
    for (QLineEdit* edit : txtbs) edit->clear();
    txtbs[20]->setToolTip({});
    bs_tag_ = 0;
    bs_read_path_.clear();
    bs_read_offset_.reset();
}

void BootSectorPage::ShowSectorOf(const QString& entry, const QVariant& identity, std::int64_t sector) {
    bs_tag_ = sector;
    int index = DriveComboBS->findText(entry);
    if (index < 0) {
        DriveComboBS->addItem(entry, identity);
        index = DriveComboBS->count() - 1;
    }
    DriveComboBS->setCurrentIndex(index);
    // Showing the page reads it; a window not on screen shows nothing.
    const bool shows = page_->isVisible();
    tabs_->setCurrentWidget(page_);
    if (!shows && !page_->isVisible()) btn_read_bsClick();
}

std::string BootSectorPage::BootSectorPath() const { return ChosenEntryPath(DriveComboBS); }

bool BootSectorPage::ReadBootSectorAt(BootSectorRead& read) {
    read.path = BootSectorPath();
    std::int64_t sector = bs_tag_;
    const bool volume = platform::device::IsDevicePath(read.path) && !platform::device::IsWholeDiskPath(read.path);
    if (sector == 0 && !volume) {
        std::optional<std::string> answer = platform::AskText("Enter sector offset");
        if (!answer || answer->empty()) return false;
        std::optional<std::int64_t> asked = disk::ParseSectorNumber(*answer);
        if (!asked) {
            platform::Say("'" + *answer + "' is not a valid sector number");
            return false;
        }
        sector = *asked;
    }
    // The sector counts the disk's own sectors: a row of a 4 KiB disk starts
    // at its sector number times 4096.
    const std::int64_t sector_size = volume ? disk::kSectorBytes : SectorSizeOf(read.path);
    if (sector > INT64_MAX / sector_size) return platform::Say("no sector " + std::to_string(sector)), false;
    read.offset = sector * sector_size;
    if (!disk::ReadSector(read.path, read.sector, read.offset / disk::kSectorBytes, true)) return false;
    bs_read_path_ = read.path;
    bs_read_offset_ = read.offset;
    return true;
}

bool BootSectorPage::ReadForEdit(BootSectorRead& read) {
    read.path = BootSectorPath();
    // The editor writes where the page read: without a read there is no place.
    if (bs_read_offset_ && read.path == bs_read_path_) {
        read.offset = *bs_read_offset_;
        return disk::ReadSector(read.path, read.sector, read.offset / disk::kSectorBytes, true) ||
               ReadBootSectorAt(read);
    }
    return ReadBootSectorAt(read);
}

bool BootSectorPage::WriteBootSector(const BootSectorRead& read) {
    try {
        RefuseDynamicVhd(read.path);
    } catch (const std::exception& e) {
        platform::Say(e.what());
        return false;
    }
    bool written = false;
    WithDiskVolumesLocked(read.path, [&] {
        written = disk::WriteSector(read.path, read.sector, read.offset / disk::kSectorBytes, true);
    });
    return written;
}

void BootSectorPage::ShowFields(const disk::SectorBuffer& sector) {
    const BootSectorText text = BootSectorTextOf(sector);
    for (std::size_t i = 0; i < kBootFieldCount; ++i) txtbs[i]->setText(QString::fromStdString(text.fields[i]));
    txtbs[20]->setToolTip(QString::fromStdString(text.serial_hint));
}

void BootSectorPage::btn_read_bsClick() {
    for (QLineEdit* edit : txtbs) edit->clear();
    txtbs[20]->setToolTip({});
    BootSectorRead read;
    if (!ReadBootSectorAt(read)) return;
    ShowFields(read.sector);
    host_.ShowTimedStatus(bs_tag_ == 0 ? "Read Boot Sector OK"
                                       : "Read Boot Sector OK @ offset " + std::to_string(bs_tag_));
}

void BootSectorPage::TabSheet9Show() {
    // The image entry names no file until one is picked, and a selector
    // whose volume has gone names nothing: nothing to read.
    if (DriveComboBS->currentIndex() < 0) return;
    if (!DriveComboBS->currentText().contains(kImageEntry)) btn_read_bsClick();
}

void BootSectorPage::DriveComboBSChange() {
    // Another source starts at its own first sector, not at the row's.
    bs_tag_ = 0;
    if (DriveComboBS->currentText().contains(kImageEntry) && !PickDiskImage(host_.DialogOwner(), DriveComboBS)) return;
    btn_read_bsClick();
}

void BootSectorPage::EditBootSectorField(int field) {
    if (host_.busy()) return;
    const BootFieldEdit* edit = BootFieldEditOf(field);
    if (!edit) return;
    const std::string oem = platform::Trim(txtbs[1]->text().toStdString());
    if (oem != "NTFS" && oem != "MSDOS5.0" && !platform::Ask("OEMID is unknown, continue")) return;
    BootSectorRead read;
    if (!ReadForEdit(read)) return;
    if (std::optional<std::string> refusal = BootFieldEditRefusal(read.sector)) return platform::Say(*refusal);
    std::optional<std::string> answer = platform::AskText(edit->prompt, edit->initial);
    if (!answer || answer->empty()) return;
    try {
        PatchBootField(read.sector, *edit, *answer);
    } catch (const std::exception& e) {
        return platform::Say(e.what());
    }
    if (!platform::AskAbout(edit->question + read.path + "?", platform::device::AboutDevices({read.path}))) return;
    if (!WriteBootSector(read)) return;
    ShowFields(read.sector);
}

void BootSectorPage::txtbs21DblClick() {
    if (host_.busy()) return;
    static std::mt19937 random{std::random_device{}()};
    const std::string proposal = RandomSerialText(random);
    BootSectorRead read;
    if (!ReadForEdit(read)) return;
    std::optional<std::string> prompt = SerialPromptOf(read.sector);
    if (!prompt) return platform::Say("Unknown OEMID");
    std::optional<std::string> answer = platform::AskText(*prompt, proposal);
    if (!answer || answer->empty()) return;
    try {
        PatchSerial(read.sector, *answer);
    } catch (const std::exception& e) {
        return platform::Say(e.what());
    }
    if (!platform::AskAbout("Change Serial Number on " + read.path + "?", platform::device::AboutDevices({read.path})))
        return;
    // The fields show what is on the disk now, the new serial included.
    if (WriteBootSector(read)) ShowFields(read.sector);
}

}  // namespace tarnovell
