// The one home of loop devices: a window of a file shown as a device, and
// the attach that outlives its process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/base/scope_guard.h"
#include "platform/device/linux/loop_device.h"
#include "platform/device/linux/sysfs.h"
#include "support/test_support.h"

using namespace platform::device;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kMiB = 1 << 20;

bool Bound(const std::string& device) { return !kernel::LoopBackingFile(kernel::KernelNameOf(device)).empty(); }

class LoopDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::IsRoot() || ::access("/dev/loop-control", W_OK) != 0)
            GTEST_SKIP() << "loop devices need root and /dev/loop-control";
        image_ = dir_.file("disk.img");
        std::string bytes;
        for (int mib = 0; mib < 3; ++mib) bytes += std::string(kMiB, static_cast<char>('a' + mib));
        test_support::WriteWholeFile(image_, bytes);
    }
    test_support::TempDir dir_;
    std::string image_;
};

TEST_F(LoopDeviceTest, ShowsExactlyItsWindowAndLetsGoWhenItGoes) {
    std::string path;
    {
        LoopDevice loop;
        ASSERT_TRUE(loop.attach(image_, kMiB, kMiB, true)) << platform::GetLastError();
        path = loop.path();
        ASSERT_EQ(path.rfind("/dev/loop", 0), 0u) << path;
        const std::string shown = test_support::ReadWholeFile(path);
        EXPECT_EQ(shown, std::string(kMiB, 'b'));
    }
    EXPECT_FALSE(Bound(path)) << path << " still shows the image";
}

// Whoever opens a new device for a moment (a probe, a scan) delays the
// kernel's release; the detach still returns with the backing let go, so a
// next use of the same file finds it free.
TEST_F(LoopDeviceTest, DetachWaitsForABriefHolderToLetGo) {
    LoopDevice loop;
    ASSERT_TRUE(loop.attach(image_, 0, 3 * kMiB, false));
    const std::string path = loop.path();
    const int holder = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    std::thread release([holder] {
        std::this_thread::sleep_for(300ms);
        ::close(holder);
    });
    loop.detach();
    EXPECT_FALSE(Bound(path));
    release.join();
}

TEST_F(LoopDeviceTest, ALastingLoopStaysUntilDetachedAndKnowsItsOwnFile) {
    const std::string device = AttachLastingLoop(image_, 2 * kMiB, false);
    ASSERT_FALSE(device.empty()) << platform::GetLastError();
    platform::ScopeGuard cleanup([&] { DetachLoop(device); });
    EXPECT_TRUE(Bound(device)) << "gone with the descriptor that made it";
    EXPECT_TRUE(LoopBacks(device, image_));
    EXPECT_EQ(test_support::ReadWholeFile(device).size(), static_cast<std::size_t>(2 * kMiB));

    // Another file under the same name is not what the device shows.
    const std::string moved = dir_.file("moved.img");
    std::filesystem::rename(image_, moved);
    test_support::WriteWholeFile(image_, "another file");
    EXPECT_FALSE(LoopBacks(device, image_));
    EXPECT_TRUE(LoopBacks(device, moved));

    EXPECT_TRUE(DetachLoop(device));
    EXPECT_FALSE(Bound(device));
    EXPECT_FALSE(LoopBacks(device, moved));
}

}  // namespace
