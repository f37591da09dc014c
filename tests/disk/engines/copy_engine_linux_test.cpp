// BackupRaw and RestoreRaw on the Linux host, on loop devices the tests make
// with MBR and GPT tables and mounted ext4: the kernel's partitions after a
// restore, a whole disk read while its file system is mounted, and a
// restore onto a disk whose volume is busy.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "disk/device/handle_ops.h"
#include "disk/engines/convert.h"
#include "disk/engines/copy_engine.h"
#include "disk/engines/net_transfer.h"
#include "disk/engines/rawvhd.h"
#include "platform/base/interaction.h"
#include "support/copy_doubles.h"
#include "support/loop_copy_fixture.h"
#include "support/loop_disk.h"
#include "support/net_peers.h"

namespace {

using namespace disk;
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


// How many times `marker` occurs in the bytes of `path`.
int Occurrences(const std::string& path, const std::string& marker) {
    auto r = test_support::Run("grep -a -o -F " + Quote(marker) + " " + Quote(path) + " | wc -l");
    return std::stoi(r.output);
}

class LinuxCopyTest : public test_support::LoopCopyTest {
protected:
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
        const std::string image = machine_->images().file("restore-me.img");
        test_support::MakeSparseFile(image, 64 << 20);
        ASSERT_TRUE(Sh("printf '%s' " + Quote(c.image_table) + " | sfdisk -q " + Quote(image)));
        ASSERT_TRUE(Sh("head -c 3000000 /dev/urandom | dd of=" + Quote(image) +
                       " bs=1M seek=5 conv=notrunc status=none"));
        LoopDisk* disk = machine_->make("destination", c.disk_table, {1});
        ASSERT_TRUE(disk);
        machine_->offer({disk});

        EXPECT_EQ(RestoreRaw(context(), image, kDisk0, 0, 0, false), CopyResult::Completed)
            << ::testing::PrintToString(answers_.texts());
        EXPECT_EQ(context.last_status().rfind("restore done in ", 0), 0u) << context.last_status();
        EXPECT_TRUE(Sh("cmp " + Quote(image) + " " + Quote(disk->node())));
        // What the kernel shows is the table now on the disk: new partitions
        // have their devices, none of the old ones is left.
        EXPECT_EQ(KernelParts(disk->name()), TableParts(image));
        EXPECT_EQ(TableParts(disk->node()), TableParts(image));
        machine_->clear();
    }
}

TEST_F(LinuxCopyTest, WholeDiskBackupReadsWhatAMountedFileSystemWroteNotOlderCachedBlocks) {
    LoopDisk* disk = machine_->make("source", kMbrTwo, {1});
    ASSERT_TRUE(disk);
    machine_->offer({disk});
    // The disk is read once, so that its own cache holds the blocks as they
    // were; then the file system (through the partition) writes and syncs.
    ASSERT_TRUE(Sh("cat " + Quote(disk->node()) + " >/dev/null"));
    const std::string marker = "written-after-the-disk-was-read-";
    std::string text;
    while (text.size() < (256 << 10)) text += marker;
    WriteWholeFile(machine_->mount_folder("source", 1) + "/late.txt", text);
    ASSERT_TRUE(Sh("sync " + Quote(machine_->mount_folder("source", 1) + "/late.txt")));

    const std::string backup = machine_->images().file("backup.img");
    ASSERT_EQ(BackupRaw(context(), kDisk0, backup, 0, 0, false), CopyResult::Completed)
        << ::testing::PrintToString(answers_.texts());
    EXPECT_GE(Occurrences(backup, marker), 8000) << "the backup holds the file as it was written";
    EXPECT_EQ(MountsFrom(disk->part(1)).size(), 1u) << "a whole disk is read without unmounting anything";
}

TEST_F(LinuxCopyTest, RestoreWritesNothingWhileAVolumeOfTheDestinationIsBusy) {
    LoopDisk* disk = machine_->make("destination", kMbrTwo, {1, 2});
    ASSERT_TRUE(disk);
    machine_->offer({disk});
    const auto mounted_p1 = MountsFrom(disk->part(1));
    const auto mounted_p2 = MountsFrom(disk->part(2));
    const std::string table = ReadWholeFile(disk->node()).substr(0, 512);
    test_support::ProcessInside inside(machine_->mount_folder("destination", 2));  // p2 cannot be unmounted
    ASSERT_TRUE(inside.ready());

    const std::string marker = "RESTORED-DATA-";
    std::string data;
    while (data.size() < (64u << 20)) data += marker;
    data.resize(64 << 20);
    const std::string image = machine_->images().file("image.img");
    WriteWholeFile(image, data);

    // -quiet answers Yes to "Lock and/or Dismount failed! Abort?".
    EXPECT_EQ(RestoreRaw(context(), image, kDisk0, 0, 0, false), CopyResult::Failed);
    EXPECT_EQ(answers_.texts(), (std::vector<std::string>{"Overwrite " + kDisk0 + "?", "Lock and/or Dismount failed! Abort?"}));
    EXPECT_EQ(Occurrences(disk->node(), marker), 0) << "not one block was written";
    EXPECT_EQ(ReadWholeFile(disk->node()).substr(0, 512), table);
    // And the volume that did lock is mounted again as it was.
    EXPECT_EQ(MountsFrom(disk->part(1)), mounted_p1);
    EXPECT_EQ(MountsFrom(disk->part(2)), mounted_p2);
    EXPECT_EQ(ReadWholeFile(machine_->mount_folder("destination", 1) + "/hello.txt"), "destination p1\n");
}

// Every kind of restore onto a partitioned, mounted disk ends with the
// kernel's partitions those of the table the image brought, the disk's
// volumes let go.
TEST_F(LinuxCopyTest, EveryRestoreFormatLeavesTheKernelWithTheImagesTable) {
    for (const char* tool : {"qemu-img", "socat", "lz4"})
        if (!test_support::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    const std::string raw = machine_->images().file("image.raw");
    test_support::MakeSparseFile(raw, 48 << 20);
    ASSERT_TRUE(Sh("printf 'label: dos\\n2048,20480,83\\n22528,40960,83\\n' | sfdisk -q " + Quote(raw)));
    ASSERT_TRUE(Sh("head -c 3000000 /dev/urandom | dd of=" + Quote(raw) + " bs=1M seek=2 conv=notrunc status=none"));
    auto image = [&](const std::string& name) { return machine_->images().file(name); };
    ASSERT_TRUE(Sh("qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on " + Quote(raw) + " " + Quote(image("image.vhd"))));
    ASSERT_TRUE(Sh("qemu-img convert -f raw -O vhdx " + Quote(raw) + " " + Quote(image("image.vhdx"))));
    ASSERT_TRUE(Sh("qemu-img convert -f raw -O qcow2 " + Quote(raw) + " " + Quote(image("image.qcow2"))));

    struct Case {
        const char* what;
        std::function<bool(const OperationContext&)> restore;
    } cases[] = {
        {"RAW", [&](const OperationContext& c) { return RestoreRaw(c, raw, kDisk0, 0, 0, false) == CopyResult::Completed; }},
        {"LZ4",
         [&](const OperationContext& c) {
             return BackupRaw(c, raw, image("image.lz4"), 0, 0, true) == CopyResult::Completed &&
                    RestoreRaw(c, image("image.lz4"), kDisk0, 0, 0, true) == CopyResult::Completed;
         }},
        {"EWF",
         [&](const OperationContext& c) {
             return RawToEwf(c, raw, image("image.e01")) == CopyResult::Completed &&
                    EwfToRaw(c, image("image.E01"), kDisk0) == CopyResult::Completed;
         }},
        {"VHD", [&](const OperationContext& c) { return rawvhd(c, image("image.vhd"), kDisk0, kRawVhdToDevice); }},
        {"VHDX", [&](const OperationContext& c) { return rawvhd(c, image("image.vhdx"), kDisk0, kRawVhdToDevice); }},
        {"QCOW (the converter)", [&](const OperationContext& c) { return QcowToRaw(c, image("image.qcow2"), kDisk0) == CopyResult::Completed; }},
        {"network",
         [&](const OperationContext& c) {
             test_support::ListeningPeer peer("socat -d -d -u FILE:" + Quote(raw) + " TCP-LISTEN:0,bind=127.0.0.1");
             return peer.port() > 0 && NetReceiveRaw(c, kDisk0, "127.0.0.1", peer.port()).result == CopyResult::Completed;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoopDisk* disk = machine_->make("destination", kGptOne, {1}, 64 << 20);
        ASSERT_TRUE(disk);
        machine_->offer({disk});
        EXPECT_TRUE(c.restore(context())) << ::testing::PrintToString(answers_.texts()) << context.last_status();
        EXPECT_TRUE(Sh("cmp -n " + std::to_string(48 << 20) + " " + Quote(raw) + " " + Quote(disk->node())));
        EXPECT_EQ(KernelParts(disk->name()), TableParts(raw));
        EXPECT_EQ(LockedVolumeCount(), 0u);
        machine_->clear();
    }
}

// A backup written onto a disk is a restore by another name: the disk's
// volumes are locked for it and given back when it ends.
TEST_F(LinuxCopyTest, ABackupOntoADiskLetsGoOfTheDisksVolumes) {
    LoopDisk* disk = machine_->make("destination", kMbrTwo, {1, 2});
    ASSERT_TRUE(disk);
    machine_->offer({disk});
    const std::string image = machine_->images().file("image.img");
    // Read past the whole disk's page cache, which may hold blocks older than
    // what mkfs wrote through the partitions: a stale copy would not mount.
    ASSERT_TRUE(Sh("sync && dd if=" + Quote(disk->node()) + " of=" + Quote(image) +
                   " bs=1M count=48 iflag=direct status=none"));
    EXPECT_EQ(BackupRaw(context(), image, kDisk0, 0, 0, false), CopyResult::Completed)
        << ::testing::PrintToString(answers_.texts());
    EXPECT_EQ(LockedVolumeCount(), 0u);
    for (const auto* v : platform::device::Registry::instance().refresh()->volumes_of(0))
        EXPECT_FALSE(platform::device::Registry::instance().held_by_us(platform::device::GuidToString(v->guid)));
    // Nothing keeps them from being mounted again: they are.
    EXPECT_EQ(MountsFrom(disk->part(1)).size(), 1u);
    EXPECT_EQ(MountsFrom(disk->part(2)).size(), 1u);
}

}  // namespace
