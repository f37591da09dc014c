// The apply window from the hub: the images of the chosen WIM listed to pick
// from, the chosen one applied (compared with what was captured), and the
// index checks that stop before any worker starts.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include <filesystem>

#include "support/wim_window_fixture.h"
#include "tools/wim/apply/ufrmapply.h"

namespace {

using tarnovell::Tfrmapply;
namespace ts = test_support;

class ApplyWindow : public wim_test::WimWindowTest {
protected:
    void SetUp() override {
        WimWindowTest::SetUp();
        if (IsSkipped()) return;
        source_ = wim_test::MakeSourceFolder(dir_);
        wim_ = dir_.file("two.wim");
        auto made = wim_test::MakeTwoImageWim(wim_, source_ + "/sub", "Only the sub-folder", source_, "Everything");
        ASSERT_EQ(made.exit_code, 0) << made.output;
        target_ = dir_.file("applied");
        std::filesystem::create_directories(target_);
    }
    Tfrmapply* Open() {
        tarnovell::Tfrmwim* hub = OpenHub();
        return hub ? OpenFromHub<Tfrmapply>(hub, hub->btn_wimapply) : nullptr;
    }
    static QStringList Items(const QComboBox* combo) {
        QStringList items;
        for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
        return items;
    }

    std::string source_, wim_, target_;
};

TEST_F(ApplyWindow, ListsTheImagesOfTheChosenWimAndAppliesTheOnePicked) {
    Tfrmapply* window = Open();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "WIM Apply");
    EXPECT_EQ(window->txtIndex->text(), "1");
    EXPECT_EQ(window->cmb_images->count(), 0);

    Choose({wim_, target_});
    window->findChild<QPushButton*>("btn_source")->click();
    window->findChild<QPushButton*>("btn_target")->click();
    EXPECT_EQ(window->txttarget->text().toStdString(), target_);
    EXPECT_EQ(Items(window->cmb_images), QStringList({"1 - Only the sub-folder", "2 - Everything"}));
    EXPECT_EQ(window->cmb_images->currentIndex(), 0);  // the typed "1"

    window->cmb_images->setCurrentIndex(1);
    emit window->cmb_images->activated(1);
    EXPECT_EQ(window->txtIndex->text(), "2");
    window->btn_ok->click();
    Settle();
    EXPECT_TRUE(window->StatusBar1->currentMessage().endsWith(" terminated with code:0"))
        << window->StatusBar1->currentMessage().toStdString() << testing::PrintToString(ui_.texts());
    EXPECT_EQ(window->pb_img->value(), 100);
    const auto diff = ts::Run("diff -r " + ts::Quote(source_) + " " + ts::Quote(target_));
    EXPECT_EQ(diff.exit_code, 0) << diff.output;

    // A file typed in is listed once the field is left; one that is no WIM
    // lists nothing.
    wim_test::WriteFile(dir_.file("text.wim"), "text");
    window->txtsource->setText(QString::fromStdString(dir_.file("text.wim")));
    emit window->txtsource->editingFinished();
    EXPECT_EQ(window->cmb_images->count(), 0);
}

TEST_F(ApplyWindow, IndexChecksStopBeforeAnyWorker) {
    Tfrmapply* window = Open();
    ASSERT_NE(window, nullptr);
    window->txtsource->setText(QString::fromStdString(wim_));
    window->txttarget->setText(QString::fromStdString(target_));
    struct Case {
        const char* index;
        const char* reference;
        std::vector<std::string> said;
    };
    const std::vector<Case> cases = {
        {"", "", {}},  // nothing at all happens
        {"0", "", {"Image Index must be 1 or more"}},
        {"-2", "", {"Image Index must be 1 or more"}},
        {"two", "", {"'two' is not a valid integer value"}},
        {"1", "absent.wim", {"reference file does not exist"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        platform::ScriptedInteraction answers;
        platform::ScopedInteraction scope(answers);
        window->txtIndex->setText(c.index);
        window->txtreference->setText(*c.reference ? QString::fromStdString(dir_.file(c.reference)) : QString());
        window->btn_ok->click();
        Settle();
        EXPECT_EQ(answers.texts(), c.said);
        EXPECT_TRUE(window->StatusBar1->currentMessage().isEmpty());
    }
    EXPECT_TRUE(wim_test::Listing(target_).empty());

    // An index the file does not have: the worker says which call failed.
    window->txtIndex->setText("3");
    window->txtreference->clear();
    window->btn_ok->click();
    Settle();
    EXPECT_EQ(ui_.texts(), std::vector<std::string>{"WIMLoadImage failed," +
                                                    std::to_string(platform::ERROR_INVALID_PARAMETER)});
    EXPECT_FALSE(window->StatusBar1->currentMessage().endsWith(" terminated with code:0"));
}

}  // namespace
