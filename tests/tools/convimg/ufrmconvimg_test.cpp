// The VMDK-descriptor window: a descriptor for an existing raw image that
// qemu-img opens as that image, and a wrong extension refused.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>

#include <filesystem>
#include <string>

#include "platform/base/interaction.h"
#include "support/dialog_test_helpers.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "tools/convimg/ufrmconvimg.h"

namespace {

using test_support::Quote;

class ConvImgWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }
    void SetUp() override {
        std::filesystem::resize_file((dialog_test::WriteFile(image_, ""), image_), 3 << 20);
    }

    test_support::TempDir dir_;
    std::string image_ = dir_.file("disk.img");
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::Tfrmconvimg window_;
};

TEST_F(ConvImgWindow, WritesADescriptorOfTheImage) {
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(image_));
        window_.Button3->click();
    }
    EXPECT_EQ(window_.txtimgfile->text().toStdString(), image_);
    const std::string descriptor = dir_.file("disk.vmdk");
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(descriptor));
        window_.btn_make_vmdk->click();
    }
    EXPECT_EQ(ui_.texts().back(), "Done! You may want to change the adaptertype to lsilogic or ide in the vmdk file.");
    EXPECT_EQ(window_.StatusBar1->currentMessage().toStdString(), descriptor + " generated");
    if (!test_support::HaveTool("qemu-img")) return;
    const std::string info = test_support::Run("qemu-img info " + Quote(descriptor)).output;
    EXPECT_NE(info.find("file format: vmdk"), std::string::npos) << info;
    EXPECT_NE(info.find("3145728 bytes"), std::string::npos) << info;
    // Read through the descriptor, the disk is the image itself.
    std::filesystem::resize_file(image_, 3 << 20);
    EXPECT_EQ(test_support::Run("printf marker | dd of=" + Quote(image_) + " bs=1 seek=1048576 conv=notrunc 2>/dev/null")
                  .exit_code,
              0);
    EXPECT_EQ(test_support::Run("qemu-img compare -f vmdk -F raw " + Quote(descriptor) + " " + Quote(image_)).exit_code,
              0);
}

TEST_F(ConvImgWindow, RefusesAWrongExtensionAndAnEmptyName) {
    const std::string wrong = dir_.file("disk.txt");
    dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(wrong));
    window_.btn_make_vmdk->click();  // no image named: nothing at all
    EXPECT_TRUE(ui_.texts().empty());
    window_.txtimgfile->setText(QString::fromStdString(image_));
    window_.btn_make_vmdk->click();
    EXPECT_EQ(ui_.texts().back(), "wrong extension!");
    EXPECT_FALSE(dialog_test::Exists(wrong));
}

}  // namespace
