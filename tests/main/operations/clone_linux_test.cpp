// Cloning onto a real block device (a loop disk the test makes) that has
// partitions, a mounted file system, or a busy one: every clone in a row
// succeeds, the copy equals the source and the kernel's partitions are
// those of the table; a busy destination gets nothing written.
#include <gtest/gtest.h>


#include "disk/device/handle_ops.h"
#include "main/operations/clone.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/copy_doubles.h"
#include "support/loop_copy_fixture.h"
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


class CloneLinuxTest : public test_support::LoopCopyTest {
protected:
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
        LoopDisk* source = machine_->make("source", c.source_table, {1, 2}, 48 << 20);
        LoopDisk* destination = machine_->make("destination", c.destination_table, {1});
        ASSERT_TRUE(source && destination);
        ASSERT_TRUE(Sh("umount " + Quote(machine_->mount_folder("source", 1)) + " " +
                       Quote(machine_->mount_folder("source", 2))));
        machine_->offer({source, destination});
        const std::string from = machine_->path_of(*source), to = machine_->path_of(*destination);
        ASSERT_FALSE(from.empty() || to.empty());

        for (int round = 1; round <= 5; ++round) {
            SCOPED_TRACE("clone " + std::to_string(round));
            ASSERT_EQ(CloneDevice(from, to, context(), true), CloneResult::Completed)
                << ::testing::PrintToString(answers_.texts()) << context.last_status();
            EXPECT_EQ(context.last_status().rfind("clone done in ", 0), 0u) << context.last_status();
            EXPECT_TRUE(Sh("cmp -n " + std::to_string(48 << 20) + " " + Quote(source->node()) + " " +
                           Quote(destination->node())));
            EXPECT_EQ(KernelParts(destination->name()), TableParts(source->node()));
            EXPECT_EQ(TableParts(destination->node()), TableParts(source->node()));
        }
        machine_->clear();
    }
}

TEST_F(CloneLinuxTest, ADestinationWithABusyVolumeGetsNothingWritten) {
    LoopDisk* source = machine_->make("source", "label: dos\n2048,40960,83\n", {}, 32 << 20);
    LoopDisk* destination = machine_->make("destination", "label: dos\n2048,20480,83\n22528,20480,83\n", {1, 2});
    ASSERT_TRUE(source && destination);
    const std::string marker = "SOURCE-BYTES-";
    std::string data;
    while (data.size() < (8u << 20)) data += marker;
    const std::string file = machine_->work().file("data.bin");
    WriteWholeFile(file, data);
    ASSERT_TRUE(Sh("dd if=" + Quote(file) + " of=" + Quote(source->node()) + " bs=1M seek=2 conv=notrunc status=none"));
    machine_->offer({source, destination});
    const auto p1 = MountsFrom(destination->part(1)), p2 = MountsFrom(destination->part(2));
    const std::string table = ReadWholeFile(destination->node()).substr(0, 512);
    test_support::ProcessInside inside(machine_->mount_folder("destination", 2));
    ASSERT_TRUE(inside.ready());

    // -quiet answers Yes to "Lock and/or Dismount failed! Abort?".
    EXPECT_EQ(CloneDevice(machine_->path_of(*source), machine_->path_of(*destination), context(), true),
              CloneResult::Declined);
    EXPECT_EQ(answers_.texts(), std::vector<std::string>{"Lock and/or Dismount failed! Abort?"});
    EXPECT_EQ(ReadWholeFile(destination->node()).substr(0, 512), table);
    EXPECT_EQ(test_support::Run("grep -c -a -F " + Quote(marker) + " " + Quote(destination->node())).output, "0\n");
    EXPECT_EQ(KernelParts(destination->name()), TableParts(destination->node()));
    EXPECT_EQ(MountsFrom(destination->part(1)), p1) << "what was locked is given back";
    EXPECT_EQ(MountsFrom(destination->part(2)), p2);
}

}  // namespace
