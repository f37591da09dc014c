// The partition editor driven end to end on disks of the embedded host:
// every command from the popup menu, with its dialog and question answered,
// and what it left on the disk read back by sfdisk and checked by sgdisk.
#include "tools/parteditor/ufrmparteditor.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QRadioButton>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QStatusBar>
#include <QTreeWidget>

#include <memory>

#include "main/dialogs/dlg_disk.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/dialog_test_helpers.h"
#include "support/embedded_machine.h"
#include "support/modal_answer.h"
#include "support/partition_peers.h"
#include "tools/parteditor/ufrmcreatepart.h"

namespace {

namespace ts = test_support;
using tarnovell::Tfrmcreatepart;
using tarnovell::Tfrmparteditor;

constexpr std::int64_t kMiB = 1048576;
constexpr const char* kDisk0 = "\\\\.\\PhysicalDrive0";

ts::DiskSpec Sfdisk(const std::string& script, std::int64_t size = 16 * kMiB) {
    return ts::DiskSpec{size, {"printf '" + script + "' | sfdisk -q %s"}, ""};
}
ts::DiskSpec Sgdisk(const std::string& args, std::int64_t size = 16 * kMiB) {
    return ts::DiskSpec{size, {"sgdisk -o " + args + " %s >/dev/null"}, ""};
}

// The two MBR partitions most tests start from: 1 MiB at 1 MiB (type 83)
// and 2 MiB at 4 MiB (type 7).
ts::DiskSpec TwoMbrPartitions() {
    return Sfdisk("label: dos\\nlabel-id: 0x01020304\\nstart=2048,size=2048,type=83\\nstart=8192,size=4096,type=7\\n");
}

class PartitionEditor : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ts::TestApplication(); }

    // An editor on disk 0, shown, with the scripted person answering.
    Tfrmparteditor& Open(const std::string& disk = kDisk0) {
        editor_ = new Tfrmparteditor;
        editor_->DiskPath = disk;
        editor_->show();
        return *editor_;
    }
    void TearDown() override {
        if (editor_) editor_->close();
        QApplication::processEvents();
    }

    QString Cell(int row, int column) const { return editor_->ListView1->topLevelItem(row)->text(column); }
    int Rows() const { return editor_->ListView1->topLevelItemCount(); }
    void Select(int row) { editor_->ListView1->setCurrentItem(editor_->ListView1->topLevelItem(row)); }
    std::string Status() const { return editor_->StatusBar1->currentMessage().toStdString(); }
    std::vector<std::string> Said() const { return ui_.texts(); }

    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    QPointer<Tfrmparteditor> editor_;
};

TEST_F(PartitionEditor, ListsAnMbrLayoutWithItsColumnsColoursAndCommands) {
    ts::EmbeddedMachine machine({TwoMbrPartitions()});
    Tfrmparteditor& editor = Open();
    EXPECT_EQ(Status(), "Style: MBR, Count=4");
    EXPECT_EQ(editor.LayoutStyle, 0u);
    EXPECT_EQ(editor.MbrSignature, 0x01020304u);
    ASSERT_EQ(Rows(), 4);
    EXPECT_EQ(editor.ListView1->headerItem()->text(3), "HiddenSectors");
    EXPECT_EQ(Cell(0, 0), "1");
    EXPECT_EQ(Cell(0, 1), "1048576");
    EXPECT_EQ(Cell(0, 2), "1048576");
    EXPECT_EQ(Cell(0, 3), "2048");
    EXPECT_EQ(Cell(0, 4), "(0x83) Linux native partition");
    EXPECT_EQ(Cell(0, 5), "False");
    EXPECT_EQ(Cell(1, 4), "(0x07) Advanced Unix QNX QNX OS/2 HPFS WindowsNT NTFS");
    EXPECT_EQ(Cell(2, 0), "-");
    EXPECT_EQ(editor.ListView1->topLevelItem(2)->background(0).color(), QColor(0xE5, 0xE5, 0xE5));
    EXPECT_EQ(editor.ListView1->topLevelItem(0)->background(0).style(), Qt::NoBrush);
    EXPECT_FALSE(editor.ListView1->isColumnHidden(5));
    EXPECT_TRUE(editor.ChangePartition1->isEnabled());
    EXPECT_TRUE(editor.SetasPartitionNumber11->isEnabled());
    EXPECT_FALSE(editor.ChangeDiskIDGPT1->isEnabled());
    EXPECT_FALSE(editor.SelectanotherDISK1->isVisible());
    QStringList captions;
    for (QAction* a : editor.PopupMenu1->actions())
        if (!a->isSeparator()) captions << a->text();
    EXPECT_EQ(captions.size(), 18);
    EXPECT_TRUE(captions.contains("Backup Partition [src] to another PhysicalDrive [dst]"));

    // A GPT command on an MBR disk is refused with a word, and nothing changes.
    const std::string before = ts::ReadWholeFile(machine.image(0));
    editor.ChangeDiskIDGPT1Click();
    Select(0);
    editor.ChangePartitionTypeGPT1Click();
    EXPECT_EQ(Said(), (std::vector<std::string>{"GPT only", "GPT only"}));
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(0)) == before);
}

TEST_F(PartitionEditor, CreatesAnMbrPartitionWhereTheRowAboveEnds) {
    ts::EmbeddedMachine machine({TwoMbrPartitions()});
    Tfrmparteditor& editor = Open();
    Select(2);
    QString offered_offset, offered_size, offered_type;
    QStringList offered_types;
    ts::AnswerNextDialog<Tfrmcreatepart>([&](Tfrmcreatepart& d) {
        offered_offset = d.txtoffset->text();
        offered_size = d.txtsize->text();
        offered_type = d.cmb_type->currentText();
        for (int i = 0; i < d.cmb_type->count(); ++i) offered_types << d.cmb_type->itemText(i);
        d.txtsize->setText("3");
        d.cmb_type->setCurrentText("FAT32");
        d.chkboot->setChecked(true);
    });
    ui_.answer_confirm(true);
    editor.CreatePartition1->trigger();

    EXPECT_EQ(offered_offset, "6291456");  // 4 MiB + 2 MiB
    EXPECT_EQ(offered_size, "10");         // to the end of the 16 MiB disk
    EXPECT_EQ(offered_type, "IFS");
    EXPECT_EQ(offered_types.size(), 9);
    EXPECT_EQ(Said(), (std::vector<std::string>{"Create entry #3 for \\\\.\\PhysicalDrive0?"}));
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 3u) << table.output;
    EXPECT_EQ(table.partitions[2].start * 512, 6 * kMiB);
    EXPECT_EQ(table.partitions[2].size * 512, 3 * kMiB);
    EXPECT_EQ(table.partitions[2].type, "b");
    EXPECT_TRUE(table.partitions[2].boot);
    EXPECT_EQ(Cell(2, 0), "3");  // the list was read again
}

TEST_F(PartitionEditor, ChangesMbrEntriesAndTheDiskSignature) {
    ts::EmbeddedMachine machine({TwoMbrPartitions()});
    Tfrmparteditor& editor = Open();
    Select(0);
    QString caption;
    bool offset_shown = true;
    ts::AnswerNextDialog<Tfrmcreatepart>([&](Tfrmcreatepart& d) {
        caption = d.windowTitle();
        offset_shown = d.txtoffset->isVisible() || d.chkboot->isVisible();
        EXPECT_EQ(d.cmb_type->currentText(), "EXTENDED");
        d.cmb_type->setCurrentText("HIDDEN FAT32");
    });
    ui_.answer_confirm(true);
    editor.ChangePartition1->trigger();
    EXPECT_EQ(caption, "Change Partition Type");
    EXPECT_FALSE(offset_shown);

    Select(1);
    ui_.answer_input("1");
    ui_.answer_confirm(true);
    editor.ChangePartitionBootMBR1->trigger();

    ui_.answer_input("$CAFEF00D");
    ui_.answer_confirm(true);
    editor.ChangeDiskID1->trigger();

    // An answer that is no number changes nothing; "$" alone is no answer.
    Select(1);
    ui_.answer_input("yes");
    editor.ChangePartitionBootMBR1->trigger();
    ui_.answer_input("$");
    editor.ChangeDiskID1->trigger();

    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 2u) << table.output;
    EXPECT_EQ(table.partitions[0].type, "1b");
    EXPECT_TRUE(table.partitions[1].boot);
    EXPECT_EQ(table.id, "0xcafef00d");
    EXPECT_EQ(editor.MbrSignature, 0xCAFEF00Du);
    const std::vector<std::string> said = Said();
    EXPECT_EQ(said[0], "Modify entry #1 for \\\\.\\PhysicalDrive0?");
    EXPECT_EQ(said[1], "Enter partition boot (0 or 1)");
    EXPECT_EQ(said[2], "Modify entry #2 for \\\\.\\PhysicalDrive0?");
    EXPECT_EQ(said[3], "Enter DiskID (4 bytes : $01020304)");
    EXPECT_EQ(said[4], "Modify DiskID for \\\\.\\PhysicalDrive0?");
    EXPECT_EQ(said[6], "'yes' is not a valid boolean value");
    EXPECT_EQ(said.size(), 8u);
}

TEST_F(PartitionEditor, DeletedMbrEntryShowsAsUnusedAndGrey) {
    ts::EmbeddedMachine machine({TwoMbrPartitions()});
    Tfrmparteditor& editor = Open();
    Select(0);
    ui_.answer_confirm(false);  // No: nothing happens
    editor.DeletePa1->trigger();
    EXPECT_EQ(ts::SfdiskTable(machine.image(0)).partitions.size(), 2u);
    Select(0);
    ui_.answer_confirm(true);
    editor.DeletePa1->trigger();
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 1u) << table.output;
    EXPECT_EQ(table.partitions[0].start, 8192);
    EXPECT_EQ(Cell(0, 0), "-");
    EXPECT_EQ(editor.ListView1->topLevelItem(0)->background(0).color(), QColor(0xE5, 0xE5, 0xE5));
    EXPECT_EQ(Said()[0], "Delete entry #1 for \\\\.\\PhysicalDrive0?");
}

// A volume in use stays; the refusal says which partition is in the way
// and what frees it, not only that access was denied.
TEST_F(PartitionEditor, DeletingAPartitionInUseSaysWhichAndWhere) {
    ts::EmbeddedMachine machine({ts::DiskSpec{16 * kMiB,
                                              {"printf 'label: dos\\nstart=2048,size=8192,type=6\\n' | sfdisk -q %s",
                                               "mkfs.fat --offset 2048 %s 4096 >/dev/null"},
                                              ""}});
    const auto volumes = platform::device::Registry::instance().snapshot()->volumes_of(0);
    ASSERT_EQ(volumes.size(), 1u);
    const std::string letter(1, volumes[0]->letter);
    const std::string before = ts::ReadWholeFile(machine.image(0));
    Tfrmparteditor& editor = Open();
    Select(0);
    ui_.answer_confirm(true);
    editor.DeletePa1->trigger();
    EXPECT_EQ(Said().back(), "IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:Access is denied - partition 1 (\\\\.\\" +
                                 letter + ":) is mounted: set it offline first");
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(0)) == before);
}

TEST_F(PartitionEditor, SetAsPartitionNumberOneOnlyForTheSecondToFourthEntry) {
    ts::EmbeddedMachine machine({Sfdisk("label: dos\\nstart=2048,size=2048,type=83\\nstart=8192,size=4096,type=7\\n"
                                        "start=16384,size=32768,type=5\\nstart=18432,size=2048,type=c\\n"
                                        "start=22528,size=2048,type=83\\n",
                                        32 * kMiB)});
    Tfrmparteditor& editor = Open();
    ASSERT_EQ(Rows(), 12);  // four primary entries, then four for each logical one's record
    const std::string before = ts::ReadWholeFile(machine.image(0));
    for (int row : {0, 4, 5}) {
        Select(row);
        editor.SetasPartitionNumber11->trigger();
    }
    EXPECT_EQ(Said(), (std::vector<std::string>(3, "not a valid part number")));
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(0)) == before);

    Select(1);
    ui_.answer_confirm(true);
    editor.SetasPartitionNumber11->trigger();
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 5u) << table.output;
    EXPECT_EQ(table.partitions[0].start, 8192);  // the second entry now comes first
    EXPECT_EQ(table.partitions[1].start, 2048);
    EXPECT_EQ(Cell(0, 1), QString::number(8192 * 512));
    EXPECT_EQ(Cell(1, 1), QString::number(2048 * 512));
}

TEST_F(PartitionEditor, EmptyGptProposesAPartitionThatEndsBeforeTheBackupTable) {
    // 8 MiB + 64 KiB: from 64 KiB to the disk's end is 8 MiB exactly, so a
    // size counted to the disk's end would run into the backup table.
    ts::EmbeddedMachine machine({Sgdisk("", 8 * kMiB + 65536)});
    Tfrmparteditor& editor = Open();
    EXPECT_EQ(Status(), "Style: GPT, Count=0");
    ASSERT_EQ(Rows(), 4);
    for (int row = 0; row < 4; ++row) EXPECT_EQ(Cell(row, 0), "0");
    EXPECT_EQ(editor.ListView1->headerItem()->text(3), "ID");
    EXPECT_TRUE(editor.ListView1->isColumnHidden(5));
    EXPECT_FALSE(editor.ChangePartition1->isEnabled());
    EXPECT_TRUE(editor.ChangePartitionTypeGPT1->isEnabled());

    Select(0);
    QString offset, size;
    ts::AnswerNextDialog<Tfrmcreatepart>([&](Tfrmcreatepart& d) {
        offset = d.txtoffset->text();
        size = d.txtsize->text();
        EXPECT_EQ(d.cmb_type->currentText(), "BASIC_DATA_GUID");
    });
    ui_.answer_confirm(true);
    editor.CreatePartition1->trigger();
    EXPECT_EQ(offset, "65536");
    EXPECT_EQ(size, "7");
    ASSERT_EQ(Said().size(), 1u) << Said().back();
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 1u) << table.output;
    EXPECT_EQ(table.partitions[0].start * 512, 65536);
    EXPECT_EQ(table.partitions[0].size * 512, 7 * kMiB);
    EXPECT_EQ(table.partitions[0].type, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    EXPECT_EQ(Status(), "Style: GPT, Count=1");
}

TEST_F(PartitionEditor, ChangesGptEntriesAndTheDiskGuid) {
    ts::EmbeddedMachine machine({Sgdisk("-n1:2048:+2M -n2:0:+2M")});
    Tfrmparteditor& editor = Open();
    Select(1);
    ts::AnswerNextDialog<Tfrmcreatepart>([](Tfrmcreatepart& d) { d.cmb_type->setCurrentText("MSFT_RESERVED_GUID"); });
    ui_.answer_confirm(true);
    editor.ChangePartitionTypeGPT1->trigger();

    Select(0);
    ui_.answer_input("$8000000000000001");
    ui_.answer_confirm(true);
    editor.ChangePartitionAttributesGPT1->trigger();

    Select(1);
    ui_.answer_input("{11223344-1122-1122-AABB-112233445566}");
    ui_.answer_confirm(true);
    editor.ChangePartitionIDGPT1->trigger();

    ui_.answer_input("{01234567-89AB-CDEF-0123-456789ABCDEF}");
    ui_.answer_confirm(true);
    editor.ChangeDiskIDGPT1->trigger();

    // A malformed GUID is refused before anything is asked or written.
    Select(1);
    ui_.answer_input("11223344-1122-1122-AABB-11223344556");
    editor.ChangePartitionIDGPT1->trigger();

    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 2u) << table.output;
    EXPECT_EQ(table.id, "01234567-89AB-CDEF-0123-456789ABCDEF");
    EXPECT_EQ(table.partitions[1].type, "E3C9E316-0B5C-4DB8-817D-F92DF00215AE");
    EXPECT_EQ(table.partitions[1].uuid, "11223344-1122-1122-AABB-112233445566");
    EXPECT_NE(table.output.find("\"attrs\": \"RequiredPartition GUID:63\""), std::string::npos) << table.output;
    EXPECT_EQ(Cell(0, 6), "0x8000000000000001");
    EXPECT_EQ(Cell(1, 3), "{11223344-1122-1122-AABB-112233445566}");
    EXPECT_EQ(Cell(1, 4), " PARTITION_MSFT_RESERVED_GUID");
    EXPECT_EQ(Said().back(), "'11223344-1122-1122-AABB-11223344556' is not a valid GUID value");
}

TEST_F(PartitionEditor, ListsAGptOfMoreThanSixtyFourEntries) {
    std::string args = "-a 8";
    for (int i = 1; i <= 100; ++i) args += " -n" + std::to_string(i) + ":0:+32K";
    ts::EmbeddedMachine machine({Sgdisk(args)});
    Open();
    EXPECT_EQ(Status(), "Style: GPT, Count=100");
    ASSERT_EQ(Rows(), 100);
    EXPECT_EQ(Cell(99, 0), "100");
}

TEST_F(PartitionEditor, MakesAndDeletesWholeLayouts) {
    ts::EmbeddedMachine machine({TwoMbrPartitions()});
    Tfrmparteditor& editor = Open();
    ts::AnswerNextDialog<tarnovell::Tfrmpartstyle>([](tarnovell::Tfrmpartstyle& d) { d.rbgpt->setChecked(true); });
    ui_.answer_confirm(true);
    editor.CreateDisk1->trigger();
    EXPECT_EQ(Said()[0], "Create Disk on \\\\.\\PhysicalDrive0?");
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    EXPECT_EQ(Status(), "Style: GPT, Count=0");
    EXPECT_EQ(editor.LayoutStyle, 1u);

    ui_.answer_confirm(true);
    editor.DeleteDriveLayout1->trigger();
    EXPECT_EQ(Said()[1], "Delete Drive Layout for \\\\.\\PhysicalDrive0?");
    EXPECT_FALSE(ts::SfdiskTable(machine.image(0)).read);
    EXPECT_EQ(Status(), "Style: , Count=0");
    EXPECT_EQ(Rows(), 0);
}

TEST_F(PartitionEditor, BacksAPartitionUpAndRestoresOnlyWhatFitsIt) {
    ts::EmbeddedMachine machine({TwoMbrPartitions()});
    ts::RunOn("printf 'partition-two' | dd of=%s bs=1 seek=4194304 conv=notrunc status=none", machine.image(0));
    ts::TempDir dir;
    Tfrmparteditor& editor = Open();
    Select(1);
    const std::string backup = dir.file("part2.img");
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(backup));
        ui_.set_default_confirm(true);
        editor.BackupPartition1->trigger();
    }
    const std::string image = ts::ReadWholeFile(machine.image(0));
    EXPECT_TRUE(ts::ReadWholeFile(backup) == image.substr(4 * kMiB, 2 * kMiB));

    // An image larger than the partition would spill into what follows it.
    const std::string big = dir.file("big.img");
    ts::WriteWholeFile(big, std::string(2 * kMiB + 512, 'x'));
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(big));
        editor.RestorePartition1->trigger();
    }
    EXPECT_EQ(Said().back(),
              "RestorePartition:" + big + " (2097664 bytes) is larger than the partition (2097152 bytes)");
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(0)) == image);

    const std::string fits = dir.file("fits.img");
    ts::WriteWholeFile(fits, std::string(kMiB, 'r'));
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(fits));
        editor.RestorePartition1->trigger();
    }
    const std::string after = ts::ReadWholeFile(machine.image(0));
    EXPECT_TRUE(after.substr(4 * kMiB, kMiB) == std::string(kMiB, 'r'));
    EXPECT_TRUE(after.substr(0, 4 * kMiB) == image.substr(0, 4 * kMiB));
    EXPECT_TRUE(after.substr(5 * kMiB) == image.substr(5 * kMiB));
}

TEST_F(PartitionEditor, CopiesAPartitionToAnotherDiskButNeverOntoItsOwn) {
    ts::EmbeddedMachine machine({TwoMbrPartitions(), ts::DiskSpec{16 * kMiB, {}, ""}});
    ts::RunOn("printf 'partition-one' | dd of=%s bs=1 seek=1048576 conv=notrunc status=none", machine.image(0));
    Tfrmparteditor& editor = Open();
    Select(0);
    const std::string before = ts::ReadWholeFile(machine.image(0));
    for (const char* own : {"\\\\.\\physicaldrive0", "\\\\.\\PHYSICALDRIVE0", " \\\\.\\PhysicalDrive0 "}) {
        ui_.answer_input(own);
        editor.BackuptoPhysicaldisk1->trigger();
        EXPECT_EQ(Said().back(), "destination must be different from source!") << own;
    }
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(0)) == before);

    ui_.answer_input("\\\\.\\PhysicalDrive1");
    ui_.set_default_confirm(true);
    editor.BackuptoPhysicaldisk1->trigger();
    const std::vector<std::string> said = Said();
    EXPECT_NE(std::find(said.begin(), said.end(), "Write 1MB at offset 1048576 on \\\\.\\PhysicalDrive1?"), said.end());
    // The range lands at the same offset of the other disk.
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(1)).substr(kMiB, kMiB) == before.substr(kMiB, kMiB));
}

TEST_F(PartitionEditor, SavesTheListAsHtml) {
    ts::EmbeddedMachine machine({TwoMbrPartitions()});
    ts::TempDir dir;
    Tfrmparteditor& editor = Open();
    const std::string file = dir.file("list.html");
    dialog_test::Seen seen;
    dialog_test::ScopedFileDialogHook hook([&](QFileDialog& dialog) {
        seen = dialog_test::Look(dialog);
        dialog.selectFile(QString::fromStdString(file));
        return int(QDialog::Accepted);
    });
    editor.SaveList1->trigger();
    EXPECT_EQ(seen.title, "Save HTML");
    EXPECT_EQ(seen.accept_mode, QFileDialog::AcceptSave);
    const std::string html = ts::ReadWholeFile(file);
    EXPECT_NE(html.find("<h3>partitions</h3><hr>\r\n"), std::string::npos);
    EXPECT_NE(html.find("<td class=\"sub\">HiddenSectors</td>"), std::string::npos);
    EXPECT_NE(html.find("<td class=\"default\">(0x83) Linux native partition</td>"), std::string::npos);
    EXPECT_NE(html.find("<td class=\"default\">-</td>"), std::string::npos);  // grey rows are plain "default"
}

TEST_F(PartitionEditor, AnUnreadableDiskIsSaidInTheStatusBar) {
    ts::EmbeddedMachine machine({TwoMbrPartitions()});
    Open("\\\\.\\PhysicalDrive7");
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(Status().rfind("IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed:", 0), 0u) << Status();
}

}  // namespace
