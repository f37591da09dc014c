// What the partition editor lists and proposes, from layout records made in
// the test: the rows of MBR and GPT layouts, type names and codes, the
// entries a command may touch, the proposal for a new partition and the
// numbers a person types.
#include "tools/parteditor/partition_rows.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/device/records/partition_table.h"

namespace {

using namespace tarnovell;
constexpr std::int64_t kMiB = 1048576;

std::unique_ptr<disk::DriveLayoutBuffer> MbrLayout() {
    auto layout = std::make_unique<disk::DriveLayoutBuffer>();
    layout->Header.PartitionStyle = kEditorMbr;
    layout->Header.PartitionCount = 4;
    layout->Header.Mbr.Signature = 0x01020304;
    auto& first = layout->PartitionEntry[0];
    first.PartitionNumber = 1;
    first.StartingOffset = kMiB;
    first.PartitionLength = 4 * kMiB;
    first.Mbr.PartitionType = 0x07;
    first.Mbr.BootIndicator = 1;
    first.Mbr.HiddenSectors = 2048;
    auto& second = layout->PartitionEntry[1];
    second.PartitionNumber = 2;
    second.StartingOffset = 5 * kMiB;
    second.PartitionLength = 2 * kMiB;
    second.Mbr.PartitionType = 0x0D;  // no description in the table
    second.Mbr.HiddenSectors = 10240;
    return layout;
}

std::unique_ptr<disk::DriveLayoutBuffer> GptLayout(std::uint32_t count) {
    auto layout = std::make_unique<disk::DriveLayoutBuffer>();
    layout->Header.PartitionStyle = kEditorGpt;
    layout->Header.PartitionCount = count;
    layout->Header.Gpt.StartingUsableOffset = 34 * 512;
    layout->Header.Gpt.UsableLength = 8 * kMiB + 65536 - 34 * 512 - 33 * 512;
    platform::device::GuidFromString("{01234567-89AB-CDEF-0123-456789ABCDEF}", layout->Header.Gpt.DiskId);
    for (std::uint32_t i = 0; i < count; ++i) {
        auto& e = layout->PartitionEntry[i];
        e.PartitionStyle = kEditorGpt;
        e.PartitionNumber = i + 1;
        e.StartingOffset = kMiB * (i + 1);
        e.PartitionLength = kMiB;
        platform::device::GuidFromString("{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}", e.Gpt.PartitionType);
        platform::device::GuidFromString("{AAAAAAAA-BBBB-CCCC-DDDD-00000000000" + std::to_string(i) + "}",
                                         e.Gpt.PartitionId);
        e.Gpt.Attributes = 0x8000000000000001ULL;
    }
    return layout;
}

TEST(EditorRows, MbrEntriesWithTypeTextsBootFlagsAndUnusedSlots) {
    const EditorLayout layout = EditorLayoutOf(*MbrLayout());
    EXPECT_EQ(layout.style, kEditorMbr);
    EXPECT_EQ(layout.count, 4u);
    EXPECT_EQ(layout.mbr_signature, 0x01020304u);
    ASSERT_EQ(layout.rows.size(), 4u);
    const EditorRow& first = layout.rows[0];
    EXPECT_EQ(first.number, "1");
    EXPECT_EQ(first.offset, "1048576");
    EXPECT_EQ(first.length, "4194304");
    EXPECT_EQ(first.hidden_or_id, "2048");
    EXPECT_EQ(first.type, "(0x07) Advanced Unix QNX QNX OS/2 HPFS WindowsNT NTFS");
    EXPECT_EQ(first.boot, "True");
    EXPECT_EQ(first.attributes, "");
    EXPECT_EQ(layout.rows[1].type, "13");
    EXPECT_EQ(layout.rows[1].boot, "False");
    EXPECT_EQ(layout.rows[2].number, "-");
    EXPECT_EQ(layout.rows[2].type, "(0x00) NO-Partition empty entry");
    EXPECT_EQ(LayoutStatusText(layout.style, layout.count), "Style: MBR, Count=4");
}

TEST(EditorRows, GptEntriesAndFillerRowsUpToFour) {
    const EditorLayout layout = EditorLayoutOf(*GptLayout(2));
    EXPECT_EQ(layout.usable_end, 8 * kMiB + 65536 - 33 * 512);
    EXPECT_EQ(platform::device::GuidToString(layout.gpt_disk_id), "{01234567-89AB-CDEF-0123-456789ABCDEF}");
    ASSERT_EQ(layout.rows.size(), 4u);
    EXPECT_EQ(layout.rows[0].hidden_or_id, "{AAAAAAAA-BBBB-CCCC-DDDD-000000000000}");
    EXPECT_EQ(layout.rows[0].type, " PARTITION_BASIC_DATA_GUID");
    EXPECT_EQ(layout.rows[0].boot, "");
    EXPECT_EQ(layout.rows[0].attributes, "0x8000000000000001");
    for (int i : {2, 3}) {
        EXPECT_EQ(layout.rows[i].number, "0");
        EXPECT_EQ(layout.rows[i].offset, "0");
        EXPECT_EQ(layout.rows[i].length, "0");
    }
    EXPECT_EQ(LayoutStatusText(kEditorGpt, 2), "Style: GPT, Count=2");
    EXPECT_EQ(LayoutStatusText(kEditorRaw, 0), "Style: , Count=0");

    // A GPT type the table does not know shows as its GUID; a full table
    // of 128 entries is listed whole.
    auto big = GptLayout(128);
    platform::device::GuidFromString("{11111111-2222-3333-4444-555555555555}",
                                     big->PartitionEntry[127].Gpt.PartitionType);
    const EditorLayout full = EditorLayoutOf(*big);
    ASSERT_EQ(full.rows.size(), 128u);
    EXPECT_EQ(full.rows[127].number, "128");
    EXPECT_EQ(full.rows[127].type, "{11111111-2222-3333-4444-555555555555}");
}

TEST(EditorTypes, NamesTranslateToCodesByStyle) {
    struct Case {
        std::uint32_t style;
        const char* name;
        const char* code;
    };
    for (const Case& c : {Case{kEditorMbr, "ENTRY_UNUSED", "0"}, Case{kEditorMbr, "FAT16", "4"},
                          Case{kEditorMbr, "EXTENDED", "5"}, Case{kEditorMbr, "IFS", "7"},
                          Case{kEditorMbr, "FAT32", "11"}, Case{kEditorMbr, "HIDDEN FAT16", "20"},
                          Case{kEditorMbr, "HIDDEN IFS", "23"}, Case{kEditorMbr, "HIDDEN FAT32", "27"},
                          Case{kEditorMbr, "FAT32 or NTFS RESCUE", "39"}, Case{kEditorMbr, "DYNAMIC DISK", "66"},
                          Case{kEditorMbr, "EFI GPT", "238"}, Case{kEditorMbr, "EFI SYSTEM PARTITION", "239"},
                          Case{kEditorGpt, "ENTRY_UNUSED_GUID", "{00000000-0000-0000-0000-000000000000}"},
                          Case{kEditorGpt, "BASIC_DATA_GUID", "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}"},
                          Case{kEditorGpt, "MSFT_RESERVED_GUID", "{e3c9e316-0b5c-4db8-817d-f92df00215ae}"},
                          Case{kEditorGpt, "MSFT_RECOVERY_GUID", "{de94bba4-06d1-4d40-a16a-bfd50179d6ac}"},
                          Case{kEditorGpt, "SYSTEM_GUID", "{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}"},
                          // Without a style, or across styles, a name stands for itself.
                          Case{kEditorRaw, "IFS", "IFS"}, Case{kEditorGpt, "IFS", "IFS"},
                          Case{kEditorMbr, "BASIC_DATA_GUID", "BASIC_DATA_GUID"}})
        EXPECT_EQ(PartitionTypeCode(c.style, c.name), c.code) << c.name;
    EXPECT_EQ(MbrChangeTypeNames().size(), 11u);
    EXPECT_EQ(MbrCreateTypeNames().front(), "ENTRY_UNUSED");
    EXPECT_EQ(MbrCreateTypeNames().back(), "DYNAMIC DISK");
    EXPECT_EQ(GptTypeNames().size(), 5u);
}

TEST(EditorEntries, NumbersACommandMayTouch) {
    EXPECT_EQ(EntryNumberOf(-1), std::nullopt);
    EXPECT_EQ(EntryNumberOf(0), 1);
    EXPECT_EQ(EntryNumberOf(254), 255);
    EXPECT_EQ(EntryNumberOf(255), std::nullopt);
    for (int entry : {0, 1, 5, 8}) EXPECT_FALSE(CanBecomeFirst(entry)) << entry;
    for (int entry : {2, 3, 4}) EXPECT_TRUE(CanBecomeFirst(entry)) << entry;
}

TEST(EditorProposal, NewPartitionStartsAfterTheRowAboveAndEndsBeforeTheBackupTable) {
    // The disk is 8 MiB + 64 KiB: from 64 KiB to the disk's end would be
    // 8 MiB exactly, which would run into the backup table.
    EditorLayout empty_gpt = EditorLayoutOf(*GptLayout(0));
    NewPartitionProposal p = ProposeNewPartition(empty_gpt, 1);
    EXPECT_EQ(p.offset, 65536);
    EXPECT_EQ(p.size_mb, 7);
    EXPECT_LE(p.offset + p.size_mb * kMiB, empty_gpt.usable_end);
    // After a filler row: its offset + 64 KiB.
    p = ProposeNewPartition(empty_gpt, 2);
    EXPECT_EQ(p.offset, 65536);

    EditorLayout gpt = EditorLayoutOf(*GptLayout(2));
    p = ProposeNewPartition(gpt, 3);
    EXPECT_EQ(p.offset, 3 * kMiB);
    EXPECT_EQ(p.size_mb, 5);

    EditorLayout mbr = EditorLayoutOf(*MbrLayout());
    mbr.usable_end = 16 * kMiB;  // the disk's length
    p = ProposeNewPartition(mbr, 1);
    EXPECT_EQ(p.offset, kMiB);
    EXPECT_EQ(p.size_mb, 15);
    p = ProposeNewPartition(mbr, 3);
    EXPECT_EQ(p.offset, 7 * kMiB);
    EXPECT_EQ(p.size_mb, 9);
    // Past the end there is nothing to propose.
    mbr.usable_end = 6 * kMiB;
    EXPECT_EQ(ProposeNewPartition(mbr, 3).size_mb, 0);
}

TEST(EditorInput, TypedNumbersSignaturesAndBooleans) {
    struct NumberCase {
        const char* text;
        std::optional<std::int64_t> value;
    };
    for (const NumberCase& c :
         {NumberCase{"0", 0}, NumberCase{" 1048576 ", 1048576}, NumberCase{"-5", -5}, NumberCase{"$10", 16},
          NumberCase{"$ffffffffffffffff", -1}, NumberCase{"$8000000000000001", INT64_MIN + 1},
          NumberCase{"9223372036854775807", INT64_MAX}, NumberCase{"9223372036854775808", std::nullopt},
          NumberCase{"$10000000000000000", std::nullopt}, NumberCase{"", std::nullopt}, NumberCase{"$", std::nullopt},
          NumberCase{"12abc", std::nullopt}, NumberCase{"0x10", std::nullopt}, NumberCase{"$-1", std::nullopt}})
        EXPECT_EQ(ParseTypedNumber(c.text), c.value) << c.text;

    struct SignatureCase {
        const char* text;
        std::optional<std::uint32_t> value;
    };
    for (const SignatureCase& c :
         {SignatureCase{"$01020304", 0x01020304u}, SignatureCase{"$F1020304", 0xF1020304u},
          SignatureCase{"-1", 0xFFFFFFFFu}, SignatureCase{"2147483647", 0x7FFFFFFFu},
          SignatureCase{"2147483648", std::nullopt}, SignatureCase{"$100000000", std::nullopt},
          SignatureCase{"$", std::nullopt}})
        EXPECT_EQ(ParseDiskSignature(c.text), c.value) << c.text;

    EXPECT_EQ(ParseTypedBoolean("1"), true);
    EXPECT_EQ(ParseTypedBoolean(" TRUE "), true);
    EXPECT_EQ(ParseTypedBoolean("0"), false);
    EXPECT_EQ(ParseTypedBoolean("False"), false);
    EXPECT_EQ(ParseTypedBoolean("2"), std::nullopt);
    EXPECT_EQ(ParseTypedBoolean(""), std::nullopt);
}

}  // namespace
