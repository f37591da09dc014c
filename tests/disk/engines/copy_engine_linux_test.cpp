// BackupRaw and RestoreRaw on the Linux host, on loop devices the tests make
// with MBR and GPT tables and mounted ext4: the kernel's partitions after a
// restore, a whole disk read while its file system is mounted, and a
// restore onto a disk whose volume is busy.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "disk/device/handle_ops.h"
#include "disk/engines/copy_engine.h"
#include "platform/base/interaction.h"
#include "support/loop_disk.h"

namespace {

using namespace disk;
using platform::ScopedInteraction;
using platform::ScriptedInteraction;
using test_support::KernelParts;
using test_support::LoopDisk;
using test_support::MountsFrom;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::Sh;
using test_support::TableParts;
using test_support::WriteWholeFile;

const std::string kDisk0 = "\\\\.\\PhysicalDrive0";
const char* const kMbrTwo = "label: dos\n2048,40960,83\n43008,40960,83\n";
const char* const kGptOne = "label: gpt\n2048,61440\n";

class Status : public platform::OperationTarget {
public:
    void post(int, platform::OperationKind, std::int64_t, const std::string& text) override { last = text; }
    std::string last;
};

// How many times `marker` occurs in the bytes of `path`.
int Occurrences(const std::string& path, const std::string& marker) {
    auto r = test_support::Run("grep -a -o -F " + Quote(marker) + " " + Quote(path) + " | wc -l");
    return std::stoi(r.output);
}

class LinuxCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = test_support::LoopDevicesMissing({"mkfs.ext4", "cmp"}); !missing.empty())
            GTEST_SKIP() << missing;
        host_.emplace(work_.file("state.ini"));
        SetLockRetryDelay(std::chrono::milliseconds(1));
        answers_.set_default_confirm(true);  // as -quiet answers
    }
    void TearDown() override {
        UnlockVolumesOfDisk();
        SetLockRetryDelay(std::chrono::milliseconds(1000));
        host_.reset();
        disks_.clear();
    }

    // A loop disk with the table, its kernel partitions, and ext4 made (and
    // mounted at a folder of its own) on the partitions named.
    LoopDisk* make_disk(const std::string& name, const std::string& script, const std::vector<int>& ext4 = {}) {
        std::string error;
        auto disk = LoopDisk::Make(images_.file(name + ".img"), script, error);
        EXPECT_TRUE(disk) << error;
        if (!disk) return nullptr;
        EXPECT_TRUE(disk->add_kernel_partitions());
        for (int p : ext4) {
            EXPECT_TRUE(Sh("mkfs.ext4 -q -F " + Quote(disk->part(p))));
            const std::string folder = mount_folder(*disk, p);
            std::filesystem::create_directories(folder);
            EXPECT_TRUE(Sh("mount -t ext4 " + Quote(disk->part(p)) + " " + Quote(folder)));
            WriteWholeFile(folder + "/hello.txt", "on " + name + " p" + std::to_string(p) + "\n");
        }
        EXPECT_TRUE(Sh("sync"));
        disks_.push_back(std::move(disk));
        return disks_.back().get();
    }
    std::string mount_folder(const LoopDisk& disk, int p) { return work_.file(disk.name() + "p" + std::to_string(p)); }

    OperationContext context() {
        OperationContext c;
        c.status = &status_;
        c.cancel = &cancel_;
        return c;
    }

    test_support::TempDir images_, work_;  // first: they go after the disks
    std::vector<std::unique_ptr<LoopDisk>> disks_;
    std::optional<test_support::LinuxHostScope> host_;
    ScriptedInteraction answers_;
    ScopedInteraction scoped_{answers_};
    Status status_;
    std::atomic<bool> cancel_{false};
};

TEST_F(LinuxCopyTest, RestoreOntoAPartitionedMountedDiskLeavesTheKernelWithTheNewTable) {
    struct Case {
        const char* what;
        const char* image_table;
        const char* disk_table;
    } cases[] = {
        {"an MBR image onto a GPT disk", kMbrTwo, kGptOne},
        {"a GPT image onto an MBR disk", "label: gpt\n4096,20480\n30720,8192\n", kMbrTwo},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string image = images_.file("restore-me.img");
        test_support::MakeSparseFile(image, 64 << 20);
        ASSERT_TRUE(Sh("printf '%s' " + Quote(c.image_table) + " | sfdisk -q " + Quote(image)));
        ASSERT_TRUE(Sh("head -c 3000000 /dev/urandom | dd of=" + Quote(image) +
                       " bs=1M seek=5 conv=notrunc status=none"));
        LoopDisk* disk = make_disk("destination", c.disk_table, {1});
        ASSERT_TRUE(disk);
        host_->install({disk->name()});

        EXPECT_EQ(RestoreRaw(context(), image, kDisk0, 0, 0, false), CopyResult::Completed)
            << ::testing::PrintToString(answers_.texts());
        EXPECT_EQ(status_.last.rfind("restore done in ", 0), 0u) << status_.last;
        EXPECT_TRUE(Sh("cmp " + Quote(image) + " " + Quote(disk->node())));
        // What the kernel shows is the table now on the disk: new partitions
        // have their devices, none of the old ones is left.
        EXPECT_EQ(KernelParts(disk->name()), TableParts(image));
        EXPECT_EQ(TableParts(disk->node()), TableParts(image));
        disks_.clear();
    }
}

TEST_F(LinuxCopyTest, WholeDiskBackupReadsWhatAMountedFileSystemWroteNotOlderCachedBlocks) {
    LoopDisk* disk = make_disk("source", kMbrTwo, {1});
    ASSERT_TRUE(disk);
    host_->install({disk->name()});
    // The disk is read once, so that its own cache holds the blocks as they
    // were; then the file system (through the partition) writes and syncs.
    ASSERT_TRUE(Sh("cat " + Quote(disk->node()) + " >/dev/null"));
    const std::string marker = "written-after-the-disk-was-read-";
    std::string text;
    while (text.size() < (256 << 10)) text += marker;
    WriteWholeFile(mount_folder(*disk, 1) + "/late.txt", text);
    ASSERT_TRUE(Sh("sync " + Quote(mount_folder(*disk, 1) + "/late.txt")));

    const std::string backup = images_.file("backup.img");
    ASSERT_EQ(BackupRaw(context(), kDisk0, backup, 0, 0, false), CopyResult::Completed)
        << ::testing::PrintToString(answers_.texts());
    EXPECT_GE(Occurrences(backup, marker), 8000) << "the backup holds the file as it was written";
    EXPECT_EQ(MountsFrom(disk->part(1)).size(), 1u) << "a whole disk is read without unmounting anything";
}

TEST_F(LinuxCopyTest, RestoreWritesNothingWhileAVolumeOfTheDestinationIsBusy) {
    LoopDisk* disk = make_disk("destination", kMbrTwo, {1, 2});
    ASSERT_TRUE(disk);
    host_->install({disk->name()});
    const auto mounted_p1 = MountsFrom(disk->part(1));
    const auto mounted_p2 = MountsFrom(disk->part(2));
    const std::string table = ReadWholeFile(disk->node()).substr(0, 512);
    test_support::ProcessInside inside(mount_folder(*disk, 2));  // p2 cannot be unmounted
    ASSERT_TRUE(inside.ready());

    const std::string marker = "RESTORED-DATA-";
    std::string data;
    while (data.size() < (64u << 20)) data += marker;
    data.resize(64 << 20);
    const std::string image = images_.file("image.img");
    WriteWholeFile(image, data);

    // -quiet answers Yes to "Lock and/or Dismount failed! Abort?".
    EXPECT_EQ(RestoreRaw(context(), image, kDisk0, 0, 0, false), CopyResult::Failed);
    EXPECT_EQ(answers_.texts(), (std::vector<std::string>{"Overwrite " + kDisk0 + "?", "Lock and/or Dismount failed! Abort?"}));
    EXPECT_EQ(Occurrences(disk->node(), marker), 0) << "not one block was written";
    EXPECT_EQ(ReadWholeFile(disk->node()).substr(0, 512), table);
    // And the volume that did lock is mounted again as it was.
    EXPECT_EQ(MountsFrom(disk->part(1)), mounted_p1);
    EXPECT_EQ(MountsFrom(disk->part(2)), mounted_p2);
    EXPECT_EQ(ReadWholeFile(mount_folder(*disk, 1) + "/hello.txt"), "on destination p1\n");
}

}  // namespace
