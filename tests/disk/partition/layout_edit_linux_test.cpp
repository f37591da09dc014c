// Table editing on the Linux host, on a loop device the test makes as root
// and removes: after every edit the kernel's partitions (/proc/partitions,
// and their starts in sysfs) are those of the table sfdisk reads, and a
// mounted partition is never taken away.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "disk/device/handle_ops.h"
#include "disk/partition/layout_edit.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/partition_peers.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace {

using namespace disk;
namespace ts = test_support;
namespace fs = std::filesystem;
using platform::device::Registry;

constexpr std::int64_t kMiB = 1 << 20;

// Kernel partitions of `disk` ("loop7"): number -> (start, size), in 512-byte
// sectors; sizes from /proc/partitions (1 KiB blocks), starts from sysfs.
std::map<int, std::pair<std::int64_t, std::int64_t>> KernelPartitions(const std::string& disk) {
    std::map<int, std::pair<std::int64_t, std::int64_t>> parts;
    std::ifstream proc("/proc/partitions");
    for (std::string line; std::getline(proc, line);) {
        std::istringstream words(line);
        std::string major, minor, blocks, name;
        if (!(words >> major >> minor >> blocks >> name)) continue;
        if (name.rfind(disk + "p", 0) != 0) continue;
        const int number = std::stoi(name.substr(disk.size() + 1));
        const std::string start = ts::ReadWholeFile("/sys/block/" + disk + "/" + name + "/start");
        parts[number] = {start.empty() ? -1 : std::stoll(start), std::stoll(blocks) * 2};
    }
    return parts;
}

// The same, as sfdisk reads the table; extended containers left out, as the
// kernel shows them only as a stub.
std::map<int, std::pair<std::int64_t, std::int64_t>> TablePartitions(const std::string& node) {
    std::map<int, std::pair<std::int64_t, std::int64_t>> parts;
    for (const auto& p : ts::SfdiskTable(node).partitions)
        if (p.type != "5" && p.type != "f" && p.type != "85") parts[p.number] = {p.start, p.size};
    return parts;
}

// Whether this process holds CAP_SYS_RESOURCE, which an online resize of
// ext4 needs.
bool MayResizeMountedFileSystems() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("CapEff:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> 24) & 1;
    return false;
}

class LinuxTableEditing : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ts::IsRoot()) GTEST_SKIP() << "needs root: makes a loop device";
        if (!fs::exists("/dev/loop-control")) GTEST_SKIP() << "no loop devices in this kernel";
        for (const char* tool : {"losetup", "sfdisk", "sgdisk", "partx", "mkfs.ext4", "mount", "umount"})
            if (!ts::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
        image_ = dir_.file("disk.img");
        ts::MakeSparseFile(image_, 64 * kMiB);
        ts::Run("printf 'label: dos\\n2048,20480,83\\n22528,20480,83\\n' | sfdisk -q " + ts::Quote(image_));
        const ts::CommandResult r = ts::Run("losetup --partscan --find --show " + ts::Quote(image_));
        ASSERT_EQ(r.exit_code, 0) << r.output;
        node_ = r.output.substr(0, r.output.find('\n'));
        name_ = fs::path(node_).filename().string();
        if (KernelPartitions(name_).empty()) ts::Run("partx -a " + ts::Quote(node_));
        ASSERT_EQ(KernelPartitions(name_).size(), 2u);

        host_.emplace("TARNOVELL_HOST", nullptr);
        disks_.emplace("TARNOVELL_LINUX_DISKS", name_.c_str());
        state_.emplace("TARNOVELL_STATE", dir_.file("state.ini").c_str());
        Registry::Reset();
        for (const auto& d : Registry::instance().snapshot()->disks)
            if (d.backing == node_) disk_ = std::to_string(d.number);
        ASSERT_FALSE(disk_.empty()) << "the host does not offer " << node_;
    }
    void TearDown() override {
        Registry::Reset();
        if (!mount_.empty()) ts::Run("umount -l " + ts::Quote(mount_));
        if (!node_.empty()) ts::Run("losetup -d " + ts::Quote(node_));
        state_.reset();
        disks_.reset();
        host_.reset();
        Registry::Reset();
    }

    // The volumes' paths, taken while the registry's picture of them lasts.
    std::vector<std::string> VolumePaths() {
        std::vector<std::string> paths;
        for (const auto* v : Registry::instance().snapshot()->volumes_of(std::stoi(disk_))) paths.push_back(v->guid_path);
        return paths;
    }

    ::testing::AssertionResult KernelFollowsTable() {
        const auto kernel = KernelPartitions(name_);
        const auto table = TablePartitions(node_);
        if (kernel == table) return ::testing::AssertionSuccess();
        auto show = [](const auto& parts) {
            std::string text;
            for (const auto& [n, p] : parts)
                text += "p" + std::to_string(n) + "@" + std::to_string(p.first) + "+" + std::to_string(p.second) + " ";
            return text;
        };
        return ::testing::AssertionFailure() << "kernel: " << show(kernel) << "\ntable:  " << show(table);
    }

    ts::TempDir dir_;
    std::string image_, node_, name_, disk_, mount_;
    std::optional<ts::ScopedEnvironment> host_, disks_, state_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
};

TEST_F(LinuxTableEditing, TheKernelsPartitionsFollowEveryEdit) {
    ASSERT_TRUE(CreateDiskLayout(disk_, kLayoutGpt));
    EXPECT_TRUE(ts::SgdiskVerifies(node_));
    EXPECT_TRUE(KernelPartitions(name_).empty());

    ASSERT_TRUE(CreatePartitionEx(disk_, 1, "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}", 20 * kMiB, kMiB));
    ASSERT_TRUE(CreatePartitionEx(disk_, 2, "{0fc63daf-8483-4772-8e79-3d69d8477de4}", 20 * kMiB, 30 * kMiB));
    EXPECT_TRUE(ts::SgdiskVerifies(node_));
    EXPECT_EQ(KernelPartitions(name_).size(), 2u);
    EXPECT_TRUE(KernelFollowsTable());

    const std::vector<std::string> volumes = VolumePaths();
    ASSERT_EQ(volumes.size(), 2u);
    ASSERT_TRUE(GrowPartitionIoctl(volumes[0], 5 * kMiB));
    EXPECT_EQ(KernelPartitions(name_).at(1).second, 25 * 2048);
    EXPECT_TRUE(KernelFollowsTable());
    // Shrinking keeps the partition's device too, though its volume is held.
    ASSERT_TRUE(GrowPartitionIoctl(volumes[0], -2 * kMiB)) << (ui_.texts().empty() ? "" : ui_.texts().back());
    EXPECT_EQ(KernelPartitions(name_).at(1).second, 23 * 2048);
    EXPECT_TRUE(KernelFollowsTable());

    ASSERT_TRUE(DeletePartitionEx(disk_, 1));
    EXPECT_EQ(KernelPartitions(name_).count(1), 0u);
    EXPECT_TRUE(KernelFollowsTable());

    ASSERT_TRUE(CreateDiskLayout(disk_, kLayoutMbr));
    ASSERT_TRUE(CreatePartitionMbr(disk_, 1, true, 0x83, 0, 0));
    EXPECT_EQ(ts::SfdiskTable(node_).label, "dos");
    EXPECT_TRUE(KernelFollowsTable());
    EXPECT_EQ(KernelPartitions(name_).at(1), std::make_pair(std::int64_t{2048}, std::int64_t{62 * 2048}));
    EXPECT_TRUE(ui_.texts().empty()) << ::testing::PrintToString(ui_.texts());
}

TEST_F(LinuxTableEditing, AMountedPartitionStaysInTheTableAndTheKernel) {
    ASSERT_EQ(ts::Run("mkfs.ext4 -q -F " + ts::Quote(node_ + "p2")).exit_code, 0);
    mount_ = dir_.file("mnt");
    fs::create_directories(mount_);
    ASSERT_EQ(ts::Run("mount " + ts::Quote(node_ + "p2") + " " + ts::Quote(mount_)).exit_code, 0);
    Registry::instance().refresh();
    const std::string before = ts::SfdiskTable(node_).output;

    EXPECT_FALSE(DeletePartitionMbr(disk_, 2));
    // The refusal names the partition and where it is mounted.
    ASSERT_EQ(ui_.texts().size(), 1u);
    const std::string said = ui_.texts()[0];
    EXPECT_EQ(said.rfind("IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:Access is denied - partition 2 (", 0), 0u) << said;
    EXPECT_NE(said.find(node_ + "p2) is mounted at " + mount_ + ": unmount it first"), std::string::npos) << said;
    EXPECT_THROW(CreateDiskLayout(disk_, kLayoutGpt), std::runtime_error);
    EXPECT_FALSE(IoctlSetDiskAttributes("\\\\.\\PhysicalDrive" + disk_, 1, 1)) << "no offline under a mount";
    EXPECT_EQ(ts::SfdiskTable(node_).output, before);
    EXPECT_EQ(KernelPartitions(name_).size(), 2u);
    EXPECT_TRUE(KernelFollowsTable());

    // It may grow, file system and all, while mounted.
    const std::vector<std::string> volumes = VolumePaths();
    ASSERT_EQ(volumes.size(), 2u);
    ASSERT_TRUE(GrowPartitionIoctl(volumes[1], 10 * kMiB)) << ui_.texts().back();
    EXPECT_EQ(KernelPartitions(name_).at(2).second, 40960);
    const bool extended = ExtendVolumeIoctl(volumes[1], 20 * kMiB / 512);
    const ts::CommandResult df = ts::Run("df -k --output=size " + ts::Quote(mount_) + " | tail -1");
    if (MayResizeMountedFileSystems()) {
        EXPECT_TRUE(extended) << ui_.texts().back();
        EXPECT_GT(std::stoll(df.output), 15 * 1024) << "mounted again, at its new size";
    } else {
        // Growing a mounted ext4 needs CAP_SYS_RESOURCE, which some sandboxes withhold.
        EXPECT_FALSE(extended);
        EXPECT_EQ(ui_.texts().back(), "FSCTL_EXTEND_VOLUME failed:Access is denied");
        EXPECT_LT(std::stoll(df.output), 15 * 1024) << "mounted as it was";
    }
    EXPECT_TRUE(KernelFollowsTable());

    // The partition before it may go: nothing of the mounted one moves.
    ASSERT_TRUE(DeletePartitionMbr(disk_, 1));
    EXPECT_EQ(KernelPartitions(name_).count(1), 0u);
    EXPECT_TRUE(KernelFollowsTable());
}

}  // namespace
