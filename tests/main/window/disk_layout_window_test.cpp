// The side-bar commands that change partition tables, pressed on disks of
// the embedded host: "Create Disk" and "Create Partition" on the Disk page,
// "Extend" and "Shrink" on the Volume page, with their dialogs answered and
// their questions and status texts as the user sees them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "main/dialogs/dlg_disk.h"
#include "main/operations/selection.h"
#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"
#include "support/loop_disk.h"
#include "support/partition_peers.h"
#include "support/status_log.h"
#include "support/test_application.h"
#include "support/window_test_helpers.h"

namespace {

namespace ts = test_support;
using ts::DiskSpec;
using ts::EmbeddedMachine;
using window_test::SelectDevice;

template <class Dialog, class Answer>
void AnswerNext(Answer answer) {
    QTimer::singleShot(0, [answer] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<Dialog*>(w); dialog && dialog->isVisible()) {
                answer(*dialog);
                return;
            }
    });
}

// Picks a style in the next "Create Disk" dialog; says whether RAW was offered.
void AnswerStyle(const char* radio, bool* raw_offered = nullptr) {
    AnswerNext<tarnovell::Tfrmpartstyle>([radio, raw_offered](tarnovell::Tfrmpartstyle& dialog) {
        if (raw_offered) *raw_offered = dialog.rbraw->isVisible();
        dialog.findChild<QRadioButton*>(radio)->click();
        dialog.accept();
    });
}

// Types `new_mb` into the next "Resize" dialog after noting what it showed.
void AnswerResize(const char* new_mb, QString* current, QString* suggested) {
    AnswerNext<tarnovell::Tfrmresize>([=](tarnovell::Tfrmresize& dialog) {
        *current = dialog.txtcurrent->text();
        *suggested = dialog.txtnew->text();
        dialog.txtnew->setText(new_mb);
        dialog.accept();
    });
}

class DiskLayoutWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ts::TestApplication();
        ui_.set_default_confirm(true);
    }
    void TearDown() override { delete window_; }

    void Open() {
        window_ = new tarnovell::Tfrmmain(state_);
        status_ = test_support::WatchStatus(window_->statusBar());
        list_ = window_->findChild<QTreeWidget*>("lvdisks");
    }
    void Press(const std::string& page, const std::string& caption) {
        auto* button = window_->findChild<QPushButton*>(QString::fromStdString(tarnovell::SideBarButtonName(page, caption)));
        ASSERT_NE(button, nullptr) << caption;
        ASSERT_TRUE(button->isEnabled()) << caption;
        button->click();
    }
    std::string Status() const { return status_->last(); }
    std::vector<std::string> Questions() {
        std::vector<std::string> texts;
        for (const auto& e : ui_.log())
            if (e.kind == platform::ScriptedInteraction::Exchange::Confirm) texts.push_back(e.text);
        return texts;
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> texts;
        for (const auto& e : ui_.log())
            if (e.kind == platform::ScriptedInteraction::Exchange::Inform) texts.push_back(e.text);
        return texts;
    }

    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    test_support::StatusLog* status_ = nullptr;
    QTreeWidget* list_ = nullptr;
};

TEST_F(DiskLayoutWindow, CreateDiskThenCreatePartition) {
    EmbeddedMachine machine({DiskSpec{32 << 20, {}, ""}});
    Open();
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    AnswerStyle("rbgpt");
    Press("Disk", "Create Disk");
    EXPECT_EQ(Status(), "IOCTL_DISK_CREATE_DISK Ok");
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    EXPECT_EQ(ts::SfdiskTable(machine.image(0)).label, "gpt");

    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    bool raw_offered = true;
    AnswerStyle("rbgpt", &raw_offered);
    Press("Disk", "Create Partition");
    EXPECT_FALSE(raw_offered);
    EXPECT_EQ(Status(), "IOCTL_DISK_SET_DRIVE_LAYOUT_EX Ok");
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 1u) << table.output;
    EXPECT_EQ(table.partitions[0].start, 2048);
    EXPECT_EQ(table.partitions[0].size, 30 * 2048);  // to the last whole MiB before the backup table
    EXPECT_EQ(table.partitions[0].type, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    EXPECT_EQ(Questions(), (std::vector<std::string>{"Create Disk on \\\\.\\PhysicalDrive0?",
                                                     "Create one unique partition on \\\\.\\PhysicalDrive0?"}));
    EXPECT_TRUE(Messages().empty()) << Messages().front();
    EXPECT_TRUE(SelectDevice(list_, "PART 0,1")) << "the list shows the new partition";
}

TEST_F(DiskLayoutWindow, CreatePartitionProposesTheStyleOfTheDisksTable) {
    EmbeddedMachine machine({DiskSpec{32 << 20, {"sgdisk -o %s >/dev/null"}, ""},
                             DiskSpec{16 << 20, {"printf 'label: dos\\n' | sfdisk -q %s"}, ""}});
    Open();
    for (const char* disk : {"DISK 0", "DISK 1"}) {
        ASSERT_TRUE(SelectDevice(list_, disk));
        std::string proposed;
        AnswerNext<tarnovell::Tfrmpartstyle>([&proposed](tarnovell::Tfrmpartstyle& dialog) {
            proposed = dialog.rbgpt->isChecked() ? "GPT" : dialog.rbmbr->isChecked() ? "MBR" : "none";
            dialog.accept();  // as proposed
        });
        Press("Disk", "Create Partition");
        EXPECT_EQ(proposed, std::string(disk) == "DISK 0" ? "GPT" : "MBR") << disk;
        EXPECT_EQ(Status(), "IOCTL_DISK_SET_DRIVE_LAYOUT_EX Ok") << disk;
    }
    EXPECT_TRUE(Messages().empty()) << Messages().front();
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    const ts::PeerTable gpt = ts::SfdiskTable(machine.image(0));
    EXPECT_EQ(gpt.label, "gpt");
    ASSERT_EQ(gpt.partitions.size(), 1u) << gpt.output;
    EXPECT_EQ(gpt.partitions[0].type, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    EXPECT_EQ(ts::SfdiskTable(machine.image(1)).partitions.at(0).type, "7");
}

TEST_F(DiskLayoutWindow, CreatePartitionOnAnMbrDiskAndWhatARefusalSays) {
    EmbeddedMachine machine({DiskSpec{16 << 20, {"printf 'label: dos\\n' | sfdisk -q %s"}, ""},
                             ts::PartitionedExt4Disk()});
    Open();
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    AnswerStyle("rbmbr");
    Press("Disk", "Create Partition");
    EXPECT_EQ(Status(), "IOCTL_DISK_SET_DRIVE_LAYOUT_EX Ok");
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 1u) << table.output;
    EXPECT_EQ(table.partitions[0].type, "7");
    EXPECT_TRUE(table.partitions[0].boot);

    // A disk whose volume is in use keeps its table, and the user is told why.
    ASSERT_TRUE(SelectDevice(list_, "DISK 1"));
    AnswerStyle("rbmbr");
    Press("Disk", "Create Disk");
    EXPECT_EQ(Messages(), (std::vector<std::string>{"IOCTL_DISK_CREATE_DISK failed:Access is denied"}));
    EXPECT_EQ(ts::SfdiskTable(machine.image(1)).partitions.size(), 1u);

    ASSERT_TRUE(SelectDevice(list_, "PART 1,1"));
    Press("Disk", "Create Partition");
    EXPECT_EQ(Messages().back(), "has to be a DISK type");
    list_->clearSelection();
    Press("Volume", "Extend");
    EXPECT_EQ(Messages().back(), "pick a disk/part");
}

TEST_F(DiskLayoutWindow, ExtendThenShrinkAVolume) {
    EmbeddedMachine machine({ts::PartitionedExt4Disk()});
    Open();
    ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
    const std::string volume = tarnovell::PathOfRow(*window_->SelectedRow());
    const std::string drive = volume.substr(4);
    QString current, suggested;
    AnswerResize("6", &current, &suggested);
    Press("Volume", "Extend");
    EXPECT_EQ(current, "4");
    EXPECT_EQ(suggested, "6") << "up to the disk's end less a megabyte";
    ASSERT_FALSE(Questions().empty());
    EXPECT_EQ(Questions().back(), "Grow " + drive + " by 2 MBytes\r\nAND\r\nExtend to 12288 Sectors (6 MBytes)?");
    EXPECT_EQ(ts::SfdiskTable(machine.image(0)).partitions.at(0).size, 12288);
    if (!ts::IsRoot()) {
        // The file system is resized through a loop device.
        EXPECT_EQ(Status(), "GROW_PARTITION Ok, Extend_Volume not Ok");
        return;
    }
    EXPECT_EQ(Status(), "GROW_PARTITION Ok, Extend_Volume Ok");

    ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
    AnswerResize("3", &current, &suggested);
    Press("Volume", "Shrink");
    EXPECT_EQ(current, "6");
    EXPECT_EQ(suggested, "");
    EXPECT_EQ(Questions().back(), "Shrink " + drive + " by -3 MBytes\r\nAND\r\nExtend to 6144 Sectors (3 MBytes)?");
    EXPECT_EQ(Status(), "Shrink_Volume Ok,GROW_PARTITION Ok");
    EXPECT_EQ(ts::SfdiskTable(machine.image(0)).partitions.at(0).size, 6144);
    EXPECT_TRUE(Messages().empty()) << Messages().front();
}

// What ntfsfix says of the NTFS in the disk's first partition, read as the
// partition it is: a copy of its bytes, its backup boot sector at the end.
std::string NtfsfixOfFirstPartition(const EmbeddedMachine& machine) {
    const ts::PeerPartition p = ts::SfdiskTable(machine.image(0)).partitions.at(0);
    const std::string copy = machine.dir().file("partition.img");
    const auto dd = ts::Run("dd if=" + machine.image(0) + " of=" + copy + " bs=512 skip=" + std::to_string(p.start) +
                            " count=" + std::to_string(p.size) + " status=none");
    if (dd.exit_code != 0) return "dd: " + dd.output;
    const auto fix = ts::Run("ntfsfix -n " + copy);
    return (fix.exit_code == 0 ? "" : "exit " + std::to_string(fix.exit_code) + "\n") + fix.output;
}

TEST_F(DiskLayoutWindow, NtfsExtendedAndShrunkKeepsItsBackupBootSectorAtThePartitionsEnd) {
    if (!ts::IsRoot()) GTEST_SKIP() << "needs root: the file system is resized through a loop device";
    if (!ts::HaveTool("ntfsresize") || !ts::HaveTool("ntfsfix")) GTEST_SKIP() << "ntfs-3g is not installed";
    ts::TempDir parts;
    const std::string ntfs = parts.file("ntfs.img");
    ASSERT_EQ(ts::Run("truncate -s 8M " + ntfs + " && mkntfs -F -Q -q " + ntfs + " 2>/dev/null").exit_code, 0);
    EmbeddedMachine machine({DiskSpec{32 << 20,
                                      {"printf 'label: dos\\nstart=2048,size=16384,type=7\\n' | sfdisk -q %s",
                                       "dd if=" + ntfs + " of=%s bs=1M seek=1 conv=notrunc status=none"},
                                      ""}});
    Open();
    // Each resize measured from where the last one left the file system:
    // the partition and the file system end together every time.
    struct Step {
        const char* command;
        const char* verb;
        const char* new_mb;
        const char* current_mb;
        std::int64_t sectors;
    };
    const Step steps[] = {{"Extend", "Grow", "12", "8", 12 * 2048},
                          {"Shrink", "Shrink", "6", "12", 6 * 2048},
                          {"Extend", "Grow", "10", "6", 10 * 2048}};
    for (const Step& step : steps) {
        ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
        const std::string drive = tarnovell::PathOfRow(*window_->SelectedRow()).substr(4);
        QString current, suggested;
        AnswerResize(step.new_mb, &current, &suggested);
        Press("Volume", step.command);
        EXPECT_EQ(current, step.current_mb) << step.command << " " << step.new_mb;
        EXPECT_EQ(Questions().back().rfind(std::string(step.verb) + " " + drive + " by ", 0), 0u) << Questions().back();
        EXPECT_NE(Questions().back().find("Extend to " + std::to_string(step.sectors) + " Sectors"), std::string::npos)
            << Questions().back();
        EXPECT_EQ(ts::SfdiskTable(machine.image(0)).partitions.at(0).size, step.sectors);
        const std::string fix = NtfsfixOfFirstPartition(machine);
        EXPECT_NE(fix.find("Checking the alternate boot sector... OK"), std::string::npos)
            << step.command << " to " << step.new_mb << " MB:\n" << fix;
        EXPECT_EQ(fix.find("BAD"), std::string::npos) << fix;
        EXPECT_TRUE(Messages().empty()) << Messages().front();
    }
    EXPECT_EQ(Status(), "GROW_PARTITION Ok, Extend_Volume Ok");
}

TEST_F(DiskLayoutWindow, ExtendOfAMountedExt4OnTheLinuxHostStartsFromItsPartition) {
    if (const std::string missing = ts::LoopDevicesMissing({"mkfs.ext4", "resize2fs"}); !missing.empty())
        GTEST_SKIP() << missing;
    ts::LoopMachine machine;
    ts::LoopDisk* disk = machine.make("disk", "label: dos\n2048,131072,83\n", {1}, 128 << 20);
    ASSERT_TRUE(disk);
    machine.offer({disk});
    Open();
    ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
    QString current, suggested;
    AnswerResize("100", &current, &suggested);
    Press("Volume", "Extend");
    // Its file system counts less than the partition while mounted; the
    // partition is what grows, to exactly what was asked.
    EXPECT_EQ(current, "64");
    EXPECT_EQ(suggested, "126");
    EXPECT_NE(Questions().back().find(" by 36 MBytes\r\nAND\r\nExtend to 204800 Sectors (100 MBytes)?"),
              std::string::npos)
        << Questions().back();
    EXPECT_EQ(ts::TableParts(disk->node()).at(0).sectors, 100 * 2048);
    EXPECT_EQ(Status().rfind("GROW_PARTITION Ok", 0), 0u) << Status();
    delete window_;  // before its disk goes
    window_ = nullptr;
}

TEST_F(DiskLayoutWindow, AnOfflineDiskComesBackOnlineWithItsNewPartition) {
    EmbeddedMachine machine({DiskSpec{16 << 20, {"printf 'label: dos\\n' | sfdisk -q %s"}, ""}});
    ASSERT_TRUE(disk::IoctlSetDiskAttributes("\\\\.\\PhysicalDrive0", 1, 1));
    Open();
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    AnswerStyle("rbmbr");
    Press("Disk", "Create Partition");
    EXPECT_EQ(Status(), "IOCTL_DISK_SET_DRIVE_LAYOUT_EX Ok");
    platform::GET_DISK_ATTRIBUTES attributes{};
    ASSERT_TRUE(disk::GetDiskAttributes("\\\\.\\PhysicalDrive0", attributes));
    EXPECT_EQ(attributes.Attributes & platform::DISK_ATTRIBUTE_OFFLINE, 0u);
}

TEST_F(DiskLayoutWindow, ExtendWithNoRoomAsksBeforeExtendingTheFileSystemAnyway) {
    EmbeddedMachine machine({DiskSpec{16 << 20,
                                      {"printf 'label: dos\\nstart=2048,size=8192,type=83\\nstart=10240,size=4096,type=83\\n' "
                                       "| sfdisk -q %s",
                                       "mkfs.ext4 -q -F -E offset=1048576 %s 4096"},
                                      ""}});
    Open();
    ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
    QString current, suggested;
    ui_.answer_confirm(true);   // grow?
    ui_.answer_confirm(false);  // continue anyway with extend_volume?
    AnswerResize("6", &current, &suggested);
    Press("Volume", "Extend");
    EXPECT_EQ(Status(), "GROW_PARTITION not Ok");
    EXPECT_EQ(Messages(), (std::vector<std::string>{"IOCTL_DISK_GROW_PARTITION failed:There is not enough space on the disk"}));
    const auto log = ui_.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().text, "continue anyway with extend_volume?");
    EXPECT_EQ(log.back().caption, "tarnovell");
    EXPECT_EQ(ts::SfdiskTable(machine.image(0)).partitions.at(0).size, 8192);
}

TEST_F(DiskLayoutWindow, SizesPastFourGibibytesAreCountedInSixtyFourBits) {
    // A 3 GiB ext4 volume on a disk of 8,000,000,000 bytes.
    EmbeddedMachine machine({DiskSpec{8000000000,
                                      {"printf 'label: dos\\nstart=2048,size=6291456,type=83\\n' | sfdisk -q %s",
                                       "mkfs.ext4 -q -F -b 4096 -E offset=1048576 %s 786432"},
                                      ""}});
    Open();
    ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
    const std::string drive = tarnovell::PathOfRow(*window_->SelectedRow()).substr(4);
    QString current, suggested;
    ui_.answer_confirm(false);  // only the question is looked at
    AnswerResize("5000", &current, &suggested);
    Press("Volume", "Extend");
    EXPECT_EQ(current, "3072");
    EXPECT_EQ(suggested, "7627");
    EXPECT_EQ(Questions().back(), "Grow " + drive + " by 1928 MBytes\r\nAND\r\nExtend to 10240000 Sectors (5000 MBytes)?");
    EXPECT_EQ(ts::SfdiskTable(machine.image(0)).partitions.at(0).size, 6291456) << "answered No: nothing changed";
}

TEST_F(DiskLayoutWindow, ShrinkingToMoreThanThereIsIsRefusedByTheFileSystemStep) {
    EmbeddedMachine machine({ts::PartitionedExt4Disk()});
    Open();
    ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
    const std::string drive = tarnovell::PathOfRow(*window_->SelectedRow()).substr(4);
    QString current, suggested;
    AnswerResize("5", &current, &suggested);
    Press("Volume", "Shrink");
    EXPECT_EQ(Questions().back(), "Shrink " + drive + " by 1 MBytes\r\nAND\r\nExtend to 10240 Sectors (5 MBytes)?");
    EXPECT_EQ(Messages(), (std::vector<std::string>{"FSCTL_SHRINK_VOLUME failed:The parameter is incorrect"}));
    EXPECT_EQ(Status(), "Shrink_Volume not Ok");
    EXPECT_EQ(ts::SfdiskTable(machine.image(0)).partitions.at(0).size, 8192);
}

}  // namespace
