// The "..." menus of the partition rows on the "Master Boot Record" page:
// the row's boot sector opened on the "Boot Sector" page, its byte range
// copied to an image file or back, and on row 1 the GPT entry list and a
// default active partition.
#include <QAction>
#include <QComboBox>
#include <QCursor>
#include <QLineEdit>
#include <QMenu>
#include <QWidget>

#include <exception>

#include "disk/engines/copy_engine.h"
#include "disk/util/lib_helpers.h"
#include "main/dialogs/dlg_disk.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/boot_record_targets.h"
#include "main/operations/gpt_entries.h"
#include "main/window/boot_sector_page.h"
#include "main/window/page_host.h"
#include "main/window/partition_table_page.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"

namespace tarnovell {

namespace {

constexpr const char* kRowImageFilter = "Image File (*.img)|*.img";

// The main window comes to the front for the question, which names the
// bytes the copy covers ("lenghth" as the program has always spelt it).
bool ConfirmRowCopy(QWidget* window, const std::string& what, const std::string& path, const ByteRange& range) {
    window->raise();
    window->activateWindow();
    return platform::AskAbout(what + path + " at offset=" + std::to_string(range.offset) +
                                  " with lenghth=" + std::to_string(range.length) + "?",
                              platform::device::AboutDevices({path}));
}

}  // namespace

QMenu* PartitionTablePage::MakePartitionRowMenu(int row) {
    auto* menu = new QMenu(page_);
    menu->setObjectName(QString("MbrPopupMenu%1").arg(row));
    auto add = [&](const QString& name, const QString& caption, auto handler) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(name);
        connect(action, &QAction::triggered, this, handler);
    };
    add(QString("Openbootsector%1").arg(row), "Open boot sector", [this, row] { Openbootsector(row); });
    if (row == 1) {
        add("OpenGPTparttable1", "Open GPT part table", [this] { OpenGPTparttable1Click(); });
        menu->addSeparator();
    }
    add(QString("Backuppartition%1").arg(row), "Backup partition", [this, row] { Backuppartition(row); });
    // The restore items have always been numbered apart from their rows.
    add(row == 1 ? QString("Resstorepartition1") : QString("Restorepartition%1").arg(row - 1), "Restore partition",
        [this, row] { Restorepartition(row); });
    if (row == 1) {
        menu->addSeparator();
        add("Createadefaultactivepartition1", "Create a default active partition",
            [this] { Createadefaultactivepartition1Click(); });
    }
    return menu;
}

void PartitionTablePage::btn_bs_Click(int row) {
    MbrPopupMenus[static_cast<std::size_t>(row - 1)]->popup(QCursor::pos());
}

void PartitionTablePage::Openbootsector(int row) {
    const MbrRowEdits& fields = mbr_rows_[static_cast<std::size_t>(row - 1)];
    std::optional<std::int64_t> start = disk::ParseUserNumber(fields.s->text().toStdString(), 0, UINT32_MAX);
    if (!start) return platform::Say("'" + fields.s->text().toStdString() + "' is not a valid integer value");
    // The same disk, found again the same way.
    boot_sector_.ShowSectorOf(drivecombopart->currentText(), drivecombopart->currentData(), *start);
}

std::optional<ByteRange> PartitionTablePage::PartitionRowBytes(int row, const std::string& path) {
    if (host_.busy()) return std::nullopt;
    const MbrRowEdits& fields = mbr_rows_[static_cast<std::size_t>(row - 1)];
    std::optional<ByteRange> bytes;
    try {
        bytes = PartitionRowRange(fields.s->text().toStdString(), fields.l->text().toStdString(), SectorSizeOf(path));
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    if (!bytes || bytes->length == 0) return std::nullopt;
    return bytes;
}

void PartitionTablePage::RunPartitionRowCopy(const std::function<void()>& copy) {
    PageHost::BusyScope busy(host_);
    try {
        copy();
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
    host_.ClearProgress();
}

void PartitionTablePage::Backuppartition(int row) {
    const std::string path = PartitionTablePath();
    const std::optional<ByteRange> range = PartitionRowBytes(row, path);
    if (!range) return;
    std::string file = "part" + std::to_string(row) + ".img";
    if (!RunFileDialog(host_.DialogOwner(), "", kRowImageFilter, false, file, "", "")) return;
    if (!ConfirmRowCopy(host_.DialogOwner(), "backup from ", path, *range)) return;
    RunPartitionRowCopy([&] {
        disk::BackupRaw(path, file, &host_.progress(), range->length, range->offset, false, &host_.operation_target());
    });
}

void PartitionTablePage::Restorepartition(int row) {
    const std::string path = PartitionTablePath();
    const std::optional<ByteRange> range = PartitionRowBytes(row, path);
    if (!range) return;
    // Sector 0 holds the table the row comes from: no partition starts there.
    if (range->offset == 0)
        return platform::Say("Partition " + std::to_string(row) + " starts at sector 0: nothing was restored");
    std::string file;
    if (!RunFileDialog(host_.DialogOwner(), "", kRowImageFilter, true, file, "", "")) return;
    if (std::optional<std::string> refusal = RowRestoreRefusal(file, range->length)) return platform::Say(*refusal);
    if (!ConfirmRowCopy(host_.DialogOwner(), "restore to ", path, *range)) return;
    RunPartitionRowCopy([&] {
        disk::RestoreRaw(file, path, &host_.progress(), range->length, range->offset, false, &host_.operation_target());
    });
    host_.FillDeviceList();  // the partition may hold another file system now
}

void PartitionTablePage::OpenGPTparttable1Click() {
    if (mbr_rows_[0].t->text() != "EE") return;
    auto* window = new Tfrmproperties(host_.DialogOwner());
    window->setWindowTitle("GPT Header");
    std::vector<std::string> lines;
    ReadGptEntries(PartitionTablePath(), lines);
    window->SetLines(lines);
    window->show();
}

void PartitionTablePage::Createadefaultactivepartition1Click() {
    const MbrRowEdits& row = mbr_rows_[0];
    const std::pair<QLineEdit*, const char*> values[] = {{row.t, "07"},   {row.b, "80"},  {row.cs, "1023"},
                                                         {row.hs, "254"}, {row.ss, "63"}, {row.ce, "1023"},
                                                         {row.he, "254"}, {row.se, "63"}};
    for (const auto& [edit, text] : values) edit->setText(text);
    platform::Say("Done.\nAdjust \"Sectors Before\" and \"Sectors\".\nDont forget to write.");
}

}  // namespace tarnovell
