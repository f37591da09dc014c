// Labels and free space as the owning system reads them, on volumes made,
// filled and relabelled by the real tools, checked against what those
// tools' own readers say (ntfslabel/ntfsinfo, exfatlabel/dump.exfat,
// fatlabel/fsck.fat).
#include "platform/device/filesystems/facts.h"

#include <gtest/gtest.h>

#include <regex>

#include "platform/device/filesystems/fat.h"
#include "platform/device/filesystems/ntfs.h"
#include "support/case_name.h"
#include "support/image_reader.h"
#include "support/test_support.h"

namespace {

namespace dev = platform::device;
namespace ts = test_support;

constexpr std::int64_t kMiB = 1 << 20;
// Every tool below reads and writes labels in UTF-8 only under a UTF-8 locale.
const std::string kUtf8 = "export LC_ALL=C.UTF-8; ";

struct FactsCase {
    const char* name;
    const char* tool;  // skip when missing
    std::int64_t size_mib;
    // Shell commands; IMG is the image, DATA a 3 MB file of random bytes.
    std::string make;
    bool needs_root;  // files are written through a mount
    const char* file_system;
    std::string label;
    std::string peer_label;  // prints the label; empty: none to ask
    std::string peer_free;   // prints a line with the free clusters, matched by free_pattern
    std::string free_pattern;
    bool free_is_used_of_total = false;  // fsck.fat prints "used/total clusters"
};

std::string Substitute(std::string command, const std::string& image, const std::string& data) {
    for (auto at = command.find("IMG"); at != std::string::npos; at = command.find("IMG", at + 1))
        command.replace(at, 3, ts::Quote(image));
    for (auto at = command.find("DATA"); at != std::string::npos; at = command.find("DATA", at + 1))
        command.replace(at, 4, ts::Quote(data));
    return command;
}

std::string Chomp(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

class VolumeFacts : public ::testing::TestWithParam<FactsCase> {
protected:
    void SetUp() override {
        const FactsCase& c = GetParam();
        if (!ts::HaveTool(c.tool)) GTEST_SKIP() << c.tool << " not installed";
        if (c.needs_root && !ts::IsRoot()) GTEST_SKIP() << "writing files into it needs a mount, and root";
        image_ = dir_.file("volume.img");
        data_ = dir_.file("data.bin");
        ts::MakeSparseFile(image_, c.size_mib * kMiB);
        ts::CommandResult random = ts::Run("head -c 3000000 /dev/urandom > " + ts::Quote(data_));
        ASSERT_EQ(random.exit_code, 0);
        const std::string command = kUtf8 + Substitute(c.make, image_, data_);
        const ts::CommandResult result = ts::Run(command);
        ASSERT_EQ(result.exit_code, 0) << command << "\n" << result.output;
    }

    dev::FileSystemFacts Facts(std::int64_t lead = 0) {
        ts::ImageReader disk(image_, lead);
        EXPECT_TRUE(disk.ok());
        dev::FileSystemFacts facts = dev::ReadFileSystemFacts(disk.reader(), lead, disk.image_size());
        EXPECT_TRUE(disk.AllWithin(lead, lead + disk.image_size())) << "read outside the volume";
        return facts;
    }

    long long PeerFree() {
        const FactsCase& c = GetParam();
        ts::CommandResult result = ts::Run(kUtf8 + Substitute(c.peer_free, image_, data_));
        std::smatch m;
        if (!std::regex_search(result.output, m, std::regex(c.free_pattern))) return -1;
        return c.free_is_used_of_total ? std::stoll(m[2]) - std::stoll(m[1]) : std::stoll(m[1]);
    }

    ts::TempDir dir_;
    std::string image_, data_;
};

TEST_P(VolumeFacts, LabelAndFreeClustersAreWhatTheOwningSystemReads) {
    const FactsCase& c = GetParam();
    dev::FileSystemFacts f = Facts();
    EXPECT_EQ(f.name, c.file_system);
    EXPECT_EQ(f.label, c.label);
    if (!c.peer_label.empty()) {
        EXPECT_EQ(Chomp(ts::Run(kUtf8 + Substitute(c.peer_label, image_, data_)).output), c.label);
    }
    ASSERT_TRUE(f.free_clusters.has_value());
    long long peer = PeerFree();
    ASSERT_GE(peer, 0) << "the peer's count was not found";
    EXPECT_EQ(static_cast<long long>(*f.free_clusters), peer);
    // The files took room: the count is no formatting-time figure.
    EXPECT_LT(*f.free_clusters, f.total_clusters - 3000000 / (f.bytes_per_sector * f.sectors_per_cluster));
}

TEST_P(VolumeFacts, SameAnswersInsideADiskAtAnOffset) {
    dev::FileSystemFacts alone = Facts();
    dev::FileSystemFacts inside = Facts(kMiB);
    EXPECT_EQ(inside.label, alone.label);
    EXPECT_EQ(inside.free_clusters, alone.free_clusters);
    EXPECT_EQ(inside.total_clusters, alone.total_clusters);
}

TEST_P(VolumeFacts, TheLabelAloneCostsNoCountOfFreeSpace) {
    ts::ImageReader everything(image_), label_only(image_);
    dev::FileSystemFacts all = dev::ReadFileSystemFacts(everything.reader(), 0, everything.image_size());
    dev::FileSystemFacts some = dev::ReadFileSystemFacts(label_only.reader(), 0, label_only.image_size(),
                                                         dev::FactsWanted::NoFreeSpace);
    EXPECT_EQ(some.label, all.label);
    EXPECT_EQ(some.total_clusters, all.total_clusters);
    EXPECT_FALSE(some.free_clusters.has_value());
    EXPECT_LT(label_only.BytesRead(), everything.BytesRead());
}

const std::string kFatFree = "fsck.fat -n -v IMG";
const std::string kFatPattern = "(\\d+)/(\\d+) clusters";

// The label Windows writes when it relabels a FAT volume is the root
// directory's entry alone; the boot sector keeps the old text.
std::string StaleBootLabel(int at) {
    return "printf 'OLDNAME    ' | dd of=IMG bs=1 seek=" + std::to_string(at) + " conv=notrunc status=none";
}

INSTANTIATE_TEST_SUITE_P(
    Tools, VolumeFacts,
    ::testing::Values(
        FactsCase{"ntfs_relabelled_with_files", "mkntfs", 64,
                  "mkntfs -Q -F -q -L 'Données Ωmega' IMG 2>/dev/null && ntfscp -q IMG DATA first.bin && "
                  "ntfscp -q IMG DATA second.bin && ntfslabel IMG 'Relabelled é™'",
                  false, "NTFS", "Relabelled é™", "ntfslabel IMG", "ntfsinfo -m IMG", "Free Clusters: (\\d+)"},
        FactsCase{"ntfs_made_with_label", "mkntfs", 32, "mkntfs -Q -F -q -c 1024 -L 'Ωmega' IMG 2>/dev/null && ntfscp -q IMG DATA f.bin",
                  false, "NTFS", "Ωmega", "ntfslabel IMG", "ntfsinfo -m IMG", "Free Clusters: (\\d+)"},
        FactsCase{"exfat_relabelled_with_files", "mount.exfat-fuse", 64,
                  "mkfs.exfat -L 'Über' IMG >/dev/null && exfatlabel IMG 'Ñandú Ω' >/dev/null && "
                  "dir=$(mktemp -d) && loop=$(losetup -f --show IMG) && mount.exfat-fuse $loop $dir >/dev/null && "
                  "cp DATA $dir/a && mkdir $dir/sub && cp DATA $dir/sub/b; umount $dir; losetup -d $loop; rmdir $dir",
                  true, "exFAT", "Ñandú Ω", "exfatlabel IMG | sed -n 's/^label: //p'", "dump.exfat IMG",
                  "Free Clusters:\\s+(\\d+)"},
        FactsCase{"fat32_relabelled_by_root_entry", "mcopy", 40,
                  "mkfs.fat -F 32 -n FIRST IMG >/dev/null && mcopy -i IMG DATA ::a.bin && mlabel -i IMG '::CAFÉ ÄØ' && " +
                      StaleBootLabel(71),
                  false, "FAT32", "CAFÉ ÄØ", "fatlabel IMG 2>/dev/null | tail -n 1", kFatFree, kFatPattern, true},
        FactsCase{"fat16_relabelled_by_root_entry", "mcopy", 20,
                  "mkfs.fat -F 16 -n FIRST IMG >/dev/null && mcopy -i IMG DATA ::a.bin && mlabel -i IMG '::ÆBLE' && " +
                      StaleBootLabel(43),
                  false, "FAT", "ÆBLE", "fatlabel IMG 2>/dev/null | tail -n 1", kFatFree, kFatPattern, true},
        // A byte copy of a mounted ext4, as a clone of one is: its superblock
        // still counts the free blocks of when it was made.
        FactsCase{"ext4_copied_while_mounted", "mkfs.ext4", 64,
                  "mkfs.ext4 -q -F -L 'live copy' IMG && dir=$(mktemp -d) && loop=$(losetup -f --show IMG) && "
                  "mount $loop $dir && cp DATA $dir/a && cp DATA $dir/b && sync && cp IMG IMG.copy; "
                  "umount $dir; losetup -d $loop; rmdir $dir; mv IMG.copy IMG",
                  true, "ext4", "live copy", "e2label IMG",
                  "dumpe2fs IMG 2>/dev/null | grep -oE '[0-9]+ free blocks,' | awk '{s += $1} END {print \"free\", s}'",
                  "free (\\d+)"},
        FactsCase{"fat12_boot_label_only", "mcopy", 8,
                  "mkfs.fat -F 12 IMG >/dev/null && mcopy -i IMG DATA ::a.bin && " + StaleBootLabel(43), false, "FAT",
                  "OLDNAME", "", kFatFree, kFatPattern, true}),
    test_support::CaseName());

TEST(FatLabel, OemBytesAreCodePage850) {
    const std::uint8_t bytes[] = {'C', 'A', 'F', 0x90, ' ', 0x8E, 0x9D, ' ', ' ', ' ', ' '};
    EXPECT_EQ(dev::fat::OemLabelToUtf8(bytes, sizeof bytes), "CAFÉ ÄØ");
}

}  // namespace

namespace {

struct RunsCase {
    const char* name;
    std::vector<std::uint8_t> pairs;
    bool ok;
    std::vector<dev::ntfs::Run> runs;
};

class NtfsRuns : public ::testing::TestWithParam<RunsCase> {};

}  // namespace

TEST_P(NtfsRuns, DecodeAsTheMappingPairsSay) {
    const RunsCase& c = GetParam();
    std::vector<dev::ntfs::Run> runs;
    ASSERT_EQ(dev::ntfs::DecodeRuns(c.pairs, 0, 100000, runs), c.ok);
    if (!c.ok) return;
    ASSERT_EQ(runs.size(), c.runs.size());
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_EQ(runs[i].vcn, c.runs[i].vcn) << i;
        EXPECT_EQ(runs[i].lcn, c.runs[i].lcn) << i;
        EXPECT_EQ(runs[i].length, c.runs[i].length) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, NtfsRuns,
    ::testing::Values(
        // 0x21: one byte of length, two of offset. The second run goes back
        // (a negative delta), the third is sparse (no offset bytes).
        RunsCase{"forward_back_and_sparse",
                 {0x21, 0x10, 0x00, 0x01, 0x21, 0x08, 0x00, 0xFF, 0x01, 0x08, 0x00},
                 true,
                 {{0, 256, 16}, {16, 0, 8}, {24, -1, 8}}},
        RunsCase{"empty_list", {0x00}, true, {}},
        RunsCase{"pair_cut_short", {0x21, 0x10, 0x00}, false, {}},
        RunsCase{"zero_length", {0x11, 0x00, 0x05, 0x00}, false, {}},
        RunsCase{"before_the_first_cluster", {0x11, 0x04, 0xF0, 0x00}, false, {}},
        RunsCase{"past_the_last_cluster", {0x31, 0x10, 0xA0, 0x86, 0x01, 0x00}, false, {}}),
    test_support::CaseName());

TEST(NtfsFixups, RestoreSavedBytesAndRefuseATornBlock) {
    std::vector<std::uint8_t> record(1024, 0xAB);
    record[4] = 48;  // update sequence array at 48: the number, then one saved pair per block
    record[5] = 0;
    record[6] = 3;
    record[7] = 0;
    record[48] = 0x12, record[49] = 0x34;  // the sequence number
    record[50] = 0x01, record[51] = 0x02;  // block 1's real last bytes
    record[52] = 0x03, record[53] = 0x04;  // block 2's
    record[510] = 0x12, record[511] = 0x34, record[1022] = 0x12, record[1023] = 0x34;
    std::vector<std::uint8_t> torn = record;
    ASSERT_TRUE(dev::ntfs::ApplyFixups(record));
    EXPECT_EQ(record[510], 0x01);
    EXPECT_EQ(record[511], 0x02);
    EXPECT_EQ(record[1022], 0x03);
    EXPECT_EQ(record[1023], 0x04);
    torn[1023] = 0x35;  // the second block was written by another update
    EXPECT_FALSE(dev::ntfs::ApplyFixups(torn));
    EXPECT_EQ(torn[510], 0x12);  // nothing changed
}
