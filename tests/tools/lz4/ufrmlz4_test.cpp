// The LZ4 window: the destination it proposes, a file packed and unpacked
// again (checked with the lz4 tool), and the cases that must leave files
// alone: a wrong extension, "No" to replacing, a file onto itself.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>

#include <string>

#include "platform/base/interaction.h"
#include "support/dialog_test_helpers.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "tools/lz4/ufrmlz4.h"

namespace {

using tarnovell::Tfrmlz4;
using test_support::Quote;

class Lz4Window : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }

    void SetUp() override {
        // Bytes that pack and bytes that do not, over more than one block.
        data_.assign(3 << 20, '\0');
        std::uint32_t x = 12345;
        for (std::size_t i = 0; i < data_.size() / 2; ++i) {
            x = x * 1664525u + 1013904223u;
            data_[i] = static_cast<char>(x >> 24);
        }
        dialog_test::WriteFile(source_, data_);
    }

    void Fill(const std::string& from, const std::string& to) {
        window_.txtsource->setText(QString::fromStdString(from));
        window_.txtdestination->setText(QString::fromStdString(to));
    }

    test_support::TempDir dir_;
    std::string source_ = dir_.file("disk.img"), packed_ = dir_.file("disk.img.lz4");
    std::string data_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    Tfrmlz4 window_;
};

TEST_F(Lz4Window, ProposesTheOtherName) {
    const std::pair<const char*, const char*> cases[] = {
        {"/x/disk.img", "/x/disk.img.lz4"}, {"/x/disk.img.lz4", "/x/disk.img"}, {"/x/DISK.LZ4", "/x/DISK"}};
    for (const auto& [picked, proposed] : cases) EXPECT_EQ(tarnovell::Lz4DestinationFor(picked), proposed);

    dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(source_));
    window_.btnfile->click();
    EXPECT_EQ(window_.txtsource->text().toStdString(), source_);
    EXPECT_EQ(window_.txtdestination->text().toStdString(), packed_);
}

TEST_F(Lz4Window, PacksAndUnpacksWhatTheLz4ToolReads) {
    if (!test_support::HaveTool("lz4")) GTEST_SKIP() << "needs lz4";
    ui_.set_default_confirm(true);  // "Overwrite ...?"
    Fill(source_, packed_);
    window_.btnCompress->click();
    ASSERT_TRUE(dialog_test::Exists(packed_)) << testing::PrintToString(ui_.texts());
    const std::string by_tool = dir_.file("by-tool");
    ASSERT_EQ(test_support::Run("lz4 -d -q -c " + Quote(packed_) + " > " + Quote(by_tool)).exit_code, 0);
    EXPECT_TRUE(test_support::ReadWholeFile(by_tool) == data_);

    const std::string back = dir_.file("back.img");
    Fill(packed_, back);
    window_.Button1->click();
    EXPECT_TRUE(test_support::ReadWholeFile(back) == data_);
    EXPECT_TRUE(window_.btnCompress->isEnabled());
}

TEST_F(Lz4Window, LeavesFilesAloneWhenItMust) {
    // A destination without ".lz4", and a source without it to unpack.
    Fill(source_, dir_.file("out.img"));
    window_.btnCompress->click();
    EXPECT_FALSE(dialog_test::Exists(dir_.file("out.img")));
    Fill(source_, dir_.file("out.img"));
    window_.Button1->click();
    EXPECT_FALSE(dialog_test::Exists(dir_.file("out.img")));
    ASSERT_EQ(ui_.texts().size(), 2u);
    for (const auto& text : ui_.texts()) EXPECT_EQ(text, "destination should have extension .lz4");

    // "No" to replacing an existing destination keeps it.
    dialog_test::WriteFile(packed_, "keep me");
    ui_.answer_confirm(false);
    Fill(source_, packed_);
    window_.btnCompress->click();
    EXPECT_EQ(test_support::ReadWholeFile(packed_), "keep me");

    // A file onto itself is refused, whatever is answered.
    ui_.set_default_confirm(true);
    Fill(packed_, packed_);
    window_.btnCompress->click();
    EXPECT_EQ(test_support::ReadWholeFile(packed_), "keep me");
}

}  // namespace
