// The table writer: what it puts on a disk must be what sfdisk and sgdisk
// read as a sound table of exactly the partitions asked for, untouched
// entries keep their bytes and slots, and every malformed layout is refused
// before a single sector is planned.
#include "platform/device/records/layout_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/device/records/gpt.h"
#include "platform/device/records/mbr.h"
#include "support/case_name.h"
#include "support/partition_peers.h"
#include "support/test_support.h"

namespace {

namespace dev = platform::device;
namespace ts = test_support;
using dev::DiskLayout;
using dev::LayoutPlan;
using platform::GUID;
using platform::PARTITION_INFORMATION_EX;

constexpr std::int64_t kMiB = 1 << 20;
constexpr std::int64_t kTiB = std::int64_t{1} << 40;
const GUID kDiskGuid = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01}};

// A disk image in a scratch folder, read and written through plain streams.
class ImageDisk {
public:
    explicit ImageDisk(std::int64_t size, const std::string& prepare = "") : size_(size), path_(dir_.file("disk.img")) {
        ts::MakeSparseFile(path_, size);
        if (!prepare.empty()) {
            auto r = ts::Run(std::string(prepare).replace(prepare.find("%s"), 2, ts::Quote(path_)) + " 2>&1");
            EXPECT_EQ(r.exit_code, 0) << prepare << "\n" << r.output;
        }
    }
    const std::string& path() const { return path_; }
    std::int64_t size() const { return size_; }

    dev::ReadAt reader() const {
        return [path = path_](std::int64_t offset, void* buffer, std::size_t length) {
            std::ifstream in(path, std::ios::binary);
            in.seekg(offset);
            in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(length));
            return in.gcount() == static_cast<std::streamsize>(length);
        };
    }
    DiskLayout layout() const { return dev::ReadDiskLayout(reader(), size_, 512); }
    std::string bytes(std::int64_t offset, std::size_t length) const {
        std::string out(length, '\0');
        reader()(offset, out.data(), length);
        return out;
    }
    void put(std::int64_t offset, const std::string& data) {
        std::fstream io(path_, std::ios::binary | std::ios::in | std::ios::out);
        io.seekp(offset);
        io.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    void apply(const LayoutPlan& plan) {
        for (const auto& w : plan.writes) put(w.offset, std::string(w.bytes.begin(), w.bytes.end()));
    }

private:
    std::int64_t size_;
    ts::TempDir dir_;
    std::string path_;
};

// A disk of zeros that is never written: for sizes no test should create.
dev::ReadAt Zeros() {
    return [](std::int64_t, void* buffer, std::size_t length) {
        std::memset(buffer, 0, length);
        return true;
    };
}

struct Request {
    platform::DRIVE_LAYOUT_INFORMATION_EX_HEADER header{};
    std::vector<PARTITION_INFORMATION_EX> entries;
};

Request FromLayout(const DiskLayout& layout) {
    Request r;
    r.header = dev::DriveLayoutHeaderOf(layout);
    for (const auto& e : layout.entries) r.entries.push_back(dev::PartitionEntryOf(e));
    return r;
}

Request EmptyRequest(platform::PARTITION_STYLE style) {
    Request r;
    r.header.PartitionStyle = style;
    return r;
}

PARTITION_INFORMATION_EX MbrEntry(std::int64_t first_sector, std::int64_t sectors, std::uint8_t type,
                                  bool boot = false) {
    PARTITION_INFORMATION_EX e{};
    e.PartitionStyle = platform::PARTITION_STYLE_MBR;
    e.StartingOffset = first_sector * 512;
    e.PartitionLength = sectors * 512;
    e.Mbr.PartitionType = type;
    e.Mbr.BootIndicator = boot ? 1 : 0;
    e.RewritePartition = 1;
    return e;
}

PARTITION_INFORMATION_EX GptEntry(std::int64_t first_sector, std::int64_t sectors, const GUID& type = dev::kGptBasicData,
                                  const GUID& id = {}) {
    PARTITION_INFORMATION_EX e{};
    e.PartitionStyle = platform::PARTITION_STYLE_GPT;
    e.StartingOffset = first_sector * 512;
    e.PartitionLength = sectors * 512;
    e.Gpt.PartitionType = type;
    e.Gpt.PartitionId = id;
    e.RewritePartition = 1;
    return e;
}

PARTITION_INFORMATION_EX NoEntry() { return PARTITION_INFORMATION_EX{}; }

LayoutPlan Plan(const ImageDisk& disk, const Request& r) {
    return dev::PlanDriveLayout(disk.reader(), disk.size(), 512, r.header, r.entries);
}

LayoutPlan Create(const ImageDisk& disk, platform::PARTITION_STYLE style, std::uint32_t signature = 0,
                  const GUID& id = {}) {
    platform::CREATE_DISK request{};
    request.PartitionStyle = style;
    if (style == platform::PARTITION_STYLE_MBR) request.Mbr.Signature = signature;
    if (style == platform::PARTITION_STYLE_GPT) {
        request.Gpt.DiskId = id;
        request.Gpt.MaxPartitionCount = 128;
    }
    return dev::PlanCreateDisk(disk.reader(), disk.size(), 512, request);
}

bool HasGptHeaderAt(const ImageDisk& disk, std::int64_t lba) { return disk.bytes(lba * 512, 8) == "EFI PART"; }

// ---- new, empty disks ---------------------------------------------------------

TEST(CreateDisk, MbrWipesBothGptHeadersAndCarriesTheSignature) {
    ImageDisk disk(16 * kMiB, "sgdisk -o -n1:2048:+4M -n2:0:+4M %s >/dev/null");
    ASSERT_TRUE(HasGptHeaderAt(disk, 1));
    LayoutPlan plan = Create(disk, platform::PARTITION_STYLE_MBR, 0x01020304);
    ASSERT_TRUE(plan.ok()) << plan.reason;
    disk.apply(plan);

    EXPECT_FALSE(HasGptHeaderAt(disk, 1));
    EXPECT_FALSE(HasGptHeaderAt(disk, 16 * kMiB / 512 - 1));
    const ts::PeerTable table = ts::SfdiskTable(disk.path());
    ASSERT_TRUE(table.read) << table.output;
    EXPECT_EQ(table.label, "dos");
    EXPECT_EQ(table.id, "0x01020304");
    EXPECT_TRUE(table.partitions.empty());
    EXPECT_EQ(disk.layout().style, platform::PARTITION_STYLE_MBR);
}

TEST(CreateDisk, GptClearsAStaleMbrAndPassesSgdisk) {
    ImageDisk disk(16 * kMiB, "printf 'label: dos\\n2048,4096,83\\n6144,,5\\n8192,2048,7\\n' | sfdisk -q %s");
    disk.put(0, std::string(440, '\xAB'));  // boot code of the old disk
    LayoutPlan plan = Create(disk, platform::PARTITION_STYLE_GPT, 0, kDiskGuid);
    ASSERT_TRUE(plan.ok()) << plan.reason;
    disk.apply(plan);

    EXPECT_TRUE(ts::SgdiskVerifies(disk.path()));
    const ts::PeerTable table = ts::SfdiskTable(disk.path());
    ASSERT_TRUE(table.read) << table.output;
    EXPECT_EQ(table.label, "gpt");
    EXPECT_EQ(table.id, "11223344-5566-7788-99AA-BBCCDDEEFF01");
    EXPECT_TRUE(table.partitions.empty());
    // Nothing of the old MBR is left but what a protective MBR has.
    EXPECT_EQ(disk.bytes(0, 440), std::string(440, '\0'));
    const std::string table_bytes = disk.bytes(446 + 16, 48);
    EXPECT_EQ(table_bytes, std::string(48, '\0'));
    EXPECT_EQ(static_cast<unsigned char>(disk.bytes(446 + 4, 1)[0]), 0xEE);
    const DiskLayout layout = disk.layout();
    EXPECT_EQ(layout.style, platform::PARTITION_STYLE_GPT);
    EXPECT_EQ(layout.usable_start, 34 * 512);
    EXPECT_EQ(layout.max_partition_count, 128u);
}

TEST(CreateDisk, EveryNewGptGetsAFreshGuidOfItsOwn) {
    ImageDisk disk(4 * kMiB);
    disk.apply(Create(disk, platform::PARTITION_STYLE_GPT));
    const GUID first = disk.layout().disk_id;
    disk.apply(Create(disk, platform::PARTITION_STYLE_GPT));
    const GUID second = disk.layout().disk_id;
    EXPECT_FALSE(dev::IsNullGuid(first));
    EXPECT_FALSE(dev::IsNullGuid(second));
    EXPECT_NE(first, second);
    EXPECT_EQ(dev::GuidToString(first)[15], '4') << "a version-4 GUID";
}

TEST(CreateDisk, RawLeavesNoTableAnyToolFindsButKeepsTheBootCode) {
    ImageDisk disk(16 * kMiB, "sgdisk -o -n1:2048:+4M %s >/dev/null");
    disk.put(0, std::string(440, '\x5A'));
    disk.apply(Create(disk, platform::PARTITION_STYLE_RAW));
    EXPECT_FALSE(HasGptHeaderAt(disk, 1));
    EXPECT_FALSE(HasGptHeaderAt(disk, 16 * kMiB / 512 - 1));
    EXPECT_FALSE(ts::SfdiskTable(disk.path()).read);
    EXPECT_EQ(disk.layout().style, platform::PARTITION_STYLE_RAW);
    EXPECT_EQ(disk.bytes(0, 440), std::string(440, '\x5A'));
}

TEST(CreateDisk, FourKibibyteSectorsGetTheirOwnGeometry) {
    const std::int64_t size = 8 * kMiB;
    std::string image(static_cast<std::size_t>(size), '\0');
    dev::ReadAt read = [&](std::int64_t offset, void* buffer, std::size_t length) {
        std::memcpy(buffer, image.data() + offset, length);
        return true;
    };
    platform::CREATE_DISK request{};
    request.PartitionStyle = platform::PARTITION_STYLE_GPT;
    LayoutPlan plan = dev::PlanCreateDisk(read, size, 4096, request);
    ASSERT_TRUE(plan.ok()) << plan.reason;
    for (const auto& w : plan.writes) std::memcpy(image.data() + w.offset, w.bytes.data(), w.bytes.size());
    const DiskLayout layout = dev::ReadDiskLayout(read, size, 4096);
    ASSERT_EQ(layout.style, platform::PARTITION_STYLE_GPT);
    EXPECT_EQ(layout.usable_start, 6 * 4096);  // MBR, header, 4 sectors of entries
    EXPECT_EQ(layout.usable_start + layout.usable_length, size - 5 * 4096);  // entries and header
}

// ---- GPT layouts -------------------------------------------------------------

TEST(GptLayout, AThirdPartitionJoinsTheTwoAndTheyKeepTheirSlotsAndBytes) {
    // Partitions in slots 1 and 3: the new one must not push either aside.
    ImageDisk disk(16 * kMiB, "sgdisk -o -n1:2048:+2M -n3:8192:+2M -c1:first -A3:set:60 %s >/dev/null");
    const std::string array_before = disk.bytes(2 * 512, 128 * 128);
    Request r = FromLayout(disk.layout());
    ASSERT_EQ(r.entries.size(), 2u);
    r.entries.push_back(GptEntry(16384, 4096, dev::kGptLinuxData));
    r.header.PartitionCount = 3;
    LayoutPlan plan = Plan(disk, r);
    ASSERT_TRUE(plan.ok()) << plan.reason;
    disk.apply(plan);

    EXPECT_TRUE(ts::SgdiskVerifies(disk.path()));
    const ts::PeerTable table = ts::SfdiskTable(disk.path());
    ASSERT_EQ(table.partitions.size(), 3u) << table.output;
    EXPECT_EQ(table.partitions[0].number, 1);
    EXPECT_EQ(table.partitions[0].name, "first");
    EXPECT_EQ(table.partitions[1].number, 2);
    EXPECT_EQ(table.partitions[1].start, 16384);
    EXPECT_EQ(table.partitions[1].type, "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
    EXPECT_FALSE(table.partitions[1].uuid.empty());
    EXPECT_EQ(table.partitions[2].number, 3);
    EXPECT_EQ(table.partitions[2].start, 8192);
    const std::string array_after = disk.bytes(2 * 512, 128 * 128);
    EXPECT_EQ(array_after.substr(0, 128), array_before.substr(0, 128));
    EXPECT_EQ(array_after.substr(256, 128), array_before.substr(256, 128));
}

TEST(GptLayout, EntriesMarkedForRewritingTakeTheSlotOfTheirPlace) {
    ImageDisk disk(16 * kMiB, "sgdisk -o -n1:2048:+2M -n2:8192:+2M %s >/dev/null");
    Request r = FromLayout(disk.layout());
    std::swap(r.entries[0], r.entries[1]);
    r.entries[0].RewritePartition = r.entries[1].RewritePartition = 1;
    disk.apply(Plan(disk, r));
    EXPECT_TRUE(ts::SgdiskVerifies(disk.path()));
    const ts::PeerTable table = ts::SfdiskTable(disk.path());
    ASSERT_EQ(table.partitions.size(), 2u) << table.output;
    EXPECT_EQ(table.partitions[0].start, 8192);
    EXPECT_EQ(table.partitions[1].start, 2048);
}

TEST(GptLayout, AnMbrDiskBecomesGptWithAFreshTable) {
    ImageDisk disk(16 * kMiB, "printf 'label: dos\\n2048,4096,83\\n' | sfdisk -q %s");
    Request r = EmptyRequest(platform::PARTITION_STYLE_GPT);
    r.header.Gpt.DiskId = kDiskGuid;
    r.entries = {GptEntry(2048, 8192)};
    disk.apply(Plan(disk, r));
    EXPECT_TRUE(ts::SgdiskVerifies(disk.path()));
    const ts::PeerTable table = ts::SfdiskTable(disk.path());
    EXPECT_EQ(table.label, "gpt");
    ASSERT_EQ(table.partitions.size(), 1u);
    EXPECT_EQ(table.partitions[0].type, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
}

// ---- MBR layouts -------------------------------------------------------------

constexpr const char* kMbrWithLogicals =
    "printf 'label: dos\\nlabel-id: 0x0badcafe\\n2048,4096,83,*\\n6144,,5\\n8192,2048,83\\n12288,2048,7\\n' | sfdisk -q %s";

TEST(MbrLayout, ALogicalPartitionJoinsTheChainAndTheRestKeepsItsBytes) {
    ImageDisk disk(32 * kMiB, kMbrWithLogicals);
    const std::string sector0_before = disk.bytes(0, 512);
    Request r = FromLayout(disk.layout());
    ASSERT_EQ(r.entries.size(), 12u);  // the primary table and two records of the chain
    for (auto e : {MbrEntry(16384, 4096, 0x0C), NoEntry(), NoEntry(), NoEntry()}) r.entries.push_back(e);
    r.header.PartitionCount = 16;
    LayoutPlan plan = Plan(disk, r);
    ASSERT_TRUE(plan.ok()) << plan.reason;
    disk.apply(plan);

    EXPECT_EQ(ts::Run("sfdisk -V " + ts::Quote(disk.path())).exit_code, 0);
    const ts::PeerTable table = ts::SfdiskTable(disk.path());
    ASSERT_EQ(table.partitions.size(), 5u) << table.output;
    EXPECT_EQ(table.id, "0x0badcafe");
    EXPECT_TRUE(table.partitions[0].boot);
    EXPECT_EQ(table.partitions[4].number, 7);
    EXPECT_EQ(table.partitions[4].start, 16384);
    EXPECT_EQ(table.partitions[4].size, 4096);
    EXPECT_EQ(table.partitions[4].type, "c");
    EXPECT_EQ(disk.bytes(0, 512), sector0_before) << "nothing of the primary table changed";
}

TEST(MbrLayout, DeletingTheFirstLogicalPartitionRelinksTheChain) {
    ImageDisk disk(32 * kMiB, kMbrWithLogicals);
    Request r = FromLayout(disk.layout());
    r.entries[4] = NoEntry();
    r.entries[4].RewritePartition = 1;
    disk.apply(Plan(disk, r));
    EXPECT_EQ(ts::Run("sfdisk -V " + ts::Quote(disk.path())).exit_code, 0);
    const ts::PeerTable table = ts::SfdiskTable(disk.path());
    ASSERT_EQ(table.partitions.size(), 3u) << table.output;
    EXPECT_EQ(table.partitions[2].number, 5);
    EXPECT_EQ(table.partitions[2].start, 12288);
    EXPECT_EQ(table.partitions[2].type, "7");
    const DiskLayout after = disk.layout();
    ASSERT_EQ(after.volumes().size(), 2u);
    EXPECT_EQ(after.volumes()[1].start, 12288 * 512);
}

TEST(MbrLayout, ChangingOnePrimaryRewritesOnlyItsEntry) {
    ImageDisk disk(32 * kMiB, kMbrWithLogicals);
    const std::string before = disk.bytes(0, 512);
    Request r = FromLayout(disk.layout());
    r.entries[0].Mbr.PartitionType = 0x07;
    r.entries[0].RewritePartition = 1;
    disk.apply(Plan(disk, r));
    const std::string after = disk.bytes(0, 512);
    for (std::size_t i = 0; i < 512; ++i) {
        if (i == 446 + 4) continue;  // the type byte
        EXPECT_EQ(before[i], after[i]) << "byte " << i;
    }
    EXPECT_EQ(ts::SfdiskTable(disk.path()).partitions[0].type, "7");
}

// ---- refusals ------------------------------------------------------------------

struct Refusal {
    const char* name;
    std::int64_t disk_size;
    platform::PARTITION_STYLE style;
    std::vector<PARTITION_INFORMATION_EX> entries;
};

class LayoutRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(LayoutRefusal, IsRefusedWithNothingPlanned) {
    const Refusal& c = GetParam();
    platform::DRIVE_LAYOUT_INFORMATION_EX_HEADER header{};
    header.PartitionStyle = c.style;
    header.PartitionCount = static_cast<std::uint32_t>(c.entries.size());
    LayoutPlan plan = dev::PlanDriveLayout(Zeros(), c.disk_size, 512, header, c.entries);
    EXPECT_EQ(plan.error, platform::ERROR_INVALID_PARAMETER) << plan.reason;
    EXPECT_FALSE(plan.reason.empty());
    EXPECT_TRUE(plan.writes.empty());
}

const auto kMbr = platform::PARTITION_STYLE_MBR;
const auto kGpt = platform::PARTITION_STYLE_GPT;
const std::int64_t k64MiB = 64 * kMiB;
const std::int64_t k3TiB = 3 * kTiB;
PARTITION_INFORMATION_EX Off(PARTITION_INFORMATION_EX e, std::int64_t byte_shift) {
    e.StartingOffset += byte_shift;
    return e;
}
PARTITION_INFORMATION_EX WithId(PARTITION_INFORMATION_EX e, const GUID& id) {
    e.Gpt.PartitionId = id;
    return e;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LayoutRefusal,
    ::testing::Values(
        Refusal{"MbrOverlap", k64MiB, kMbr, {MbrEntry(2048, 8192, 0x83), MbrEntry(8192, 8192, 0x83), NoEntry(), NoEntry()}},
        Refusal{"MbrPastTheEnd", k64MiB, kMbr, {MbrEntry(2048, 131072, 0x83), NoEntry(), NoEntry(), NoEntry()}},
        Refusal{"MbrOverTheTable", k64MiB, kMbr, {MbrEntry(0, 2048, 0x83), NoEntry(), NoEntry(), NoEntry()}},
        Refusal{"MbrOffASector", k64MiB, kMbr, {Off(MbrEntry(2048, 2048, 0x83), 1), NoEntry(), NoEntry(), NoEntry()}},
        Refusal{"MbrStartTooFarForItsField", k3TiB, kMbr,
                {MbrEntry((std::int64_t{5} << 40) / 2 / 512, 2048, 0x83), NoEntry(), NoEntry(), NoEntry()}},
        Refusal{"MbrLengthTooLongForItsField", k3TiB, kMbr,
                {MbrEntry(2048, (std::int64_t{5} << 40) / 2 / 512, 0x83), NoEntry(), NoEntry(), NoEntry()}},
        Refusal{"MbrNotInFours", k64MiB, kMbr, {MbrEntry(2048, 2048, 0x83)}},
        Refusal{"MbrFifthWithoutExtended", k64MiB, kMbr,
                {MbrEntry(2048, 2048, 0x83), MbrEntry(4096, 2048, 0x83), MbrEntry(6144, 2048, 0x83),
                 MbrEntry(8192, 2048, 0x83), MbrEntry(12288, 2048, 0x83), NoEntry(), NoEntry(), NoEntry()}},
        Refusal{"MbrTwoExtended", k64MiB, kMbr,
                {MbrEntry(2048, 8192, 0x05), MbrEntry(10240, 8192, 0x0F), NoEntry(), NoEntry()}},
        Refusal{"MbrLogicalOutsideExtended", k64MiB, kMbr,
                {MbrEntry(2048, 8192, 0x05), NoEntry(), NoEntry(), NoEntry(), MbrEntry(20480, 2048, 0x83), NoEntry(),
                 NoEntry(), NoEntry()}},
        Refusal{"MbrTwoLogicalsInOneRecord", k64MiB, kMbr,
                {MbrEntry(2048, 16384, 0x05), NoEntry(), NoEntry(), NoEntry(), MbrEntry(4096, 2048, 0x83),
                 MbrEntry(8192, 2048, 0x83), NoEntry(), NoEntry()}},
        Refusal{"MbrOverlappingLogicals", k64MiB, kMbr,
                {MbrEntry(2048, 16384, 0x05), NoEntry(), NoEntry(), NoEntry(), MbrEntry(4096, 4096, 0x83), NoEntry(),
                 NoEntry(), NoEntry(), MbrEntry(6144, 2048, 0x83), NoEntry(), NoEntry(), NoEntry()}},
        Refusal{"MbrWithAGptEntry", k64MiB, kMbr, {GptEntry(2048, 2048), NoEntry(), NoEntry(), NoEntry()}},
        Refusal{"GptOverlap", k64MiB, kGpt, {GptEntry(2048, 8192), GptEntry(8192, 8192)}},
        Refusal{"GptBeforeTheUsableStart", k64MiB, kGpt, {GptEntry(33, 2048)}},
        Refusal{"GptIntoTheBackupTable", k64MiB, kGpt, {GptEntry(2048, 131072 - 2048 - 20)}},
        Refusal{"GptWithAnMbrEntry", k64MiB, kGpt, {MbrEntry(2048, 2048, 0x07)}},
        Refusal{"GptTwiceTheSameId", k64MiB, kGpt,
                {WithId(GptEntry(2048, 2048), kDiskGuid), WithId(GptEntry(4096, 2048), kDiskGuid)}},
        Refusal{"RawIsNoLayout", k64MiB, platform::PARTITION_STYLE_RAW, {}}),
    test_support::CaseName());

TEST(LayoutWriter, ChsAddressesAsMbrEntriesStoreThem) {
    struct Case {
        std::uint64_t lba;
        std::uint8_t chs[3];
    } cases[] = {
        {0, {0x00, 0x01, 0x00}},          // cylinder 0, head 0, sector 1
        {2048, {0x20, 0x21, 0x00}},       // head 32, sector 33
        {16450559, {0xFE, 0xFF, 0xFF}},   // the last sector CHS can address: 1023/254/63
        {16450560, {0xFE, 0xFF, 0xFF}},   // and beyond it
        {1048576, {0x45, 0x05, 0x41}},    // cylinder 65, head 69, sector 5
    };
    for (const Case& c : cases) {
        std::uint8_t chs[3];
        dev::LbaToChs(c.lba, chs);
        EXPECT_EQ(std::vector<int>(chs, chs + 3), std::vector<int>(c.chs, c.chs + 3)) << "LBA " << c.lba;
    }
}

}  // namespace
