// The raw-image window: sizes read in their units and refused when they
// are no size, images made sparse or reserved with a VMDK descriptor that
// qemu-img opens, and existing files that are kept on "No" or that are no
// regular file.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/base/interaction.h"
#include "support/dialog_test_helpers.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "tools/rawdisk/ufrmrawdisk.h"

namespace {

namespace fs = std::filesystem;
using tarnovell::Tfrmrawdisk;
using test_support::Quote;

TEST(RawImageSize, ReadsTheUnitsAndRefusesWhatIsNoSize) {
    struct Case {
        const char* typed;
        std::int64_t unit;
        std::optional<std::int64_t> bytes;
    };
    const Case cases[] = {
        {"1024", 1048576, 1073741824},
        {"3", 1024, 3072},
        {"512", 1, 512},
        {"0", 1, 0},
        {"abc", 1, std::nullopt},
        {"", 1024, std::nullopt},
        {"-1", 1, std::nullopt},
        {"9223372036854775807", 1, INT64_MAX},
        {"9223372036854775807", 1024, std::nullopt},      // too large for 64 bits
        {"9223372036854775808", 1, std::nullopt},         // not even a 64-bit number
    };
    for (const auto& c : cases) {
        std::string problem;
        EXPECT_EQ(tarnovell::RawImageSize(c.typed, c.unit, problem), c.bytes) << c.typed << " x " << c.unit;
        EXPECT_EQ(problem.empty(), c.bytes.has_value()) << c.typed;
    }
}

class RawDiskWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }

    test_support::TempDir dir_;
    std::string image_ = dir_.file("disk.img");
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    Tfrmrawdisk window_;
};

TEST_F(RawDiskWindow, MakesASparseGigabyteWithItsDescriptor) {
    EXPECT_EQ(window_.txt_sparse_size->text(), "1024");
    EXPECT_TRUE(window_.rbmb->isChecked());
    window_.txtsparse_file->setText(QString::fromStdString(image_));
    window_.chk_sparse->setChecked(true);
    window_.chk_vm->setChecked(true);
    window_.btn_make_raw->click();
    EXPECT_EQ(ui_.texts().back(), "Ok!");
    EXPECT_EQ(fs::file_size(image_), 1073741824u);
    EXPECT_LT(std::stoll(test_support::Run("du -k " + Quote(image_) + " | cut -f1").output), 1024);
    ASSERT_TRUE(dialog_test::Exists(image_ + ".vmdk"));
    if (test_support::HaveTool("qemu-img")) {
        const std::string info = test_support::Run("qemu-img info " + Quote(image_ + ".vmdk")).output;
        EXPECT_NE(info.find("file format: vmdk"), std::string::npos) << info;
        EXPECT_NE(info.find("1073741824 bytes"), std::string::npos) << info;
    }
}

TEST_F(RawDiskWindow, ReservesTheSpaceWhenNotSparse) {
    window_.txtsparse_file->setText(QString::fromStdString(image_));
    window_.txt_sparse_size->setText("4");
    window_.chk_sparse->setChecked(false);
    window_.btn_make_raw->click();
    EXPECT_EQ(fs::file_size(image_), 4u << 20);
    EXPECT_GE(std::stoll(test_support::Run("du -k " + Quote(image_) + " | cut -f1").output), 4096);
    EXPECT_FALSE(dialog_test::Exists(image_ + ".vmdk"));
}

TEST_F(RawDiskWindow, KeepsWhatItMayNotReplace) {
    // "No" keeps the file, whether asked on picking it or on making.
    dialog_test::WriteFile(image_, "keep me");
    ui_.answer_confirm(false);
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(image_));
        window_.btn_open_raw->click();
    }
    EXPECT_EQ(window_.txtsparse_file->text().toStdString(), image_);
    ui_.answer_confirm(false);
    window_.btn_make_raw->click();
    EXPECT_EQ(test_support::ReadWholeFile(image_), "keep me");
    for (const auto& text : ui_.texts()) EXPECT_NE(text, "Ok!");

    // A folder or a link in the way is never deleted, even on Yes.
    ui_.set_default_confirm(true);
    const std::string folder = dir_.file("folder.img"), link = dir_.file("link.img");
    fs::create_directory(folder);
    fs::create_symlink(image_, link);
    for (const std::string& in_the_way : {folder, link}) {
        window_.txtsparse_file->setText(QString::fromStdString(in_the_way));
        window_.btn_make_raw->click();
        EXPECT_TRUE(dialog_test::Exists(in_the_way));
    }
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(test_support::ReadWholeFile(image_), "keep me");

    // A size that is no size makes nothing.
    const std::string other = dir_.file("other.img");
    window_.txtsparse_file->setText(QString::fromStdString(other));
    window_.txt_sparse_size->setText("99999999999999999");
    window_.btn_make_raw->click();
    EXPECT_FALSE(dialog_test::Exists(other));
}

TEST_F(RawDiskWindow, AnImageThatCannotBeMadeKeepsTheFileItWasToReplace) {
    dialog_test::WriteFile(image_, "keep me");
    window_.txtsparse_file->setText(QString::fromStdString(image_));
    window_.rbb->setChecked(true);
    window_.txt_sparse_size->setText("9223372036854775807");  // no file system takes it
    for (bool sparse : {true, false}) {
        window_.chk_sparse->setChecked(sparse);
        ui_.answer_confirm(true);
        window_.btn_make_raw->click();
        EXPECT_EQ(ui_.texts().back().rfind("_make_sparse_file:", 0), 0u) << ui_.texts().back();
        EXPECT_EQ(test_support::ReadWholeFile(image_), "keep me");
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), fs::directory_iterator()), 1) << "no other file";

    // What can be made replaces the file once it is whole.
    window_.txt_sparse_size->setText("4096");
    ui_.answer_confirm(true);
    window_.btn_make_raw->click();
    EXPECT_EQ(ui_.texts().back(), "Ok!");
    EXPECT_EQ(fs::file_size(image_), 4096u);
}

}  // namespace
