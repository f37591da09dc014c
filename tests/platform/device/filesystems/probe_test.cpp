// File system probing against images made by the real mkfs tools, with blkid
// (util-linux) as the second opinion on what each image holds.
#include "platform/device/filesystems/probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>

#include "support/case_name.h"
#include "support/image_reader.h"
#include "support/test_support.h"

namespace {

namespace dev = platform::device;
namespace ts = test_support;

constexpr std::int64_t kMiB = 1 << 20;

// The probe may read the first 4 KiB and a few bytes at 64 KiB, nothing more.
constexpr std::int64_t kMostBytesRead = 4096 + 64;

struct FsCase {
    const char* name;
    const char* tool;     // skip when missing
    const char* package;  // where the tool comes from, for the skip message
    std::string make;     // shell command; IMG is the image path
    std::int64_t size_mib;
    const char* expected;
};

std::string Substitute(std::string command, const std::string& image) {
    for (auto at = command.find("IMG"); at != std::string::npos; at = command.find("IMG", at + 1))
        command.replace(at, 3, ts::Quote(image));
    return command;
}

std::string BlkidValue(const std::string& image, const std::string& tag) {
    const ts::CommandResult result =
        ts::Run("blkid -p -o value -s " + tag + " " + ts::Quote(image) + " 2>/dev/null");
    std::string value = result.output;
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ')) value.pop_back();
    return value;
}

// What blkid calls the image, in the names Windows uses.
std::string BlkidName(const std::string& image) {
    static const std::map<std::string, std::string> kNames = {
        {"ntfs", "NTFS"}, {"exfat", "exFAT"}, {"xfs", "XFS"}, {"btrfs", "btrfs"},
        {"ext2", "ext2"}, {"ext3", "ext3"},   {"ext4", "ext4"}};
    const std::string type = BlkidValue(image, "TYPE");
    if (type == "vfat") return BlkidValue(image, "VERSION") == "FAT32" ? "FAT32" : "FAT";
    const auto found = kNames.find(type);
    return found == kNames.end() ? "" : found->second;
}

class FileSystemProbe : public ::testing::TestWithParam<FsCase> {
protected:
    void SetUp() override {
        const FsCase& c = GetParam();
        if (c.tool && !ts::HaveTool(c.tool)) GTEST_SKIP() << c.tool << " not installed (package " << c.package << ")";
        image_ = dir_.file("volume.img");
        ts::MakeSparseFile(image_, c.size_mib * kMiB);
        if (!c.make.empty()) {
            const std::string command = Substitute(c.make, image_);
            const ts::CommandResult result = ts::Run(command);
            ASSERT_EQ(result.exit_code, 0) << command << "\n" << result.output;
        }
    }

    // Probes the image placed `lead` bytes into a disk, over `length` bytes.
    std::string Probe(std::int64_t lead, std::int64_t length) {
        ts::ImageReader disk(image_, lead);
        EXPECT_TRUE(disk.ok());
        const std::string name = dev::ProbeFileSystem(disk.reader(), lead, length);
        EXPECT_TRUE(disk.AllWithin(lead, lead + length)) << "read outside the volume, length " << length;
        EXPECT_LE(disk.BytesRead(), kMostBytesRead) << "length " << length;
        return name;
    }

    std::int64_t size() const { return GetParam().size_mib * kMiB; }

    ts::TempDir dir_;
    std::string image_;
};

TEST_P(FileSystemProbe, NamesTheFileSystemAsBlkidDoes) {
    if (ts::HaveTool("blkid")) {
        EXPECT_EQ(BlkidName(image_), GetParam().expected) << "the fixture is not what it claims";
    }
    EXPECT_EQ(Probe(0, size()), GetParam().expected);
}

TEST_P(FileSystemProbe, FindsItInsideADiskAtAnOffset) {
    // The filler before the volume is not zero, so an offset that is ignored
    // shows up as a wrong (or no) name.
    EXPECT_EQ(Probe(kMiB + 4096, size()), GetParam().expected);
}

TEST_P(FileSystemProbe, ShortRangesNeverGiveAWrongNameOrReadPastTheirEnd) {
    for (std::int64_t length : {std::int64_t{1}, std::int64_t{511}, std::int64_t{1024}, std::int64_t{2048},
                                std::int64_t{65536}, std::int64_t{65536 + 4096}}) {
        const std::string name = Probe(kMiB, std::min(length, size()));
        EXPECT_TRUE(name.empty() || name == GetParam().expected) << name << " at length " << length;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Images, FileSystemProbe,
    ::testing::Values(
        FsCase{"blank", nullptr, "", "", 4, ""},
        FsCase{"ext2", "mkfs.ext2", "e2fsprogs", "mkfs.ext2 -q -F IMG", 4, "ext2"},
        FsCase{"ext3", "mkfs.ext3", "e2fsprogs", "mkfs.ext3 -q -F IMG", 4, "ext3"},
        FsCase{"ext4", "mkfs.ext4", "e2fsprogs", "mkfs.ext4 -q -F IMG", 4, "ext4"},
        FsCase{"ext4_without_journal", "mkfs.ext4", "e2fsprogs", "mkfs.ext4 -q -F -O ^has_journal IMG", 4, "ext4"},
        FsCase{"ext2_with_flex_bg", "mkfs.ext2", "e2fsprogs", "mkfs.ext2 -q -F -O flex_bg IMG", 4, "ext4"},
        FsCase{"fat12", "mkfs.vfat", "dosfstools", "mkfs.vfat -F 12 IMG", 4, "FAT"},
        FsCase{"fat16", "mkfs.vfat", "dosfstools", "mkfs.vfat -F 16 IMG", 16, "FAT"},
        FsCase{"fat32", "mkfs.vfat", "dosfstools", "mkfs.vfat -F 32 IMG", 40, "FAT32"},
        FsCase{"fat32_4k_sectors", "mkfs.vfat", "dosfstools", "mkfs.vfat -F 32 -S 4096 IMG", 64, "FAT32"},
        // A boot sector whose parameter block says 0 bytes per sector is no FAT.
        FsCase{"fat32_broken_bpb", "mkfs.vfat", "dosfstools",
               "mkfs.vfat -F 32 IMG && printf '\\0\\0' | dd of=IMG bs=1 seek=11 conv=notrunc status=none", 40, ""},
        FsCase{"ntfs", "mkfs.ntfs", "ntfs-3g", "mkfs.ntfs -F -Q -q IMG", 8, "NTFS"},
        FsCase{"exfat", "mkfs.exfat", "exfatprogs", "mkfs.exfat IMG", 8, "exFAT"},
        FsCase{"xfs", "mkfs.xfs", "xfsprogs", "mkfs.xfs -q -f IMG", 300, "XFS"},
        FsCase{"btrfs", "mkfs.btrfs", "btrfs-progs", "mkfs.btrfs -q -f IMG", 128, "btrfs"}),
    test_support::CaseName());

// Where a superblock sits past the end of the range, it is not looked for.
struct CutCase {
    const char* name;
    const char* tool;
    const char* package;
    std::string make;
    std::int64_t size_mib;
    std::int64_t length;
    const char* expected;
};

class FileSystemProbeCut : public ::testing::TestWithParam<CutCase> {};

TEST_P(FileSystemProbeCut, OnlyWhatFitsInTheRangeCounts) {
    const CutCase& c = GetParam();
    if (!ts::HaveTool(c.tool)) GTEST_SKIP() << c.tool << " not installed (package " << c.package << ")";
    ts::TempDir dir;
    const std::string image = dir.file("volume.img");
    ts::MakeSparseFile(image, c.size_mib * kMiB);
    const ts::CommandResult made = ts::Run(Substitute(c.make, image));
    ASSERT_EQ(made.exit_code, 0) << made.output;
    ts::ImageReader disk(image);
    EXPECT_EQ(dev::ProbeFileSystem(disk.reader(), 0, c.length), c.expected);
    EXPECT_TRUE(disk.AllWithin(0, c.length));
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, FileSystemProbeCut,
    ::testing::Values(
        CutCase{"ext4_superblock_cut_off", "mkfs.ext4", "e2fsprogs", "mkfs.ext4 -q -F IMG", 4, 1024, ""},
        CutCase{"ext4_superblock_inside", "mkfs.ext4", "e2fsprogs", "mkfs.ext4 -q -F IMG", 4, 2048, "ext4"},
        CutCase{"btrfs_superblock_cut_off", "mkfs.btrfs", "btrfs-progs", "mkfs.btrfs -q -f IMG", 128, 65536, ""},
        CutCase{"btrfs_superblock_inside", "mkfs.btrfs", "btrfs-progs", "mkfs.btrfs -q -f IMG", 128, 65536 + 4096,
                "btrfs"},
        CutCase{"ntfs_boot_sector_cut_off", "mkfs.ntfs", "ntfs-3g", "mkfs.ntfs -F -Q -q IMG", 8, 511, ""}),
    test_support::CaseName());

TEST(FileSystemProbeArguments, RejectsImpossibleRangesWithoutReading) {
    int reads = 0;
    const dev::ReadAt counting = [&reads](std::int64_t, void*, std::size_t) {
        ++reads;
        return true;
    };
    EXPECT_EQ(dev::ProbeFileSystem(counting, -1, 4096), "");
    EXPECT_EQ(dev::ProbeFileSystem(counting, 0, 0), "");
    EXPECT_EQ(dev::ProbeFileSystem(counting, std::numeric_limits<std::int64_t>::max() - 10, 4096), "");
    EXPECT_EQ(reads, 0);
    const dev::ReadAt failing = [](std::int64_t, void*, std::size_t) { return false; };
    EXPECT_EQ(dev::ProbeFileSystem(failing, 0, 1 << 20), "");
}

}  // namespace
