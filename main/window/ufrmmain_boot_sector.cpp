// The "Boot Sector" page of the Advanced tab: one boot sector of a volume,
// disk or image file shown field by field, some fields edited in place by
// a double-click; and the "Extract" page beside it.
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>
#include <random>

#include "disk/device/device_query.h"
#include "disk/sectors/sectors.h"
#include "disk/util/lib_helpers.h"
#include "main/dialogs/dialog_parts.h"
#include "main/operations/boot_record_targets.h"
#include "main/operations/boot_sector_fields.h"
#include "main/window/event_hook.h"
#include "main/window/ufrmmain.h"
#include "platform/base/ascii.h"
#include "platform/device/path.h"

namespace tarnovell {

namespace {

constexpr const char* kImageEntry = "Disk Image File";

void Say(const std::string& text) { platform::interaction().inform(text, "Tarnovell"); }
bool Ask(const std::string& question) { return platform::interaction().confirm(question, "Tarnovell"); }

const char* const kFieldCaptions[kBootFieldCount] = {
    "JMP",         "OEMID",         "BytesPerSec.",  "SectorsPerClus.", "SecReserved",     "NumOfFATs",
    "RootEntries", "SmallTotalSec", "MediaDescr.",   "SecPerFAT",       "SecPerTrack",     "Heads",
    "HiddenSec",   "LargeTotalSec", "BigSecPerFAT",  "TotalSec",        "MftStartLcn",     "Mft2StartLcn",
    "ClusPerFileRec", "ClusPerIndexBl.", "VolSerialNum", "VolSerialName"};

}  // namespace

void Tfrmmain::AddBootSectorControls(QWidget* page) {
    auto* drive_buttons = new QHBoxLayout;
    const std::pair<const char*, const char*> drive_commands[] = {
        {"btn_read_bs", "Refresh"}, {"btn_backup_bs", "Backup"}, {"btn_restore_bs", "Restore"}};
    void (Tfrmmain::*drive_handlers[])() = {&Tfrmmain::btn_read_bsClick, &Tfrmmain::btn_backup_bsClick,
                                            &Tfrmmain::btn_restore_bsClick};
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
    connect(nt6, &QPushButton::clicked, this, &Tfrmmain::btnBSNT6Click);
    connect(any, &QPushButton::clicked, this, &Tfrmmain::btnAnyBSClick);
    boot_code_row->addWidget(nt6);
    boot_code_row->addWidget(any);
    boot_code_row->addStretch(1);

    auto* layout = static_cast<QVBoxLayout*>(page->layout());
    layout->insertLayout(1, drive_buttons);
    layout->insertWidget(2, fields);
    layout->insertWidget(3, boot_code);

    connect(DriveComboBS, &QComboBox::activated, this, &Tfrmmain::DriveComboBSChange);
    EventHook::Install(page, [this](QEvent* event) {
        if (event->type() == QEvent::Show) TabSheet9Show();
        return false;
    });
}

void Tfrmmain::AddExtractControls(QWidget* page) {
    auto* grid = new QGridLayout;
    QLineEdit* source = MakeEdit("txt_extract_in");
    QLineEdit* destination = MakeEdit("txt_extract_out");
    QLineEdit* start = MakeEdit("txt_extract_start", "0");
    QLineEdit* end = MakeEdit("txt_extract_end", "512");
    // The page has never carried a command of its own: its buttons are
    // there, and say so by being disabled.
    QPushButton* pick_source = MakeButton("btn_extract_in", "...");
    QPushButton* pick_destination = MakeButton("btn_extract_out", "...");
    QPushButton* extract = MakeButton("btn_extract", "Extract");
    for (QPushButton* button : {pick_source, pick_destination, extract}) button->setEnabled(false);
    grid->addWidget(new QLabel("Source"), 0, 0);
    grid->addWidget(source, 0, 1, 1, 3);
    grid->addWidget(pick_source, 0, 4);
    grid->addWidget(new QLabel("Destination"), 1, 0);
    grid->addWidget(destination, 1, 1, 1, 3);
    grid->addWidget(pick_destination, 1, 4);
    grid->addWidget(new QLabel("Offset"), 2, 0);
    grid->addWidget(new QLabel("Start"), 2, 1);
    grid->addWidget(start, 2, 2);
    grid->addWidget(new QLabel("End"), 3, 1);
    grid->addWidget(end, 3, 2);
    grid->addWidget(extract, 4, 4);
    pb_extract = new QProgressBar;
    pb_extract->setObjectName("pb_extract");
    pb_extract->setValue(0);
    // The number fields take digits and dots only (and the editing keys).
    for (QLineEdit* edit : {start, end}) {
        EventHook::Install(edit, [](QEvent* event) {
            if (event->type() != QEvent::KeyPress) return false;
            const QString text = static_cast<QKeyEvent*>(event)->text();
            if (text.isEmpty() || text[0] < QChar(0x20)) return false;
            return !disk::IsInCharSet(text.toStdString());
        });
    }
    auto* layout = static_cast<QVBoxLayout*>(page->layout());
    layout->insertLayout(0, grid);
    layout->insertWidget(1, pb_extract);
}

std::string Tfrmmain::BootSectorPath() const { return disk::DevicePathOf(DriveComboBS->currentText().toStdString()); }

bool Tfrmmain::ReadBootSectorAt(BootSectorRead& read) {
    read.path = BootSectorPath();
    std::int64_t sector = bs_tag_;
    const bool volume = platform::device::IsDevicePath(read.path) && !platform::device::IsWholeDiskPath(read.path);
    if (sector == 0 && !volume) {
        std::optional<std::string> answer = platform::interaction().input_box("Tarnovell", "Enter sector offset", "");
        if (!answer || answer->empty()) return false;
        std::optional<std::int64_t> asked = disk::ParseSectorNumber(*answer);
        if (!asked) {
            Say("'" + *answer + "' is not a valid sector number");
            return false;
        }
        sector = *asked;
    }
    // The sector counts the disk's own sectors: a row of a 4 KiB disk starts
    // at its sector number times 4096.
    const std::int64_t sector_size = volume ? disk::kSectorBytes : SectorSizeOf(read.path);
    if (sector > INT64_MAX / sector_size) return Say("no sector " + std::to_string(sector)), false;
    read.offset = sector * sector_size;
    if (!disk::ReadSector(read.path, read.sector, read.offset / disk::kSectorBytes, true)) return false;
    bs_read_path_ = read.path;
    bs_read_offset_ = read.offset;
    return true;
}

bool Tfrmmain::WriteBootSector(const BootSectorRead& read) {
    try {
        RefuseDynamicVhd(read.path);
    } catch (const std::exception& e) {
        Say(e.what());
        return false;
    }
    bool written = false;
    WithDiskVolumesLocked(read.path, [&] {
        written = disk::WriteSector(read.path, read.sector, read.offset / disk::kSectorBytes, true);
    });
    return written;
}

namespace {

void ShowFields(const std::array<QLineEdit*, kBootFieldCount>& edits, const disk::SectorBuffer& sector) {
    const BootSectorText text = BootSectorTextOf(sector);
    for (std::size_t i = 0; i < kBootFieldCount; ++i) edits[i]->setText(QString::fromStdString(text.fields[i]));
    edits[20]->setToolTip(QString::fromStdString(text.serial_hint));
}

}  // namespace

void Tfrmmain::btn_read_bsClick() {
    for (QLineEdit* edit : txtbs) edit->clear();
    txtbs[20]->setToolTip({});
    BootSectorRead read;
    if (!ReadBootSectorAt(read)) return;
    ShowFields(txtbs, read.sector);
    ShowTimedStatus(bs_tag_ == 0 ? "Read Boot Sector OK" : "Read Boot Sector OK @ offset " + std::to_string(bs_tag_));
}

void Tfrmmain::TabSheet9Show() {
    // The image entry names no file until one is picked, and a selector
    // whose volume has gone names nothing: nothing to read.
    if (DriveComboBS->currentIndex() < 0) return;
    if (!DriveComboBS->currentText().contains(kImageEntry)) btn_read_bsClick();
}

void Tfrmmain::DriveComboBSChange() {
    // Another source starts at its own first sector, not at the row's.
    bs_tag_ = 0;
    if (DriveComboBS->currentText().contains(kImageEntry) && !PickDiskImage(DriveComboBS)) return;
    btn_read_bsClick();
}

namespace {

// Where the editors act: the sector the page shows, read afresh, at the
// place it was read from. Nothing when there is none.
bool FreshSector(const std::string& path, const std::string& read_path, const std::optional<std::int64_t>& offset,
                 disk::SectorBuffer& sector, std::int64_t& at) {
    if (!offset || path != read_path) return false;
    at = *offset;
    return disk::ReadSector(path, sector, at / disk::kSectorBytes, true);
}

}  // namespace

void Tfrmmain::EditBootSectorField(int field) {
    if (busy_) return;
    const BootFieldEdit* edit = BootFieldEditOf(field);
    if (!edit) return;
    const std::string oem = platform::Trim(txtbs[1]->text().toStdString());
    if (oem != "NTFS" && oem != "MSDOS5.0" && !Ask("OEMID is unknown, continue")) return;
    BootSectorRead read;
    read.path = BootSectorPath();
    // The editor writes where the page read: without a read there is no place.
    if (!FreshSector(read.path, bs_read_path_, bs_read_offset_, read.sector, read.offset) && !ReadBootSectorAt(read))
        return;
    if (std::optional<std::string> refusal = BootFieldEditRefusal(read.sector)) return Say(*refusal);
    std::optional<std::string> answer = platform::interaction().input_box("Tarnovell", edit->prompt, edit->initial);
    if (!answer || answer->empty()) return;
    try {
        PatchBootField(read.sector, *edit, *answer);
    } catch (const std::exception& e) {
        return Say(e.what());
    }
    if (!Ask(edit->question + read.path + "?")) return;
    if (!WriteBootSector(read)) return;
    ShowFields(txtbs, read.sector);
}

void Tfrmmain::txtbs21DblClick() {
    if (busy_) return;
    static std::mt19937 random{std::random_device{}()};
    const std::string proposal = RandomSerialText(random);
    BootSectorRead read;
    read.path = BootSectorPath();
    if (!FreshSector(read.path, bs_read_path_, bs_read_offset_, read.sector, read.offset) && !ReadBootSectorAt(read))
        return;
    std::optional<std::string> prompt = SerialPromptOf(read.sector);
    if (!prompt) return Say("Unknown OEMID");
    std::optional<std::string> answer = platform::interaction().input_box("Tarnovell", *prompt, proposal);
    if (!answer || answer->empty()) return;
    try {
        PatchSerial(read.sector, *answer);
    } catch (const std::exception& e) {
        return Say(e.what());
    }
    if (!Ask("Change Serial Number on " + read.path + "?")) return;
    // The fields show what is on the disk now, the new serial included.
    if (WriteBootSector(read)) ShowFields(txtbs, read.sector);
}

}  // namespace tarnovell
