// The "Master Boot Record" page of the Advanced tab: the four primary
// entries of sector 0 shown, edited and written back, the disk signature,
// the HTML export, and the hidden sectors-to-C.H.S calculator.
#include "main/window/partition_table_page.h"

#include <QComboBox>
#include <QDate>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTime>
#include <QVBoxLayout>

#include <exception>

#include "disk/device/device_query.h"
#include "disk/sectors/sectors.h"
#include "disk/util/lib_helpers.h"
#include "main/dialogs/dialog_parts.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/boot_record_targets.h"
#include "main/window/drive_combo.h"
#include "main/window/event_hook.h"
#include "main/window/page_host.h"
#include "platform/base/byte_order.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"

namespace tarnovell {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QLineEdit* edit) { return edit->text().toStdString(); }

// Digits, "-" and the keys that edit or move; every other character is dropped.
void FilterToDigits(QLineEdit* edit) {
    EventHook::Install(edit, [](QEvent* event) {
        if (event->type() != QEvent::KeyPress) return false;
        const QString text = static_cast<QKeyEvent*>(event)->text();
        if (text.isEmpty() || text[0] < QChar(0x20)) return false;
        return !(text.size() == 1 && (text[0].isDigit() || text[0] == '-'));
    });
}

// Leaving the field brings a value above `most` down to `most`.
void ClampOnExit(QLineEdit* edit, int most) {
    EventHook::Install(edit, [edit, most](QEvent* event) {
        if (event->type() == QEvent::FocusOut) edit->setText(Q(ClampedChsText(S(edit), most)));
        return false;
    });
}

}  // namespace

PartitionTablePage::PartitionTablePage(PageHost& host, BootSectorPage& boot_sector, QObject* parent)
    : QObject(parent), host_(host), boot_sector_(boot_sector) {
    drivecombopart = MakeDriveCombo("drivecombopart");
    page_ = MakeSelectorPage("TabSheet20", drivecombopart, {});
    AddControls();
}

void PartitionTablePage::AddControls() {
    grp_partitions = MakeGroup("grp_partitions", "Partition(s)");
    auto* grid = new QGridLayout(grp_partitions);
    const char* headers[] = {"Boot", "Starting C.H.S", "Type", "Ending C.H.S", "Sectors Before", "Sectors", "B.S"};
    const int header_columns[] = {0, 1, 4, 5, 8, 9, 10};
    const int header_spans[] = {1, 3, 1, 3, 1, 1, 1};
    for (int i = 0; i < 7; ++i) grid->addWidget(new QLabel(headers[i]), 0, header_columns[i], 1, header_spans[i]);
    // The hexadecimal columns say so.
    grid->addWidget(new QLabel("$"), 1, 0);
    grid->addWidget(new QLabel("$"), 1, 4);
    for (int n = 0; n < 4; ++n) {
        const std::string k = std::to_string(n + 1);
        auto edit = [&](const char* prefix, int width) {
            QLineEdit* e = MakeEdit((prefix + k).c_str(), "0");
            e->setFixedWidth(width);
            return e;
        };
        MbrRowEdits& row = mbr_rows_[static_cast<std::size_t>(n)];
        row = {edit("b", 30), edit("hs", 40), edit("cs", 45), edit("ss", 30), edit("t", 30),
               edit("he", 40), edit("ce", 45), edit("se", 30), edit("s", 90), edit("l", 90)};
        QLineEdit* in_order[] = {row.b, row.cs, row.hs, row.ss, row.t, row.ce, row.he, row.se, row.s, row.l};
        for (int column = 0; column < 10; ++column) grid->addWidget(in_order[column], n + 2, column);
        QPushButton* more = MakeButton(("btn_bs_" + k).c_str(), "...");
        more->setFixedWidth(30);
        connect(more, &QPushButton::clicked, this, [this, n] { btn_bs_Click(n + 1); });
        grid->addWidget(more, n + 2, 10);
        MbrPopupMenus[static_cast<std::size_t>(n)] = MakePartitionRowMenu(n + 1);

        for (QLineEdit* e : {row.s, row.l, row.cs, row.hs, row.ss, row.ce, row.he, row.se}) FilterToDigits(e);
        // The first row's ending fields have always had the key filter only.
        ClampOnExit(row.cs, 1023);
        ClampOnExit(row.hs, 254);
        ClampOnExit(row.ss, 63);
        if (n > 0) {
            ClampOnExit(row.ce, 1023);
            ClampOnExit(row.he, 254);
            ClampOnExit(row.se, 63);
        }
    }

    auto* buttons = new QHBoxLayout;
    const std::pair<const char*, const char*> commands[] = {{"btn_read_part_table", "Read"},
                                                            {"btn_reset_part_table", "Reset"},
                                                            {"btn_write_part", "Write"},
                                                            {"btn_mbr_writehtml", "-> HTML"}};
    void (PartitionTablePage::*handlers[])() = {
        &PartitionTablePage::btn_read_part_tableClick, &PartitionTablePage::btn_reset_part_tableClick,
        &PartitionTablePage::btn_write_partClick, &PartitionTablePage::btn_mbr_writehtmlClick};
    for (int i = 0; i < 4; ++i) {
        QPushButton* button = MakeButton(commands[i].first, commands[i].second);
        connect(button, &QPushButton::clicked, this, handlers[i]);
        buttons->addWidget(button);
    }
    buttons->addStretch(1);

    QGroupBox* disk_id = MakeGroup("grp_diskid", "Change DiskID");
    auto* disk_id_row = new QHBoxLayout(disk_id);
    txtMBRDiskID = MakeEdit("txtMBRDiskID", "00000000");
    txtMBRDiskID->setFixedWidth(90);
    QPushButton* apply = MakeButton("btn_mbr_apply_diskid", "Apply");
    connect(apply, &QPushButton::clicked, this, &PartitionTablePage::btn_mbr_apply_diskidClick);
    disk_id_row->addWidget(new QLabel("$"));
    disk_id_row->addWidget(txtMBRDiskID);
    disk_id_row->addWidget(apply);

    QGroupBox* boot_code = MakeGroup("grp_mbr_bootcode", "Change Boot Code (Only)");
    auto* boot_code_row = new QHBoxLayout(boot_code);
    QPushButton* nt6 = MakeButton("btn_change_nt6mbr", "NT6");
    nt6->setToolTip("The standard MBR of syslinux, or nt62.mbr of the program folder");
    QPushButton* g4d = MakeButton("btn_change_grubmbr", "G4D");
    g4d->setToolTip("grldr.mbr of the program folder (GRUB4DOS; not carried by this program)");
    QPushButton* any = MakeButton("brnAnyMbr", "Any");
    connect(nt6, &QPushButton::clicked, this, &PartitionTablePage::btn_change_nt6mbrClick);
    connect(g4d, &QPushButton::clicked, this, &PartitionTablePage::btn_change_grubmbrClick);
    connect(any, &QPushButton::clicked, this, &PartitionTablePage::brnAnyMbrClick);
    for (QPushButton* b : {nt6, g4d, any}) boot_code_row->addWidget(b);

    QGroupBox* drive = MakeGroup("grp_mbr_drive", "MBR");
    auto* drive_row = new QHBoxLayout(drive);
    QPushButton* backup = MakeButton("Button2", "Backup");
    QPushButton* restore = MakeButton("Button4", "Restore");
    connect(backup, &QPushButton::clicked, this, &PartitionTablePage::Button2Click);
    connect(restore, &QPushButton::clicked, this, &PartitionTablePage::Button4Click);
    drive_row->addWidget(backup);
    drive_row->addWidget(restore);

    auto* lower = new QHBoxLayout;
    for (QGroupBox* group : {disk_id, boot_code, drive}) lower->addWidget(group);
    lower->addStretch(1);

    auto* layout = static_cast<QVBoxLayout*>(page_->layout());
    // Below the drive selector, above the stretch that closes the page.
    layout->insertWidget(1, grp_partitions);
    layout->insertLayout(2, buttons);
    layout->insertLayout(3, lower);

    connect(drivecombopart, &QComboBox::activated, this, &PartitionTablePage::drivecombopartChange);
    EventHook::Install(page_, [this](QEvent* event) {
        if (event->type() == QEvent::Show) TabSheet20Show();
        return false;
    });
}

void PartitionTablePage::RefillSelector() {
    RefillDriveCombo(
        drivecombopart, 20, [this](const std::string& problem) { host_.ShowStatus(Q(problem)); },
        [this] { ForgetTarget(); });
}

void PartitionTablePage::ForgetTarget() {
    btn_reset_part_tableClick();
    txtMBRDiskID->clear();
}

MbrRows PartitionTablePage::PartitionRowTexts() const {
    MbrRows rows;
    for (std::size_t n = 0; n < rows.size(); ++n) {
        const MbrRowEdits& e = mbr_rows_[n];
        rows[n] = {S(e.b), S(e.hs), S(e.cs), S(e.ss), S(e.t), S(e.he), S(e.ce), S(e.se), S(e.s), S(e.l)};
    }
    return rows;
}

std::string PartitionTablePage::PartitionTablePath() const { return ChosenEntryPath(drivecombopart); }

void PartitionTablePage::TabSheet20Show() {
    // The image entry names no file until one is picked, and a selector
    // whose disk has gone names nothing: nothing to read.
    if (drivecombopart->currentIndex() < 0) return;
    if (!drivecombopart->currentText().contains(kImageEntry)) btn_read_part_tableClick();
}

void PartitionTablePage::drivecombopartChange() {
    btn_reset_part_tableClick();
    if (drivecombopart->currentText().contains(kImageEntry) && !PickDiskImage(host_.DialogOwner(), drivecombopart))
        return;
    btn_read_part_tableClick();
}

void PartitionTablePage::btn_read_part_tableClick() {
    const std::string path = PartitionTablePath();
    disk::SectorBuffer sector{};
    try {
        RefuseDynamicVhd(path);
    } catch (const std::exception& e) {
        return platform::Say(e.what());
    }
    // A sector that could not be read shows nothing: the routine said why.
    if (!disk::ReadFirstSector(path, sector)) return;
    const PartitionTableText text = PartitionTableTextOf(sector);
    for (std::size_t n = 0; n < text.rows.size(); ++n) {
        const MbrRowText& r = text.rows[n];
        const MbrRowEdits& e = mbr_rows_[n];
        const std::pair<QLineEdit*, const std::string*> cells[] = {
            {e.b, &r.boot}, {e.hs, &r.start_head}, {e.cs, &r.start_cylinder}, {e.ss, &r.start_sector},
            {e.t, &r.type}, {e.he, &r.end_head},   {e.ce, &r.end_cylinder},   {e.se, &r.end_sector},
            {e.s, &r.sectors_before}, {e.l, &r.sectors}};
        for (const auto& [edit, value] : cells) edit->setText(Q(*value));
    }
    txtMBRDiskID->setText(Q(text.disk_id));
    host_.ShowTimedStatus("Read Partition Table OK");
}

void PartitionTablePage::btn_reset_part_tableClick() {
    for (QLineEdit* edit : grp_partitions->findChildren<QLineEdit*>()) edit->setText("0");
}

void PartitionTablePage::btn_write_partClick() {
    if (host_.busy()) return;
    const std::string path = PartitionTablePath();
    try {
        const disk::SectorBuffer entries = PartitionEntriesOf(PartitionRowTexts());
        RefuseDynamicVhd(path);
        if (!platform::AskAbout("Overwrite Partition Table on " + path + "?", platform::device::AboutDevices({path})))
            return;
        if (disk::WritePartitionTable(path, entries)) host_.ShowTimedStatus("Write Partition Table OK");
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void PartitionTablePage::btn_mbr_apply_diskidClick() {
    if (host_.busy()) return;
    const std::string path = PartitionTablePath();
    try {
        const std::uint32_t id = ParseDiskId(S(txtMBRDiskID));
        RefuseDynamicVhd(path);
        if (!platform::AskAbout("Overwrite DiskID on " + path + "?", platform::device::AboutDevices({path}))) return;
        disk::SectorBuffer sector{};
        if (!disk::ReadFirstSector(path, sector)) return;
        platform::StoreLe32(sector.data() + 440, id);
        if (disk::WriteSector(path, sector, 0, true)) host_.ShowTimedStatus("DiskID changed OK");
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void PartitionTablePage::btn_mbr_writehtmlClick() {
    std::string file = "chs.html";
    int filter_index = 1;
    if (!RunFileDialog(host_.DialogOwner(), "", "HTML (*.html)|*.html", false, file, "", "", &filter_index)) return;
    const QLocale locale;
    const std::string when = (locale.toString(QDate::currentDate(), QLocale::ShortFormat) + " " +
                              locale.toString(QTime::currentTime(), QLocale::LongFormat))
                                 .toStdString();
    try {
        disk::WriteTextFile(file, PartitionTableHtml(drivecombopart->currentText().toStdString(), PartitionRowTexts(),
                                                     when) +
                                      "\r\n");
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void PartitionTablePage::SectorstoCHS1Click() {
    std::optional<std::string> typed = platform::AskText("Enter Total Sectors");
    if (!typed) return;
    std::optional<std::int64_t> total = disk::ParseUserNumber(*typed, 0, INT64_MAX);
    if (!total) return platform::Say("'" + *typed + "' is not a valid integer value");
    platform::Say(SectorsToChs(*total));
}

}  // namespace tarnovell
