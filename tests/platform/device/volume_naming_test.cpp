// How a text names a volume for the tools that work on folders, and the
// snapshots read from dmsetup's table.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/device/shadow_copies.h"
#include "platform/device/volume_folder.h"
#include "platform/os/child_process.h"

namespace {

using platform::device::PathKind;

TEST(NamesVolume, ReadsEveryFormOfAVolumeName) {
    struct Case {
        const char* given;
        bool volume;
        PathKind kind;
        const char* rest;
    };
    const Case cases[] = {
        {"C:", true, PathKind::LetterVolume, ""},
        {"c:\\", true, PathKind::LetterVolume, ""},
        {"E:\\dir\\sub\\", true, PathKind::LetterVolume, "dir/sub"},
        {"E:/dir", true, PathKind::LetterVolume, "dir"},
        {"\\\\.\\D:", true, PathKind::LetterVolume, ""},
        {"\\\\.\\D:\\", true, PathKind::LetterVolume, ""},
        {"\\\\?\\Volume{12345678-1234-4567-89ab-123456123456}\\", true, PathKind::GuidVolume, ""},
        {"\\\\.\\HarddiskVolume3", true, PathKind::HarddiskVolume, ""},
        {"\\\\.\\PhysicalDrive0", false, PathKind::Disk, ""},
        {"/srv/data", false, PathKind::File, ""},
        {"C:file", false, PathKind::File, ""},
        {"1:", false, PathKind::File, ""},
        {"", false, PathKind::File, ""},
    };
    for (const auto& c : cases) {
        platform::device::DevicePath path;
        std::string rest = "left over";
        EXPECT_EQ(platform::device::NamesVolume(c.given, path, rest), c.volume) << c.given;
        if (!c.volume) continue;
        EXPECT_EQ(path.kind, c.kind) << c.given;
        EXPECT_EQ(rest, c.rest) << c.given;
    }
}

TEST(ShadowCopyTable, KeepsOneEntryPerSnapshotInOrder) {
    const std::string table =
        "snap_b: 0 204800 snapshot 253:0 253:1 P 8\n"
        "linear0: 0 2048 linear 8:1 0\n"
        "snap_a: 0 409600 snapshot 8:17 253:2 N 16\n"
        "snap_a: 409600 10 snapshot 8:17 253:2 N 16\n"  // a second line of a listed one
        "odd: 10 2048 snapshot 8:1 253:3 P 8\n"          // not from the start
        "neg: 0 -5 snapshot 8:1 253:3 P 8\n"
        "huge: 0 36028797018963968 snapshot 8:1 253:3 P 8\n"  // bytes past 64 bits
        ": 0 8 snapshot 8:1 253:3 P 8\n"
        "truncated: 0 8 snapshot\n"
        "No devices found\n";
    const auto copies = platform::device::ParseSnapshotTable(table);
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[0].number, 1);
    EXPECT_EQ(copies[0].name, "snap_b");
    EXPECT_EQ(copies[0].node, "/dev/mapper/snap_b");
    EXPECT_EQ(copies[0].size, 204800 * 512);
    EXPECT_EQ(copies[0].origin, "253:0");
    EXPECT_EQ(copies[1].number, 2);
    EXPECT_EQ(copies[1].name, "snap_a");
    EXPECT_EQ(copies[1].origin, "8:17");
    EXPECT_TRUE(platform::device::ParseSnapshotTable("").empty());
}

// A tool's last line often only says it gave up; the line before says why.
TEST(ChildReason, KeepsTheLastMessagesOfTheErrorStreamWithTheirContinuations) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"\n\n", ""},
        {"one\n", "one"},
        {"mount: /tmp/m: unknown filesystem type 'vfat'.\n"
         "       dmesg(1) may have more information after failed mount system call.\n",
         "mount: /tmp/m: unknown filesystem type 'vfat'. dmesg(1) may have more information after failed mount "
         "system call."},
        {"tar: ./a: Cannot open: Permission denied\ntar: Exiting with failure status due to previous errors\n\n",
         "tar: ./a: Cannot open: Permission denied; tar: Exiting with failure status due to previous errors"},
        {"w: 1\r\nw: 2\r\nw: 3\r\nw: 4\r\n", "w: 2; w: 3; w: 4"},
        {"  only continued\n  lines\n", "only continued lines"},
    };
    for (const auto& [error, reason] : cases) {
        platform::ChildResult result;
        result.error = error;
        EXPECT_EQ(result.reason(), reason) << error;
    }
}

// Where the kernel has device-mapper the listing is dmsetup's; where it has
// none there is nothing to list, and the window is told why instead.
TEST(ShadowCopyListing, SaysWhyWhenTheKernelHasNoDeviceMapper) {
    std::vector<platform::device::ShadowCopy> copies{platform::device::ShadowCopy{}};
    std::string problem;
    const bool listed = platform::device::ListShadowCopies(copies, problem);
    if (std::filesystem::exists("/sys/class/misc/device-mapper")) {
        EXPECT_TRUE(listed || !problem.empty());
    } else {
        EXPECT_FALSE(listed);
        EXPECT_EQ(problem, "This kernel has no device-mapper: there are no snapshots to list.");
    }
    if (!listed) EXPECT_TRUE(copies.empty());
}

}  // namespace
