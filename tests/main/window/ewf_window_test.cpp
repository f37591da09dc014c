// EWF images from the window's "Backup to Image" and "Restore from Image":
// the options dialog with EWF chosen, the file dialog, then the EWF
// conversions on the embedded host, checked with libewf's own tools.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QStatusBar>
#include <QTreeWidget>

#include <filesystem>

#include "main/dialogs/file_dialog.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"
#include "support/status_log.h"
#include "support/test_application.h"
#include "support/window_test_helpers.h"

using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::Quote;
using window_test::AnswerBackupDialog;
using window_test::SelectDevice;

namespace {

std::vector<std::string> Told(const platform::ScriptedInteraction& ui) {
    std::vector<std::string> texts;
    for (const auto& exchange : ui.log())
        if (exchange.kind == platform::ScriptedInteraction::Exchange::Inform) texts.push_back(exchange.text);
    return texts;
}

TEST(EwfFromTheWindow, BackupOfADiskToAnEwfSetAndItsRestoreOntoAnother) {
    for (const char* tool : {"ewfverify", "ewfexport"})
        if (!test_support::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    test_support::TestApplication();
    DiskSpec source{12 << 20,
                    {"printf 'label: dos\\nstart=2048,size=8192,type=83\\n' | sfdisk -q %s",
                     "head -c 3000000 /dev/urandom | dd of=%s bs=1M seek=6 conv=notrunc status=none"},
                    ""};
    EmbeddedMachine machine({source, DiskSpec{16 << 20, {}, ""}, DiskSpec{8 << 20, {}, ""}});
    platform::ScriptedInteraction ui;
    ui.set_default_confirm(true);
    platform::ScopedInteraction scope(ui);
    const std::string chosen = machine.dir().file("disk0.e01");
    const std::string first = machine.dir().file("disk0.E01");
    std::string answer = chosen;
    auto previous = tarnovell::SetFileDialogHook([&](QFileDialog& dialog) {
        dialog.selectFile(QString::fromStdString(answer));
        return static_cast<int>(QDialog::Accepted);
    });

    tarnovell::MainState state;
    auto* window = new tarnovell::Tfrmmain(state);
    auto* status = test_support::WatchStatus(window->statusBar());
    auto* list = window->findChild<QTreeWidget*>("lvdisks");
    ASSERT_TRUE(SelectDevice(list, "DISK 0"));
    AnswerBackupDialog("rbEWF");
    window->BackupToImage();
    EXPECT_TRUE(Told(ui).empty()) << testing::PrintToString(ui.texts());
    ASSERT_TRUE(std::filesystem::exists(first)) << testing::PrintToString(ui.texts());
    auto verified = test_support::Run("ewfverify -q " + Quote(first));
    EXPECT_EQ(verified.exit_code, 0) << verified.output;
    ASSERT_EQ(test_support::Run("ewfexport -u -q -f raw -t " + Quote(machine.dir().file("exported")) + " " + Quote(first))
                  .exit_code,
              0);
    EXPECT_EQ(test_support::Run("cmp " + Quote(machine.dir().file("exported.raw")) + " " + Quote(machine.image(0))).exit_code,
              0);
    EXPECT_EQ(status->last().substr(0, 8), "done in ");

    answer = first;
    ASSERT_TRUE(SelectDevice(list, "DISK 1"));
    AnswerBackupDialog("rbEWF");
    window->RestoreFromImage();
    EXPECT_TRUE(Told(ui).empty()) << testing::PrintToString(ui.texts());
    auto cmp = test_support::Run("cmp -n 12582912 " + Quote(machine.image(0)) + " " + Quote(machine.image(1)));
    EXPECT_EQ(cmp.exit_code, 0) << cmp.output;
    // The restored table is in the list.
    EXPECT_TRUE(SelectDevice(list, "PART 1,1"));

    // A set larger than the disk it is asked onto is refused before anything is written.
    ASSERT_TRUE(SelectDevice(list, "DISK 2"));
    AnswerBackupDialog("rbEWF");
    window->RestoreFromImage();
    EXPECT_EQ(Told(ui), std::vector<std::string>{"source bigger than destination"});
    EXPECT_EQ(test_support::Run("tr -d '\\000' < " + Quote(machine.image(2)) + " | wc -c").output, "0\n");
    delete window;
    tarnovell::SetFileDialogHook(previous);
}

}  // namespace
