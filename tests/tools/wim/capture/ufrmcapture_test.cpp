// The capture window from the hub: a folder and a volume of the machine
// captured (checked with wimlib-imagex), the reference check, the .esd name
// of an LZMS capture, and a window that is closed while its worker runs.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>

#include <filesystem>

#include "platform/device/registry.h"
#include "support/wim_window_fixture.h"
#include "tools/wim/capture/ufrmcapture.h"

namespace {

using tarnovell::Tfrmcapture;
using test_support::Quote;
namespace ts = test_support;
using wim_test::WimlibDir;
using wim_test::WimlibInfo;

class CaptureWindow : public wim_test::WimWindowTest {
protected:
    Tfrmcapture* Open() {
        tarnovell::Tfrmwim* hub = OpenHub();
        return hub ? OpenFromHub<Tfrmcapture>(hub, hub->btn_wimcapture) : nullptr;
    }
};

TEST_F(CaptureWindow, HasItsControlsAndChoices) {
    Tfrmcapture* window = Open();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "WIM Capture");
    EXPECT_EQ(window->chk_wimboot->text(), "WIMBOOT (Win8.1 U1 only)");
    QStringList compressions;
    for (int i = 0; i < window->wim_compress->count(); ++i) compressions << window->wim_compress->itemText(i);
    EXPECT_EQ(compressions, QStringList({"WIM_COMPRESS_NONE", "WIM_COMPRESS_XPRESS", "WIM_COMPRESS_LZX",
                                         "WIM_COMPRESS_LZMS"}));
    EXPECT_EQ(window->wim_compress->currentText(), "WIM_COMPRESS_XPRESS");
    EXPECT_EQ(window->btn_ok->text(), "OK");
    EXPECT_EQ(window->btn_cancel->text(), "Cancel");
    EXPECT_TRUE(window->testAttribute(Qt::WA_DeleteOnClose));
}

TEST_F(CaptureWindow, CapturesAFolderChosenWithTheDialogsIntoAWimAndAnEsd) {
    const std::string source = wim_test::MakeSourceFolder(dir_);
    wim_test::WriteFile(program_folder() + "Wimscript.ini", "[ExclusionList]\n\\secret.tmp\n");
    Tfrmcapture* window = Open();
    ASSERT_NE(window, nullptr);
    const std::string wim = dir_.file("folder.wim");
    Choose({source, wim});
    window->findChild<QPushButton*>("btn_source")->click();
    window->findChild<QPushButton*>("btn_target")->click();
    EXPECT_EQ(window->txtsource->text().toStdString(), source);
    EXPECT_EQ(window->txttarget->text().toStdString(), wim);
    window->wim_compress->setCurrentIndex(2);
    window->btn_ok->click();
    Settle();
    EXPECT_EQ(window->pb_img->value(), 100);
    EXPECT_TRUE(window->StatusBar1->currentMessage().endsWith(" terminated with code:0"))
        << window->StatusBar1->currentMessage().toStdString();
    EXPECT_NE(WimlibInfo(wim).find("Compression:    LZX"), std::string::npos) << WimlibInfo(wim);
    const std::string listing = WimlibDir(wim);
    EXPECT_EQ(listing.find("\n/secret.tmp"), std::string::npos) << listing;  // left out by Wimscript.ini
    EXPECT_NE(listing.find("/sub/secret.tmp"), std::string::npos) << listing;
    EXPECT_TRUE(ui_.texts().empty()) << testing::PrintToString(ui_.texts());

    // LZMS makes the ".esd" of the name, and asks about that file only.
    window->wim_compress->setCurrentIndex(3);
    window->btn_ok->click();
    Settle();
    EXPECT_TRUE(ui_.texts().empty()) << testing::PrintToString(ui_.texts());
    EXPECT_NE(WimlibInfo(dir_.file("folder.esd")).find("Compression:    LZMS"), std::string::npos);
    ui_.answer_confirm(true);
    window->btn_ok->click();
    Settle();
    EXPECT_EQ(ui_.texts(), std::vector<std::string>{"File exists! Delete?\r\n(No=Append)"});
    EXPECT_NE(WimlibInfo(dir_.file("folder.esd")).find("Image Count:    1"), std::string::npos);
}

TEST_F(CaptureWindow, AMissingReferenceStopsBeforeAnythingStartsAndAFailureSaysSo) {
    Tfrmcapture* window = Open();
    ASSERT_NE(window, nullptr);
    window->txtsource->setText(QString::fromStdString(wim_test::MakeSourceFolder(dir_)));
    window->txttarget->setText(QString::fromStdString(dir_.file("out.wim")));
    window->txtreference->setText(QString::fromStdString(dir_.file("absent.wim")));
    window->btn_ok->click();
    Settle();
    EXPECT_EQ(ui_.texts(), std::vector<std::string>{"reference file does not exist"});
    EXPECT_TRUE(window->StatusBar1->currentMessage().isEmpty());
    EXPECT_FALSE(std::filesystem::exists(dir_.file("out.wim")));

    // A target in a folder that is not there: the box says which call
    // failed, and the end status carries the error, never 0.
    window->txtreference->clear();
    window->txttarget->setText(QString::fromStdString(dir_.file("none/out.wim")));
    window->btn_ok->click();
    Settle();
    ASSERT_EQ(ui_.texts().size(), 2u);
    EXPECT_EQ(ui_.texts()[1], "WIMCreateFile failed," + std::to_string(platform::ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(window->StatusBar1->currentMessage().endsWith(
        " terminated with code:" + QString::number(platform::ERROR_PATH_NOT_FOUND)))
        << window->StatusBar1->currentMessage().toStdString();
}

// A file the capture needs long to read: the run is still going when the
// window's wait loop first lets messages through.
std::string SlowSource(const test_support::TempDir& dir) {
    const std::string folder = dir.file("slow");
    std::filesystem::create_directories(folder);
    test_support::MakeSparseFile(folder + "/huge.bin", std::int64_t{16} << 30);
    return folder;
}

TEST_F(CaptureWindow, ClosingWhileTheWorkerRunsStopsItAndThenTheWindowGoes) {
    Tfrmcapture* window = Open();
    ASSERT_NE(window, nullptr);
    QPointer<Tfrmcapture> alive(window);
    window->txtsource->setText(QString::fromStdString(SlowSource(dir_)));
    window->txttarget->setText(QString::fromStdString(dir_.file("slow.wim")));
    QStringList statuses;
    QObject::connect(window->StatusBar1, &QStatusBar::messageChanged, [&](const QString& text) { statuses << text; });
    bool asked = false, stayed = true;
    platform::set_pump([&] {
        if (!asked) {
            asked = true;
            alive->close();
        }
        stayed = stayed && alive && alive->isVisible();
        QCoreApplication::processEvents();
    });
    window->btn_ok->click();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(stayed);
    ASSERT_TRUE(alive);
    EXPECT_TRUE(alive->cancel);
    Settle();
    EXPECT_FALSE(alive);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("slow.wim")));
    EXPECT_EQ(wim_test::Listing(dir_.path().string()), (std::vector<std::string>{"program", "slow"}));
    ASSERT_FALSE(statuses.isEmpty());
    EXPECT_TRUE(statuses.last().endsWith(" terminated with code:" + QString::number(platform::ERROR_REQUEST_ABORTED)))
        << statuses.join(" | ").toStdString();
}

TEST_F(CaptureWindow, CancelStopsTheCaptureAndASecondOkWaitsForTheFirst) {
    Tfrmcapture* window = Open();
    ASSERT_NE(window, nullptr);
    window->txtsource->setText(QString::fromStdString(SlowSource(dir_)));
    window->txttarget->setText(QString::fromStdString(dir_.file("slow.wim")));
    int pumps = 0;
    bool ok_enabled = true;
    platform::set_pump([&] {
        if (++pumps == 1) {
            window->btn_ok->click();  // ignored: one worker at a time
            ok_enabled = window->btn_ok->isEnabled();
            window->btn_cancel->click();
        }
        QCoreApplication::processEvents();
    });
    window->btn_ok->click();
    Settle();
    EXPECT_FALSE(ok_enabled);
    EXPECT_TRUE(window->btn_ok->isEnabled());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->StatusBar1->currentMessage().endsWith(
        " terminated with code:" + QString::number(platform::ERROR_REQUEST_ABORTED)))
        << window->StatusBar1->currentMessage().toStdString();
    EXPECT_FALSE(std::filesystem::exists(dir_.file("slow.wim")));
}

TEST_F(CaptureWindow, CapturesAnNtfsVolumeOfTheMachineByItsDevicePath) {
    for (const char* tool : {"mkntfs", "losetup"})
        if (!test_support::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    if (!test_support::IsRoot()) GTEST_SKIP() << "an unmounted volume is read through a loop device, which needs root";
    const std::string files = wim_test::MakeSourceFolder(dir_, "files"), seed = dir_.file("seed.wim");
    const std::string part = dir_.file("part.img");
    ASSERT_EQ(ts::Run("truncate -s 8M " + part + " && mkntfs -F -Q -q " + part + " 2>/dev/null && wimlib-imagex capture " +
                  files + " " + seed + " >/dev/null && wimlib-imagex apply " + seed + " 1 " + part + " >/dev/null")
                  .exit_code,
              0);
    OpenMain({test_support::DiskSpec{10 << 20,
                                     {"printf 'label: dos\\nstart=2048,size=16384,type=7\\n' | sfdisk -q %s",
                                      "dd if=" + part + " of=%s bs=1M seek=1 conv=notrunc status=none"},
                                     ""}});
    auto snapshot = platform::device::Registry::instance().snapshot();
    ASSERT_EQ(snapshot->volumes.size(), 1u);
    const std::string volume = std::string("\\\\.\\") + snapshot->volumes[0].letter + ":";
    Tfrmcapture* window = Open();
    ASSERT_NE(window, nullptr);
    window->txtsource->setText(QString::fromStdString(volume));
    window->txttarget->setText(QString::fromStdString(dir_.file("volume.wim")));
    window->btn_ok->click();
    Settle();
    EXPECT_TRUE(window->StatusBar1->currentMessage().endsWith(" terminated with code:0"))
        << window->StatusBar1->currentMessage().toStdString() << testing::PrintToString(ui_.texts());
    const std::string listing = WimlibDir(dir_.file("volume.wim"));
    EXPECT_NE(listing.find("/sub/deeper/data.bin"), std::string::npos) << listing;
    EXPECT_EQ(ts::Run("wimlib-imagex verify " + dir_.file("volume.wim")).exit_code, 0);
}

}  // namespace
