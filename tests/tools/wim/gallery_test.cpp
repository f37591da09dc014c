// The WIM windows as the user sees them, filled as in use: every caption
// fits the control that shows it. With TARNOVELL_GALLERY_DIR set (see
// scripts/gallery.sh, which runs these under Xvfb) each window's picture
// is written there for the README's gallery.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "support/wim_window_fixture.h"
#include "tools/wim/apply/ufrmapply.h"
#include "tools/wim/capture/ufrmcapture.h"
#include "tools/wim/export/ufrmwimexport.h"
#include "tools/wim/mount/ufrmwimmount.h"
#include "tools/wim/setinfo/ufrmwimsetimageinfo.h"

namespace {

namespace ts = test_support;

class Gallery : public wim_test::WimWindowTest {
protected:
    void SetUp() override {
        WimWindowTest::SetUp();
        if (IsSkipped()) return;
        source_ = wim_test::MakeSourceFolder(dir_);
        wim_ = dir_.file("backups/system.wim");
        std::filesystem::create_directories(dir_.file("backups"));
        ASSERT_EQ(
            wim_test::MakeTwoImageWim(wim_, source_, "Windows 10 Pro", source_ + "/sub", "Recovery tools").exit_code, 0);
    }

    // Shows `window`, checks that every caption fits, and writes its picture
    // as `name`.png when a gallery folder is asked for.
    static void Look(QWidget* window, const std::string& name) {
        window->show();
        window->adjustSize();
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
        EXPECT_GE(window->width(), window->minimumSizeHint().width()) << name;
        EXPECT_GE(window->height(), window->minimumSizeHint().height()) << name;
        for (QWidget* control : window->findChildren<QWidget*>()) {
            if (!control->isVisibleTo(window)) continue;
            const bool captioned = qobject_cast<QLabel*>(control) || qobject_cast<QAbstractButton*>(control) ||
                                   qobject_cast<QComboBox*>(control);
            if (!captioned) continue;
            // A push button's hint has a floor of its own; what matters is its text.
            int wanted = control->sizeHint().width();
            if (auto* button = qobject_cast<QPushButton*>(control))
                wanted = button->fontMetrics().horizontalAdvance(button->text()) +
                         2 * button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
            EXPECT_GE(control->width(), wanted) << name << ": " << control->objectName().toStdString();
            EXPECT_GE(control->height(), control->minimumSizeHint().height())
                << name << ": " << control->objectName().toStdString();
        }
        const char* folder = std::getenv("TARNOVELL_GALLERY_DIR");
        if (!folder || !*folder) return;
        // Under X the screen is photographed; elsewhere the window paints itself.
        QPixmap picture = QGuiApplication::platformName() == "xcb"
                              ? window->screen()->grabWindow(window->winId())
                              : window->grab();
        const std::string file = std::string(folder) + "/" + name + ".png";
        EXPECT_TRUE(picture.save(QString::fromStdString(file), "PNG")) << file;
    }

    std::string source_, wim_;
};

TEST_F(Gallery, TheHubAndTheWindowsItOpens) {
    tarnovell::Tfrmwim* hub = OpenHub();
    ASSERT_NE(hub, nullptr);
    Choose({wim_});
    hub->btn_wiminfo->click();
    hub->StatusBar1->showMessage("WIMSetBootImage OK");
    Look(hub, "wim-hub");

    auto* capture = OpenFromHub<tarnovell::Tfrmcapture>(hub, hub->btn_wimcapture);
    ASSERT_NE(capture, nullptr);
    capture->txtsource->setText("\\\\.\\C:");
    capture->txttarget->setText("/srv/backups/system.wim");
    capture->wim_compress->setCurrentIndex(2);
    capture->pb_img->setValue(64);
    capture->StatusBar1->showMessage("in progress...");
    Look(capture, "wim-capture");

    auto* apply = OpenFromHub<tarnovell::Tfrmapply>(hub, hub->btn_wimapply);
    ASSERT_NE(apply, nullptr);
    apply->txtsource->setText(QString::fromStdString(wim_));
    apply->ListImages();
    apply->txtsource->setText("/srv/backups/system.wim");
    apply->txttarget->setText("/mnt/restore");
    apply->pb_img->setValue(100);
    apply->StatusBar1->showMessage("139975 terminated with code:0");
    Look(apply, "wim-apply");

    auto* exporter = OpenFromHub<tarnovell::Tfrmwimexport>(hub, hub->btn_wimexport);
    ASSERT_NE(exporter, nullptr);
    exporter->txtsource->setText("/srv/backups/system.wim");
    exporter->txttarget->setText("/srv/backups/recovery.wim");
    exporter->txtIndex->setText("2");
    exporter->pb_img->setValue(37);
    exporter->StatusBar1->showMessage("in progress...");
    Look(exporter, "wim-export");

    auto* mount = OpenFromHub<tarnovell::Tfrmwimmount>(hub, hub->btn_wimmount);
    ASSERT_NE(mount, nullptr);
    mount->txtsource->setText("/srv/backups/system.wim");
    mount->txttarget->setText("/mnt/wim");
    mount->StatusBar1->showMessage("WIMMountImage success");
    Look(mount, "wim-mount");

    tarnovell::TfrmWimSetImageInfo info({}, hub);
    info.txtattribute->setText("DESCRIPTION");
    info.txtvalue->setText("Clean install, drivers added");
    info.txtwim->setText("/srv/backups/system.wim");
    Look(&info, "wim-setinfo");
}

}  // namespace
