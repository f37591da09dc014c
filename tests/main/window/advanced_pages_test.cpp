// The Advanced tab's Master Boot Record, Boot Sector and Extract pages,
// every button pressed on a machine of image files; what they write is
// checked with sfdisk, blkid and the bytes of the images.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTabWidget>

#include <sys/stat.h>

#include <filesystem>

#include "main/dialogs/dlg_disk.h"
#include "main/operations/boot_code.h"
#include "main/window/boot_sector_page.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/dialog_test_helpers.h"
#include "support/embedded_machine.h"
#include "support/status_log.h"
#include "support/test_application.h"

using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

constexpr std::int64_t kPartitionStart = 2048 * 512;

DiskSpec FatDisk() {
    return DiskSpec{8 << 20,
                    {"printf 'label: dos\\nlabel-id: 0x11223344\\nstart=2048,size=12288,type=6\\n' | sfdisk -q %s",
                     "mkfs.fat -F 16 -s 2 -n ADVANCED --offset 2048 %s 6144 >/dev/null"},
                    ""};
}

DiskSpec GptDisk() {
    return DiskSpec{8 << 20, {"sgdisk -n 1:2048:+2M -c 1:one -n 2:0:+1M -c 2:two %s >/dev/null"}, ""};
}

// A disk of 4 KiB sectors: its one partition starts at sector 256, 1 MiB in.
DiskSpec FourKDisk() {
    return DiskSpec{8 << 20,
                    {"mkfs.fat -F 12 -S 4096 -n FOURK --offset 256 %s 6144 >/dev/null 2>&1",
                     "printf '\\006\\000\\000\\000\\000\\001\\000\\000\\000\\006\\000\\000' | "
                     "dd of=%s bs=1 seek=450 conv=notrunc status=none",
                     "printf '\\125\\252' | dd of=%s bs=1 seek=510 conv=notrunc status=none"},
                    "sector_size=4096\n"};
}

class AdvancedPages : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::TestApplication();
        window_ = new tarnovell::Tfrmmain(state_);
        status_ = test_support::WatchStatus(window_->statusBar());
        state_.program_folder = machine_.dir().path().string() + "/";
        ui_.set_default_confirm(true);
    }
    void TearDown() override { delete window_; }

    template <class T = QWidget>
    T* Find(const char* name) {
        T* found = window_->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QLineEdit* Edit(const std::string& name) { return Find<QLineEdit>(name.c_str()); }
    void Press(const char* name) { Find<QPushButton>(name)->click(); }
    void Choose(const char* combo, const QString& start) {
        auto* box = Find<QComboBox>(combo);
        const int index = box->findText(start, Qt::MatchStartsWith);
        ASSERT_GE(index, 0) << start.toStdString();
        box->setCurrentIndex(index);
    }
    std::string Status() { return status_->last(); }
    // "hh:nn:ss:zzz - text".
    void ExpectTimedStatus(const std::string& text) {
        const QRegularExpression form("^\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d - " + QRegularExpression::escape(QString::fromStdString(text)) + "$");
        EXPECT_TRUE(form.match(QString::fromStdString(Status())).hasMatch()) << Status();
    }
    std::string Said() { return ui_.texts().empty() ? "" : ui_.texts().back(); }
    std::string Bytes(int disk, std::int64_t offset, std::int64_t length) {
        return test_support::ReadWholeFile(machine_.image(disk)).substr(static_cast<std::size_t>(offset),
                                                                        static_cast<std::size_t>(length));
    }
    std::string Dump(int disk) { return test_support::Run("sfdisk --dump " + machine_.image(disk)).output; }
    std::string File(const std::string& name) { return machine_.dir().file(name); }
    void DoubleClick(QWidget* widget) {
        QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(3, 3), QPointF(3, 3), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(widget, &click);
    }

    EmbeddedMachine machine_{{FatDisk(), GptDisk(), FourKDisk()}};
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    test_support::StatusLog* status_ = nullptr;
};

}  // namespace

TEST_F(AdvancedPages, TheTableIsReadEditedWrittenAndExported) {
    Choose("drivecombopart", "\\\\.\\PhysicalDrive0");
    Press("btn_read_part_table");
    ExpectTimedStatus("Read Partition Table OK");
    EXPECT_EQ(Edit("b1")->text(), "00");
    EXPECT_EQ(Edit("t1")->text(), "06");
    EXPECT_EQ(Edit("s1")->text(), "2048");
    EXPECT_EQ(Edit("l1")->text(), "12288");
    EXPECT_EQ(Edit("t2")->text(), "00");
    EXPECT_EQ(Find<QLineEdit>("txtMBRDiskID")->text(), "11223344");

    Press("btn_reset_part_table");
    for (QLineEdit* edit : Find<QGroupBox>("grp_partitions")->findChildren<QLineEdit*>()) EXPECT_EQ(edit->text(), "0");
    Press("btn_read_part_table");

    // A second partition, marked active, written and read back by sfdisk.
    Edit("b2")->setText("80");
    Edit("t2")->setText("83");
    Edit("s2")->setText("14336");
    Edit("l2")->setText("2048");
    const std::string before_write = Status();
    ui_.answer_confirm(false);
    Press("btn_write_part");
    EXPECT_EQ(Said(), "Overwrite Partition Table on \\\\.\\PhysicalDrive0?");
    EXPECT_EQ(Status(), before_write);
    EXPECT_EQ(Dump(0).find("start=       14336"), std::string::npos);
    Press("btn_write_part");
    ExpectTimedStatus("Write Partition Table OK");
    const std::string dump = Dump(0);
    EXPECT_NE(dump.find("start=        2048, size=       12288, type=6"), std::string::npos) << dump;
    EXPECT_NE(dump.find("start=       14336, size=        2048, type=83, bootable"), std::string::npos) << dump;

    // A cylinder past 1023 is refused, naming its field, and nothing is written.
    const std::string image = test_support::ReadWholeFile(machine_.image(0));
    Edit("cs3")->setText("2000");
    Press("btn_write_part");
    EXPECT_EQ(Said().rfind("Partition 3, Starting C.H.S (cylinder): '2000'", 0), 0u) << Said();
    EXPECT_EQ(test_support::ReadWholeFile(machine_.image(0)), image);
    // Leaving the field brings it to 1023.
    Edit("cs3")->setFocus();
    QFocusEvent out(QEvent::FocusOut);
    QCoreApplication::sendEvent(Edit("cs3"), &out);
    EXPECT_EQ(Edit("cs3")->text(), "1023");
    Edit("cs3")->setText("0");

    Find<QLineEdit>("txtMBRDiskID")->setText("1A2B3C4D");
    Press("btn_mbr_apply_diskid");
    ExpectTimedStatus("DiskID changed OK");
    EXPECT_EQ(Bytes(0, 440, 4), "\x4D\x3C\x2B\x1A");
    EXPECT_NE(Dump(0).find("label-id: 0x1a2b3c4d"), std::string::npos);

    const std::string html = File("chs.html");
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(html));
        Press("btn_mbr_writehtml");
    }
    const std::string page = test_support::ReadWholeFile(html);
    EXPECT_NE(page.find("DISK: \\\\.\\PhysicalDrive0"), std::string::npos) << page;
    EXPECT_NE(page.find("<tr><td>83</td><td>80</td>"), std::string::npos) << page;

    // Each row's "..." opens its menu.
    for (int row = 1; row <= 4; ++row) {
        Press(("btn_bs_" + std::to_string(row)).c_str());
        auto* menu = Find<QMenu>(("MbrPopupMenu" + std::to_string(row)).c_str());
        EXPECT_TRUE(menu->isVisible()) << row;
        menu->close();
    }
    // The hidden calculator.
    ui_.answer_input(std::string("16065"));
    Find<QAction>("SectorstoCHS1")->trigger();
    EXPECT_EQ(Said(), "c=2 h=255 s=63");
}

TEST_F(AdvancedPages, BootCodeAndMbrBackupsKeepTheTable) {
    Choose("drivecombopart", "\\\\.\\PhysicalDrive0");
    const std::string table = Dump(0);
    const std::string sector = Bytes(0, 0, 512);

    Press("btn_change_nt6mbr");
    EXPECT_EQ(ui_.texts().front(), "Change MBR Boot Code (to Win8.1) on \\\\.\\PhysicalDrive0?");
    ExpectTimedStatus("Changed MBR OK");
    EXPECT_EQ(Bytes(0, 0, 440), test_support::ReadWholeFile(tarnovell::kStandardMbr).substr(0, 440));
    EXPECT_EQ(Bytes(0, 510, 2), "\x55\xAA");
    EXPECT_EQ(Dump(0), table);

    // The GRUB4DOS code is the user's to supply.
    Press("btn_change_grubmbr");
    EXPECT_EQ(Said().rfind("grldr.mbr is not in " + state_.program_folder, 0), 0u) << Said();
    const std::string grub = test_support::Run("head -c 8192 /dev/urandom | tee " + state_.program_folder + "grldr.mbr").output;
    Press("btn_change_grubmbr");
    ExpectTimedStatus("Changed MBR OK");
    EXPECT_EQ(Bytes(0, 512, 8192 - 512), grub.substr(512));
    EXPECT_EQ(Dump(0), table);
    EXPECT_EQ(Said(), "You now have to copy grldr and menu.lst to your partition(s).");

    // "Any": a file too short to be boot code is refused.
    const std::string small = File("small.mbr");
    test_support::WriteWholeFile(small, std::string(300, 'x'));
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(small));
        Press("brnAnyMbr");
    }
    EXPECT_NE(Said().find("holds 300 bytes"), std::string::npos) << Said();

    // Backup and restore of sector 0.
    const std::string backup = File("disk0.mbr");
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(backup));
        Press("Button2");
    }
    ExpectTimedStatus("Backup MBR OK");
    EXPECT_EQ(test_support::ReadWholeFile(backup), Bytes(0, 0, 512));
    test_support::WriteWholeFile(backup, sector);
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(backup));
        Press("Button4");
    }
    EXPECT_EQ(Said(), "Restore MBR on \\\\.\\PhysicalDrive0?");
    ExpectTimedStatus("Restore MBR OK");
    EXPECT_EQ(Bytes(0, 0, 512), sector);
}

TEST_F(AdvancedPages, PartitionRowsOpenCopyAndRestoreTheirPartition) {
    Choose("drivecombopart", "\\\\.\\PhysicalDrive0");
    Press("btn_read_part_table");

    Find<QAction>("Openbootsector1")->trigger();
    EXPECT_EQ(window_->findChild<tarnovell::BootSectorPage*>()->tag(), 2048);
    EXPECT_EQ(Find<QTabWidget>("PageControl4")->currentWidget()->objectName(), "TabSheet9");
    EXPECT_EQ(Edit("txtbs2")->text(), "mkfs.fat");
    ExpectTimedStatus("Read Boot Sector OK @ offset 2048");

    const std::string part = File("part1.img");
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(part));
        Find<QAction>("Backuppartition1")->trigger();
    }
    EXPECT_NE(std::find(ui_.texts().begin(), ui_.texts().end(),
                        "backup from \\\\.\\PhysicalDrive0 at offset=1048576 with lenghth=6291456?"),
              ui_.texts().end());
    EXPECT_EQ(test_support::ReadWholeFile(part), Bytes(0, kPartitionStart, 6291456));

    // Restored over a wiped partition, it is the file system again.
    test_support::RunOn("dd if=/dev/zero of=%s bs=1M seek=1 count=6 conv=notrunc status=none", machine_.image(0));
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(part));
        Find<QAction>("Resstorepartition1")->trigger();
    }
    EXPECT_EQ(Bytes(0, kPartitionStart, 6291456), test_support::ReadWholeFile(part));
    EXPECT_EQ(test_support::Run("blkid -p -o value -s TYPE --offset 1048576 " + machine_.image(0)).output, "vfat\n");

    // An image larger than the row is refused before anything is asked.
    Edit("l1")->setText("100");
    const std::size_t asked = ui_.texts().size();
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(part));
        Find<QAction>("Resstorepartition1")->trigger();
    }
    EXPECT_EQ(ui_.texts().size(), asked + 1);
    EXPECT_NE(Said().find("is larger than the partition (51200 bytes)"), std::string::npos) << Said();
    // A row of no sectors ignores the backup.
    Edit("l2")->setText("0");
    Find<QAction>("Backuppartition2")->trigger();
    EXPECT_EQ(ui_.texts().size(), asked + 1);

    // Not a GPT row: nothing opens.
    Find<QAction>("OpenGPTparttable1")->trigger();
    EXPECT_TRUE(window_->findChildren<tarnovell::Tfrmproperties*>().isEmpty());

    Find<QAction>("Createadefaultactivepartition1")->trigger();
    EXPECT_EQ(Edit("t1")->text(), "07");
    EXPECT_EQ(Edit("b1")->text(), "80");
    EXPECT_EQ(Edit("cs1")->text(), "1023");
    EXPECT_EQ(Edit("he1")->text(), "254");
    EXPECT_EQ(Edit("s1")->text(), "2048");
    EXPECT_EQ(Said(), "Done.\nAdjust \"Sectors Before\" and \"Sectors\".\nDont forget to write.");
}

TEST_F(AdvancedPages, RowsOfADiskOfFourKibSectorsCountItsOwnSectors) {
    Choose("drivecombopart", "\\\\.\\PhysicalDrive2");
    window_->TabSheet20Show();  // showing the page reads its table
    ExpectTimedStatus("Read Partition Table OK");
    ASSERT_EQ(Edit("s1")->text(), "256");
    ASSERT_EQ(Edit("l1")->text(), "1536");
    Find<QAction>("Openbootsector1")->trigger();
    EXPECT_EQ(Edit("txtbs2")->text(), "mkfs.fat");
    EXPECT_EQ(Edit("txtbs3")->text(), "4096");
    EXPECT_EQ(Edit("txtbs22")->text(), "FOURK");
    ExpectTimedStatus("Read Boot Sector OK @ offset 256");
    // The editor writes the sector the page read, 1 MiB in.
    ui_.answer_input(std::string("32"));
    DoubleClick(Edit("txtbs12"));
    EXPECT_EQ(Bytes(2, kPartitionStart + 26, 2), std::string("\x20\x00", 2));

    const std::string part = File("part4k.img");
    dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(part));
    Find<QAction>("Backuppartition1")->trigger();
    EXPECT_NE(std::find(ui_.texts().begin(), ui_.texts().end(),
                        "backup from \\\\.\\PhysicalDrive2 at offset=1048576 with lenghth=6291456?"),
              ui_.texts().end());
    EXPECT_EQ(test_support::ReadWholeFile(part), Bytes(2, kPartitionStart, 6291456));
}

TEST_F(AdvancedPages, TheGptRowListsItsEntries) {
    Choose("drivecombopart", "\\\\.\\PhysicalDrive1");
    Press("btn_read_part_table");
    ASSERT_EQ(Edit("t1")->text(), "EE");
    Find<QAction>("OpenGPTparttable1")->trigger();
    const auto windows = window_->findChildren<tarnovell::Tfrmproperties*>();
    ASSERT_EQ(windows.size(), 1);
    EXPECT_EQ(windows.front()->windowTitle(), "GPT Header");
    const QString text = windows.front()->Memo1->toPlainText();
    EXPECT_TRUE(text.contains("Start:1048576\nEnd:3145216\nTotal bytes:2097152\nLabel:one")) << text.toStdString();
    EXPECT_TRUE(text.contains("Label:two")) << text.toStdString();
    windows.front()->close();
}

TEST_F(AdvancedPages, TheBootSectorPageShowsAndEditsTheVolumesFields) {
    Choose("DriveComboBS", "\\\\.\\C:");
    Press("btn_read_bs");
    ExpectTimedStatus("Read Boot Sector OK");
    EXPECT_EQ(Edit("txtbs2")->text(), "mkfs.fat");
    EXPECT_EQ(Edit("txtbs3")->text(), "512");
    EXPECT_EQ(Edit("txtbs22")->text(), "ADVANCED");
    const std::string uuid =
        test_support::Run("blkid -p -o value -s UUID --offset 1048576 " + machine_.image(0) + " | tr -d '\\n-'").output;
    EXPECT_EQ(Edit("txtbs21")->text().toStdString(), uuid);

    // Heads: asked, written at the volume's first sector, shown again.
    ui_.answer_input(std::string("$40"));
    DoubleClick(Edit("txtbs12"));
    EXPECT_EQ(Said(), "Change Heads on \\\\.\\C:?");
    EXPECT_EQ(Bytes(0, kPartitionStart + 26, 2), std::string("\x40\x00", 2));
    EXPECT_EQ(Edit("txtbs12")->text(), "64");
    // A value the field cannot hold writes nothing.
    ui_.answer_input(std::string("70000"));
    DoubleClick(Edit("txtbs11"));
    EXPECT_NE(Said().find("does not fit 16 bits"), std::string::npos) << Said();

    ui_.answer_input(std::string("$12345678"));
    DoubleClick(Edit("txtbs21"));
    EXPECT_EQ(Said(), "Change Serial Number on \\\\.\\C:?");
    EXPECT_EQ(Bytes(0, kPartitionStart + 39, 4), "\x78\x56\x34\x12");
    EXPECT_EQ(Edit("txtbs21")->text(), "12345678");
    EXPECT_EQ(test_support::Run("blkid -p -o value -s UUID --offset 1048576 " + machine_.image(0)).output, "1234-5678\n");

    // Backup of the boot sector, and its restore over a spoiled one.
    const std::string bs = File("c.bs");
    ui_.answer_input(std::string("1"));
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(bs));
        Press("btn_backup_bs");
    }
    ExpectTimedStatus("BS Backup OK");
    const std::string boot = Bytes(0, kPartitionStart, 512);
    EXPECT_EQ(test_support::ReadWholeFile(bs), boot);
    test_support::RunOn("dd if=/dev/zero of=%s bs=512 seek=2048 count=1 conv=notrunc status=none", machine_.image(0));
    const std::size_t asked = ui_.texts().size();
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(bs));
        Press("btn_restore_bs");
    }
    EXPECT_EQ(ui_.texts().size(), asked);  // no question
    ExpectTimedStatus("Restored BS OK");
    EXPECT_EQ(Bytes(0, kPartitionStart, 512), boot);

    // Boot code keeping the volume's own BPB.
    Press("btnBSNT6");
    EXPECT_EQ(Said().rfind("nt62.bs is not in ", 0), 0u) << Said();
    const std::string code = File("code.bs");
    test_support::RunOn("head -c 512 /dev/urandom > %s", code);
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(code));
        Press("btnAnyBS");
    }
    ExpectTimedStatus("Changed BS OK");
    EXPECT_EQ(Bytes(0, kPartitionStart, 84), boot.substr(0, 84));
    EXPECT_EQ(Bytes(0, kPartitionStart + 84, 426), test_support::ReadWholeFile(code).substr(84, 426));
    EXPECT_EQ(Bytes(0, kPartitionStart + 510, 2), "\x55\xAA");
}

TEST_F(AdvancedPages, AnImagePickedOnTheBootSectorPageIsReadAtTheSectorAskedFor) {
    auto* combo = Find<QComboBox>("DriveComboBS");
    const int entry = combo->findText("Disk Image File", Qt::MatchStartsWith);
    ASSERT_GE(entry, 0);
    combo->setCurrentIndex(entry);
    // A copy of the system disk's image: the image behind a disk itself is
    // written only through its disk.
    const std::string image = File("copy.img");
    test_support::WriteWholeFile(image, test_support::ReadWholeFile(machine_.image(0)));
    ui_.answer_input(std::string("2048"));
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(image));
        emit combo->activated(entry);
    }
    EXPECT_EQ(combo->currentText().toStdString(), image);
    EXPECT_EQ(Edit("txtbs2")->text(), "mkfs.fat");
    EXPECT_EQ(Edit("txtbs22")->text(), "ADVANCED");
    // The editor writes where the page read, without asking for a sector again.
    ui_.answer_input(std::string("17"));
    DoubleClick(Edit("txtbs12"));
    EXPECT_EQ(test_support::ReadWholeFile(image).substr(kPartitionStart + 26, 2), std::string("\x11\x00", 2));
    int asked = 0;
    for (const auto& exchange : ui_.log()) asked += exchange.text == "Enter sector offset" ? 1 : 0;
    EXPECT_EQ(asked, 1);

    // The disk's own image, picked as a file, is read but not written.
    const std::string disk_bytes = test_support::ReadWholeFile(machine_.image(0));
    ui_.answer_input(std::string("2048"));
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(machine_.image(0)));
        emit combo->activated(entry);
    }
    EXPECT_EQ(Edit("txtbs22")->text(), "ADVANCED");
    ui_.answer_input(std::string("17"));
    DoubleClick(Edit("txtbs12"));
    EXPECT_TRUE(test_support::ReadWholeFile(machine_.image(0)) == disk_bytes);
}

// The manifest without the section of disk `number`, or with one more disk.
std::string ManifestWithout(const std::string& manifest, int number) {
    const std::string heading = "[disk" + std::to_string(number) + "]";
    const std::size_t from = manifest.find(heading);
    if (from == std::string::npos) return manifest;
    const std::size_t to = manifest.find("[disk", from + heading.size());
    return manifest.substr(0, from) + (to == std::string::npos ? "" : manifest.substr(to));
}

// Each selector of the Advanced tab chooses something of disk 1; then the
// machine changes and the device list is refilled, as on a device change.
class AdvancedPagesAcrossADeviceChange : public AdvancedPages {
protected:
    void ChooseDiskOne() {
        Choose("drivecombopart", "\\\\.\\PhysicalDrive1");
        Press("btn_read_part_table");
        ASSERT_EQ(Edit("t1")->text(), "EE");
        Choose("DriveComboBS", "\\\\.\\E:");
        Press("btn_read_bs");
        ASSERT_EQ(Edit("txtbs1")->text(), "000000");
        Choose("drive_speed", "E:");
    }
    void ChangeMachine(const std::string& manifest) {
        test_support::WriteWholeFile(machine_.manifest(), manifest);
        platform::device::Registry::instance().refresh();
        window_->DeviceChanged(true, 0);
    }
    std::string Chosen(const char* combo) { return Find<QComboBox>(combo)->currentText().toStdString(); }
    bool Enabled(const char* name) { return Find<QWidget>(name)->isEnabled(); }
};

TEST_F(AdvancedPagesAcrossADeviceChange, ASelectorKeepsItsDiskWhenAnotherArrives) {
    ASSERT_NO_FATAL_FAILURE(ChooseDiskOne());
    test_support::MakeSparseFile(File("disk3.img"), 4 << 20);
    ChangeMachine(test_support::ReadWholeFile(machine_.manifest()) + "[disk3]\nimage=disk3.img\nproduct=Arrived\n");
    EXPECT_EQ(Chosen("drivecombopart"), "\\\\.\\PhysicalDrive1 [Test Disk 1]");
    EXPECT_EQ(Chosen("DriveComboBS"), "\\\\.\\E:");
    EXPECT_EQ(Chosen("drive_speed"), "E:");
    EXPECT_EQ(Edit("t1")->text(), "EE");

    // What is written goes to the disk the fields were read from.
    const std::string disk0 = test_support::ReadWholeFile(machine_.image(0));
    Edit("t2")->setText("83");
    Edit("s2")->setText("16000");
    Edit("l2")->setText("100");
    Press("btn_write_part");
    EXPECT_EQ(Said(), "Overwrite Partition Table on \\\\.\\PhysicalDrive1?");
    EXPECT_EQ(Bytes(1, 446 + 16 + 4, 1), "\x83");
    Find<QLineEdit>("txtMBRDiskID")->setText("1A2B3C4D");
    Press("btn_mbr_apply_diskid");
    EXPECT_EQ(Said(), "Overwrite DiskID on \\\\.\\PhysicalDrive1?");
    EXPECT_EQ(Bytes(1, 440, 4), "\x4D\x3C\x2B\x1A");
    EXPECT_TRUE(test_support::ReadWholeFile(machine_.image(0)) == disk0) << "disk 0 is left alone";
}

TEST_F(AdvancedPagesAcrossADeviceChange, ASelectorFollowsItsDiskToItsNewNumber) {
    ASSERT_NO_FATAL_FAILURE(ChooseDiskOne());
    // Disk 0 goes; disk 1's image becomes disk 0, disk 2's disk 1.
    std::string manifest = ManifestWithout(test_support::ReadWholeFile(machine_.manifest()), 0);
    for (int n : {1, 2}) {
        const std::string from = "[disk" + std::to_string(n) + "]";
        manifest.replace(manifest.find(from), from.size(), "[disk" + std::to_string(n - 1) + "]");
    }
    ChangeMachine(manifest);
    EXPECT_EQ(Chosen("drivecombopart"), "\\\\.\\PhysicalDrive0 [Test Disk 1]");
    EXPECT_EQ(Chosen("DriveComboBS"), "\\\\.\\E:");
    EXPECT_EQ(Chosen("drive_speed"), "E:");
    EXPECT_EQ(Edit("t1")->text(), "EE");
    EXPECT_TRUE(Enabled("btn_write_part"));
    ui_.answer_confirm(false);
    Press("btn_write_part");
    EXPECT_EQ(Said(), "Overwrite Partition Table on \\\\.\\PhysicalDrive0?");
}

TEST_F(AdvancedPagesAcrossADeviceChange, ASelectorWhoseDiskIsGoneChoosesNothingAndWritesNothing) {
    ASSERT_NO_FATAL_FAILURE(ChooseDiskOne());
    ChangeMachine(ManifestWithout(test_support::ReadWholeFile(machine_.manifest()), 1));
    for (const char* combo : {"drivecombopart", "DriveComboBS", "drive_speed"}) {
        EXPECT_EQ(Find<QComboBox>(combo)->currentIndex(), -1) << combo << " chose " << Chosen(combo);
        EXPECT_GT(Find<QComboBox>(combo)->count(), 0) << combo;
    }
    // The fields held the gone disk's bytes: they are cleared, and nothing
    // that writes can be pressed.
    EXPECT_EQ(Edit("t1")->text(), "0");
    EXPECT_EQ(Find<QLineEdit>("txtMBRDiskID")->text(), "");
    EXPECT_EQ(Edit("txtbs1")->text(), "");
    for (const char* name : {"btn_write_part", "btn_mbr_apply_diskid", "btn_change_nt6mbr", "Button4", "btn_bs_1",
                             "btn_restore_bs", "btnAnyBS", "btn_write_seq", "btn_write_rnd", "btn_read_seq"})
        EXPECT_FALSE(Enabled(name)) << name;
    const std::string before = test_support::ReadWholeFile(machine_.image(0));
    window_->TabSheet20Show();
    window_->TabSheet9Show();
    EXPECT_TRUE(test_support::ReadWholeFile(machine_.image(0)) == before);

    // Choosing an entry gives the page its commands back.
    auto* selector = Find<QComboBox>("drivecombopart");
    selector->setCurrentIndex(0);
    emit selector->activated(0);
    EXPECT_TRUE(Enabled("btn_write_part"));
    EXPECT_EQ(Edit("t1")->text(), "06") << "and reads the disk chosen";
    EXPECT_FALSE(Enabled("btn_write_seq")) << "each selector for its own page";
    EXPECT_TRUE(Enabled("btn_test_cancel")) << "Cancel stops whatever runs";
}

TEST_F(AdvancedPages, AFifoPickedAsTheImageFileIsRefusedAtOnce) {
    const std::string fifo = File("pipe.img");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const char* name : {"drivecombopart", "DriveComboBS"}) {
        auto* selector = Find<QComboBox>(name);
        Choose(name, "Disk Image File");
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(fifo));
        emit selector->activated(selector->currentIndex());
        EXPECT_EQ(Said(), "could not createfile - " + fifo + ": The file is neither a regular file nor a block device")
            << name;
        EXPECT_EQ(selector->findText(QString::fromStdString(fifo)), -1) << name;
    }
}

TEST_F(AdvancedPages, NoPageIsEmptyAndTheExtractPageCarriesNoCommand) {
    auto* pages = Find<QTabWidget>("PageControl4");
    for (int i = 0; i < pages->count(); ++i) {
        QWidget* page = pages->widget(i);
        if (page->objectName() == "TabSheet13") continue;  // the registry tools come with their own page
        EXPECT_GE(page->findChildren<QPushButton*>().size(), 2) << page->objectName().toStdString();
    }
    for (const char* name : {"txt_extract_in", "txt_extract_out"}) EXPECT_EQ(Edit(name)->text(), "");
    EXPECT_EQ(Edit("txt_extract_start")->text(), "0");
    EXPECT_EQ(Edit("txt_extract_end")->text(), "512");
    ASSERT_NE(Find<QProgressBar>("pb_extract"), nullptr);
    const std::size_t said = ui_.texts().size();
    for (const char* name : {"btn_extract_in", "btn_extract_out", "btn_extract"}) {
        EXPECT_FALSE(Find<QPushButton>(name)->isEnabled()) << name;
        Press(name);
    }
    EXPECT_EQ(ui_.texts().size(), said);
}
