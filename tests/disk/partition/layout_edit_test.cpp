// Partition-table editing through the drive-layout requests, on disks of the
// embedded host: what each routine leaves on the disk is read back by
// sfdisk and checked by sgdisk; numbers outside the layout, volumes in use
// and impossible sizes are refused with the routine's own message and the
// disk as it was.
#include "disk/partition/layout_edit.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>

#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/embedded_machine.h"
#include "support/partition_peers.h"

namespace {

using namespace disk;
namespace ts = test_support;
using platform::device::Registry;
using ts::DiskSpec;
using ts::EmbeddedMachine;

constexpr std::int64_t kMiB = 1 << 20;
constexpr const char* kBasicData = "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}";
constexpr const char* kLinuxData = "{0FC63DAF-8483-4772-8E79-3D69D8477DE4}";

// Standard output while the scope lives.
class CaptureStdout {
public:
    CaptureStdout() : previous_(std::cout.rdbuf(text_.rdbuf())) {}
    ~CaptureStdout() { std::cout.rdbuf(previous_); }
    std::string text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* previous_;
};

// The boxes a routine shows, answered and kept.
class Boxes {
public:
    Boxes() : scope_(ui_) {}
    std::vector<std::string> texts() const { return ui_.texts(); }
    std::string captions() const {
        std::string all;
        for (const auto& e : ui_.log()) all += e.caption + ";";
        return all;
    }

private:
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_;
};

DiskSpec Blank(std::int64_t size = 16 * kMiB) { return DiskSpec{size, {}, ""}; }
DiskSpec Sfdisk(const std::string& script, std::int64_t size = 16 * kMiB) {
    return DiskSpec{size, {"printf '" + script + "' | sfdisk -q %s"}, ""};
}
DiskSpec Sgdisk(const std::string& args, std::int64_t size = 16 * kMiB) {
    return DiskSpec{size, {"sgdisk -o " + args + " %s >/dev/null"}, ""};
}

int VolumeCount(int disk) { return static_cast<int>(Registry::instance().snapshot()->volumes_of(disk).size()); }

// ---- new disks and partitions -------------------------------------------------------

TEST(CreatePartition, EntryOneOfABlankMbrDiskTakesItFromOneMebibyteToItsLastWholeOne) {
    EmbeddedMachine machine({Blank(8000000000)});
    ASSERT_TRUE(CreateDiskLayout("0", kLayoutMbr));
    CaptureStdout out;
    ASSERT_TRUE(CreatePartitionMbr("\\\\.\\PhysicalDrive0", 1, true, 7, 0, 0));
    EXPECT_EQ(out.text(), "partition_number:1\noffset:1048576\nsize:7998537728\n");

    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 1u) << table.output;
    EXPECT_EQ(table.id, "0x01020304");
    EXPECT_EQ(table.partitions[0].start * 512, 1048576);
    EXPECT_EQ(table.partitions[0].size * 512, 7998537728);  // 7,628 MiB
    EXPECT_EQ(table.partitions[0].type, "7");
    EXPECT_TRUE(table.partitions[0].boot);
    EXPECT_EQ(VolumeCount(0), 1);
}

TEST(CreatePartition, ThirdEntryOfAGptWithTwoRaisesTheCountToThree) {
    EmbeddedMachine machine({Sgdisk("-n1:2048:+2M -n2:0:+2M")});
    DriveLayoutBuffer before;
    ASSERT_TRUE(GetDriveLayoutEx("\\\\.\\PhysicalDrive0", before));
    ASSERT_EQ(before.Header.PartitionCount, 2u);
    CaptureStdout out;
    ASSERT_TRUE(CreatePartitionEx("0", 3, kLinuxData, 4 * kMiB, 8 * kMiB));

    DriveLayoutBuffer after;
    ASSERT_TRUE(GetDriveLayoutEx("\\\\.\\PhysicalDrive0", after));
    EXPECT_EQ(after.Header.PartitionCount, 3u);
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 3u) << table.output;
    EXPECT_EQ(table.partitions[2].start * 512, 8 * kMiB);
    EXPECT_EQ(table.partitions[2].type, "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
}

TEST(CreatePartition, EntryOneOfAGptStopsBeforeTheBackupTable) {
    // 9 MiB + 8 KiB: the last whole MiB of the disk ends inside the backup table.
    EmbeddedMachine machine({Sgdisk("", 9 * kMiB + 8192)});
    CaptureStdout out;
    ASSERT_TRUE(CreatePartitionEx("0", 1, kBasicData, 0, 0));
    EXPECT_EQ(out.text(), "partition_number:1\noffset:1048576\nsize:" + std::to_string(7 * kMiB) + "\n");
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(table.partitions.size(), 1u) << table.output;
    EXPECT_EQ(table.partitions[0].size * 512, 7 * kMiB);
}

TEST(CreateDisk, MbrGetsTheFixedSignatureAndGptAFreshGuidEachTime) {
    EmbeddedMachine machine({Sfdisk("label: dos\\nstart=2048,size=4096,type=83\\n")});
    ASSERT_TRUE(CreateDiskLayout("\\\\.\\PhysicalDrive0", kLayoutGpt));
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    const std::string first = ts::SfdiskTable(machine.image(0)).id;
    ASSERT_TRUE(CreateDiskLayout("0", kLayoutGpt));
    const std::string second = ts::SfdiskTable(machine.image(0)).id;
    EXPECT_EQ(first.size(), 36u);
    EXPECT_NE(first, second);
    EXPECT_NE(first, "00000000-0000-0000-0000-000000000000");

    ASSERT_TRUE(CreateDiskLayout("0", kLayoutMbr));
    const ts::PeerTable table = ts::SfdiskTable(machine.image(0));
    EXPECT_EQ(table.label, "dos") << table.output;
    EXPECT_EQ(table.id, "0x01020304");
    EXPECT_EQ(ts::Run("blkid -p " + ts::Quote(machine.image(0))).output.find("gpt"), std::string::npos)
        << "no GPT header left behind";

    ASSERT_TRUE(CreateDiskLayout("0", kLayoutRaw));
    EXPECT_FALSE(ts::SfdiskTable(machine.image(0)).read);
    EXPECT_EQ(VolumeCount(0), 0);
}

TEST(CreateDisk, ADiskWithAVolumeInUseIsLeftAsItWas) {
    EmbeddedMachine machine({ts::PartitionedExt4Disk()});
    const std::string before = ts::ReadWholeFile(machine.image(0));
    try {
        CreateDiskLayout("0", kLayoutGpt);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "IOCTL_DISK_CREATE_DISK failed:Access is denied");
    }
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(0)) == before);
    EXPECT_THROW(CreateDiskLayout("0", 3), std::runtime_error);
}

TEST(CreatePartition, AnEntryOutsideAnMbrLayoutOrAnImpossibleSizeRaises) {
    EmbeddedMachine machine({Blank()});
    ASSERT_TRUE(CreateDiskLayout("0", kLayoutMbr));
    CaptureStdout out;
    struct Case {
        int entry;
        std::int64_t length, offset;
        const char* message;
    } cases[] = {
        {5, kMiB, kMiB, "IOCTL_DISK_SET_DRIVE_LAYOUT failed:The parameter is incorrect"},   // no fifth primary
        {0, kMiB, kMiB, "IOCTL_DISK_SET_DRIVE_LAYOUT failed:The parameter is incorrect"},
        {2, 64 * kMiB, kMiB, "IOCTL_DISK_SET_DRIVE_LAYOUT failed:The parameter is incorrect"},  // past the end
        {2, kMiB, kMiB + 1, "IOCTL_DISK_SET_DRIVE_LAYOUT failed:The parameter is incorrect"},   // off a sector
    };
    for (const Case& c : cases) {
        try {
            CreatePartitionMbr("0", c.entry, false, 0x83, c.length, c.offset);
            ADD_FAILURE() << "entry " << c.entry << ": no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.message) << "entry " << c.entry;
        }
    }
    EXPECT_TRUE(ts::SfdiskTable(machine.image(0)).partitions.empty());
}

// ---- the setters -------------------------------------------------------------------

TEST(LayoutSetters, EachChangesItsFieldAndNothingElse) {
    EmbeddedMachine machine({Sgdisk("-n1:2048:+2M -n2:0:+2M -n3:0:+2M"),
                             Sfdisk("label: dos\\nstart=2048,size=4096,type=83\\nstart=6144,size=4096,type=7\\n")});
    Boxes boxes;
    const std::string gpt = "\\\\.\\PhysicalDrive0";
    const std::string mbr = "\\\\.\\PhysicalDrive1";
    ASSERT_TRUE(SetGptDiskId(gpt, "{01234567-89AB-CDEF-0123-456789ABCDEF}"));
    ASSERT_TRUE(SetGptPartitionType("0", 2, kLinuxData));
    ASSERT_TRUE(SetGptPartitionId("0", 2, "{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}"));
    ASSERT_TRUE(SetGptAttributes("0", 1, std::int64_t{1} << 62));
    ASSERT_TRUE(SetMbrDiskSignature("1", 0xCAFEF00D));
    ASSERT_TRUE(SetMbrBootIndicator(mbr, 2, true));
    ASSERT_TRUE(SetMbrPartitionType(mbr, 1, 0x0C));
    EXPECT_TRUE(boxes.texts().empty()) << boxes.texts().front();

    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
    ts::PeerTable g = ts::SfdiskTable(machine.image(0));
    EXPECT_EQ(g.id, "01234567-89AB-CDEF-0123-456789ABCDEF");
    ASSERT_EQ(g.partitions.size(), 3u);
    EXPECT_EQ(g.partitions[1].type, "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
    EXPECT_EQ(g.partitions[1].uuid, "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE");
    EXPECT_NE(g.output.find("\"attrs\": \"GUID:62\""), std::string::npos) << g.output;
    ts::PeerTable m = ts::SfdiskTable(machine.image(1));
    EXPECT_EQ(m.id, "0xcafef00d");
    ASSERT_EQ(m.partitions.size(), 2u);
    EXPECT_EQ(m.partitions[0].type, "c");
    EXPECT_FALSE(m.partitions[0].boot);
    EXPECT_TRUE(m.partitions[1].boot);

    // Deleting: GPT entry 2 goes and the others stay where they are.
    ASSERT_TRUE(DeletePartitionEx("0", 2));
    ASSERT_TRUE(DeletePartitionMbr("1", 1));
    g = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(g.partitions.size(), 2u);
    EXPECT_EQ(g.partitions[0].number, 1);
    EXPECT_EQ(g.partitions[1].number, 3);
    m = ts::SfdiskTable(machine.image(1));
    ASSERT_EQ(m.partitions.size(), 1u);
    EXPECT_EQ(m.partitions[0].number, 2);
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
}

TEST(LayoutSetters, MovingAnEntryFirstChangesTheTableOrder) {
    EmbeddedMachine machine({Sgdisk("-n1:2048:+2M -n2:0:+2M -n3:0:+2M")});
    const ts::PeerTable before = ts::SfdiskTable(machine.image(0));
    ASSERT_TRUE(MovePartitionToFirst("0", 3));
    const ts::PeerTable after = ts::SfdiskTable(machine.image(0));
    ASSERT_EQ(after.partitions.size(), 3u);
    EXPECT_EQ(after.partitions[0].start, before.partitions[2].start);
    EXPECT_EQ(after.partitions[0].uuid, before.partitions[2].uuid);
    EXPECT_EQ(after.partitions[1].uuid, before.partitions[1].uuid);
    EXPECT_EQ(after.partitions[2].start, before.partitions[0].start);
    EXPECT_TRUE(ts::SgdiskVerifies(machine.image(0)));
}

TEST(LayoutSetters, AnEntryOutsideTheLayoutIsRefusedNotIgnored) {
    EmbeddedMachine machine({Sgdisk("-n1:2048:+2M -n2:0:+2M"),
                             Sfdisk("label: dos\\nstart=2048,size=4096,type=83\\n")});
    const std::string gpt_before = ts::ReadWholeFile(machine.image(0));
    const std::string mbr_before = ts::ReadWholeFile(machine.image(1));
    Boxes boxes;
    EXPECT_FALSE(SetGptAttributes("0", 3, 1));
    EXPECT_FALSE(SetGptPartitionType("0", 0, kBasicData));
    EXPECT_FALSE(DeletePartitionEx("0", 65));
    EXPECT_FALSE(MovePartitionToFirst("0", 7));
    EXPECT_FALSE(SetMbrPartitionType("\\\\.\\PhysicalDrive1", 5, 0x07));
    EXPECT_FALSE(DeletePartitionMbr("1", -1));
    const std::vector<std::string> expected = {
        "IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:The parameter is incorrect",
        "IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:The parameter is incorrect",
        "IOCTL_DISK_SET_DRIVE_LAYOUT failed:The parameter is incorrect",
        "IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:The parameter is incorrect",
        "IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:The parameter is incorrect",
        "IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:The parameter is incorrect",
    };
    EXPECT_EQ(boxes.texts(), expected);
    EXPECT_EQ(boxes.captions(), "tarnovell;tarnovell;tarnovell;tarnovell;tarnovell;tarnovell;");
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(0)) == gpt_before);
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(1)) == mbr_before);
}

TEST(LayoutSetters, AMalformedGuidRaisesAndAMissingDiskIsSaid) {
    EmbeddedMachine machine({Sgdisk("-n1:2048:+2M")});
    Boxes boxes;
    EXPECT_THROW(SetGptPartitionType("0", 1, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"), std::invalid_argument);
    EXPECT_THROW(SetGptDiskId("0", "{not-a-guid}"), std::invalid_argument);
    EXPECT_FALSE(SetMbrDiskSignature("7", 1));
    ASSERT_EQ(boxes.texts().size(), 1u);
    EXPECT_EQ(boxes.texts()[0].rfind("IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed:", 0), 0u) << boxes.texts()[0];
}

TEST(LayoutSetters, AVolumeInUseIsNeitherDeletedNorMovedUnlessLocked) {
    EmbeddedMachine machine({ts::PartitionedExt4Disk()});
    const std::string before = ts::ReadWholeFile(machine.image(0));
    Boxes boxes;
    EXPECT_FALSE(DeletePartitionMbr("0", 1));
    ASSERT_EQ(boxes.texts().size(), 1u);
    EXPECT_EQ(boxes.texts()[0].rfind("IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:Access is denied - partition 1 (", 0), 0u)
        << boxes.texts()[0];
    EXPECT_TRUE(ts::ReadWholeFile(machine.image(0)) == before);
    // Its type may change: that pulls nothing from under anyone.
    EXPECT_TRUE(SetMbrPartitionType("\\\\.\\PhysicalDrive0", 1, 0x07));

    // Locked by us, it may go.
    const auto snap = Registry::instance().snapshot();
    ASSERT_EQ(snap->volumes_of(0).size(), 1u);
    platform::Handle volume = platform::CreateFile(snap->volumes_of(0)[0]->guid_path, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                                   platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                   platform::OPEN_EXISTING, 0);
    ASSERT_TRUE(LockVolumeHandle(volume));
    EXPECT_TRUE(DeletePartitionMbr("0", 1));
    EXPECT_TRUE(ts::SfdiskTable(machine.image(0)).partitions.empty());
}

// ---- growing and shrinking -------------------------------------------------------------

// An 8 MiB disk: ext4 of 4 MiB filling a 4 MiB partition at 1 MiB, 3 MiB free after it.
std::string VolumePath() { return Registry::instance().snapshot()->volumes_of(0).at(0)->guid_path; }
std::int64_t PartitionSectors(const std::string& image) { return ts::SfdiskTable(image).partitions.at(0).size; }

TEST(GrowPartition, GrowsIntoFreeRoomAndNoFurther) {
    EmbeddedMachine machine({ts::PartitionedExt4Disk()});
    Boxes boxes;
    EXPECT_TRUE(GrowPartitionIoctl(VolumePath(), 2 * kMiB));
    EXPECT_EQ(PartitionSectors(machine.image(0)), 12288);
    EXPECT_FALSE(GrowPartitionIoctl(VolumePath(), 2 * kMiB));  // 1 MiB is left
    EXPECT_EQ(PartitionSectors(machine.image(0)), 12288);
    EXPECT_FALSE(GrowPartitionIoctl(VolumePath(), -5 * kMiB));  // into the file system
    EXPECT_EQ(PartitionSectors(machine.image(0)), 12288);
    const std::vector<std::string> expected = {
        "IOCTL_DISK_GROW_PARTITION failed:There is not enough space on the disk",
        "IOCTL_DISK_GROW_PARTITION failed:The parameter is incorrect",
    };
    EXPECT_EQ(boxes.texts(), expected);
    EXPECT_TRUE(GrowPartitionIoctl(VolumePath(), -2 * kMiB));  // back to what the file system covers
    EXPECT_EQ(PartitionSectors(machine.image(0)), 8192);
}

TEST(GrowPartition, StopsAtTheNextPartition) {
    EmbeddedMachine machine({Sfdisk("label: dos\\nstart=2048,size=4096,type=83\\nstart=8192,size=4096,type=83\\n")});
    Boxes boxes;
    const std::string first = Registry::instance().snapshot()->volumes_of(0).at(0)->guid_path;
    EXPECT_FALSE(GrowPartitionIoctl(first, 2 * kMiB));
    EXPECT_TRUE(GrowPartitionIoctl(first, kMiB));
    EXPECT_EQ(ts::SfdiskTable(machine.image(0)).partitions.at(0).size, 6144);
}

bool Ext4Clean(const std::string& image, std::int64_t offset, std::int64_t length, std::int64_t* blocks) {
    ts::TempDir dir;
    const std::string part = dir.file("part.img");
    ts::Run("dd if=" + ts::Quote(image) + " of=" + ts::Quote(part) + " bs=512 skip=" + std::to_string(offset / 512) +
            " count=" + std::to_string(length / 512) + " status=none");
    if (ts::Run("e2fsck -fn " + ts::Quote(part)).exit_code != 0) return false;
    ts::CommandResult r = ts::Run("dumpe2fs -h " + ts::Quote(part) + " 2>/dev/null | grep '^Block count:'");
    *blocks = std::stoll(r.output.substr(r.output.find(':') + 1));
    return true;
}

TEST(ResizeVolume, ExtendAndShrinkTheFileSystemWithItsPartition) {
    if (!ts::IsRoot()) GTEST_SKIP() << "resizing a file system inside an image needs a loop device (root)";
    for (const char* tool : {"resize2fs", "e2fsck", "dumpe2fs"})
        if (!ts::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (e2fsprogs)";
    EmbeddedMachine machine({ts::PartitionedExt4Disk()});
    Boxes boxes;
    ASSERT_TRUE(GrowPartitionIoctl(VolumePath(), 2 * kMiB));
    ASSERT_TRUE(ExtendVolumeIoctl(VolumePath(), 6 * kMiB / 512)) << boxes.texts().back();
    std::int64_t blocks = 0;
    ASSERT_TRUE(Ext4Clean(machine.image(0), kMiB, 6 * kMiB, &blocks));
    EXPECT_EQ(blocks, 6144);  // 1 KiB blocks

    ASSERT_TRUE(ShrinkVolumeIoctl(VolumePath(), 3 * kMiB / 512)) << (boxes.texts().empty() ? "" : boxes.texts().back());
    ASSERT_TRUE(GrowPartitionIoctl(VolumePath(), -3 * kMiB));
    EXPECT_EQ(PartitionSectors(machine.image(0)), 6144);
    ASSERT_TRUE(Ext4Clean(machine.image(0), kMiB, 3 * kMiB, &blocks));
    EXPECT_EQ(blocks, 3072);
    EXPECT_TRUE(boxes.texts().empty()) << boxes.texts().front();
}

TEST(ResizeVolume, RefusesSizesThatMakeNoSense) {
    EmbeddedMachine machine({ts::PartitionedExt4Disk()});
    Boxes boxes;
    EXPECT_FALSE(ExtendVolumeIoctl(VolumePath(), 8 * kMiB / 512));  // past its partition
    EXPECT_FALSE(ExtendVolumeIoctl(VolumePath(), 2 * kMiB / 512));  // smaller
    EXPECT_FALSE(ShrinkVolumeIoctl(VolumePath(), 5 * kMiB / 512));  // larger
    EXPECT_FALSE(ExtendVolumeIoctl("\\\\.\\PhysicalDrive0", 1));     // a disk has no file system
    const std::vector<std::string> expected = {
        "FSCTL_EXTEND_VOLUME failed:The parameter is incorrect",
        "FSCTL_EXTEND_VOLUME failed:The parameter is incorrect",
        "FSCTL_SHRINK_VOLUME failed:The parameter is incorrect",
        "FSCTL_EXTEND_VOLUME failed:Incorrect function",
    };
    EXPECT_EQ(boxes.texts(), expected);
}

}  // namespace
