// The CheckDisk window on a volume of image files: a damaged FAT found and
// repaired, Abort during a check, and a close during a check that waits for
// the check to stop.
#include <gtest/gtest.h>

#include <signal.h>

#include <QCheckBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "support/fmtchk_window_fixture.h"
#include "tools/checkdisk/ufrmcheckdisk.h"

namespace {

using tarnovell::Tfrmcheckdisk;

class CheckDiskWindow : public fmtchk_test::WindowTest {};

TEST(CheckDiskWindowLayout, HasTheControls) {
    test_support::TestApplication();
    Tfrmcheckdisk window;
    EXPECT_EQ(window.windowTitle(), "CheckDisk");
    EXPECT_EQ(window.doChkDsk->text(), "Check Disk");
    EXPECT_EQ(window.doAbort->text(), "Abort");
    EXPECT_EQ(window.OptCorrectErrors->text(), "Correct Errors");
    EXPECT_EQ(window.OptScanDrive->text(), "Scan Drive");
    EXPECT_TRUE(window.OptVerbose->isHidden());
    EXPECT_TRUE(window.OptCheckDirty->isHidden());
    EXPECT_TRUE(window.Log->isReadOnly());
}

TEST_F(CheckDiskWindow, FindsTheProblemsThenRepairsThem) {
    const std::string letter = Use(test_support::DamagedFatDisk());
    Tfrmcheckdisk window;
    window.VolumeLetter = letter;
    window.doChkDsk->click();
    QStringList lines = fmtchk_test::LogLines(window.Log);
    EXPECT_EQ(lines.first(), QString::fromStdString("Starting Check Disk for " + letter + ":"));
    EXPECT_TRUE(lines.contains("Check Disk: Unable to Finish"));
    // Problems count as a result: no "Check Disk Failed".
    EXPECT_FALSE(lines.contains("Check Disk Failed"));
    EXPECT_EQ(lines[lines.size() - 2], QString::fromStdString("!!! Check Disk Found Problems with " + letter + ":"));
    EXPECT_EQ(lines.last(), "");

    window.Log->clear();
    window.OptCorrectErrors->setChecked(true);
    window.doChkDsk->click();
    lines = fmtchk_test::LogLines(window.Log);
    EXPECT_TRUE(lines.contains("Errors found and corrected by fsck.fat"));
    EXPECT_TRUE(lines.contains("Check Disk: Finished OK"));

    window.Log->clear();
    window.OptCorrectErrors->setChecked(false);
    window.doChkDsk->click();
    lines = fmtchk_test::LogLines(window.Log);
    EXPECT_TRUE(lines.contains("Check Disk: Finished OK"));
    EXPECT_FALSE(lines.join('\n').contains("!!!"));
    // The checker that ran says what it found, not a system that did not run.
    EXPECT_TRUE(lines.contains("fsck.fat found no errors in the file system")) << lines.join('\n').toStdString();
    EXPECT_FALSE(lines.join('\n').contains("Windows")) << lines.join('\n').toStdString();
    EXPECT_TRUE(window.doChkDsk->isEnabled());
}

TEST_F(CheckDiskWindow, AbortStopsTheCheckAndItsTool) {
    const std::string letter = Use(test_support::OnePartitionDisk(8, "mkfs.fat --offset 2048 %s %n >/dev/null"));
    test_support::WaitingTool fsck("fsck.fat");
    Tfrmcheckdisk window;
    window.VolumeLetter = letter;
    QObject::connect(window.Log, &QPlainTextEdit::textChanged, &window, [&] {
        if (window.Log->toPlainText().endsWith("working")) window.doAbort->click();
    });
    window.doChkDsk->click();
    const QStringList lines = fmtchk_test::LogLines(window.Log);
    ASSERT_GE(lines.size(), 4);
    EXPECT_TRUE(lines.contains("Cancelled by User"));
    EXPECT_EQ(lines[lines.size() - 3], "Check Disk: Unable to Finish") << window.Log->toPlainText().toStdString();
    EXPECT_EQ(lines[lines.size() - 2], "Check Disk Failed");
    EXPECT_EQ(lines.last(), "");
    EXPECT_FALSE(fsck.still_running());
}

TEST_F(CheckDiskWindow, ClosingDuringACheckStopsItAndThenCloses) {
    const std::string letter = Use(test_support::OnePartitionDisk(8, "mkfs.fat --offset 2048 %s %n >/dev/null"));
    test_support::WaitingTool fsck("fsck.fat");
    auto* window = new Tfrmcheckdisk;
    QPointer<Tfrmcheckdisk> alive(window);
    window->VolumeLetter = letter;
    window->show();
    bool closed_during_run = false;
    QObject::connect(window->Log, &QPlainTextEdit::textChanged, window, [&] {
        if (!closed_during_run && window->Log->toPlainText().endsWith("working")) {
            closed_during_run = true;
            window->doExitClick();
        }
    });
    window->doChkDsk->click();
    ASSERT_TRUE(closed_during_run);
    ASSERT_FALSE(alive.isNull()) << "the window went while its check was running";
    EXPECT_TRUE(window->Log->toPlainText().contains("Check Disk: Unable to Finish"));
    for (int i = 0; i < 10 && alive; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EXPECT_TRUE(alive.isNull());
}

}  // namespace
