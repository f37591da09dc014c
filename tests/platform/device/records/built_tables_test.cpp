// Partition tables written through the on-disk records, the way the table
// editor writes them: the peers must take what they make for a sound table,
// and the parser must refuse each malformed field on its own (every CRC is
// sealed again after the damage, so only the field check can catch it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "platform/base/byte_order.h"
#include "platform/device/records/gpt.h"
#include "platform/device/records/mbr.h"
#include "platform/device/records/partition_table.h"
#include "support/case_name.h"
#include "support/test_support.h"

namespace {

namespace dev = platform::device;
namespace ts = test_support;
using dev::DiskLayout;
using dev::GptHeader;
using dev::GptPartitionEntry;
using dev::MasterBootRecord;
using platform::GUID;
using platform::PARTITION_STYLE_GPT;
using platform::PARTITION_STYLE_MBR;
using platform::PARTITION_STYLE_RAW;

constexpr std::int64_t kMiB = 1 << 20;
const GUID kDiskGuid = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01}};
const GUID kFirstId = {0xA1A2A3A4, 0xB1B2, 0xC1C2, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8}};
const GUID kSecondId = {0x01020304, 0x0506, 0x0708, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};

template <class Record>
void PutRecord(std::string& disk, std::size_t offset, const Record& record) {
    std::memcpy(disk.data() + offset, &record, sizeof record);
}

template <class Record>
Record RecordAt(const std::string& disk, std::size_t offset) {
    Record record;
    std::memcpy(&record, disk.data() + offset, sizeof record);
    return record;
}

GptPartitionEntry Entry(const GUID& type, const GUID& id, std::uint64_t first, std::uint64_t last,
                        std::uint64_t attributes, std::u16string_view name) {
    GptPartitionEntry entry{};
    entry.PartitionTypeGUID.set(type);
    entry.UniquePartitionGUID.set(id);
    entry.StartingLBA.set(first);
    entry.EndingLBA.set(last);
    entry.Attributes.set(attributes);
    entry.set_name(name);
    return entry;
}

// What a GPT disk is made of; the defaults are what sgdisk would write.
struct GptShape {
    std::uint32_t sector_size = 512;
    std::int64_t disk_size = 8 * kMiB;
    std::uint32_t entry_count = 128;
    std::uint32_t entry_size = dev::kGptPartitionEntrySize;
    // Changes one copy's header or entry array before its CRCs are sealed.
    std::function<void(GptHeader&, std::string& array)> damage;
};

// A protective MBR, both headers and both arrays, written through the records.
std::string BuildGptDisk(const GptShape& shape) {
    const std::uint64_t ss = shape.sector_size;
    const std::uint64_t sectors = static_cast<std::uint64_t>(shape.disk_size) / ss;
    const std::uint64_t last = sectors - 1;
    std::string disk(static_cast<std::size_t>(shape.disk_size), '\0');

    MasterBootRecord mbr{};
    dev::MbrPartitionRecord& protective = mbr.PartitionRecord[0];
    protective.StartingCHS[1] = 0x02;  // head 0, sector 2: LBA 1
    protective.OSType = dev::kMbrTypeGptProtective;
    std::fill(std::begin(protective.EndingCHS), std::end(protective.EndingCHS), 0xFF);
    protective.StartingLBA.set(1);
    protective.SizeInLBA.set(static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors - 1, 0xFFFFFFFF)));
    mbr.Signature.set(dev::kMbrSignature);
    PutRecord(disk, 0, mbr);

    const std::uint64_t array_bytes = static_cast<std::uint64_t>(shape.entry_count) * shape.entry_size;
    const std::uint64_t array_sectors = (array_bytes + ss - 1) / ss;
    std::string array(array_bytes, '\0');
    const GptPartitionEntry entries[] = {
        Entry(dev::kGptEfiSystem, kFirstId, 2048, 4095, 0, u"EFI system"),
        Entry(dev::kGptLinuxData, kSecondId, 4096, 8191, (1ull << 63) | 1, u"Données racine"),
    };
    const std::size_t stored = std::min<std::size_t>(sizeof(GptPartitionEntry), shape.entry_size);
    for (std::size_t i = 0; i < std::size(entries) && i < shape.entry_count; ++i)
        std::memcpy(array.data() + i * shape.entry_size, &entries[i], stored);

    for (const bool primary : {true, false}) {
        GptHeader header{};
        std::memcpy(header.Signature, dev::kGptSignature, sizeof header.Signature);
        header.Revision.set(dev::kGptRevision);
        header.HeaderSize.set(dev::kGptHeaderSize);
        header.MyLBA.set(primary ? 1 : last);
        header.AlternateLBA.set(primary ? last : 1);
        header.FirstUsableLBA.set(2 + array_sectors);
        header.LastUsableLBA.set(last - 1 - array_sectors);
        header.DiskGUID.set(kDiskGuid);
        header.PartitionEntryLBA.set(primary ? 2 : last - array_sectors);
        header.NumberOfPartitionEntries.set(shape.entry_count);
        header.SizeOfPartitionEntry.set(shape.entry_size);
        std::string copy = array;
        if (shape.damage) shape.damage(header, copy);
        header.PartitionEntryArrayCRC32.set(dev::Crc32(copy.data(), copy.size()));

        // Where the copy lies, whatever the damage made its header say.
        const std::uint64_t header_at = (primary ? 1 : last) * ss;
        const std::uint64_t array_at = (primary ? 2 : last - array_sectors) * ss;
        if (array_at + copy.size() <= disk.size()) disk.replace(array_at, copy.size(), copy);
        std::string sector(ss, '\0');
        PutRecord(sector, 0, header);
        const std::size_t crc_bytes = std::clamp<std::size_t>(header.HeaderSize.value(), dev::kGptHeaderSize, ss);
        header.HeaderCRC32.set(dev::GptHeaderCrc32(sector.data(), crc_bytes));
        PutRecord(sector, 0, header);
        disk.replace(header_at, ss, sector);
    }
    return disk;
}

// The disk as a device: reads past `readable` bytes fail, as on a disk
// whose tail cannot be read; every request is checked against the size.
struct MemoryDisk {
    const std::string& bytes;
    std::int64_t readable;
    bool outside = false;  // a request went outside [0, size)

    dev::ReadAt reader() {
        return [this](std::int64_t offset, void* buffer, std::size_t length) {
            const auto size = static_cast<std::int64_t>(bytes.size());
            if (offset < 0 || static_cast<std::int64_t>(length) > size - offset) {
                outside = true;
                return false;
            }
            if (offset + static_cast<std::int64_t>(length) > readable) return false;
            std::memcpy(buffer, bytes.data() + offset, length);
            return true;
        };
    }
};

DiskLayout ReadLayout(const std::string& disk, std::uint32_t sector_size, std::int64_t readable = -1) {
    MemoryDisk device{disk, readable < 0 ? static_cast<std::int64_t>(disk.size()) : readable};
    DiskLayout layout = dev::ReadDiskLayout(device.reader(), static_cast<std::int64_t>(disk.size()), sector_size);
    EXPECT_FALSE(device.outside) << "read outside the disk";
    return layout;
}

// The two partitions BuildGptDisk writes, read back.
void ExpectBuiltGpt(const DiskLayout& layout, std::uint32_t ss, std::uint32_t entry_count) {
    ASSERT_EQ(layout.style, PARTITION_STYLE_GPT);
    EXPECT_EQ(layout.disk_id, kDiskGuid);
    EXPECT_EQ(layout.max_partition_count, entry_count);
    ASSERT_EQ(layout.entries.size(), std::min<std::size_t>(2, entry_count));
    if (entry_count < 2) return;
    EXPECT_EQ(layout.entries[0].type_guid, dev::kGptEfiSystem);
    EXPECT_EQ(layout.entries[0].partition_id, kFirstId);
    EXPECT_EQ(layout.entries[0].start, 2048LL * ss);
    EXPECT_EQ(layout.entries[0].length, 2048LL * ss);
    EXPECT_EQ(layout.entries[0].name, u"EFI system");
    EXPECT_EQ(layout.entries[1].type_guid, dev::kGptLinuxData);
    EXPECT_EQ(layout.entries[1].partition_id, kSecondId);
    EXPECT_EQ(layout.entries[1].attributes, (1ull << 63) | 1);
    EXPECT_EQ(layout.entries[1].name, u"Données racine");
    EXPECT_EQ(layout.entries[1].number, 2u);
}

// Only the protective MBR is left: its one 0xEE entry, no volume.
void ExpectMbrFallback(const DiskLayout& layout) {
    ASSERT_EQ(layout.style, PARTITION_STYLE_MBR);
    ASSERT_EQ(layout.entries.size(), 4u);
    EXPECT_EQ(layout.entries[0].mbr_type, dev::kMbrTypeGptProtective);
    EXPECT_TRUE(layout.volumes().empty());
}

// ---------------------------------------------------------------------------

TEST(BuiltTables, GptWrittenThroughTheRecordsIsSoundForSgdiskAndSfdisk) {
    if (!ts::HaveTool("sgdisk") || !ts::HaveTool("sfdisk")) GTEST_SKIP() << "needs sgdisk (gdisk) and sfdisk (fdisk)";
    ts::TempDir dir;
    const std::string image = dir.file("built.img");
    const std::string disk = BuildGptDisk({});
    ts::WriteWholeFile(image, disk);

    const ts::CommandResult verify = ts::Run("sgdisk -v " + ts::Quote(image));
    EXPECT_EQ(verify.exit_code, 0) << verify.output;
    EXPECT_NE(verify.output.find("No problems found"), std::string::npos) << verify.output;
    const ts::CommandResult dump = ts::Run("sfdisk --dump " + ts::Quote(image));
    ASSERT_EQ(dump.exit_code, 0) << dump.output;
    EXPECT_NE(dump.output.find("label-id: 11223344-5566-7788-99AA-BBCCDDEEFF01"), std::string::npos) << dump.output;
    EXPECT_NE(dump.output.find("start=        2048, size=        2048, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, "
                               "uuid=A1A2A3A4-B1B2-C1C2-D1D2-D3D4D5D6D7D8, name=\"EFI system\""),
              std::string::npos)
        << dump.output;
    EXPECT_NE(dump.output.find("name=\"Donn\\xc3\\xa9es racine\", attrs=\"RequiredPartition GUID:63\""),
              std::string::npos)
        << dump.output;
    ExpectBuiltGpt(ReadLayout(disk, 512), 512, 128);
}

TEST(BuiltTables, MbrWrittenThroughTheRecordsIsReadBackBySfdisk) {
    if (!ts::HaveTool("sfdisk")) GTEST_SKIP() << "needs sfdisk (fdisk)";
    std::string disk(4 * kMiB, '\0');
    MasterBootRecord mbr{};
    for (std::size_t i = 0; i < dev::kMbrBootCodeSize; ++i) mbr.BootCode[i] = static_cast<std::uint8_t>(i * 7);
    mbr.UniqueMBRDiskSignature.set(0xCAFE0123);
    mbr.PartitionRecord[0] = {0x80, {}, 0x83, {}, platform::le32::of(2048), platform::le32::of(2048)};
    mbr.PartitionRecord[2] = {0x00, {}, 0x07, {}, platform::le32::of(4096), platform::le32::of(1024)};
    mbr.Signature.set(dev::kMbrSignature);
    PutRecord(disk, 0, mbr);
    EXPECT_EQ(static_cast<unsigned char>(disk[510]), 0x55);
    EXPECT_EQ(static_cast<unsigned char>(disk[511]), 0xAA);

    ts::TempDir dir;
    ts::WriteWholeFile(dir.file("mbr.img"), disk);
    const ts::CommandResult dump = ts::Run("sfdisk --dump " + ts::Quote(dir.file("mbr.img")));
    ASSERT_EQ(dump.exit_code, 0) << dump.output;
    EXPECT_NE(dump.output.find("label-id: 0xcafe0123"), std::string::npos) << dump.output;
    EXPECT_NE(dump.output.find("start=        2048, size=        2048, type=83, bootable"), std::string::npos)
        << dump.output;
    EXPECT_NE(dump.output.find("start=        4096, size=        1024, type=7"), std::string::npos) << dump.output;

    const DiskLayout layout = ReadLayout(disk, 512);
    ASSERT_EQ(layout.style, PARTITION_STYLE_MBR);
    EXPECT_EQ(layout.mbr_signature, 0xCAFE0123u);
    ASSERT_EQ(layout.volumes().size(), 2u);
    EXPECT_EQ(layout.entries[0].boot_indicator, 0x80);
    EXPECT_EQ(layout.entries[2].start, 4096 * 512);
    EXPECT_EQ(layout.entries[2].number, 2u);
}

// ---------------------------------------------------------------------------
// Every field check on its own: both copies carry the same damage with sound
// CRCs, so a parser that skipped the check would report the GPT.

struct GptFieldCase {
    const char* name;
    GptShape shape;
    bool accepted;  // the GPT is sound and read; else only the protective MBR is left
};

class BuiltGptFields : public ::testing::TestWithParam<GptFieldCase> {};

TEST_P(BuiltGptFields, AreCheckedAgainstWhatWasRead) {
    const GptFieldCase& c = GetParam();
    const std::string disk = BuildGptDisk(c.shape);
    const DiskLayout layout = ReadLayout(disk, c.shape.sector_size);
    if (c.accepted) {
        ExpectBuiltGpt(layout, c.shape.sector_size, c.shape.entry_count);
    } else {
        ExpectMbrFallback(layout);
    }
}

using Damage = std::function<void(GptHeader&, std::string&)>;

GptShape Damaged(Damage damage) {
    GptShape shape;
    shape.damage = std::move(damage);
    return shape;
}

GptShape Entries(std::uint32_t count, std::uint32_t size, std::int64_t disk_size = 8 * kMiB) {
    GptShape shape;
    shape.entry_count = count;
    shape.entry_size = size;
    shape.disk_size = disk_size;
    return shape;
}

GptShape Sectors4096() {
    GptShape shape;
    shape.sector_size = 4096;
    shape.disk_size = 64 * kMiB;
    return shape;
}

// Sets the first entry's ending LBA.
Damage FirstEntryEndsAt(std::uint64_t lba) {
    return [lba](GptHeader&, std::string& array) {
        GptPartitionEntry entry = RecordAt<GptPartitionEntry>(array, 0);
        entry.EndingLBA.set(lba);
        PutRecord(array, 0, entry);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Fields, BuiltGptFields,
    ::testing::Values(
        GptFieldCase{"sound", GptShape{}, true},
        GptFieldCase{"sound_4096_byte_sectors", Sectors4096(), true},
        GptFieldCase{"entries_of_256_bytes", Entries(64, 256), true},
        GptFieldCase{"entries_of_512_bytes", Entries(32, 512), true},
        GptFieldCase{"no_entries_at_all", Entries(0, 128), true},
        GptFieldCase{"largest_array_taken", Entries(16384, 128, 16 * kMiB), true},
        GptFieldCase{"entry_count_huge", Damaged([](GptHeader& h, std::string&) {
                         h.NumberOfPartitionEntries.set(0xFFFFFFFF);
                     }),
                     false},
        GptFieldCase{"entry_count_one_past_the_bound", Entries(16385, 128, 16 * kMiB), false},
        GptFieldCase{"entry_count_times_size_past_the_bound", Entries(16384, 512, 48 * kMiB), false},
        // Multiplied in 32 bits, count x size wraps to one entry: an array
        // that size is what the CRC covers.
        GptFieldCase{"entry_count_times_size_wraps_32_bits", Damaged([](GptHeader& h, std::string& array) {
                         h.NumberOfPartitionEntries.set(0x02000001);
                         array.resize(dev::kGptPartitionEntrySize);
                     }),
                     false},
        GptFieldCase{"entry_size_not_a_multiple_of_128", Entries(128, 136), false},
        GptFieldCase{"entry_size_384", Entries(32, 384), false},
        GptFieldCase{"entry_size_zero", Damaged([](GptHeader& h, std::string&) { h.SizeOfPartitionEntry.set(0); }),
                     false},
        GptFieldCase{"entry_size_below_an_entry", Entries(128, 64), false},
        GptFieldCase{"array_past_the_disk_end", Damaged([](GptHeader& h, std::string&) {
                         h.PartitionEntryLBA.set(8 * kMiB / 512 - 8);
                     }),
                     false},
        GptFieldCase{"array_lba_overflows_bytes", Damaged([](GptHeader& h, std::string&) {
                         h.PartitionEntryLBA.set(std::numeric_limits<std::uint64_t>::max() - 1);
                     }),
                     false},
        GptFieldCase{"array_over_its_own_header", Damaged([](GptHeader& h, std::string&) {
                         h.PartitionEntryLBA.set(h.MyLBA.value());
                     }),
                     false},
        GptFieldCase{"header_size_below_the_fields", Damaged([](GptHeader& h, std::string&) {
                         h.HeaderSize.set(dev::kGptHeaderSize - 1);
                     }),
                     false},
        GptFieldCase{"header_size_past_the_sector", Damaged([](GptHeader& h, std::string&) {
                         h.HeaderSize.set(513);
                     }),
                     false},
        GptFieldCase{"revision_2", Damaged([](GptHeader& h, std::string&) { h.Revision.set(0x00020000); }), false},
        GptFieldCase{"header_at_another_lba", Damaged([](GptHeader& h, std::string&) {
                         h.MyLBA.set(h.MyLBA.value() + 1);
                     }),
                     false},
        GptFieldCase{"usable_range_reversed", Damaged([](GptHeader& h, std::string&) {
                         h.FirstUsableLBA.set(h.LastUsableLBA.value() + 1);
                     }),
                     false},
        GptFieldCase{"usable_range_past_64_bits", Damaged([](GptHeader& h, std::string&) {
                         h.LastUsableLBA.set(std::numeric_limits<std::uint64_t>::max());
                     }),
                     false},
        GptFieldCase{"entry_ends_before_it_starts", Damaged(FirstEntryEndsAt(2047)), false},
        GptFieldCase{"entry_ends_past_64_bits", Damaged(FirstEntryEndsAt(std::numeric_limits<std::uint64_t>::max())),
                     false},
        GptFieldCase{"entry_ends_past_byte_offsets", Damaged(FirstEntryEndsAt(1ull << 60)), false}),
    test_support::CaseName());

// ---------------------------------------------------------------------------
// A device that cannot give every byte it claims.

struct ReadCase {
    const char* name;
    std::int64_t readable;  // bytes the device reads before failing
    std::function<void(std::string& disk)> damage;
    enum { kGpt, kMbrFallback, kRaw } outcome;
};

class BuiltGptTruncatedReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(BuiltGptTruncatedReads, FallBackWithoutReadingPastTheDisk) {
    const ReadCase& c = GetParam();
    std::string disk = BuildGptDisk({});
    if (c.damage) c.damage(disk);
    const DiskLayout layout = ReadLayout(disk, 512, c.readable);
    switch (c.outcome) {
    case ReadCase::kGpt: ExpectBuiltGpt(layout, 512, 128); break;
    case ReadCase::kMbrFallback: ExpectMbrFallback(layout); break;
    case ReadCase::kRaw: EXPECT_EQ(layout.style, PARTITION_STYLE_RAW); break;
    }
}

void BreakPrimaryHeader(std::string& disk) { disk[512 + 56] = static_cast<char>(disk[512 + 56] ^ 0xFF); }

INSTANTIATE_TEST_SUITE_P(
    Reads, BuiltGptTruncatedReads,
    ::testing::Values(
        // The backup is never needed while the primary checks out.
        ReadCase{"tail_unreadable", 4 * kMiB, nullptr, ReadCase::kGpt},
        ReadCase{"primary_damaged_tail_unreadable", 4 * kMiB, BreakPrimaryHeader, ReadCase::kMbrFallback},
        // The primary header reads but its array is cut off part way.
        ReadCase{"primary_array_cut_off", 2 * 512 + 1000, nullptr, ReadCase::kMbrFallback},
        ReadCase{"only_the_mbr_readable", 512, nullptr, ReadCase::kMbrFallback},
        ReadCase{"nothing_readable", 0, nullptr, ReadCase::kRaw},
        ReadCase{"mbr_cut_off", 300, nullptr, ReadCase::kRaw}),
    test_support::CaseName());

TEST(BuiltTables, DiskShorterThanItsGptReadsThePrimaryOnly) {
    // The image was cut: the headers still claim the old size.
    std::string disk = BuildGptDisk({});
    disk.resize(6 * kMiB);
    ExpectBuiltGpt(ReadLayout(disk, 512), 512, 128);
    BreakPrimaryHeader(disk);
    ExpectMbrFallback(ReadLayout(disk, 512));
}

// ---------------------------------------------------------------------------
// The records themselves.

TEST(DiskRecords, GuidsAreStoredMixedEndianAndNamesAsUtf16Le) {
    GptPartitionEntry entry = Entry(dev::kGptBasicData, kFirstId, 1, 2, 0, u"abc");
    std::string bytes(sizeof entry, '\0');
    PutRecord(bytes, 0, entry);
    // EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 as every GPT tool writes it.
    EXPECT_EQ(bytes.substr(0, 16), std::string("\xA2\xA0\xD0\xEB\xE5\xB9\x33\x44\x87\xC0\x68\xB6\xB7\x26\x99\xC7", 16));
    EXPECT_EQ(bytes.substr(56, 8), std::string("a\0b\0c\0\0\0", 8));
    EXPECT_EQ(RecordAt<GptPartitionEntry>(bytes, 0).PartitionTypeGUID.value(), dev::kGptBasicData);

    // A name that fills the field has no terminator; a longer one is cut.
    const std::u16string full(dev::kGptPartitionNameUnits, u'N');
    entry.set_name(full + u"XYZ");
    EXPECT_EQ(entry.name(), full);
    entry.set_name(u"");
    EXPECT_EQ(entry.name(), u"");
}

TEST(DiskRecords, HeaderCrcCoversHeaderSizeBytesWithItsOwnFieldAsZero) {
    std::string sector(512, '\0');
    GptHeader header{};
    std::memcpy(header.Signature, dev::kGptSignature, sizeof header.Signature);
    header.HeaderSize.set(dev::kGptHeaderSize);
    header.HeaderCRC32.set(0xDEADBEEF);  // whatever is stored, it counts as zero
    PutRecord(sector, 0, header);
    std::string zeroed = sector;
    std::memset(zeroed.data() + 16, 0, 4);
    EXPECT_EQ(dev::GptHeaderCrc32(sector.data(), 92), dev::Crc32(zeroed.data(), 92));
    // Reserved bytes inside HeaderSize count too.
    sector[100] = 1;
    zeroed[100] = 1;
    EXPECT_EQ(dev::GptHeaderCrc32(sector.data(), 128), dev::Crc32(zeroed.data(), 128));
    EXPECT_NE(dev::GptHeaderCrc32(sector.data(), 128), dev::GptHeaderCrc32(sector.data(), 92));
}

TEST(DiskRecords, BootSignatureIsTheLastTwoBytesOfTheRecord) {
    std::string sector(512, '\0');
    EXPECT_FALSE(dev::HasBootSignature(sector.data()));
    sector[510] = '\x55';
    sector[511] = '\xAA';
    EXPECT_TRUE(dev::HasBootSignature(sector.data()));
    EXPECT_TRUE(RecordAt<MasterBootRecord>(sector, 0).has_signature());
    EXPECT_EQ(dev::kMbrTableOffset, 446u);
    EXPECT_EQ(dev::kMbrTableAndSignatureSize, 66u);
}

}  // namespace
