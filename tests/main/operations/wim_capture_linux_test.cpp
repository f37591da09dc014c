// WIM capture of volumes of the Linux host (loop disks the test makes): a
// volume mounted only as a bind of a folder inside it is captured from its
// root, and an unmounted volume of any file system the machine can mount is
// captured too (an ext4 whose journal wants replaying included), each
// checked with wimlib-imagex.
#include <gtest/gtest.h>

#include <iostream>
#include <optional>
#include <sstream>

#include "main/operations/command_line.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/loop_disk.h"

namespace {

using test_support::LoopDisk;
using test_support::MountsFrom;
using test_support::Quote;
using test_support::Sh;
using test_support::WriteWholeFile;

class WimCaptureLinuxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = test_support::LoopDevicesMissing({"wimlib-imagex", "mkfs.ext4"}); !missing.empty())
            GTEST_SKIP() << missing;
        host_.emplace(work_.file("state.ini"));
        state_.program_folder = work_.file("program") + "/";
        std::filesystem::create_directories(state_.program_folder);
        state_.console_attached = true;
    }
    void TearDown() override {
        host_.reset();
        disk_.reset();
    }

    // One partition of `megabytes` MiB on a fresh loop disk.
    LoopDisk* make_disk(int megabytes) {
        std::string error;
        disk_ = LoopDisk::Make(images_.file("disk.img"), "label: dos\n2048," + std::to_string(megabytes * 2048) + ",83\n",
                               error, "", (static_cast<std::int64_t>(megabytes) + 2) << 20);
        EXPECT_TRUE(disk_) << error;
        if (disk_) {
            EXPECT_TRUE(disk_->add_kernel_partitions());
        }
        return disk_.get();
    }

    // The volume path of the disk's partition, as the registry names it.
    std::string volume_of(const LoopDisk& disk) {
        host_->install({disk.name()});
        for (const auto& v : platform::device::Registry::instance().refresh()->volumes)
            if (v.kernel_device == disk.part(1)) return v.letter ? std::string("\\\\.\\") + v.letter + ":" : v.guid_path;
        return "";
    }

    // Captures `volume` with the command line; the WIM's listing.
    std::string capture(const std::string& volume) {
        const std::string wim = work_.file("capture.wim");
        std::filesystem::remove(wim);
        std::ostringstream console, errors;
        int code = tarnovell::RunCommandLine(tarnovell::ParseCommandLine({"-wim", "-backup", volume, wim}), state_, console, errors);
        EXPECT_EQ(code, 0) << console.str() << errors.str();
        return test_support::Run("wimlib-imagex dir " + Quote(wim) + " 1").output;
    }

    test_support::TempDir images_, work_;
    std::optional<test_support::LinuxHostScope> host_;
    std::unique_ptr<LoopDisk> disk_;
    tarnovell::MainState state_;
    platform::ScriptedInteraction answers_;
    platform::ScopedInteraction scoped_{answers_};
};

TEST_F(WimCaptureLinuxTest, AVolumeMountedOnlyAsAFolderInsideItIsCapturedFromItsRoot) {
    LoopDisk* disk = make_disk(20);
    ASSERT_TRUE(disk);
    ASSERT_TRUE(Sh("mkfs.ext4 -q -F " + Quote(disk->part(1))));
    const std::string whole = work_.file("whole"), inside = work_.file("only-sub");
    std::filesystem::create_directories(whole);
    std::filesystem::create_directories(inside);
    ASSERT_TRUE(Sh("mount " + Quote(disk->part(1)) + " " + Quote(whole)));
    std::filesystem::create_directories(whole + "/sub");
    WriteWholeFile(whole + "/hello.txt", "at the root\n");
    WriteWholeFile(whole + "/sub/inner.txt", "inside\n");
    ASSERT_TRUE(Sh("mount --bind " + Quote(whole + "/sub") + " " + Quote(inside) + " && umount " + Quote(whole)));
    const auto mounted = MountsFrom(disk->part(1));
    ASSERT_EQ(mounted.size(), 1u);

    const std::string listing = capture(volume_of(*disk));
    EXPECT_NE(listing.find("/hello.txt"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/sub/inner.txt"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("\n/inner.txt"), std::string::npos) << listing;
    EXPECT_EQ(MountsFrom(disk->part(1)), mounted) << "the view of the whole is gone again, the bind stays";
}

TEST_F(WimCaptureLinuxTest, UnmountedVolumesOfEveryFileSystemAreMountedReadOnlyForTheCapture) {
    struct Case {
        const char* what;
        const char* mkfs;           // "%s" is the partition
        const char* kernel_type;    // what /proc/filesystems must list, "" for a FUSE driver
        const char* fill;           // mounts "%s" at "%d", writes hello.txt, unmounts
        int megabytes;
        const char* after = "";     // run on "%s" once it is unmounted
    } cases[] = {
        {"ext4", "mkfs.ext4 -q -F %s", "ext4", "mount %s %d", 20},
        // As a byte copy of a mounted ext4 is: its journal wants replaying,
        // which a read-only mount cannot do; it is read without it.
        {"ext4 whose journal wants replaying", "mkfs.ext4 -q -F %s", "ext4", "mount %s %d", 20,
         "debugfs -w -R 'feature needs_recovery' %s >/dev/null 2>&1"},
        {"XFS", "mkfs.xfs -q -f %s", "xfs", "mount %s %d", 320},
        {"FAT", "mkfs.vfat %s >/dev/null", "vfat", "mount %s %d", 20},
        {"exFAT", "mkfs.exfat %s >/dev/null", "", "mount.exfat-fuse %s %d", 20},
    };
    const std::string filesystems = test_support::ReadWholeFile("/proc/filesystems");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string tool = std::string(c.mkfs).substr(0, std::string(c.mkfs).find(' '));
        const std::string helper = std::string(c.fill).substr(0, std::string(c.fill).find(' '));
        if (!test_support::HaveTool(tool) || !test_support::HaveTool(helper)) {
            std::cout << "[ SKIPPED  ] " << c.what << ": " << tool << " or " << helper << " is not installed\n";
            continue;
        }
        if (*c.kernel_type && filesystems.find("\t" + std::string(c.kernel_type) + "\n") == std::string::npos) {
            std::cout << "[ SKIPPED  ] " << c.what << ": this kernel cannot mount " << c.kernel_type << "\n";
            continue;
        }
        LoopDisk* disk = make_disk(c.megabytes);
        ASSERT_TRUE(disk);
        auto with = [&](std::string command) {
            for (std::size_t at; (at = command.find("%s")) != std::string::npos;) command.replace(at, 2, Quote(disk->part(1)));
            for (std::size_t at; (at = command.find("%d")) != std::string::npos;)
                command.replace(at, 2, Quote(work_.file("fill")));
            return command;
        };
        std::filesystem::create_directories(work_.file("fill"));
        ASSERT_TRUE(Sh(with(c.mkfs)));
        ASSERT_TRUE(Sh(with(c.fill)));
        WriteWholeFile(work_.file("fill") + "/hello.txt", "captured\n");
        ASSERT_TRUE(Sh("umount " + Quote(work_.file("fill"))));
        if (*c.after) ASSERT_TRUE(Sh(with(c.after)));

        const std::string listing = capture(volume_of(*disk));
        EXPECT_NE(listing.find("/hello.txt"), std::string::npos) << listing;
        EXPECT_TRUE(MountsFrom(disk->part(1)).empty()) << "mounted for the capture only";
        host_->install({});
        disk_.reset();
    }
}

}  // namespace
