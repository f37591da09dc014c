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

TEST(PartitionEditorWindow, OpensOnTheSelectedDiskAndReportsCopiesOnTheMainWindow) {
    ts::TestApplication();
    ts::EmbeddedMachine machine({ts::PartitionedExt4Disk()});
    platform::ScriptedInteraction ui;
    ui.set_default_confirm(true);
    platform::ScopedInteraction scope(ui);
    tarnovell::MainState state;
    auto* window = new tarnovell::Tfrmmain(state);
    auto* status_log = ts::WatchStatus(window->statusBar());
    // What the tool windows are given of the main window: the window itself.
    const tarnovell::ToolLink link = window->tool_link();
    EXPECT_EQ(link.services().get(), static_cast<tarnovell::ToolServices*>(window));
    auto* list = window->findChild<QTreeWidget*>("lvdisks");
    auto* button = window->findChild<QPushButton*>(
        QString::fromStdString(tarnovell::SideBarButtonName("Disk", "Partition Editor")));
    ASSERT_NE(button, nullptr);
    ASSERT_TRUE(button->isEnabled());

    // Nothing or a partition selected: the editor needs a disk.
    list->clearSelection();
    button->click();
    ASSERT_TRUE(window_test::SelectDevice(list, "PART 0,1"));
    button->click();
    EXPECT_EQ(ui.texts(), (std::vector<std::string>{"pick a disk", "pick a disk"}));
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
    ts::TempDir dir;
    const std::string file = dir.file("partition.img");
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(file));
        editor->ListView1->setCurrentItem(editor->ListView1->topLevelItem(0));
        editor->BackupPartition1->trigger();
    }
    QApplication::processEvents();
    EXPECT_EQ(window->findChild<QProgressBar*>("pb_img")->value(), 100);
    const std::string status = status_log->last();
    EXPECT_EQ(status.rfind("Done in ", 0), 0u) << status;
    EXPECT_TRUE(ts::ReadWholeFile(file) == ts::ReadWholeFile(machine.image(0)).substr(1 << 20, 4 << 20));

    editor->close();
    QApplication::processEvents();
    EXPECT_TRUE(editor.isNull());
    delete window;
    EXPECT_EQ(link.services(), nullptr);
}

}  // namespace
