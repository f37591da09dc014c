// "Wipe Disk", "Wipe Volume" and "Clean Volume" from the side bar, and the
// Speed Test tab, over a machine of image files.
#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCoreApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTreeWidget>

#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"
#include "support/status_log.h"
#include "support/test_application.h"
#include "support/window_test_helpers.h"

using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using window_test::SelectDevice;

namespace {

DiskSpec FatDisk() {
    return DiskSpec{8 << 20,
                    {"head -c 8388608 /dev/urandom | dd of=%s conv=notrunc status=none",
                     "printf 'label: dos\\nstart=2048,size=8192,type=6\\n' | sfdisk -q %s",
                     "mkfs.fat -F 12 -n WIPEME --offset 2048 %s 4096 >/dev/null"},
                    ""};
}

class WipeWindow : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::TestApplication();
        window_ = new tarnovell::Tfrmmain(state_);
        status_ = test_support::WatchStatus(window_->statusBar());
        list_ = window_->findChild<QTreeWidget*>("lvdisks");
    }
    void TearDown() override { delete window_; }

    QPushButton* SideBarButton(const char* name) { return window_->findChild<QPushButton*>(name); }
    std::string Status() const { return status_->last(); }

    EmbeddedMachine machine_{{FatDisk(), DiskSpec{4 << 20, {}, ""}}};
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    test_support::StatusLog* status_ = nullptr;
    QTreeWidget* list_ = nullptr;
};

}  // namespace

TEST_F(WipeWindow, WipeButtonsAreWiredAndWipeTheSelectedDevice) {
    for (const char* name : {"JvOutlookBar1Pages1Buttons8", "JvOutlookBar1Pages1Buttons9", "JvOutlookBar1Pages2Buttons9"}) {
        ASSERT_NE(SideBarButton(name), nullptr) << name;
        EXPECT_TRUE(SideBarButton(name)->isEnabled()) << name;
    }
    // The Clean Volume button has always carried the eighth place's name.
    EXPECT_EQ(SideBarButton("JvOutlookBar1Pages1Buttons8")->text(), "Clean Volume");

    // Nothing selected.
    list_->clearSelection();
    SideBarButton("JvOutlookBar1Pages2Buttons9")->click();
    EXPECT_EQ(ui_.texts().back(), "pick a disk/part");

    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    ui_.answer_confirm(true);
    SideBarButton("JvOutlookBar1Pages2Buttons9")->click();  // Wipe Disk
    EXPECT_EQ(ui_.texts().back(), "Wipe \\\\.\\PhysicalDrive0?");
    EXPECT_EQ(test_support::Run("cmp -n 8388608 " + machine_.image(0) + " /dev/zero").exit_code, 0);
    EXPECT_EQ(Status().rfind("done in ", 0), 0u) << Status();
}

TEST_F(WipeWindow, CleanVolumeWantsAPartitionAndSaysWhatItFound) {
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    SideBarButton("JvOutlookBar1Pages1Buttons8")->click();
    EXPECT_EQ(ui_.texts().back(), "pick a part");

    ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
    ui_.answer_confirm(true);
    SideBarButton("JvOutlookBar1Pages1Buttons8")->click();
    EXPECT_EQ(ui_.texts().back().rfind("could not get ntfs data, not a NTFS volume?", 0), 0u) << ui_.texts().back();
}

TEST_F(WipeWindow, SpeedTestTabHasItsControlsAndReadsTheChosenVolume) {
    auto* buffer = window_->findChild<QComboBox*>("cb_buffersize");
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->currentText(), "64 kbytes");
    EXPECT_EQ(buffer->count(), 4);
    ASSERT_NE(window_->findChild<QRadioButton*>("rb_none"), nullptr);
    EXPECT_TRUE(window_->findChild<QRadioButton*>("rb_none")->isChecked());
    for (const char* name : {"btn_write_seq", "btn_read_seq", "btn_write_rnd", "btn_read_rnd", "btn_test_cancel"})
        ASSERT_NE(window_->findChild<QPushButton*>(name), nullptr) << name;

    auto* drive = window_->findChild<QComboBox*>("drive_speed");
    ASSERT_GT(drive->count(), 0);
    EXPECT_EQ(drive->currentText(), "C: [WIPEME]");
    window_->findChild<QPushButton*>("btn_read_seq")->click();
    EXPECT_EQ(Status().rfind("done in ", 0), 0u) << Status();
    EXPECT_EQ(window_->findChild<QProgressBar*>("pb_speed")->value(), 100);

    window_->findChild<QPushButton*>("btn_test_cancel")->click();
    EXPECT_TRUE(state_.cancel);
    state_.cancel = false;
}
