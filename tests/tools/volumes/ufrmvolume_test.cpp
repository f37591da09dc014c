// The volume window on a machine of two volumes: the list and its columns,
// the DOS-device rows only when asked for, the list saved as a page, and
// Copy Files from a row onto itself refused before anything starts.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "main/dialogs/dlg_disk.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/dialog_test_helpers.h"
#include "support/embedded_machine.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "support/volume_fixtures.h"
#include "tools/volumes/ufrmvolume.h"

namespace {

using tarnovell::Tfrmvolumes;

// Picks row `row` of the next target window and accepts it (or rejects the
// window when `row` is negative).
void AnswerTarget(int row) {
    QTimer::singleShot(0, [row] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* target = qobject_cast<tarnovell::Tfrmtarget*>(w); target && target->isVisible()) {
                if (row < 0) return target->reject();
                target->lvdisks->setCurrentItem(target->lvdisks->topLevelItem(row));
                return target->accept();
            }
    });
}

class VolumeWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }

    void SetUp() override {
        machine_ = std::make_unique<test_support::EmbeddedMachine>(
            std::vector{test_support::OnePartitionDisk(8, "mkfs.fat --offset 2048 %s %n >/dev/null"),
                        test_support::OnePartitionDisk(8, "mkfs.fat --offset 2048 %s %n >/dev/null")});
        window_ = std::make_unique<Tfrmvolumes>();
        window_->show();
    }

    QTreeWidget* list() const { return window_->lvvolumes; }
    QStringList Column(int column) const {
        QStringList texts;
        for (int i = 0; i < list()->topLevelItemCount(); ++i) texts << list()->topLevelItem(i)->text(column);
        return texts;
    }

    std::unique_ptr<test_support::EmbeddedMachine> machine_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    std::unique_ptr<Tfrmvolumes> window_;
};

TEST_F(VolumeWindow, ListsEveryVolumeWithItsNumbers) {
    EXPECT_EQ(window_->windowTitle(), "Volumes");
    QStringList headers;
    for (int c = 0; c < list()->columnCount(); ++c) headers << list()->headerItem()->text(c);
    EXPECT_EQ(headers, (QStringList{"Volume", "PathName", "Disk #", "Part #", "Dos Device", "Volume Size", "Serial"}));
    ASSERT_EQ(list()->topLevelItemCount(), 2);
    for (int i = 0; i < 2; ++i) {
        const QTreeWidgetItem* row = list()->topLevelItem(i);
        EXPECT_TRUE(row->text(0).startsWith("\\\\?\\Volume{")) << row->text(0).toStdString();
        EXPECT_TRUE(row->text(0).endsWith("}\\"));
        EXPECT_EQ(row->text(3), "1");
        EXPECT_TRUE(row->text(4).startsWith("\\Device\\HarddiskVolume")) << row->text(4).toStdString();
    }
    EXPECT_NE(Column(2)[0], Column(2)[1]);

    // Unchecked on opening; checking it refills at once, unchecking takes the rows away again.
    QAction* dos = window_->Getnonvolumedrives1;
    EXPECT_FALSE(dos->isChecked());
    dos->trigger();
    EXPECT_TRUE(dos->isChecked());
    EXPECT_GE(list()->topLevelItemCount(), 2);
    dos->trigger();
    EXPECT_EQ(list()->topLevelItemCount(), 2);
}

TEST_F(VolumeWindow, SavesTheListAsAPage) {
    test_support::TempDir dir;
    const std::string page = dir.file("volumes.html");
    dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(page));
    window_->SaveList1Click();
    const std::string html = test_support::ReadWholeFile(page);
    EXPECT_EQ(html.rfind("<html>\r\n<body>\r\n", 0), 0u) << html;
    EXPECT_NE(html.find("<h3>volumes</h3><hr>"), std::string::npos);
    for (const QString& volume : Column(0))
        EXPECT_NE(html.find("<td class=\"default\">" + volume.toStdString() + "</td>"), std::string::npos);
}

TEST_F(VolumeWindow, SaveListNamesAFileTypedWithoutExtensionAsAnHtmlPage) {
    test_support::TempDir dir;
    dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(dir.file("list")));
    window_->SaveList1Click();
    std::vector<std::string> written;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        written.push_back(entry.path().filename().string());
    EXPECT_EQ(written, std::vector<std::string>{"list.html"});
    EXPECT_EQ(test_support::ReadWholeFile(dir.file("list.html")).rfind("<html>", 0), 0u);
}

TEST_F(VolumeWindow, CopyFilesOntoItselfIsRefused) {
    list()->setCurrentItem(list()->topLevelItem(0));
    AnswerTarget(-1);
    window_->CopyFiles1Click();
    EXPECT_TRUE(ui_.log().empty());

    AnswerTarget(0);
    window_->CopyFiles1Click();
    ASSERT_FALSE(ui_.texts().empty());
    EXPECT_EQ(ui_.texts().back(), "Source and Destination cannot be the same");
    for (const auto& exchange : ui_.log()) EXPECT_NE(exchange.kind, platform::ScriptedInteraction::Exchange::Confirm);
}

// A raw copy onto a volume smaller than what it copies asks first, before
// anything is held or written (a volume in use after it is no reason to
// stop): No leaves every volume as it was; Yes fills the volume to its last
// byte and touches nothing past it.
class SmallerVolume : public ::testing::Test {
protected:
    QTreeWidget* list() const { return window_->lvvolumes; }

protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }
    static constexpr std::int64_t kMiB = 1 << 20;

    void SetUp() override {
        // Disk 0: 8 MiB of noise and 8 MiB of FAT, back to back; disk 1:
        // one volume of 4 MiB.
        machine_ = std::make_unique<test_support::EmbeddedMachine>(std::vector{
            test_support::DiskSpec{20 * kMiB,
                                   {"head -c 20971520 /dev/urandom | dd of=%s conv=notrunc status=none",
                                    "printf 'label: dos\\nstart=2048,size=16384,type=83\\n"
                                    "start=18432,size=16384,type=83\\n' | sfdisk -q %s",
                                    // The volume after: a file system the system has in use.
                                    "mkfs.fat --offset 18432 %s 8192 >/dev/null"},
                                   ""},
            test_support::DiskSpec{6 * kMiB, {"printf 'label: dos\\nstart=2048,size=8199,type=83\\n' | sfdisk -q %s"},
                                   ""}});
        window_ = std::make_unique<Tfrmvolumes>();
        window_->show();
    }

    // The row of the volume that starts `offset` bytes into disk `disk`.
    int Row(int disk, std::int64_t offset) const {
        auto snap = platform::device::Registry::instance().snapshot();
        for (const auto& volume : snap->volumes)
            if (volume.disk == disk && volume.start == offset)
                for (std::size_t i = 0; i < window_->rows().size(); ++i)
                    if (window_->rows()[i].caption == volume.guid_path) return static_cast<int>(i);
        ADD_FAILURE() << "no volume at " << offset << " of disk " << disk;
        return 0;
    }
    std::string Caption(int row) const { return window_->rows()[static_cast<std::size_t>(row)].caption; }
    std::string Bytes(int disk, std::int64_t offset, std::int64_t length) const {
        return test_support::ReadWholeFile(machine_->image(disk)).substr(static_cast<std::size_t>(offset),
                                                                         static_cast<std::size_t>(length));
    }
    std::vector<platform::ScriptedInteraction::Exchange> Asked() const {
        std::vector<platform::ScriptedInteraction::Exchange> asked;
        for (const auto& exchange : ui_.log())
            if (exchange.kind == platform::ScriptedInteraction::Exchange::Confirm) asked.push_back(exchange);
        return asked;
    }

    std::unique_ptr<test_support::EmbeddedMachine> machine_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    std::unique_ptr<Tfrmvolumes> window_;
    test_support::TempDir dir_;
};

TEST_F(SmallerVolume, RestoreFromALargerFileAsksBeforeHoldingAnything) {
    const std::string image = dir_.file("big.img");
    test_support::WriteWholeFile(image, test_support::RandomBytes(12 * kMiB, 7));
    const std::string disk0 = test_support::ReadWholeFile(machine_->image(0));
    list()->setCurrentItem(list()->topLevelItem(Row(0, kMiB)));
    const std::string question = "Source (" + std::to_string(12 * kMiB) + ") bigger than destination (" +
                                 std::to_string(8 * kMiB) + ")!, Continue?";
    for (bool yes : {false, true}) {
        SCOPED_TRACE(yes);
        ui_.answer_confirm(true);  // "Overwrite ...?"
        ui_.answer_confirm(yes);
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(image));
        window_->Restore1Click();
        const auto asked = Asked();
        ASSERT_GE(asked.size(), 2u) << testing::PrintToString(ui_.texts());
        EXPECT_EQ(asked[asked.size() - 1].text, question) << testing::PrintToString(ui_.texts());
        EXPECT_EQ(Bytes(0, 9 * kMiB, 8 * kMiB), disk0.substr(9 * kMiB, 8 * kMiB)) << "the next volume was written";
        if (!yes) {
            EXPECT_TRUE(test_support::ReadWholeFile(machine_->image(0)) == disk0);
            EXPECT_EQ(ui_.log().back().kind, platform::ScriptedInteraction::Exchange::Confirm)
                << testing::PrintToString(ui_.texts());
        } else {
            EXPECT_TRUE(Bytes(0, kMiB, 8 * kMiB) == test_support::ReadWholeFile(image).substr(0, 8 * kMiB));
            EXPECT_EQ(ui_.log().back().text, question) << "no failure after the volume was filled";
        }
    }
}

TEST_F(SmallerVolume, VolumeToASmallerVolumeAsksFirstAndFillsItToItsLastByte) {
    const std::string disk0 = test_support::ReadWholeFile(machine_->image(0));
    const std::string disk1 = test_support::ReadWholeFile(machine_->image(1));
    list()->setCurrentItem(list()->topLevelItem(Row(0, kMiB)));
    const std::string destination = Caption(Row(1, kMiB));
    // The destination ends 7 sectors past a block of the copy: those are
    // written too.
    const std::int64_t room = 4 * kMiB + 7 * 512;
    const std::string question = "Source (" + std::to_string(8 * kMiB) + ") bigger than destination (" +
                                 std::to_string(room) + ")!, Continue?";
    for (bool yes : {false, true}) {
        SCOPED_TRACE(yes);
        ui_.answer_input(destination);
        ui_.answer_confirm(true);  // "Overwrite ...?"
        ui_.answer_confirm(yes);
        window_->Backuptoanothervolume1Click();
        const auto asked = Asked();
        ASSERT_GE(asked.size(), 2u) << testing::PrintToString(ui_.texts());
        EXPECT_EQ(asked[asked.size() - 1].text, question) << testing::PrintToString(ui_.texts());
        EXPECT_TRUE(test_support::ReadWholeFile(machine_->image(0)) == disk0) << "the source was written";
        EXPECT_EQ(Bytes(1, kMiB + room, 6 * kMiB - kMiB - room), disk1.substr(kMiB + room))
            << "past the volume was written";
        if (!yes) {
            EXPECT_TRUE(test_support::ReadWholeFile(machine_->image(1)) == disk1);
        } else {
            EXPECT_TRUE(Bytes(1, kMiB, room) == disk0.substr(kMiB, room));
            EXPECT_EQ(ui_.log().back().text, question) << "no failure after the volume was filled";
        }
    }
}

}  // namespace
