// The main window's launchers and small commands over a machine of image
// files: every tool-window button opens a new window of its own, About and
// Screenshot, the volume name to the clipboard, and Copy Files between two
// volumes with the rows it needs and the same volume twice refused.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QImage>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "main/dialogs/dlg_about.h"
#include "main/dialogs/dlg_disk.h"
#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"
#include "support/status_log.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "support/volume_fixtures.h"
#include "support/window_test_helpers.h"

namespace {

using window_test::AnswerTarget;

namespace fs = std::filesystem;
using test_support::Quote;

int VisibleNamed(const QString& name) {
    int count = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == name && w->isVisible()) ++count;
    return count;
}

class ToolLaunchers : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }

    void SetUp() override {
        state_.program_folder = folder_.path().string() + "/";
        const std::string tree = folder_.file("tree");
        fs::create_directory(tree);
        test_support::Run("printf 'hello world' > " + Quote(tree + "/hello"));
        machine_ = std::make_unique<test_support::EmbeddedMachine>(std::vector{
            test_support::OnePartitionDisk(8, "mkfs.ext4 -q -F -E offset=%o -d " + Quote(tree) + " %s %nk"),
            test_support::OnePartitionDisk(8, "mkfs.ext4 -q -F -E offset=%o %s %nk")});
        window_ = std::make_unique<tarnovell::Tfrmmain>(state_);
        // Start-up takes the program's own folder; what the window writes
        // there (a screenshot) goes to the test's folder instead.
        state_.program_folder = folder_.path().string() + "/";
        status_ = test_support::WatchStatus(window_->statusBar());
        list_ = window_->findChild<QTreeWidget*>("lvdisks");
    }
    void TearDown() override {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w != window_.get() && w->isVisible()) w->close();
        QApplication::processEvents();
        window_.reset();
    }

    void Press(const std::string& page, const std::string& caption) {
        auto* button = window_->findChild<QPushButton*>(
            QString::fromStdString(tarnovell::SideBarButtonName(page, caption)));
        ASSERT_NE(button, nullptr) << caption;
        ASSERT_TRUE(button->isEnabled()) << caption;
        button->click();
    }
    void Trigger(const char* action) {
        auto* item = window_->findChild<QAction*>(action);
        ASSERT_NE(item, nullptr) << action;
        item->trigger();
    }
    std::string LastSaid() const { return ui_.log().empty() ? "" : ui_.log().back().text; }

    test_support::TempDir folder_;
    std::unique_ptr<test_support::EmbeddedMachine> machine_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    std::unique_ptr<tarnovell::Tfrmmain> window_;
    test_support::StatusLog* status_ = nullptr;
    QTreeWidget* list_ = nullptr;
};

TEST_F(ToolLaunchers, EveryButtonOpensANewWindowOfItsOwn) {
    struct Launcher {
        const char* page;
        const char* caption;
        const char* window;
        const char* title;
    };
    const Launcher cases[] = {
        {"Volume", "Volume Names", "frmvolumes", "Volumes"},
        {"Disk Image", "Make a RAW disk image", "frmrawdisk", "Raw Disk Image"},
        {"Disk Image", "Create a VMDK File descriptor", "frmconvimg", "Create a VMDK File descriptor"},
        {"Disk Image", "LZ4 Compressor", "frmlz4", "LZ4 Compressor"},
    };
    for (const auto& c : cases) {
        Press(c.page, c.caption);
        Press(c.page, c.caption);
        EXPECT_EQ(VisibleNamed(c.window), 2) << c.caption;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->objectName() == c.window) {
                EXPECT_EQ(w->windowTitle().toStdString(), c.title);
                EXPECT_EQ(w->parentWidget(), window_.get());
                const QImage picture = w->grab().toImage();
                EXPECT_FALSE(picture.isNull()) << c.window;
                // The README's pictures of the windows are taken here (scripts/gallery.sh).
                if (const char* gallery = std::getenv("TARNOVELL_GALLERY_DIR"); gallery && *gallery)
                    picture.save(QString::fromStdString(std::string(gallery) + "/" + c.window + ".png"));
            }
    }
    EXPECT_TRUE(ui_.log().empty());
}

TEST_F(ToolLaunchers, AboutAndScreenshot) {
    Trigger("About1");
    tarnovell::TfrmAbout* about = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<tarnovell::TfrmAbout*>(w); found && found->isVisible()) about = found;
    ASSERT_NE(about, nullptr);
    EXPECT_FALSE(about->isModal());

    window_->show();
    Trigger("Screenshot1");
    const std::string status = status_->last();
    ASSERT_EQ(status.rfind("screen captured to ", 0), 0u) << status;
    const std::string name = status.substr(19);
    EXPECT_EQ(name.size(), std::string("12-31-2026-235959.bmp").size()) << name;
    const std::string file = state_.program_folder + name;
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(test_support::ReadWholeFile(file).substr(0, 2), "BM");
}

TEST_F(ToolLaunchers, VolumeNameGoesToTheClipboard) {
    list_->clearSelection();
    Trigger("GetVolumeName1");
    EXPECT_EQ(LastSaid(), "no source item selected");
    ASSERT_TRUE(window_test::SelectDevice(list_, "PART 1,1"));
    Trigger("GetVolumeName1");
    const QString volume = QGuiApplication::clipboard()->text();
    EXPECT_TRUE(volume.startsWith("\\\\?\\Volume{")) << volume.toStdString();
    EXPECT_NE(LastSaid().find(" -> " + volume.toStdString() + "\r\ncheck clipboard"), std::string::npos) << LastSaid();
}

TEST_F(ToolLaunchers, OpenVolumeSaysWhyItCannot) {
    list_->clearSelection();
    Trigger("Openvolume1");
    EXPECT_EQ(LastSaid(), "no source item selected");
    // The volumes of image files are mounted nowhere: no file manager is started.
    ASSERT_TRUE(window_test::SelectDevice(list_, "PART 0,1"));
    Trigger("Openvolume1");
    EXPECT_NE(LastSaid().find(" is not mounted on this machine"), std::string::npos) << LastSaid();
}

TEST_F(ToolLaunchers, CopyFilesNeedsTwoPartitionsAndCopies) {
    list_->clearSelection();
    Press("Clone", "Copy Files");
    EXPECT_EQ(LastSaid(), "no source item selected");
    ASSERT_TRUE(window_test::SelectDevice(list_, "DISK 0"));
    Press("Clone", "Copy Files");
    EXPECT_EQ(LastSaid(), "has to be a PART type");

    ASSERT_TRUE(window_test::SelectDevice(list_, "PART 0,1"));
    AnswerTarget("DISK 1");
    Press("Clone", "Copy Files");
    EXPECT_EQ(LastSaid(), "has to be a PART type");
    AnswerTarget("PART 0,1");
    Press("Clone", "Copy Files");
    EXPECT_EQ(LastSaid(), "Source and Destination cannot be the same");
    const std::size_t said = ui_.log().size();
    AnswerTarget("");
    Press("Clone", "Copy Files");
    EXPECT_EQ(ui_.log().size(), said);

    ui_.answer_confirm(true);
    AnswerTarget("PART 1,1");
    Press("Clone", "Copy Files");
    QApplication::processEvents();  // the status lines are posted
    EXPECT_EQ(status_->last(), "Copyfile Done!") << LastSaid();
    // The file of the source is on the destination now.
    const std::string read_back =
        test_support::Run("debugfs -R 'cat /hello' " + Quote(machine_->image(1) + "?offset=1048576")).output;
    EXPECT_EQ(read_back.substr(read_back.find('\n') + 1), "hello world") << read_back;
}

}  // namespace
