// "Partition Editor" on the side bar: which rows open it, the window it
// opens, and a copy from the editor shown on the main window's progress bar
// and status line.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

#include "main/dialogs/file_dialog.h"
#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/dialog_test_helpers.h"
#include "support/embedded_machine.h"
#include "support/status_log.h"
#include "support/test_application.h"
#include "support/window_test_helpers.h"
#include "tools/parteditor/ufrmparteditor.h"

namespace {

namespace ts = test_support;
using tarnovell::Tfrmparteditor;

Tfrmparteditor* OpenEditor() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* editor = qobject_cast<Tfrmparteditor*>(w); editor && editor->isVisible()) return editor;
    return nullptr;
}

class PartitionEditorWindow : public ::testing::Test {
protected:
    void SetUp() override {
        ts::TestApplication();
        ui_.set_default_confirm(true);
        window_ = new tarnovell::Tfrmmain(state_);
    }
    void TearDown() override { delete window_; }

    QTreeWidget* List() { return window_->findChild<QTreeWidget*>("lvdisks"); }
    QPushButton* EditorButton() {
        return window_->findChild<QPushButton*>(
            QString::fromStdString(tarnovell::SideBarButtonName("Disk", "Partition Editor")));
    }
    // The first partition of the editor's disk backed up into `file`; what
    // the file holds afterwards is the partition's 4 MiB at 1 MiB.
    void BackUpFirstPartition(Tfrmparteditor* editor, const std::string& file) {
        {
            dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(file));
            editor->ListView1->setCurrentItem(editor->ListView1->topLevelItem(0));
            editor->BackupPartition1->trigger();
        }
        QApplication::processEvents();
    }
    bool HoldsTheFirstPartition(const std::string& file) {
        return ts::ReadWholeFile(file) == ts::ReadWholeFile(machine_.image(0)).substr(1 << 20, 4 << 20);
    }

    ts::EmbeddedMachine machine_{{ts::PartitionedExt4Disk()}};
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    ts::TempDir dir_;
};

TEST_F(PartitionEditorWindow, OpensOnTheSelectedDiskAndReportsCopiesOnTheMainWindow) {
    auto* status_log = ts::WatchStatus(window_->statusBar());
    // What the tool windows are given of the main window: the window itself.
    const tarnovell::ToolLink link = window_->tool_link();
    EXPECT_EQ(link.services().get(), static_cast<tarnovell::ToolServices*>(window_));
    QTreeWidget* list = List();
    QPushButton* button = EditorButton();
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled());

    // Nothing or a partition selected: the editor needs a disk.
    list->clearSelection();
    button->click();
    ASSERT_TRUE(window_test::SelectDevice(list, "PART 0,1"));
    button->click();
    EXPECT_EQ(ui_.texts(), (std::vector<std::string>{"pick a disk", "pick a disk"}));
    EXPECT_EQ(OpenEditor(), nullptr);

    ASSERT_TRUE(window_test::SelectDevice(list, "DISK 0"));
    button->click();
    QPointer<Tfrmparteditor> editor = OpenEditor();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->windowTitle(), "Partition Editor \\\\.\\PhysicalDrive0");
    EXPECT_EQ(editor->DiskPath, "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(editor->parentWidget(), nullptr);
    ASSERT_EQ(editor->ListView1->topLevelItemCount(), 4);
    EXPECT_EQ(editor->ListView1->topLevelItem(0)->text(4), "(0x83) Linux native partition");

    // The backup of a partition moves the main window's bar and says how
    // it went in the main window's status line.
    const std::string file = dir_.file("partition.img");
    BackUpFirstPartition(editor, file);
    EXPECT_EQ(window_->findChild<QProgressBar*>("pb_img")->value(), 100);
    const std::string status = status_log->last();
    EXPECT_EQ(status.rfind("Done in ", 0), 0u) << status;
    EXPECT_TRUE(HoldsTheFirstPartition(file));

    editor->close();
    QApplication::processEvents();
    EXPECT_TRUE(editor.isNull());
    delete window_;
    window_ = nullptr;
    EXPECT_EQ(link.services(), nullptr);
}

// The editor lives on its own: closing the main window leaves it open, and
// its copies go on without the window's bar and status line.
TEST_F(PartitionEditorWindow, OutlivesTheMainWindowAndStillCopies) {
    ASSERT_TRUE(window_test::SelectDevice(List(), "DISK 0"));
    EditorButton()->click();
    QPointer<Tfrmparteditor> editor = OpenEditor();
    ASSERT_NE(editor, nullptr);
    delete window_;
    window_ = nullptr;
    QApplication::processEvents();
    ASSERT_FALSE(editor.isNull());

    const std::string file = dir_.file("partition.img");
    BackUpFirstPartition(editor, file);
    EXPECT_TRUE(HoldsTheFirstPartition(file));
    editor->close();
    QApplication::processEvents();
    EXPECT_TRUE(editor.isNull());
}

}  // namespace
