// What a tool window is given of the window that opened it: each service
// while that window lives, and a window of its own's fallback once it has
// gone or when there was none.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QProgressBar>
#include <QWidget>

#include <atomic>
#include <memory>
#include <string>

#include "main/dialogs/tool_services.h"
#include "main/dialogs/window_reporting.h"
#include "main/operations/main_state.h"
#include "support/dialog_test_helpers.h"
#include "support/test_support.h"

namespace {

using tarnovell::ToolLink;
using tarnovell::ToolReporting;
using tarnovell::ToolServices;

// A window that offers the services and counts the dialogs it shows.
class FakeWindow : public ToolServices {
public:
    std::string ProgramFolder() const override { return "/opt/tarnovell/"; }
    std::atomic<bool>& CancelFlag() override { return cancel; }
    bool OpenDialog1(const std::string& filter, std::string& file) override {
        ++opened;
        last_filter = filter;
        file = "opened.wim";
        return true;
    }
    bool SaveDialog1(const std::string& filter, std::string& file) override {
        ++saved;
        last_filter = filter;
        file = "saved.wim";
        return true;
    }
    QProgressBar* ProgressBar() override { return &bar; }
    QWidget* StatusTarget() override { return &status; }

    std::atomic<bool> cancel{false};
    int opened = 0, saved = 0;
    std::string last_filter;
    QProgressBar bar;
    QWidget status;
};

// Counts the WM_OPERATION messages a widget receives.
class MessageCounter : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == tarnovell::OperationEvent::Kind()) ++messages;
        return false;
    }
    int messages = 0;
};

class ToolServicesTest : public dialog_test::DialogTest {};

TEST_F(ToolServicesTest, EveryServiceIsTheWindowsWhileItLives) {
    auto window = std::make_shared<FakeWindow>();
    const ToolLink link(window);
    std::atomic<bool> own{false};

    EXPECT_EQ(link.services().get(), window.get());
    EXPECT_EQ(link.ProgramFolder(), "/opt/tarnovell/");
    EXPECT_EQ(&link.CancelFlag(own), &window->cancel);
    std::string file;
    EXPECT_TRUE(link.OpenDialog1("WIM File (*.wim)|*.wim", file));
    EXPECT_EQ(file, "opened.wim");
    EXPECT_TRUE(link.SaveDialog1("ESD File (*.esd)|*.esd", file));
    EXPECT_EQ(file, "saved.wim");
    EXPECT_EQ(window->opened, 1);
    EXPECT_EQ(window->saved, 1);
    EXPECT_EQ(window->last_filter, "ESD File (*.esd)|*.esd");

    // A copy's progress moves the window's bar; its status lines go to the
    // window's message handler.
    ToolReporting reporting(link);
    ASSERT_NE(reporting.progress(), nullptr);
    ASSERT_NE(reporting.status(), nullptr);
    reporting.progress()->set_max(200);
    reporting.progress()->set_position(100);
    EXPECT_EQ(window->bar.maximum(), 200);
    EXPECT_EQ(window->bar.value(), 100);
    MessageCounter counter;
    window->status.installEventFilter(&counter);
    reporting.status()->post(platform::WM_OPERATION, platform::OperationKind::Status, 0, "Done");
    QCoreApplication::sendPostedEvents(&window->status, tarnovell::OperationEvent::Kind());
    EXPECT_EQ(counter.messages, 1);
}

TEST_F(ToolServicesTest, WithoutAWindowEachServiceIsTheToolsOwn) {
    auto window = std::make_shared<FakeWindow>();
    const ToolLink gone(window);
    window.reset();  // the window has gone while the tool window stays
    const ToolLink none;
    std::atomic<bool> own{false};
    test_support::TempDir dir;
    dialog_test::WriteFile(dir.file("chosen.wim"));

    for (const ToolLink* link : {&gone, &none}) {
        EXPECT_EQ(link->services(), nullptr);
        EXPECT_EQ(link->ProgramFolder(), tarnovell::ExecutableFolder());
        EXPECT_EQ(&link->CancelFlag(own), &own);
        link->BringToFront();  // nothing to bring
        ToolReporting reporting(*link);
        EXPECT_EQ(reporting.progress(), nullptr);
        EXPECT_EQ(reporting.status(), nullptr);

        // The dialogs are the program's own, with no owner.
        const std::string chosen = dir.file("chosen.wim");
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(chosen));
        std::string file;
        EXPECT_TRUE(link->OpenDialog1("WIM File (*.wim)|*.wim", file));
        EXPECT_EQ(file, chosen);
        file.clear();
        EXPECT_TRUE(link->SaveDialog1("WIM File (*.wim)|*.wim", file));
        EXPECT_EQ(file, chosen);
    }
}

// A copy that started while the window lived keeps reporting safely when
// the window goes in the middle of it: its bar and target are held weakly.
TEST_F(ToolServicesTest, ReportingOutlivesTheWindowItReportsTo) {
    auto window = std::make_shared<FakeWindow>();
    const ToolLink link(window);
    ToolReporting reporting(link);
    platform::ProgressBar* bar = reporting.progress();
    platform::OperationTarget* status = reporting.status();
    ASSERT_NE(bar, nullptr);
    window.reset();
    bar->set_max(10);
    bar->set_position(5);
    status->post(platform::WM_OPERATION, platform::OperationKind::Status, 0, "Done");
    QCoreApplication::processEvents();
}

}  // namespace
