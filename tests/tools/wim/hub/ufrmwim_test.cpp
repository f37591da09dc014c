// The WIM hub, opened from the main window's side bar: its information,
// boot image, image-information and library commands (checked with
// wimlib-imagex), and closing it while a window it owns runs a worker.
#include <gtest/gtest.h>

#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <filesystem>

#include "support/wim_window_fixture.h"
#include "tools/wim/capture/ufrmcapture.h"
#include "tools/wim/setinfo/ufrmwimsetimageinfo.h"

namespace {

using tarnovell::Tfrmwim;
namespace ts = test_support;

class WimHub : public wim_test::WimWindowTest {
protected:
    void SetUp() override {
        WimWindowTest::SetUp();
        if (IsSkipped()) return;
        source_ = wim_test::MakeSourceFolder(dir_);
        wim_ = dir_.file("two.wim");
        ASSERT_EQ(wim_test::MakeTwoImageWim(wim_, source_, "First", source_ + "/sub", "Second").exit_code, 0);
    }
    // Answers the next image-information dialog with these fields, or
    // cancels it.
    static void AnswerSetInfo(const QString& attribute, const QString& value, const QString& index,
                              const QString& file, bool ok = true) {
        QTimer::singleShot(0, [=] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<tarnovell::TfrmWimSetImageInfo*>(w); dialog && dialog->isVisible()) {
                    EXPECT_EQ(dialog->windowTitle(), "WimSetImageInfo");
                    EXPECT_EQ(dialog->txtindex->text(), "1");
                    dialog->txtattribute->setText(attribute);
                    dialog->txtvalue->setText(value);
                    dialog->txtindex->setText(index);
                    dialog->txtwim->setText(file);
                    (ok ? dialog->btn_ok : dialog->btn_cancel)->click();
                }
        });
    }
    std::string Info(int index) { return ts::Run("wimlib-imagex info " + wim_ + " " + std::to_string(index)).output; }

    std::string source_, wim_;
};

TEST_F(WimHub, EachClickOpensANewHubWithItsButtons) {
    Tfrmwim* first = OpenHub();
    Tfrmwim* second = OpenHub();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->windowTitle(), "WIM Image");
    EXPECT_EQ(first->parent(), nullptr);  // owned by the application
    EXPECT_TRUE(first->testAttribute(Qt::WA_DeleteOnClose));
    QStringList captions;
    for (QPushButton* button : {first->btn_wiminfo, first->btn_wimcapture, first->btn_wimapply, first->btn_wimexport,
                                first->btn_wimsetboot, first->Button3, first->btn_wimmount, first->btn_wimgapi_dll})
        captions << button->text();
    EXPECT_EQ(captions, QStringList({"Get Infos", "Capture", "Apply", "Export", "SetBoot", "SetInfo", "Mount", "DLL"}));
}

TEST_F(WimHub, GetInfosShowsTheXmlAndDllTheLibrary) {
    Tfrmwim* hub = OpenHub();
    ASSERT_NE(hub, nullptr);
    Choose({wim_});
    hub->btn_wiminfo->click();
    const QString xml = hub->memo_wim->toPlainText();
    EXPECT_TRUE(xml.startsWith("<WIM>")) << xml.toStdString();
    EXPECT_TRUE(xml.contains("<NAME>Second</NAME>")) << xml.toStdString();

    hub->btn_wimgapi_dll->click();
    const QStringList lines = hub->memo_wim->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("path=") && lines[0].contains("libwim")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("version=")) << lines[1].toStdString();

    // Cancelling the file dialog clears the memo and does nothing more.
    hub->btn_wiminfo->click();
    EXPECT_TRUE(hub->memo_wim->toPlainText().isEmpty());
    EXPECT_TRUE(ui_.texts().empty());
}

TEST_F(WimHub, SetBootMarksTheImageTypedAndRefusesAnIndexBelowOne) {
    Tfrmwim* hub = OpenHub();
    ASSERT_NE(hub, nullptr);
    Choose({wim_});
    ui_.answer_input(std::string("2"));
    hub->btn_wimsetboot->click();
    EXPECT_EQ(hub->StatusBar1->currentMessage(), "WIMSetBootImage OK");
    EXPECT_NE(wim_test::WimlibInfo(wim_).find("Boot Index:     2"), std::string::npos) << wim_test::WimlibInfo(wim_);

    Choose({wim_});
    ui_.answer_input(std::string("0"));
    hub->btn_wimsetboot->click();
    EXPECT_EQ(ui_.texts().back(), "Image Index must be 1 or more");
    Choose({wim_});
    ui_.answer_input(std::string("5"));
    hub->btn_wimsetboot->click();
    EXPECT_EQ(ui_.texts().back(), "WIMSetBootImage failed," + std::to_string(platform::ERROR_INVALID_PARAMETER));
    EXPECT_NE(wim_test::WimlibInfo(wim_).find("Boot Index:     2"), std::string::npos);
}

TEST_F(WimHub, SetInfoStoresTheValueAsTyped) {
    Tfrmwim* hub = OpenHub();
    ASSERT_NE(hub, nullptr);
    const QString file = QString::fromStdString(wim_);
    AnswerSetInfo("NAME", "Test", "2", file);
    hub->Button3->click();
    EXPECT_EQ(hub->StatusBar1->currentMessage(), "WIMSetImageInformation OK") << testing::PrintToString(ui_.texts());
    EXPECT_NE(Info(2).find("Name:                   Test\n"), std::string::npos) << Info(2);

    AnswerSetInfo("DESCRIPTION", "<i>x</i> & <NAME>y</NAME>", "2", file);
    hub->Button3->click();
    EXPECT_NE(Info(2).find("Description:            <i>x</i> & <NAME>y</NAME>\n"), std::string::npos) << Info(2);
    EXPECT_NE(Info(2).find("Name:                   Test\n"), std::string::npos) << Info(2);

    // Cancel, an empty file and a refused index leave the file as it is.
    const std::string before = ts::ReadWholeFile(wim_);
    AnswerSetInfo("NAME", "Never", "2", file, false);
    hub->Button3->click();
    AnswerSetInfo("NAME", "Never", "2", "");
    hub->Button3->click();
    AnswerSetInfo("NAME", "Never", "0", file);
    hub->Button3->click();
    AnswerSetInfo("NA ME", "Never", "1", file);
    hub->Button3->click();
    EXPECT_EQ(ui_.texts(), (std::vector<std::string>{"Image Index must be 1 or more",
                                                     "'NA ME' is not a valid attribute name"}));
    EXPECT_EQ(ts::ReadWholeFile(wim_), before);
}

TEST_F(WimHub, ClosingWaitsForTheWorkerOfAWindowItOwns) {
    Tfrmwim* hub = OpenHub();
    ASSERT_NE(hub, nullptr);
    QPointer<Tfrmwim> hub_alive(hub);
    auto* capture = OpenFromHub<tarnovell::Tfrmcapture>(hub, hub->btn_wimcapture);
    ASSERT_NE(capture, nullptr);
    QPointer<tarnovell::Tfrmcapture> capture_alive(capture);
    const std::string slow = dir_.file("slow");
    std::filesystem::create_directories(slow);
    ts::MakeSparseFile(slow + "/huge.bin", std::int64_t{16} << 30);
    capture->txtsource->setText(QString::fromStdString(slow));
    capture->txttarget->setText(QString::fromStdString(dir_.file("slow.wim")));
    bool asked = false, both_stayed = true;
    platform::set_pump([&] {
        if (!asked) {
            asked = true;
            hub_alive->close();
        }
        both_stayed = both_stayed && hub_alive && hub_alive->isVisible() && capture_alive && capture_alive->isVisible();
        QCoreApplication::processEvents();
    });
    capture->btn_ok->click();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(both_stayed);
    Settle();
    EXPECT_FALSE(capture_alive);
    EXPECT_FALSE(hub_alive);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("slow.wim")));
}

}  // namespace
