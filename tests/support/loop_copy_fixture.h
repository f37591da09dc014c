// The fixture of the copy tests on loop disks: skipped with the reason where
// loop devices cannot be made, volume locks retried at once instead of after
// a second, every question answered Yes (as -quiet answers), and the locks
// the code under test keeps between calls let go after each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "disk/device/handle_ops.h"
#include "platform/base/interaction.h"
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
        ReleaseVolumeLocks();
        disk::SetLockRetryDelay(std::chrono::milliseconds(1000));
        machine_.reset();
    }
    // Lets go of the volume locks the operations under test keep.
    virtual void ReleaseVolumeLocks() = 0;

    std::optional<LoopMachine> machine_;
    platform::ScriptedInteraction answers_;
    platform::ScopedInteraction scoped_{answers_};
    RecordedContext context;
};

}  // namespace test_support
