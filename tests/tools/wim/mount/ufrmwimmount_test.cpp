// The mount window from the hub: an image mounted for reading, listed and
// unmounted; with "Commit" a change kept in the WIM; the index kept per
// window. Mounting needs root and FUSE.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>

#include <filesystem>
#include <fstream>

#include "support/wim_window_fixture.h"
#include "tools/wim/mount/ufrmwimmount.h"

namespace {

using tarnovell::Tfrmwimmount;
namespace ts = test_support;

class MountWindow : public wim_test::WimWindowTest {
protected:
    void SetUp() override {
        WimWindowTest::SetUp();
        if (IsSkipped()) return;
        if (!ts::IsRoot()) GTEST_SKIP() << "mounting an image needs root";
        if (!std::filesystem::exists("/dev/fuse")) GTEST_SKIP() << "mounting an image needs FUSE";
        source_ = wim_test::MakeSourceFolder(dir_);
        wim_ = dir_.file("two.wim");
        ASSERT_EQ(wim_test::MakeTwoImageWim(wim_, source_ + "/sub", "sub", source_, "all").exit_code, 0);
        folder_ = dir_.file("mount point");
    }
    void TearDown() override {
        if (!folder_.empty()) ts::Run("wimlib-imagex unmount " + ts::Quote(folder_) + " 2>/dev/null");
        WimWindowTest::TearDown();
    }
    Tfrmwimmount* Open() {
        tarnovell::Tfrmwim* hub = OpenHub();
        return hub ? OpenFromHub<Tfrmwimmount>(hub, hub->btn_wimmount) : nullptr;
    }
    std::string source_, wim_, folder_;
};

TEST_F(MountWindow, MountsAnImageForReadingListsItAndUnmounts) {
    Tfrmwimmount* window = Open();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Mount");
    EXPECT_EQ(window->btn_ok->text(), "Mount");
    EXPECT_EQ(window->btn_cancel->text(), "UnMount");
    EXPECT_EQ(window->chkcommit->text(), "Commit");
    Choose({wim_, folder_});
    window->findChild<QPushButton*>("btn_source")->click();
    window->findChild<QPushButton*>("btn_target")->click();
    EXPECT_EQ(window->txttarget->text().toStdString(), folder_);

    ui_.answer_input(std::string("2"));
    window->btn_ok->click();
    EXPECT_EQ(window->StatusBar1->currentMessage(), "WIMMountImage success") << testing::PrintToString(ui_.texts());
    EXPECT_EQ(ui_.log().at(0).text, "Enter Index of WIM Image");
    EXPECT_EQ(window->index, "2");
    EXPECT_EQ(wim_test::Listing(folder_), (std::vector<std::string>{"keep.txt", "secret.tmp", "sub"}));
    EXPECT_EQ(ts::Run("diff -r " + ts::Quote(source_) + " " + ts::Quote(folder_)).exit_code, 0);
    EXPECT_FALSE(std::ofstream(folder_ + "/new.txt")) << "mounted for reading only";

    window->btn_cancel->click();
    EXPECT_EQ(window->StatusBar1->currentMessage(), "WIMUnMountImage success");
    EXPECT_TRUE(wim_test::Listing(folder_).empty());
    window->btn_cancel->click();
    EXPECT_EQ(window->StatusBar1->currentMessage(),
              "WIMUnMountImage failed," + QString::number(platform::ERROR_NOT_FOUND));
}

TEST_F(MountWindow, CommitKeepsAChangeAndIndexChecksComeFirst) {
    Tfrmwimmount* window = Open();
    ASSERT_NE(window, nullptr);
    window->txtsource->setText(QString::fromStdString(wim_));
    window->txttarget->setText(QString::fromStdString(folder_));
    for (const char* typed : {"0", "x"}) {
        ui_.answer_input(std::string(typed));
        window->btn_ok->click();
    }
    EXPECT_EQ(ui_.texts(), (std::vector<std::string>{"Enter Index of WIM Image", "Image Index must be 1 or more",
                                                     "Enter Index of WIM Image", "'x' is not a valid integer value"}));
    EXPECT_EQ(window->index, "1");
    EXPECT_FALSE(std::filesystem::exists(folder_));

    window->chkcommit->setChecked(true);
    ui_.answer_input(std::string("1"));
    window->btn_ok->click();
    ASSERT_EQ(window->StatusBar1->currentMessage(), "WIMMountImage success");
    std::ofstream(folder_ + "/added.txt") << "kept by the commit";
    window->btn_cancel->click();
    EXPECT_EQ(window->StatusBar1->currentMessage(), "WIMUnMountImage success");
    EXPECT_NE(wim_test::WimlibDir(wim_, 1).find("/added.txt"), std::string::npos);
    EXPECT_EQ(ts::Run("wimlib-imagex verify " + wim_).exit_code, 0);
}

}  // namespace
