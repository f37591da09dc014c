// The device list, the drive combos and the device report over a small
// machine of image files like the demo one: an MBR disk with an ext4 volume
// and a FAT volume in an extended partition, a GPT disk, a blank disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "disk/device/device_lists.h"
#include "platform/device/registry.h"
#include "platform/device/volume_api.h"
#include "support/embedded_machine.h"

using namespace disk;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

DiskSpec MbrDisk() {
    DiskSpec spec{64 << 20, {}, ""};
    spec.prepare = {
        "printf 'label: dos\\nlabel-id: 0x7a4e0001\\nstart=2048,size=40960,type=83\\nstart=43008,size=88064,type=5\\n"
        "start=45056,size=86016,type=6\\n' | sfdisk -q %s",
        "mkfs.ext4 -q -F -L system -E offset=1048576 %s 20480",
        "mkfs.fat -F 16 -n DATA --offset 45056 %s 43008 >/dev/null",
    };
    return spec;
}

DiskSpec GptDisk() {
    DiskSpec spec{32 << 20, {"sgdisk -n 1:2048:+8M -t 1:EF00 -n 2:0:0 -t 2:0700 %s >/dev/null"}, ""};
    return spec;
}

class DeviceListsTest : public ::testing::Test {
protected:
    EmbeddedMachine machine_{{MbrDisk(), GptDisk(), DiskSpec{16 << 20, {}, "removable=1\nbus=Usb\n"}}};
};

std::vector<std::string> Devices(const std::vector<DiskListRow>& rows) {
    std::vector<std::string> devices;
    for (const auto& r : rows) devices.push_back(r.device);
    return devices;
}

// What a peer tool prints for a number, or -1.
long long PeerNumber(const std::string& command, const std::string& pattern) {
    auto result = test_support::Run(command);
    std::smatch m;
    std::regex re(pattern);
    return std::regex_search(result.output, m, re) ? std::stoll(m[1]) : -1;
}

}  // namespace

TEST_F(DeviceListsTest, ViewsPutPartitionsUnderTheirDisks) {
    EXPECT_EQ(Devices(FillDiskList(0, "MB")),
              (std::vector<std::string>{"DISK 0", "PART 0,1", "PART 0,2", "DISK 1", "PART 1,2", "DISK 2"}));
    EXPECT_EQ(Devices(FillDiskList(1, "MB")), (std::vector<std::string>{"PART 0,1", "PART 0,2", "PART 1,2"}));
    EXPECT_EQ(Devices(FillDiskList(2, "MB")), (std::vector<std::string>{"DISK 0", "DISK 1", "DISK 2"}));
}

TEST_F(DeviceListsTest, DiskRowsCarryTheirNumberAndUnitsApplyToDisksOnly) {
    auto mb = FillDiskList(0, "MB");
    EXPECT_EQ(mb[0].caption, "0");
    EXPECT_EQ(mb[0].data, 0);
    EXPECT_EQ(mb[0].description, "Test Disk 0");
    EXPECT_EQ(mb[0].size, "64");
    EXPECT_EQ(mb[0].used, "");
    EXPECT_TRUE(mb[0].is_disk());
    EXPECT_FALSE(mb[1].is_disk());
    EXPECT_EQ(mb[1].data, -1);

    auto sectors = FillDiskList(0, "S");
    // Sectors come from the geometry: whole cylinders of 255 x 63.
    EXPECT_EQ(sectors[0].size, std::to_string((64LL << 20) / 512 / (255 * 63) * 255 * 63));
    EXPECT_EQ(sectors[1].size, mb[1].size);  // partitions stay in MiB
    auto bytes = FillDiskList(2, "bytes");
    EXPECT_EQ(bytes[0].size, std::to_string(64 << 20));
}

TEST_F(DeviceListsTest, PartitionRowsShowLetterLabelSizesAndFileSystemAsThePeersSee) {
    auto rows = FillDiskList(1, "MB");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].caption, "1");
    EXPECT_EQ(rows[0].description, "C: [system]");
    EXPECT_EQ(rows[0].file_system, "ext4");
    EXPECT_EQ(rows[0].size, "20");  // 20480 blocks of 1 KiB
    // Free space as the file system records it, checked against dumpe2fs.
    test_support::RunOn("dd if=%s of=" + machine_.dir().file("ext.img") + " bs=512 skip=2048 count=40960 status=none",
                        machine_.image(0));
    long long free_blocks = PeerNumber("dumpe2fs -h " + machine_.dir().file("ext.img"), "Free blocks:\\s+(\\d+)");
    ASSERT_GT(free_blocks, 0);
    EXPECT_EQ(rows[0].unused, std::to_string(free_blocks / 1024));

    EXPECT_EQ(rows[1].description, "D: [DATA]");
    EXPECT_EQ(rows[1].file_system, "FAT");
    test_support::RunOn("dd if=%s of=" + machine_.dir().file("fat.img") + " bs=512 skip=45056 count=86016 status=none",
                        machine_.image(0));
    long long clusters = PeerNumber("fsck.fat -n -v " + machine_.dir().file("fat.img"), "\\d+/(\\d+) clusters");
    platform::DWORD spc = 0, bps = 0, free = 0, total = 0;
    ASSERT_TRUE(platform::GetDiskFreeSpaceA("D:\\", &spc, &bps, &free, &total));
    EXPECT_EQ(total, static_cast<platform::DWORD>(clusters));
    EXPECT_EQ(free, total);  // a new file system: nothing used

    // The GPT data partition has no file system: listed with its size, no FS.
    EXPECT_EQ(rows[2].device, "PART 1,2");
    EXPECT_EQ(rows[2].description, "E:");
    EXPECT_EQ(rows[2].file_system, "");
    EXPECT_EQ(rows[2].size, "0");
}

TEST_F(DeviceListsTest, VolumesWithoutLettersGetNoRow) {
    // The EFI system partition has no letter: no row, although it is a volume.
    EXPECT_EQ(list_volumes().size(), 4u);
    ASSERT_TRUE(platform::DeleteVolumeMountPointA("D:\\"));
    EXPECT_EQ(Devices(FillDiskList(1, "MB")), (std::vector<std::string>{"PART 0,1", "PART 1,2"}));
}

TEST_F(DeviceListsTest, DriveCombosInTheirModes) {
    EXPECT_EQ(FillDriveCombo(12), (std::vector<std::string>{"C:", "D:", "E:"}));
    EXPECT_EQ(FillDriveCombo(10), (std::vector<std::string>{"C: [system]", "D: [DATA]", "E:"}));
    EXPECT_EQ(FillDriveCombo(1),
              (std::vector<std::string>{"\\\\.\\C: [system]", "\\\\.\\D: [DATA]", "\\\\.\\E:"}));
    EXPECT_EQ(FillDriveCombo(20), (std::vector<std::string>{"\\\\.\\PhysicalDrive0 [Test Disk 0]",
                                                            "\\\\.\\PhysicalDrive1 [Test Disk 1]",
                                                            "\\\\.\\PhysicalDrive2 [Test Disk 2]",
                                                            "Disk Image File (*.img;*.ima)"}));
    auto both = FillDriveCombo(30);
    EXPECT_EQ(both.size(), 7u);
    EXPECT_EQ(both.back(), "DevIO");
    auto volumes = FillDriveCombo(99);
    EXPECT_EQ(std::count_if(volumes.begin(), volumes.end(),
                            [](const std::string& e) { return e.rfind("\\\\.\\HarddiskVolume", 0) == 0; }),
              4);
    EXPECT_EQ(std::count_if(volumes.begin(), volumes.end(),
                            [](const std::string& e) { return e.rfind("\\\\.\\Volume{", 0) == 0; }),
              4);
    EXPECT_EQ(GetDosDriveMask(), 0b11100u);
    EXPECT_FALSE(IsFloppyDevice("C:"));
}

TEST_F(DeviceListsTest, ReportOfADisk) {
    std::vector<std::string> lines;
    DiskInfoReport("\\\\.\\PhysicalDrive0", lines);
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_EQ(lines.front(), "->Drive Geometry");
    EXPECT_TRUE(has("BytesPerSector: 512"));
    EXPECT_TRUE(has("Size: 67108864 bytes, 64 Mbytes"));
    EXPECT_TRUE(has("TotalSectors: 131072"));
    EXPECT_TRUE(has("Style: MBR"));
    EXPECT_TRUE(has("PartitionCount: 8"));
    EXPECT_TRUE(has("DiskID: 7A4E0001"));
    EXPECT_TRUE(has("->Storage Predict Failure: False"));
    EXPECT_TRUE(has("Vendorid: ACME"));
    EXPECT_TRUE(has("ProductID: Test Disk 0"));
    EXPECT_TRUE(has("BusType:Sata"));
    EXPECT_TRUE(has("Attributes: Online Read-Write "));

    DiskInfoReport("\\\\.\\PhysicalDrive1", lines);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("DiskID: {", 0) == 0; }));
    DiskInfoReport("\\\\.\\PhysicalDrive9", lines);
    EXPECT_TRUE(lines.empty());  // nothing without a geometry
}

// Rows and reports say which disk or volume of the machine each is: on the
// demo machine the image file, and the partition of it a volume is.
TEST_F(DeviceListsTest, RowsAndReportsSayWhichDiskOrVolumeOfTheMachineEachIs) {
    const auto rows = FillDiskList(0, "MB");
    ASSERT_EQ(Devices(rows),
              (std::vector<std::string>{"DISK 0", "PART 0,1", "PART 0,2", "DISK 1", "PART 1,2", "DISK 2"}));
    const std::string image0 = machine_.image(0), image1 = machine_.image(1);
    std::vector<std::string> nodes;
    for (const auto& row : rows) nodes.push_back(row.node);
    EXPECT_EQ(nodes, (std::vector<std::string>{image0, "partition 1 of " + image0, "partition 2 of " + image0, image1,
                                               "partition 2 of " + image1, machine_.image(2)}));
    // A row remembers what it showed, for the command that acts on it.
    ASSERT_TRUE(rows[0].identity && rows[1].identity);
    EXPECT_EQ(rows[0].identity->node, image0);
    EXPECT_EQ(rows[0].identity->size, 64 << 20);
    EXPECT_EQ(rows[0].identity->serial, "0000");
    EXPECT_EQ(rows[1].identity->path, "\\\\.\\C:");
    EXPECT_FALSE(rows[1].identity->volume_guid.empty());

    std::vector<std::string> lines;
    DiskInfoReport("\\\\.\\PhysicalDrive1", lines);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"->Linux Device", "Node: " + image1,
                                        "Disk: " + image1 + " (Test Disk 1, 32 MB)"}));
    DiskInfoReport("\\\\.\\D:", lines);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"->Linux Device", "Node: partition 2 of " + image0,
                                        "Volume: partition 2 of " + image0 + " (Test Disk 0, 64 MB)"}));
}

TEST_F(DeviceListsTest, ReportOfAVolume) {
    std::vector<std::string> lines;
    DiskInfoReport("\\\\.\\D:", lines);
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_EQ(lines.front(), "->Parent DeviceNumber: 0");
    EXPECT_TRUE(has("StartingOffset: " + std::to_string(45056LL * 512)));
    EXPECT_TRUE(has("PartitionType: 6"));
    EXPECT_TRUE(has("RecognizedPartition: True"));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("->VolumeGUID: \\\\?\\Volume{", 0) == 0; }));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("->Serial:", 0) == 0; }));
    EXPECT_TRUE(has("->GetDiskFreeSpace"));

    DiskInfoReport("\\\\.\\E:", lines);  // no file system
    EXPECT_TRUE(has("PartitionType: {EBD0A0A2-B9E5-4433-87C0-68B6B72699C7}"));
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("GetVolumeInformation failed:", 0) == 0; }));
}

namespace {

// A disk with one NTFS volume made by mkntfs with a label, two files copied
// in by ntfscp, then put at 1 MiB of an MBR disk.
DiskSpec NtfsDisk(const std::string& volume_image) {
    DiskSpec spec{64 << 20, {}, ""};
    spec.prepare = {
        "printf 'label: dos\\nstart=2048,size=98304,type=7\\n' | sfdisk -q %s",
        "rm -f " + volume_image + " && truncate -s 48M " + volume_image + " && LC_ALL=C.UTF-8 mkntfs -Q -F -q -L 'Archiv Ü' " +
            volume_image + " 2>/dev/null && head -c 5000000 /dev/urandom > " + volume_image + ".data && ntfscp -q " +
            volume_image + " " + volume_image + ".data a.bin && ntfscp -q " + volume_image + " " + volume_image +
            ".data b.bin",
        "dd if=" + volume_image + " of=%s bs=1M seek=1 conv=notrunc status=none",
    };
    return spec;
}

class NtfsDeviceListTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("mkntfs")) GTEST_SKIP() << "mkntfs not installed (package ntfs-3g)";
        machine_ = std::make_unique<EmbeddedMachine>(std::vector<DiskSpec>{NtfsDisk(dir_.file("ntfs.img"))});
        std::string info = test_support::Run("ntfsinfo -m " + dir_.file("ntfs.img")).output;
        free_clusters_ = PeerNumber("ntfsinfo -m " + dir_.file("ntfs.img"), "Free Clusters: (\\d+)");
        total_clusters_ = PeerNumber("ntfsinfo -m " + dir_.file("ntfs.img"), "Volume Size in Clusters: (\\d+)");
        cluster_size_ = PeerNumber("ntfsinfo -m " + dir_.file("ntfs.img"), "Cluster Size: (\\d+)");
        ASSERT_GT(free_clusters_, 0) << info;
        ASSERT_GT(total_clusters_, free_clusters_) << info;
    }

    test_support::TempDir dir_;
    std::unique_ptr<EmbeddedMachine> machine_;
    long long free_clusters_ = 0, total_clusters_ = 0, cluster_size_ = 0;
};

}  // namespace

TEST_F(NtfsDeviceListTest, ShowsTheLabelAndUsedAndFreeAsNtfsinfoDoes) {
    auto rows = FillDiskList(1, "MB");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].description, "C: [Archiv Ü]");
    EXPECT_EQ(rows[0].file_system, "NTFS");
    long long total_mb = total_clusters_ * cluster_size_ / 1048576, free_mb = free_clusters_ * cluster_size_ / 1048576;
    EXPECT_EQ(rows[0].size, std::to_string(total_mb));
    EXPECT_EQ(rows[0].unused, std::to_string(free_mb));
    EXPECT_EQ(rows[0].used, std::to_string(total_mb - free_mb));
    EXPECT_GE(total_mb - free_mb, 10);  // the two files of 5 MB are counted

    auto combo = FillDriveCombo(10);
    EXPECT_NE(std::find(combo.begin(), combo.end(), "C: [Archiv Ü]"), combo.end());

    std::vector<std::string> lines;
    DiskInfoReport("\\\\.\\C:", lines);
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has("Total clusters: " + std::to_string(total_clusters_) + " (" + std::to_string(total_mb) + " MB)"));
    EXPECT_TRUE(has("Free Clusters: " + std::to_string(free_clusters_) + " (" + std::to_string(free_mb) +
                    " MB) / Used Clusters: " + std::to_string(total_clusters_ - free_clusters_) + " (" +
                    std::to_string((total_clusters_ - free_clusters_) * cluster_size_ / 1048576) + " MB)"));
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(),
                             [](const std::string& l) { return l.rfind("GetDiskFreeSpace failed", 0) == 0; }));
}
