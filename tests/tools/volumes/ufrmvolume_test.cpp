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

}  // namespace
