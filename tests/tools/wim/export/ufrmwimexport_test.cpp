// The export window from the hub: an image added to a new WIM and to one
// that exists (checked with wimlib-imagex), a file that is no WIM left alone,
// and its Cancel, which is the main window's.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>

#include "support/wim_window_fixture.h"
#include "tools/wim/export/ufrmwimexport.h"

namespace {

using tarnovell::Tfrmwimexport;
namespace ts = test_support;

class ExportWindow : public wim_test::WimWindowTest {
protected:
    Tfrmwimexport* Open() {
        tarnovell::Tfrmwim* hub = OpenHub();
        return hub ? OpenFromHub<Tfrmwimexport>(hub, hub->btn_wimexport) : nullptr;
    }
};

TEST_F(ExportWindow, AddsTheImageToANewWimAndToOneThatIsThere) {
    const std::string source = wim_test::MakeSourceFolder(dir_), esd = dir_.file("source.esd");
    ASSERT_EQ(ts::Run("wimlib-imagex capture " + ts::Quote(source) + " " + esd + " Exported --solid").exit_code, 0);
    Tfrmwimexport* window = Open();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "Export");
    EXPECT_EQ(window->btn_ok->text(), "Export");
    EXPECT_EQ(window->txtIndex->text(), "1");
    const std::string target = dir_.file("target.wim");
    Choose({esd, target});
    window->findChild<QPushButton*>("btn_source")->click();
    window->findChild<QPushButton*>("btn_target")->click();
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        window->btn_ok->click();
        Settle();
        EXPECT_TRUE(window->StatusBar1->currentMessage().endsWith(" terminated with code:0"))
            << window->StatusBar1->currentMessage().toStdString() << testing::PrintToString(ui_.texts());
        const std::string info = wim_test::WimlibInfo(target);
        EXPECT_NE(info.find("Image Count:    " + std::to_string(round)), std::string::npos) << info;
    }
    EXPECT_NE(wim_test::WimlibDir(target, 2).find("/sub/deeper/data.bin"), std::string::npos);
    EXPECT_EQ(ts::Run("wimlib-imagex verify " + target).exit_code, 0);

    // A target of that name that is no WIM stays as it is.
    wim_test::WriteFile(dir_.file("notes.wim"), "my notes");
    window->txttarget->setText(QString::fromStdString(dir_.file("notes.wim")));
    window->btn_ok->click();
    Settle();
    EXPECT_EQ(ts::ReadWholeFile(dir_.file("notes.wim")), "my notes");
    ASSERT_EQ(ui_.texts().size(), 1u);
    EXPECT_EQ(ui_.texts()[0].rfind("WIMCreateFile failed,", 0), 0u) << ui_.texts()[0];

    window->txtIndex->setText("0");
    window->btn_ok->click();
    Settle();
    EXPECT_EQ(ui_.texts().back(), "Image Index must be 1 or more");
}

TEST_F(ExportWindow, ItsCancelIsTheMainWindowsAndOkClearsIt) {
    Tfrmwimexport* window = Open();
    ASSERT_NE(window, nullptr);
    ASSERT_NE(main_, nullptr);
    EXPECT_FALSE(main_->state().cancel);
    window->btn_cancel->click();
    EXPECT_TRUE(main_->state().cancel);  // a WIM operation of the main window stops too
    window->txtIndex->clear();
    window->btn_ok->click();  // does nothing with an empty index but clear the flag
    EXPECT_FALSE(main_->state().cancel);
    EXPECT_TRUE(ui_.texts().empty());
    EXPECT_TRUE(window->StatusBar1->currentMessage().isEmpty());
}

}  // namespace
