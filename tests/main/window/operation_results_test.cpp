// What the window shows of an operation once it has run: Cancel stops the
// copy engines and the status line says so, the result stays on the status
// line, a VHD backup is a VHD whatever name was typed, and a machine that
// cannot be told is said once.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

#include <filesystem>

#include "disk/copy/copy_loop.h"
#include "main/dialogs/file_dialog.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/embedded_machine.h"
#include "support/status_log.h"
#include "support/test_application.h"
#include "support/window_questions.h"
#include "support/window_test_helpers.h"

using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using window_test::AnswerBackupDialog;
using window_test::AnswerFileDialogs;
using window_test::SelectDevice;

namespace {

class OperationResults : public window_test::MainWindowTest {
protected:
    void Open() {
        MainWindowTest::Open();
        bar_ = window_->findChild<QProgressBar*>("pb_img");
        status_bar_ = window_->findChild<QStatusBar*>("StatusBar1");
        status_ = test_support::WatchStatus(status_bar_);
    }
    // Lets what the operation posted, and what the device monitors make of
    // what it changed, reach the window.
    static void Settle() {
        test_support::SettleDevices();
        QCoreApplication::processEvents();
    }
    // The last result an operation showed.
    std::string Status() const { return status_->last(); }
    // What the status line shows now.
    std::string Shown() const { return status_bar_->currentMessage().toStdString(); }

    QProgressBar* bar_ = nullptr;
    QStatusBar* status_bar_ = nullptr;
    test_support::StatusLog* status_ = nullptr;
};

class CancelledBackup : public OperationResults, public ::testing::WithParamInterface<const char*> {};

// A disk far larger than a second's copying: the first progress step, a
// second in, is where the person presses Cancel.
TEST_P(CancelledBackup, CancelEndsTheCopyAndSaysSo) {
    constexpr std::int64_t kDisk = std::int64_t{64} << 30;  // sparse: it costs nothing to hold
    EmbeddedMachine machine({DiskSpec{kDisk, {}, ""}});
    Open();
    const std::string image = machine.dir().file("cancelled.img");
    AnswerFileDialogs(image);
    auto* cancel = window_->findChild<QPushButton*>("btn_cancel_backup_restore");
    int steps = 0;
    platform::set_pump([&] {
        if (++steps == 1) cancel->click();
        QCoreApplication::processEvents();
    });
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    AnswerBackupDialog(GetParam());
    window_->BackupToImage();
    platform::set_pump(nullptr);
    Settle();

    EXPECT_GE(steps, 1);
    const std::string status = Status();
    ASSERT_EQ(status.rfind("Aborted at ", 0), 0u) << status << testing::PrintToString(ui_.texts());
    EXPECT_LT(std::stoll(status.substr(11)), kDisk);
    EXPECT_EQ(bar_->value(), 0);
    EXPECT_FALSE(window_->busy());
    disk::copy_cancel = false;
}

INSTANTIATE_TEST_SUITE_P(Formats, CancelledBackup, ::testing::Values("rbraw", "rblz4"));

// The device monitor sees the image written beside the manifest and the
// disk written back; no volume arrives or goes, and the result stays where
// the person reads it.
TEST_F(OperationResults, TheResultStaysOnTheStatusLine) {
    EmbeddedMachine machine({test_support::PartitionedExt4Disk()});
    Open();
    const std::string image = machine.dir().file("kept.img");

    // The command is told by a flag: GCC 12 with AddressSanitizer loses the
    // test's own object over a call through a pointer to a member here.
    struct Step {
        bool restore;
        const char* result;
    };
    for (const Step& step : {Step{false, "Done in "}, Step{true, "restore done in "}}) {
        SCOPED_TRACE(step.result);
        AnswerFileDialogs(image);
        ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
        AnswerBackupDialog("rbraw");
        if (step.restore)
            window_->RestoreFromImage();
        else
            window_->BackupToImage();
        Settle();
        ASSERT_EQ(Status().rfind(step.result, 0), 0u) << Status() << testing::PrintToString(ui_.texts());
        // The monitor has looked at what changed beside the manifest: it
        // had nothing to say, and the line still shows the result.
        EXPECT_EQ(Shown().rfind(step.result, 0), 0u) << Shown();
    }
}

// A clone leaves its bar full and its closing line; a volume that arrives
// afterwards is told beside that line, not over it; the next operation
// starts from an empty bar and line, not from what the last one left.
TEST_F(OperationResults, EachOperationStartsAfreshAndItsLastLineStays) {
    EmbeddedMachine machine({test_support::PartitionedExt4Disk(), DiskSpec{32 << 20, {}, ""}});
    Open();
    auto* notice = window_->findChild<QLabel*>("lblDeviceNotice");
    ASSERT_NE(notice, nullptr);
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    window_test::AnswerTarget("DISK 1");
    window_->StartClone();
    Settle();
    ASSERT_EQ(Shown().rfind("clone done in ", 0), 0u) << Shown() << testing::PrintToString(ui_.texts());
    EXPECT_EQ(bar_->value(), bar_->maximum());

    window_->DeviceChanged(true, 1u << 4);
    EXPECT_EQ(Shown().rfind("clone done in ", 0), 0u) << Shown();
    EXPECT_TRUE(notice->text().startsWith("E: device inserted ")) << notice->text().toStdString();
    // A menu of the menu bar passing over its items, which have no status
    // tips, leaves the line too.
    for (QAction* item : window_->menuBar()->actions())
        if (item->menu())
            for (QAction* action : item->menu()->actions()) action->showStatusText(window_->menuBar());
    EXPECT_EQ(Shown().rfind("clone done in ", 0), 0u) << Shown();

    int bar_when_asked = -1;
    std::string line_when_asked = "not asked";
    test_support::LookingAnswers answers([&] {
        bar_when_asked = bar_->value();
        line_when_asked = Shown();
    });
    answers.answer_confirm(false);
    platform::ScopedInteraction asked(answers);
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    window_test::AnswerTarget("DISK 1");
    window_->StartClone();
    EXPECT_EQ(answers.texts(), std::vector<std::string>{"Clone \\\\.\\PhysicalDrive0 to \\\\.\\PhysicalDrive1?"});
    EXPECT_EQ(bar_when_asked, 0);
    EXPECT_EQ(line_when_asked, "");
}

// The extension comes from the filter chosen, and the image is what the
// filter says: a VHD, as qemu-img reads it.
TEST_F(OperationResults, VhdBackupTypedWithoutItsExtensionIsAVhd) {
    if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
    EmbeddedMachine machine({test_support::PartitionedExt4Disk()});
    Open();
    platform::set_pump([] { QCoreApplication::processEvents(); });
    struct Case {
        const char* typed;
        int filter;
        const char* written;
        const char* subformat;
    };
    for (const Case& c : {Case{"fixed", 1, "fixed.vhd", "fixed"}, Case{"dynamic", 2, "dynamic.vhd", "dynamic"},
                          Case{"other.img", 1, "other.img.vhd", "fixed"}, Case{"kept.VHD", 2, "kept.VHD", "dynamic"}}) {
        SCOPED_TRACE(c.typed);
        AnswerFileDialogs(machine.dir().file(c.typed), c.filter);
        ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
        AnswerBackupDialog("rbVHD");
        window_->BackupToImage();
        Settle();
        EXPECT_NE(Status().find(" terminated with sucess"), std::string::npos) << Status();
        const std::string written = machine.dir().file(c.written);
        ASSERT_TRUE(std::filesystem::exists(written)) << testing::PrintToString(ui_.texts());
        if (std::string(c.typed) != c.written) {
            EXPECT_FALSE(std::filesystem::exists(machine.dir().file(c.typed)));
        }
        // A fixed VHD has only its footer to be known by: qemu-img is told the format, and refuses a raw file.
        auto info = test_support::Run("qemu-img info -f vpc --output=json " + test_support::Quote(written));
        EXPECT_EQ(info.exit_code, 0) << info.output;
        EXPECT_NE(info.output.find("\"format\": \"vpc\""), std::string::npos) << info.output;
        auto same = test_support::Run("qemu-img compare -f vpc -F raw " + test_support::Quote(written) + " " +
                                      machine.image(0));
        EXPECT_EQ(same.exit_code, 0) << same.output;
        const bool fixed = std::filesystem::file_size(written) == std::filesystem::file_size(machine.image(0)) + 512;
        EXPECT_EQ(fixed, std::string(c.subformat) == "fixed");
    }
}

TEST_F(OperationResults, AMachineThatCannotBeToldIsSaidOnce) {
    EmbeddedMachine machine({DiskSpec{}});
    test_support::WriteWholeFile(machine.manifest(), "[disk0]\nimage=disk0.img\nsector_size=3000\n");
    platform::device::Registry::Reset();
    Open();
    Settle();
    window_->RefreshDrives1Click();
    Settle();
    const std::string said = "TARNOVELL_HOST manifest " + machine.manifest() +
                             ": line 3: sector_size=3000 is not a power of two from 512 to 4096";
    std::vector<std::string> informs;
    for (const auto& exchange : ui_.log())
        if (exchange.kind == platform::ScriptedInteraction::Exchange::Inform) informs.push_back(exchange.text);
    EXPECT_EQ(informs, std::vector<std::string>{said});
    EXPECT_EQ(Status(), said);
    EXPECT_TRUE(window_->rows().empty());
    EXPECT_FALSE(std::filesystem::exists(machine.manifest() + ".state.lock"));
}

}  // namespace
