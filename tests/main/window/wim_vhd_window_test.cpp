// WIM and VHD images from the window's "Backup to Image" and "Restore from
// Image": the options dialog, the file dialog with its filter, then the
// worker, with the window's commands disabled while it runs.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QRadioButton>
#include <QTimer>
#include <QTreeWidget>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "main/dialogs/dlg_backup.h"
#include "main/dialogs/file_dialog.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"
#include "support/ntfs_volumes.h"
#include "support/test_application.h"
#include "support/window_test_helpers.h"

using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using window_test::AnswerBackupDialog;
using window_test::AnswerFileDialogs;
using window_test::SelectDevice;

namespace {

bool Have(const char* tool) { return test_support::Run(std::string("command -v ") + tool).exit_code == 0; }

class WindowImages : public window_test::MainWindowTest {
protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        platform::set_pump([] { QCoreApplication::processEvents(); });
    }
    void Open() {
        MainWindowTest::Open();
        // The window's commands, observed each time the wait loop lets messages through.
        side_bar_ = window_->findChild<QWidget*>("JvOutlookBar1");
    }

    QWidget* side_bar_ = nullptr;
};

TEST_F(WindowImages, DynamicVhdBackupOfADiskAndItsRestore) {
    if (!Have("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
    if (!Have("nbdfuse") || !std::filesystem::exists("/dev/fuse")) GTEST_SKIP() << "nbdfuse or FUSE is missing";
    DiskSpec source{12 << 20,
                    {"printf 'label: dos\\nstart=2048,size=8192,type=83\\n' | sfdisk -q %s",
                     "head -c 3000000 /dev/urandom | dd of=%s bs=1M seek=5 conv=notrunc status=none"},
                    ""};
    EmbeddedMachine machine({source, DiskSpec{12 << 20, {}, ""}});
    Open();
    const std::string vhd = machine.dir().file("disk0.vhd");
    int file_dialogs = 0;
    tarnovell::SetFileDialogHook([&](QFileDialog& dialog) {
        ++file_dialogs;
        dialog.selectNameFilter(dialog.nameFilters().value(1));  // "Dynamic VHD File"
        dialog.selectFile(QString::fromStdString(vhd));
        return static_cast<int>(QDialog::Accepted);
    });

    std::vector<bool> side_bar_enabled;
    bool tried_another = false;
    platform::set_pump([&] {
        side_bar_enabled.push_back(side_bar_->isEnabled());
        // A command reached some other way while the copy runs does nothing.
        if (!tried_another) {
            tried_another = true;
            window_->BackupRAW1Click();
        }
        QCoreApplication::processEvents();
    });
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    AnswerBackupDialog("rbVHD");
    window_->BackupToImage();
    ASSERT_TRUE(std::filesystem::exists(vhd)) << testing::PrintToString(ui_.texts());
    auto info = test_support::Run("qemu-img info --output=json " + vhd);
    EXPECT_NE(info.output.find("\"format\": \"vpc\""), std::string::npos) << info.output;
    EXPECT_EQ(test_support::Run("qemu-img compare -f vpc -F raw " + vhd + " " + machine.image(0)).exit_code, 0);
    // Dynamic: the file holds the written blocks only.
    EXPECT_LT(std::filesystem::file_size(vhd), 12u << 20);
    ASSERT_FALSE(side_bar_enabled.empty());
    for (bool enabled : side_bar_enabled) EXPECT_FALSE(enabled);
    EXPECT_TRUE(side_bar_->isEnabled());
    EXPECT_TRUE(tried_another);
    EXPECT_EQ(file_dialogs, 1);

    AnswerFileDialogs(vhd, 1);
    ASSERT_TRUE(SelectDevice(list_, "DISK 1"));
    AnswerBackupDialog("rbVHD");
    window_->RestoreFromImage();
    auto cmp = test_support::Run("cmp " + machine.image(0) + " " + machine.image(1));
    EXPECT_EQ(cmp.exit_code, 0) << cmp.output << testing::PrintToString(ui_.texts());
}

TEST_F(WindowImages, VhdAndWimChecksStopBeforeTheFileDialog) {
    DiskSpec source{12 << 20, {"printf 'label: dos\\nstart=2048,size=8192,type=83\\n' | sfdisk -q %s", "mkfs.fat -S 512 --offset 2048 %s 4096 >/dev/null"}, ""};
    EmbeddedMachine machine({source});
    Open();
    int dialogs = 0;
    tarnovell::SetFileDialogHook([&](QFileDialog&) {
        ++dialogs;
        return static_cast<int>(QDialog::Rejected);
    });
    ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
    AnswerBackupDialog("rbVHD");
    window_->BackupToImage();
    AnswerBackupDialog("rbVHD");
    window_->RestoreFromImage();
    EXPECT_EQ(dialogs, 0);
    EXPECT_EQ(ui_.texts(), (std::vector<std::string>{"VHD format is for physical drives only",
                                                     "VHD format is for physical drives only"}));
}

TEST_F(WindowImages, WimCaptureOfAnNtfsVolumeAndItsApplyOntoAnother) {
    for (const char* tool : {"mkntfs", "ntfscat", "wimlib-imagex", "losetup"})
        if (!Have(tool)) GTEST_SKIP() << tool << " is not installed";
    if (::geteuid() != 0) GTEST_SKIP() << "an unmounted volume is read through a loop device, which needs root";
    test_support::TempDir parts;
    test_support::NtfsVolumes volumes;
    ASSERT_NO_FATAL_FAILURE(test_support::MakeNtfsVolumes(parts, "captured from the window\n", volumes));
    EmbeddedMachine machine({volumes.disk});
    Open();
    const std::string wim = machine.dir().file("volume.wim");
    AnswerFileDialogs(wim, 1);

    ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<tarnovell::Tfrmbackup*>(w); dialog && dialog->isVisible()) {
                dialog->rbwim->click();
                dialog->rb_lzx->click();
                dialog->accept();
            }
    });
    window_->BackupToImage();
    const std::string info = test_support::Run("wimlib-imagex info " + wim).output;
    EXPECT_NE(info.find("Compression:    LZX"), std::string::npos) << info << testing::PrintToString(ui_.texts());
    EXPECT_NE(test_support::Run("wimlib-imagex dir " + wim + " 1").output.find("/docs/note.txt"), std::string::npos);

    // A typed index that is no number, or below 1, stops before anything
    // is written.
    ASSERT_TRUE(SelectDevice(list_, "PART 0,2"));
    for (const auto& [typed, said] : {std::pair{"first", "'first' is not a valid integer value"},
                                      std::pair{"0", "Image Index must be 1 or more"}}) {
        ui_.answer_input(std::string(typed));
        AnswerBackupDialog("rbwim");
        window_->RestoreFromImage();
        ASSERT_FALSE(ui_.texts().empty());
        EXPECT_EQ(ui_.texts().back(), said);
    }

    ui_.answer_input(std::string("1"));
    AnswerBackupDialog("rbwim");
    window_->RestoreFromImage();
    const std::string applied = test_support::SecondNtfsVolume(machine);
    auto note = test_support::Run("ntfscat " + applied + " docs/note.txt");
    EXPECT_EQ(note.output, "captured from the window\n") << testing::PrintToString(ui_.texts());
}

}  // namespace
