// "Backup to Image" and "Restore from Image" from the window, in LZ4: the
// options dialog, the file dialog, then the copy engine.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>

#include "main/dialogs/dlg_backup.h"
#include "main/dialogs/file_dialog.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"
#include "support/test_support.h"
#include "support/test_application.h"
#include "support/window_test_helpers.h"

using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using window_test::AnswerBackupDialog;
using window_test::SelectDevice;

TEST(ImageCommands, Lz4BackupAndRestoreOfADiskFromTheWindow) {
    test_support::TestApplication();
    DiskSpec source{12 << 20,
                    {"printf 'label: dos\\nstart=2048,size=8192,type=83\\n' | sfdisk -q %s",
                     "head -c 2000000 /dev/urandom | dd of=%s bs=1M seek=7 conv=notrunc status=none"},
                    ""};
    EmbeddedMachine machine({source, DiskSpec{16 << 20, {}, ""}});
    platform::ScriptedInteraction ui;
    ui.set_default_confirm(true);
    platform::ScopedInteraction scope(ui);
    std::string image = machine.dir().file("disk0.lz4");
    auto previous = tarnovell::SetFileDialogHook([&](QFileDialog& dialog) {
        dialog.selectFile(QString::fromStdString(image));
        return static_cast<int>(QDialog::Accepted);
    });

    tarnovell::MainState state;
    auto* window = new tarnovell::Tfrmmain(state);
    auto* list = window->findChild<QTreeWidget*>("lvdisks");
    SelectDevice(list, "DISK 0");
    AnswerBackupDialog("rblz4");
    window->BackupToImage();
    ASSERT_TRUE(std::filesystem::exists(image)) << ui.texts().size();
    auto peer = test_support::Run("lz4 -d -c " + image + " | cmp - " + machine.image(0));
    EXPECT_EQ(peer.exit_code, 0) << peer.output;

    SelectDevice(list, "DISK 1");
    AnswerBackupDialog("rblz4");
    window->RestoreFromImage();
    auto cmp = test_support::Run("cmp -n 12582912 " + machine.image(0) + " " + machine.image(1));
    EXPECT_EQ(cmp.exit_code, 0) << cmp.output;
    delete window;
    tarnovell::SetFileDialogHook(previous);
}

// The backup's file dialog starts in the current folder; a current folder
// that has been removed leaves the dialog where Qt puts it, and the command
// goes on to the dialog instead of failing.
TEST(ImageCommands, TheFileDialogOpensWhenTheCurrentFolderIsGone) {
    test_support::TestApplication();
    EmbeddedMachine machine({DiskSpec{4 << 20, {}, ""}});
    platform::ScriptedInteraction ui;
    platform::ScopedInteraction scope(ui);
    int dialogs = 0;
    auto previous = tarnovell::SetFileDialogHook([&](QFileDialog&) {
        ++dialogs;
        return static_cast<int>(QDialog::Rejected);
    });
    const std::filesystem::path kept = std::filesystem::current_path();
    test_support::TempDir dir;
    const std::filesystem::path gone = dir.file("gone");
    std::filesystem::create_directory(gone);
    std::filesystem::current_path(gone);
    std::filesystem::remove(gone);

    tarnovell::MainState state;
    auto* window = new tarnovell::Tfrmmain(state);
    SelectDevice(window->findChild<QTreeWidget*>("lvdisks"), "DISK 0");
    AnswerBackupDialog("rblz4");
    EXPECT_NO_THROW(window->BackupToImage());
    EXPECT_EQ(dialogs, 1);
    EXPECT_TRUE(ui.texts().empty());
    delete window;
    std::filesystem::current_path(kept);
    tarnovell::SetFileDialogHook(previous);
}
