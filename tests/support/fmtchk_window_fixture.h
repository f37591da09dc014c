// What the tests of the format and check-disk windows share: the one
// QApplication, a machine with one volume, scripted answers, the window's
// log as lines, and a stand-in tool that says one line and then waits.
#pragma once

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QString>
#include <QStringList>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/scoped_environment.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "support/volume_fixtures.h"

namespace fmtchk_test {

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }

    void SetUp() override {
        if (!test_support::IsRoot()) GTEST_SKIP() << "needs root: the tools work on a loop device";
    }

    // The machine's one volume; its letter without a colon.
    std::string Use(const test_support::DiskSpec& disk) {
        machine_ = std::make_unique<test_support::EmbeddedMachine>(std::vector{disk});
        auto snap = platform::device::Registry::instance().snapshot();
        EXPECT_EQ(snap->volumes.size(), 1u);
        return snap->volumes.empty() ? "" : std::string(1, snap->volumes[0].letter);
    }

    // What blkid finds on the volume now.
    std::string Type() const {
        return test_support::ProbeRegion(machine_->image(0), test_support::kVolumeStart, size_).type;
    }

    // `tool` on PATH ahead of the real one: it writes its process id to the
    // returned file, says "working" and waits a minute.
    std::string PutWaitingTool(const std::string& tool) {
        const std::string pid_file = tools_.file("pid");
        test_support::WriteWholeFile(tools_.file(tool),
                                     "#!/bin/sh\necho $$ > " + test_support::Quote(pid_file) +
                                         "\necho working\nexec sleep 60\n");
        std::filesystem::permissions(tools_.file(tool), std::filesystem::perms::owner_all);
        path_ = std::make_unique<test_support::ScopedEnvironment>(
            "PATH", (tools_.path().string() + ":" + std::getenv("PATH")).c_str());
        return pid_file;
    }

    std::int64_t size_ = 8 << 20;
    std::unique_ptr<test_support::EmbeddedMachine> machine_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    test_support::TempDir tools_;
    std::unique_ptr<test_support::ScopedEnvironment> path_;
};

inline QStringList LogLines(const QPlainTextEdit* log) { return log->toPlainText().split('\n'); }

}  // namespace fmtchk_test
