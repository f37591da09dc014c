// Device queries over the embedded host, and the descriptor-string and
// list-entry rules they rest on.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "disk/device/device_query.h"
#include "disk/util/lib_helpers.h"
#include "platform/device/records/mbr.h"
#include "platform/device/registry.h"
#include "platform/base/interaction.h"
#include "support/case_name.h"
#include "support/embedded_machine.h"

using namespace disk;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

struct DescriptorCase {
    const char* name;
    std::string bytes;      // the descriptor as the device returned it
    std::int64_t offset;
    bool swap;
    std::string expected;
};

class DescriptorString : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(DescriptorString, ReadsAsTheDeviceMeantIt) {
    const auto& c = GetParam();
    auto* bytes = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
    EXPECT_EQ(ExtractDescriptorString(bytes, c.bytes.size(), c.offset, c.swap), c.expected);
}

const std::string kHead(8, '\x01');  // stands for the fixed part of the descriptor

INSTANTIATE_TEST_SUITE_P(
    Cases, DescriptorString,
    ::testing::Values(
        DescriptorCase{"hex_pairs", kHead + std::string("3132333435\0", 11), 8, false, "12345"},
        DescriptorCase{"hex_upper_case", kHead + std::string("4142\0", 5), 8, false, "AB"},
        DescriptorCase{"hex_nul_padding_is_dropped", kHead + std::string("31320000\0", 9), 8, false, "12"},
        DescriptorCase{"all_nul_hex_reads_as_text", kHead + std::string("0000\0", 5), 8, false, "0000"},
        DescriptorCase{"blank_inside_is_copied_then_trimmed", kHead + std::string("  WD 1234  \0", 12), 8, false,
                       "WD 1234"},
        DescriptorCase{"odd_hex_length_keeps_the_pairs", kHead + std::string("313\0", 4), 8, false, "1"},
        DescriptorCase{"hex_decoding_to_control_byte_is_copied_plainly", kHead + std::string("0102\0", 5), 8, false,
                       "0102"},
        DescriptorCase{"offset_zero_is_empty", kHead + std::string("ABC\0", 4), 0, false, ""},
        DescriptorCase{"negative_offset_is_empty", kHead + std::string("ABC\0", 4), -4, false, ""},
        DescriptorCase{"control_character_empties_the_string", kHead + std::string("AB\x07" "C\0", 5), 8, false, ""},
        DescriptorCase{"swap_pairs", kHead + std::string("BADC\0", 5), 8, true, "ABCD"},
        DescriptorCase{"offset_past_the_reply_is_empty", kHead + std::string("ABC\0", 4), 4096, false, ""},
        DescriptorCase{"unterminated_string_stops_at_the_reply_end", kHead + std::string("XYZ"), 8, false, "XYZ"}),
    test_support::CaseName());

struct EntryCase {
    std::string entry;
    std::string path;
};

class ListEntry : public ::testing::TestWithParam<EntryCase> {};

TEST_P(ListEntry, GivesTheDevicePath) { EXPECT_EQ(DevicePathOf(GetParam().entry), GetParam().path); }

INSTANTIATE_TEST_SUITE_P(Cases, ListEntry,
                         ::testing::Values(EntryCase{"\\\\.\\C: [System]", "\\\\.\\C:"},
                                           EntryCase{"\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive0"},
                                           EntryCase{"\\\\.\\PhysicalDrive1 [ACME Test Disk]", "\\\\.\\PhysicalDrive1"},
                                           EntryCase{"\\\\?\\Volume{1234}\\ [Data]", "\\\\?\\Volume{1234}\\"},
                                           EntryCase{"/srv/my images/disk one.img", "/srv/my images/disk one.img"},
                                           EntryCase{"/srv/my images/disk.img [Backup]", "/srv/my images/disk.img"},
                                           EntryCase{"", ""}));

DiskSpec OnePartitionDisk() {
    DiskSpec spec;
    spec.prepare = {"printf 'label: dos\\nlabel-id: 0x12345678\\nstart=2048,size=8192,type=7\\n' | sfdisk -q %s"};
    spec.extra_manifest_lines = "bus=Usb\nremovable=1\n";
    return spec;
}

}  // namespace

TEST(DeviceQueries, StorageInfoOfAnEmbeddedDisk) {
    EmbeddedMachine machine({OnePartitionDisk()});
    TStorageInfo info;
    ASSERT_TRUE(GetStorageInfo("\\\\.\\PhysicalDrive0", info));
    EXPECT_EQ(info.VendorId, "ACME");
    EXPECT_EQ(info.ProductId, "Test Disk 0");
    EXPECT_EQ(info.ProductRevision, "1.0");
    EXPECT_EQ(info.SerialNumber, "0000");  // all-NUL hex is no hex text: kept as it stands
    EXPECT_EQ(info.Removable, 1);
    EXPECT_EQ(info.BusType, "Usb");
    // A volume answers for its disk.
    TStorageInfo of_volume;
    ASSERT_TRUE(GetStorageInfo("\\\\.\\C:", of_volume));
    EXPECT_EQ(of_volume.ProductId, "Test Disk 0");
    TStorageInfo absent;
    EXPECT_FALSE(GetStorageInfo("\\\\.\\PhysicalDrive9", absent));
    EXPECT_TRUE(absent.ProductId.empty());
}

TEST(DeviceQueries, BusNames) {
    EXPECT_EQ(BusTypeToStr(1), "Scsi");
    EXPECT_EQ(BusTypeToStr(7), "Usb");
    EXPECT_EQ(BusTypeToStr(11), "Sata");
    EXPECT_EQ(BusTypeToStr(0), "unknown");
    EXPECT_EQ(BusTypeToStr(17), "unknown");
}

TEST(DeviceQueries, GeometryFlagsAndSixtyFourBitTotals) {
    // 3 TiB, sparse: more sectors than 32 bits can count.
    EmbeddedMachine machine({DiskSpec{3LL << 40, {}, ""}, OnePartitionDisk()});
    TDriveGeometry big{};
    ASSERT_TRUE(GetDriveGeometry(0, big));
    // The record is packed: read its fields by value.
    const std::uint64_t total = big.TotalSectors, size = big.DiskSize;
    const std::uint32_t cylinders = big.Cylinders, heads = big.Heads, sectors = big.SectorsPerTrack;
    EXPECT_EQ(big.Size, 30);
    EXPECT_EQ(big.Flags, 0);  // fixed media
    EXPECT_EQ(size, 3ULL << 40);
    EXPECT_EQ(total, static_cast<std::uint64_t>(cylinders) * heads * sectors);
    EXPECT_GT(total, 0xFFFFFFFFULL);
    TDriveGeometry stick{};
    ASSERT_TRUE(GetDriveGeometry(1, stick));
    EXPECT_EQ(stick.Flags, 4);  // removable media

    TDriveGeometry untouched{};
    untouched.Heads = 77;
    EXPECT_FALSE(GetDriveGeometry(5, untouched));
    const std::uint32_t untouched_heads = untouched.Heads;
    EXPECT_EQ(untouched_heads, 77u);
}

TEST(DeviceQueries, NumbersExtentsAndMountPaths) {
    EmbeddedMachine machine({DiskSpec{}, OnePartitionDisk()});
    int disk_number = 0, partition = 0;
    ASSERT_TRUE(GetDeviceNumber("\\\\.\\C:", disk_number, partition));
    EXPECT_EQ(disk_number, 1);
    EXPECT_EQ(partition, 1);
    EXPECT_FALSE(GetDeviceNumber("\\\\.\\Q:", disk_number, partition));
    EXPECT_EQ(disk_number, -1);
    EXPECT_EQ(partition, -1);

    TDiskExtent extent;
    GetVolumeDiskExtents(extent, 'C');
    EXPECT_EQ(extent.DiskNumber, 1u);
    EXPECT_EQ(extent.StartingOffset, 2048 * 512);
    EXPECT_EQ(extent.ExtentLength, 8192 * 512);
    GetVolumeDiskExtents(extent, 'Q');
    EXPECT_EQ(extent.ExtentLength, 0);

    std::string guid_path = GetVolumeNameForMountPoint("C:\\");
    ASSERT_EQ(guid_path.rfind("\\\\?\\Volume{", 0), 0u);
    EXPECT_EQ(GetVolumeMountPaths(guid_path), "C:\\");
    EXPECT_EQ(GetVolumeMountPaths("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\"), "");
}

TEST(DeviceQueries, MountAndUnmountLetters) {
    EmbeddedMachine machine({OnePartitionDisk()});
    platform::ScriptedInteraction ui;
    platform::ScopedInteraction scope(ui);
    std::string volume = GetVolumeNameForMountPoint("C:\\");
    ASSERT_TRUE(unmount_vol("C:\\"));
    EXPECT_EQ(GetVolumeMountPaths(volume), "");
    ASSERT_TRUE(mount_vol(volume, ""));  // the first free letter
    EXPECT_EQ(GetVolumeMountPaths(volume), "C:\\");
    ASSERT_TRUE(unmount_vol("C:\\"));
    ASSERT_TRUE(mount_vol(volume, "K:\\"));
    EXPECT_EQ(GetVolumeMountPaths(volume), "K:\\");
    EXPECT_TRUE(ui.log().empty());

    EXPECT_FALSE(unmount_vol("R:\\"));
    ASSERT_EQ(ui.log().size(), 1u);
    EXPECT_EQ(ui.log()[0].text.rfind("unmount_vol:", 0), 0u);
    EXPECT_EQ(ui.log()[0].caption, "unmount_vol");
}

TEST(DeviceQueries, LayoutRecordMatchesTheTable) {
    EmbeddedMachine machine({OnePartitionDisk()});
    DriveLayoutBuffer layout{};
    ASSERT_TRUE(GetDriveLayoutEx("\\\\.\\PhysicalDrive0", layout));
    EXPECT_EQ(layout.Header.PartitionStyle, platform::PARTITION_STYLE_MBR);
    EXPECT_EQ(layout.Header.PartitionCount, 4u);
    EXPECT_EQ(layout.Header.Mbr.Signature, 0x12345678u);
    EXPECT_EQ(layout.PartitionEntry[0].StartingOffset, 2048 * 512);
    EXPECT_EQ(layout.PartitionEntry[0].Mbr.PartitionType, 7);
    EXPECT_EQ(layout.PartitionEntry[0].PartitionNumber, 1u);
    try {
        GetDriveLayoutEx("\\\\.\\PhysicalDrive7", layout);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed:", 0), 0u) << e.what();
    }
}

TEST(DeviceQueries, CacheAttributesAlignmentAndFailurePrediction) {
    EmbeddedMachine machine({DiskSpec{8 << 20, {}, "sector_size=4096\n"}});
    platform::DISK_CACHE_INFORMATION cache{};
    EXPECT_TRUE(GetDiskCacheInfo("\\\\.\\PhysicalDrive0", cache));
    platform::GET_DISK_ATTRIBUTES attributes{};
    ASSERT_TRUE(GetDiskAttributes("\\\\.\\PhysicalDrive0", attributes));
    EXPECT_EQ(attributes.Attributes, 0u);
    platform::STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR alignment{};
    ASSERT_TRUE(GetAccessAlignment("\\\\.\\PhysicalDrive0", alignment));
    EXPECT_EQ(alignment.BytesPerLogicalSector, 4096u);
    platform::Handle h = OpenForQuery("\\\\.\\PhysicalDrive0", 0);
    platform::STORAGE_PREDICT_FAILURE prediction;
    std::memset(&prediction, 0xAB, sizeof prediction);
    ASSERT_TRUE(GetPredictFailure(h, prediction));
    EXPECT_EQ(prediction.PredictFailure, 0u);
}

TEST(ReadDiskSector0, EndOfTheFurthestPartition) {
    DiskSpec spec{1LL << 30, {"printf 'label: dos\\nstart=2048,size=1000000,type=7\\n' | sfdisk -q %s"}, ""};
    EmbeddedMachine machine({spec});
    EXPECT_EQ(ReadDiskSector0("\\\\.\\PhysicalDrive0"), 513048576);
    EXPECT_EQ(ReadDiskSector0("\\\\.\\PhysicalDrive3"), 0);
}

TEST(ReadDiskSector0, PastTwoTebibytesAndGptProtectiveEntries) {
    // One partition whose end lies beyond 2^32 sectors of a 5 TiB disk: the
    // 32-bit sum would wrap to a tiny size. sfdisk will not write such an
    // entry, so the test writes the table bytes itself.
    DiskSpec gpt{64 << 20, {"sgdisk -n 1:2048:+1M %s >/dev/null"}, ""};
    EmbeddedMachine machine({DiskSpec{5LL << 40, {}, ""}, gpt});
    {
        platform::device::MasterBootRecord mbr{};
        mbr.PartitionRecord[0].OSType = 0x07;
        mbr.PartitionRecord[0].StartingLBA.set(0xFFFFF800);
        mbr.PartitionRecord[0].SizeInLBA.set(0xFFFFFFFF);
        mbr.Signature.set(platform::device::kMbrSignature);
        std::FILE* f = std::fopen(machine.image(0).c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fwrite(&mbr, 1, sizeof mbr, f);
        std::fclose(f);
    }
    platform::device::Registry::instance().refresh();
    EXPECT_EQ(ReadDiskSector0("\\\\.\\PhysicalDrive0"), (0xFFFFF800LL + 0xFFFFFFFFLL) * 512);
    // A GPT disk must be backed up whole, backup GPT included.
    EXPECT_EQ(ReadDiskSector0("\\\\.\\PhysicalDrive1"), 64 << 20);
}

TEST(VolumeNameToDeviceName, GuidPathsAndLetters) {
    EmbeddedMachine machine({OnePartitionDisk()});
    std::string volume = GetVolumeNameForMountPoint("C:\\");
    EXPECT_EQ(VolumeNameToDeviceName(volume), "\\Device\\HarddiskVolume1");
    EXPECT_EQ(VolumeNameToDeviceName("C:"), "\\Device\\HarddiskVolume1");
    EXPECT_EQ(VolumeNameToDeviceName("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\"), "");
}
