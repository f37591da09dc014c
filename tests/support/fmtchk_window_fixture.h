// What the tests of the format and check-disk windows share: the one
// QApplication, a machine with one volume, scripted answers, the window's
// log as lines.
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

    std::int64_t size_ = 8 << 20;
    std::unique_ptr<test_support::EmbeddedMachine> machine_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
};

inline QStringList LogLines(const QPlainTextEdit* log) { return log->toPlainText().split('\n'); }

}  // namespace fmtchk_test
