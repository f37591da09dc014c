// A volume of the Linux host as a folder (what Copy Files and the speed test
// work in), on loop disks the test makes: a volume mounted only as a bind of
// a folder inside it is shown whole, an unmounted ext4 whose journal wants
// replaying is still read, and our own mount goes with the folder, though
// not while something inside it is in use.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>

#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"
#include "platform/device/registry.h"
#include "platform/device/volume_folder.h"
#include "support/loop_disk.h"

namespace {

using platform::device::OpenVolumeFolder;
using platform::device::VolumeFolder;
using test_support::IsMounted;
using test_support::LoopDisk;
using test_support::MountsFrom;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::Sh;
using test_support::WriteWholeFile;

class VolumeFolderLinuxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = test_support::LoopDevicesMissing({"mkfs.ext4", "debugfs"}); !missing.empty())
            GTEST_SKIP() << missing;
        machine_.emplace();
        disk_ = machine_->make("disk", "label: dos\n2048,40960,83\n", {1}, 22 << 20);
        ASSERT_TRUE(disk_);
        // A file at the root and one in a folder, written through a mount
        // that is gone again before each test begins.
        whole_ = machine_->mount_folder("disk", 1);
        std::filesystem::create_directories(whole_ + "/sub");
        WriteWholeFile(whole_ + "/sub/inner.txt", "inside\n");
        ASSERT_TRUE(Sh("umount " + Quote(whole_)));
    }
    void TearDown() override {
        if (!inside_.empty() && IsMounted(inside_)) Sh("umount " + Quote(inside_));
        machine_.reset();
    }

    // The volume's \\?\Volume{...}\ path, from a fresh registry.
    std::string volume() {
        machine_->offer({disk_});
        for (const auto& v : platform::device::Registry::instance().refresh()->volumes)
            if (v.kernel_device == disk_->part(1)) return v.guid_path;
        return "";
    }

    std::optional<test_support::LoopMachine> machine_;
    LoopDisk* disk_ = nullptr;
    std::string whole_, inside_;
};

TEST_F(VolumeFolderLinuxTest, AVolumeMountedOnlyAsAFolderInsideItIsShownWhole) {
    inside_ = machine_->work().file("only-sub");
    std::filesystem::create_directories(inside_);
    ASSERT_TRUE(Sh("mount " + Quote(disk_->part(1)) + " " + Quote(whole_)));
    ASSERT_TRUE(Sh("mount --bind " + Quote(whole_ + "/sub") + " " + Quote(inside_) + " && umount " + Quote(whole_)));
    const auto mounted = MountsFrom(disk_->part(1));
    ASSERT_EQ(mounted.size(), 1u);

    for (bool for_writing : {false, true}) {
        SCOPED_TRACE(for_writing ? "for writing" : "for reading");
        VolumeFolder folder;
        std::string problem;
        ASSERT_TRUE(OpenVolumeFolder(volume(), for_writing, folder, problem)) << problem;
        EXPECT_NE(folder.path(), inside_);
        EXPECT_TRUE(folder.mounted_by_us());
        EXPECT_EQ(ReadWholeFile(folder.path() + "/hello.txt"), "disk p1\n");
        EXPECT_EQ(ReadWholeFile(folder.path() + "/sub/inner.txt"), "inside\n");
        const std::string path = folder.path();
        EXPECT_TRUE(folder.release());
        EXPECT_FALSE(IsMounted(path));
        EXPECT_EQ(MountsFrom(disk_->part(1)), mounted) << "the whole is gone again, the bind stays";
    }
}

// As a byte copy of a mounted ext4 is: a read-only mount cannot replay its
// journal, so the volume is read without it; one that is written replays it.
TEST_F(VolumeFolderLinuxTest, AnUnmountedExt4WhoseJournalWantsReplayingIsStillRead) {
    ASSERT_TRUE(Sh("debugfs -w -R 'feature needs_recovery' " + Quote(disk_->part(1)) + " >/dev/null 2>&1"));
    for (bool for_writing : {false, true}) {
        SCOPED_TRACE(for_writing ? "for writing" : "for reading");
        VolumeFolder folder;
        std::string problem;
        ASSERT_TRUE(OpenVolumeFolder(volume(), for_writing, folder, problem)) << problem;
        EXPECT_TRUE(folder.mounted_by_us());
        EXPECT_EQ(ReadWholeFile(folder.path() + "/hello.txt"), "disk p1\n");
        const std::string path = folder.path();
        folder = VolumeFolder{};
        EXPECT_FALSE(IsMounted(path));
        EXPECT_FALSE(std::filesystem::exists(path)) << "the folder of our mount goes with it";
    }
    for (const std::string& node : {disk_->node(), disk_->part(1)})
        EXPECT_EQ(test_support::Run("losetup -n -O NAME -j " + Quote(node)).output, "")
            << "no loop device over " << node << " is left";
}

TEST_F(VolumeFolderLinuxTest, OurMountStaysWhileAFileInItIsOpenAndGoesOnceItIsClosed) {
    VolumeFolder folder;
    std::string problem;
    ASSERT_TRUE(OpenVolumeFolder(volume(), false, folder, problem)) << problem;
    const std::string path = folder.path();
    {
        platform::UniqueFd open_file(::open((path + "/hello.txt").c_str(), O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(open_file);
        platform::SetLastError(platform::ERROR_SUCCESS);
        EXPECT_FALSE(folder.release());
        EXPECT_EQ(platform::GetLastError(), platform::DWORD{platform::ERROR_BUSY});
        EXPECT_TRUE(IsMounted(path));
        EXPECT_TRUE(folder.mounted_by_us());
    }
    EXPECT_TRUE(folder.release());
    EXPECT_FALSE(IsMounted(path));
    EXPECT_FALSE(folder.mounted_by_us());
}

}  // namespace
