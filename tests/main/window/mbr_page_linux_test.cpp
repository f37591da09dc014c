// The Master Boot Record page on a loop disk of the Linux host whose first
// partition is mounted and kept busy: what would take that partition from
// under its user (an empty table written, a sector 0 without it or without
// the protective entry of a GPT restored) is refused and writes nothing;
// what leaves it where it is (a new disk ID, boot code before the table)
// goes.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "main/window/ufrmmain.h"
#include "support/dialog_test_helpers.h"
#include "support/loop_copy_fixture.h"
#include "support/test_application.h"

namespace {

namespace ts = test_support;

class MbrPageOnALoopDisk : public ts::LoopCopyTest {
protected:
    void SetUp() override {
        LoopCopyTest::SetUp();
        if (IsSkipped()) return;
        ts::TestApplication();
        state_.program_folder = machine_->work().path().string() + "/";
    }
    void TearDown() override {
        inside_.reset();
        delete window_;  // before its disk goes
        LoopCopyTest::TearDown();
    }

    // A disk of `table` with ext4 on its first partition, mounted and kept
    // busy, chosen on the page (which reads its table).
    void Open(const std::string& table) {
        disk_ = machine_->make("disk", table, {1});
        ASSERT_TRUE(disk_);
        machine_->offer({disk_});
        path_ = machine_->path_of(*disk_);
        ASSERT_FALSE(path_.empty());
        window_ = new tarnovell::Tfrmmain(state_);
        auto* selector = window_->findChild<QComboBox*>("drivecombopart");
        const int index = selector->findText(QString::fromStdString(path_), Qt::MatchStartsWith);
        ASSERT_GE(index, 0);
        selector->setCurrentIndex(index);
        emit selector->activated(index);
        inside_.emplace(machine_->mount_folder("disk", 1));
        ASSERT_TRUE(inside_->ready());
        parts_ = ts::KernelParts(disk_->name());
        mounted_ = ts::MountsFrom(disk_->part(1));
    }
    void Press(const char* name, const std::string& file = "") {
        std::optional<dialog_test::ScopedFileDialogHook> hook;
        if (!file.empty()) hook.emplace(dialog_test::Choose(file));
        window_->findChild<QPushButton*>(name)->click();
    }
    std::string Start() const { return ts::ReadWholeFile(disk_->node()).substr(0, 1 << 20); }
    std::string Said() const { return answers_.texts().back(); }
    std::string Refusal() const { return "a volume of " + path_ + " is still in use: nothing was written"; }
    // `name` pressed (with `file` picked) is refused, and nothing of the
    // disk's start changes.
    void ExpectRefused(const char* name, const std::string& file = "") {
        const std::string before = Start();
        Press(name, file);
        EXPECT_EQ(Said(), Refusal());
        EXPECT_TRUE(Start() == before);
        ExpectPartitionKept();
    }
    // The partition is where it was, for the disk, the kernel and its mount.
    void ExpectPartitionKept() {
        EXPECT_EQ(ts::TableParts(disk_->node()), parts_);
        EXPECT_EQ(ts::KernelParts(disk_->name()), parts_);
        EXPECT_EQ(ts::MountsFrom(disk_->part(1)), mounted_);
    }

    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    ts::LoopDisk* disk_ = nullptr;
    std::string path_;
    std::optional<ts::ProcessInside> inside_;
    std::vector<ts::KernelPart> parts_;
    std::vector<std::string> mounted_;
};

TEST_F(MbrPageOnALoopDisk, AnEmptyTableOrSectorIsRefusedAndANewDiskIdGoes) {
    ASSERT_NO_FATAL_FAILURE(Open("label: dos\n2048,40960,83\n"));
    const std::string before = Start();

    Press("btn_reset_part_table");
    ExpectRefused("btn_write_part");
    EXPECT_EQ(answers_.texts().at(answers_.texts().size() - 2), "Overwrite Partition Table on " + path_ + "?");

    const std::string zero = machine_->work().file("zero.mbr");
    ts::WriteWholeFile(zero, std::string(512, '\0'));
    ExpectRefused("Button4", zero);

    // The disk's signature is no partition's place.
    window_->findChild<QLineEdit*>("txtMBRDiskID")->setText("1A2B3C4D");
    Press("btn_mbr_apply_diskid");
    EXPECT_EQ(Said(), "Overwrite DiskID on " + path_ + "?");
    EXPECT_EQ(Start().substr(440, 4), "\x4D\x3C\x2B\x1A");
    EXPECT_TRUE(Start().substr(444) == before.substr(444));
    ExpectPartitionKept();
}

TEST_F(MbrPageOnALoopDisk, OnAGptDiskASectorWithoutItsProtectiveEntryIsRefusedAndBootCodeGoes) {
    ASSERT_NO_FATAL_FAILURE(Open("label: gpt\n2048,40960\n"));
    const std::string before = Start();
    // Without the protective entry of sector 0 nobody reads the GPT.
    const std::string zero = machine_->work().file("zero.mbr");
    ts::WriteWholeFile(zero, std::string(512, '\0'));
    ExpectRefused("Button4", zero);

    // The same sector with other boot code is the same table.
    const std::string code = machine_->work().file("code.mbr");
    ts::WriteWholeFile(code, ts::RandomBytes(440, 7) + before.substr(440, 72));
    Press("Button4", code);
    EXPECT_EQ(Said(), "Restore MBR on " + path_ + "?");
    EXPECT_TRUE(Start().substr(0, 512) == ts::ReadWholeFile(code));
    EXPECT_TRUE(Start().substr(512) == before.substr(512));
    ExpectPartitionKept();
}

}  // namespace
