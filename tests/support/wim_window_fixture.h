// What the tests of the WIM windows share: the one QApplication, a main
// window (frmmain) over a machine of image files, scripted answers to the
// boxes and file dialogs, the WIM hub opened from the side bar, and the
// windows it opens.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QToolBox>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "main/dialogs/file_dialog.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "platform/device/registry.h"
#include "support/embedded_machine.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "support/wim_fixtures.h"
#include "tools/wim/hub/ufrmwim.h"

namespace wim_test {

class WimWindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }

    void SetUp() override {
        if (!HaveWimlib()) GTEST_SKIP() << "wimlib-imagex is not installed";
        std::filesystem::create_directories(program_folder());
        platform::set_pump([] { QCoreApplication::processEvents(); });
        previous_hook_ = tarnovell::SetFileDialogHook([this](QFileDialog& dialog) {
            if (answers_.empty()) return static_cast<int>(QDialog::Rejected);
            dialog.selectFile(QString::fromStdString(answers_.front()));
            answers_.pop_front();
            return static_cast<int>(QDialog::Accepted);
        });
    }

    void TearDown() override {
        platform::set_pump(nullptr);
        tarnovell::SetFileDialogHook(previous_hook_);
        // A hub takes the windows it owns with it.
        std::vector<QPointer<QWidget>> hubs;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (qobject_cast<tarnovell::Tfrmwim*>(window)) hubs.emplace_back(window);
        for (const QPointer<QWidget>& hub : hubs) delete hub.data();
        delete main_;
        Settle();
    }

    // The main window over a machine of `disks` (none: no disk at all).
    void OpenMain(const std::vector<test_support::DiskSpec>& disks = {}) {
        machine_ = std::make_unique<test_support::EmbeddedMachine>(disks);
        main_ = new tarnovell::Tfrmmain(state_);
        // The window's start-up takes the folder of the test program; the
        // tests keep their Wimscript.ini elsewhere.
        state_.program_folder = program_folder();
    }
    std::string program_folder() const { return dir_.file("program") + "/"; }

    // "WIM Image" on the main window's "Disk Image" page, clicked: the hub.
    tarnovell::Tfrmwim* OpenHub() {
        if (!main_) OpenMain();
        auto* side_bar = main_->findChild<QToolBox*>("JvOutlookBar1");
        QPushButton* button = nullptr;
        for (QPushButton* candidate : side_bar->findChildren<QPushButton*>())
            if (candidate->text() == "WIM Image") button = candidate;
        EXPECT_NE(button, nullptr);
        if (!button) return nullptr;
        const std::vector<tarnovell::Tfrmwim*> before = Hubs();
        button->click();
        std::vector<tarnovell::Tfrmwim*> opened;
        for (tarnovell::Tfrmwim* hub : Hubs())
            if (std::find(before.begin(), before.end(), hub) == before.end()) opened.push_back(hub);
        EXPECT_EQ(opened.size(), 1u);
        return opened.empty() ? nullptr : opened.front();
    }

    static std::vector<tarnovell::Tfrmwim*> Hubs() {
        std::vector<tarnovell::Tfrmwim*> hubs;
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* hub = qobject_cast<tarnovell::Tfrmwim*>(window); hub && hub->isVisible()) hubs.push_back(hub);
        return hubs;
    }

    // Clicks `button` of the hub and returns the window of type W it opened.
    template <typename W>
    static W* OpenFromHub(tarnovell::Tfrmwim* hub, QPushButton* button) {
        const auto before = hub->findChildren<W*>(Qt::FindDirectChildrenOnly).size();
        button->click();
        const auto after = hub->findChildren<W*>(Qt::FindDirectChildrenOnly);
        EXPECT_EQ(after.size(), before + 1);
        return after.isEmpty() ? nullptr : after.last();
    }

    // The next file dialogs (and folder browsers) choose these, in order.
    void Choose(std::vector<std::string> files) { answers_.insert(answers_.end(), files.begin(), files.end()); }

    // Lets the posted messages and deferred deletions through.
    static void Settle() {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }

    test_support::TempDir dir_;
    tarnovell::MainState state_;
    std::unique_ptr<test_support::EmbeddedMachine> machine_;
    tarnovell::Tfrmmain* main_ = nullptr;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    std::deque<std::string> answers_;
    tarnovell::FileDialogHook previous_hook_;
};

}  // namespace wim_test
