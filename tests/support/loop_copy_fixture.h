// The fixture of the copy tests on loop disks: skipped with the reason where
// loop devices cannot be made, volume locks retried at once instead of after
// a second, every question answered Yes (as -quiet answers), and no volume
// left locked by the code under test when a test ends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "disk/device/handle_ops.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/copy_doubles.h"
#include "support/loop_disk.h"

namespace test_support {

class LoopCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = LoopDevicesMissing({"mkfs.ext4", "cmp"}); !missing.empty()) GTEST_SKIP() << missing;
        machine_.emplace();
        disk::SetLockRetryDelay(std::chrono::milliseconds(1));
        answers_.set_default_confirm(true);
    }
    void TearDown() override {
        // Every operation gives back what it held when it ends.
        if (machine_) EXPECT_EQ(platform::device::Registry::instance().locked_volume_count(), 0u);
        disk::SetLockRetryDelay(std::chrono::milliseconds(1000));
        machine_.reset();
    }

    std::optional<LoopMachine> machine_;
    platform::ScriptedInteraction answers_;
    platform::ScopedInteraction scoped_{answers_};
    RecordedContext context;
};

}  // namespace test_support
