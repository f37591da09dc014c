// Cloning onto a real block device (a loop disk the test makes) that has
// partitions, a mounted file system, or a busy one: every clone in a row
// succeeds, the copy equals the source and the kernel's partitions are
// those of the table; a busy destination gets nothing written.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "disk/device/handle_ops.h"
#include "main/operations/clone.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/loop_disk.h"

namespace {

using namespace tarnovell;
using test_support::KernelParts;
using test_support::LoopDisk;
using test_support::MountsFrom;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::Sh;
using test_support::TableParts;
using test_support::WriteWholeFile;

class Status : public platform::OperationTarget {
public:
    void post(int, platform::OperationKind, std::int64_t, const std::string& text) override { last = text; }
    std::string last;
};

class CloneLinuxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = test_support::LoopDevicesMissing({"mkfs.ext4", "cmp"}); !missing.empty())
            GTEST_SKIP() << missing;
        host_.emplace(work_.file("state.ini"));
        disk::SetLockRetryDelay(std::chrono::milliseconds(1));
        answers_.set_default_confirm(true);
    }
    void TearDown() override {
        MainLockedVolumes().release();
        disk::SetLockRetryDelay(std::chrono::milliseconds(1000));
        host_.reset();
        disks_.clear();
    }

    // A loop disk with the table and its kernel partitions; ext4 on the
    // partitions named, mounted at folders of their own.
    LoopDisk* make_disk(const std::string& name, const std::string& script, const std::vector<int>& ext4,
                        std::int64_t size) {
        std::string error;
        auto disk = LoopDisk::Make(images_.file(name + ".img"), script, error, "", size);
        EXPECT_TRUE(disk) << error;
        if (!disk) return nullptr;
        EXPECT_TRUE(disk->add_kernel_partitions());
        for (int p : ext4) {
            EXPECT_TRUE(Sh("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + Quote(disk->part(p))));
            const std::string folder = work_.file(name + std::to_string(p));
            std::filesystem::create_directories(folder);
            EXPECT_TRUE(Sh("mount -t ext4 " + Quote(disk->part(p)) + " " + Quote(folder)));
            WriteWholeFile(folder + "/hello.txt", name + "\n");
        }
        disks_.push_back(std::move(disk));
        return disks_.back().get();
    }

    // The \\.\PhysicalDriveN the registry gives a loop disk.
    std::string path_of(const LoopDisk& disk) {
        for (const auto& d : platform::device::Registry::instance().refresh()->disks)
            if (d.backing == disk.node()) return "\\\\.\\PhysicalDrive" + std::to_string(d.number);
        return "";
    }

    disk::OperationContext context() {
        disk::OperationContext c;
        c.status = &status_;
        c.cancel = &cancel_;
        return c;
    }

    test_support::TempDir images_, work_;  // first: they go after the disks
    std::vector<std::unique_ptr<LoopDisk>> disks_;
    std::optional<test_support::LinuxHostScope> host_;
    platform::ScriptedInteraction answers_;
    platform::ScopedInteraction scoped_{answers_};
    Status status_;
    std::atomic<bool> cancel_{false};
};

TEST_F(CloneLinuxTest, FiveClonesInARowOntoAPartitionedMountedDiskEachEqualTheSource) {
    struct Case {
        const char* what;
        const char* source_table;
        const char* destination_table;
    } cases[] = {
        {"MBR onto GPT", "label: dos\n2048,20480,83\n22528,40960,83\n", "label: gpt\n2048,61440\n"},
        {"GPT onto MBR", "label: gpt\n2048,30720\n40960,16384\n", "label: dos\n2048,16384,83\n18432,20480,83\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // The source's file systems unmounted: nothing changes it between clones.
        LoopDisk* source = make_disk("source", c.source_table, {1, 2}, 48 << 20);
        LoopDisk* destination = make_disk("destination", c.destination_table, {1}, 64 << 20);
        ASSERT_TRUE(source && destination);
        ASSERT_TRUE(Sh("umount " + Quote(work_.file("source1")) + " " + Quote(work_.file("source2"))));
        host_->install({source->name(), destination->name()});
        const std::string from = path_of(*source), to = path_of(*destination);
        ASSERT_FALSE(from.empty() || to.empty());

        for (int round = 1; round <= 5; ++round) {
            SCOPED_TRACE("clone " + std::to_string(round));
            ASSERT_EQ(CloneDevice(from, to, context(), true), CloneResult::Completed)
                << ::testing::PrintToString(answers_.texts()) << status_.last;
            EXPECT_EQ(status_.last.rfind("clone done in ", 0), 0u) << status_.last;
            EXPECT_TRUE(Sh("cmp -n " + std::to_string(48 << 20) + " " + Quote(source->node()) + " " +
                           Quote(destination->node())));
            EXPECT_EQ(KernelParts(destination->name()), TableParts(source->node()));
            EXPECT_EQ(TableParts(destination->node()), TableParts(source->node()));
        }
        MainLockedVolumes().release();
        disks_.clear();
    }
}

TEST_F(CloneLinuxTest, ADestinationWithABusyVolumeGetsNothingWritten) {
    LoopDisk* source = make_disk("source", "label: dos\n2048,40960,83\n", {}, 32 << 20);
    LoopDisk* destination = make_disk("destination", "label: dos\n2048,20480,83\n22528,20480,83\n", {1, 2}, 64 << 20);
    ASSERT_TRUE(source && destination);
    const std::string marker = "SOURCE-BYTES-";
    std::string data;
    while (data.size() < (8u << 20)) data += marker;
    WriteWholeFile(work_.file("data.bin"), data);
    ASSERT_TRUE(Sh("dd if=" + Quote(work_.file("data.bin")) + " of=" + Quote(source->node()) +
                   " bs=1M seek=2 conv=notrunc status=none"));
    host_->install({source->name(), destination->name()});
    const auto p1 = MountsFrom(destination->part(1)), p2 = MountsFrom(destination->part(2));
    const std::string table = ReadWholeFile(destination->node()).substr(0, 512);
    test_support::ProcessInside inside(work_.file("destination2"));
    ASSERT_TRUE(inside.ready());

    // -quiet answers Yes to "Lock and/or Dismount failed! Abort?".
    EXPECT_EQ(CloneDevice(path_of(*source), path_of(*destination), context(), true), CloneResult::Declined);
    EXPECT_EQ(answers_.texts(), std::vector<std::string>{"Lock and/or Dismount failed! Abort?"});
    EXPECT_EQ(ReadWholeFile(destination->node()).substr(0, 512), table);
    EXPECT_EQ(test_support::Run("grep -c -a -F " + Quote(marker) + " " + Quote(destination->node())).output, "0\n");
    EXPECT_EQ(KernelParts(destination->name()), TableParts(destination->node()));
    EXPECT_EQ(MountsFrom(destination->part(1)), p1) << "what was locked is given back";
    EXPECT_EQ(MountsFrom(destination->part(2)), p2);
}

}  // namespace
