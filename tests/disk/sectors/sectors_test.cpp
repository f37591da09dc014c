// Sector-level backup and restore on a disk of the embedded host, checked
// byte for byte against dd and cmp.
#include "disk/sectors/sectors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "disk/device/handle_ops.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"
#include "support/case_name.h"
#include "support/embedded_machine.h"

using namespace disk;
using platform::ScopedInteraction;
using platform::ScriptedInteraction;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

const std::string kDisk = "\\\\.\\PhysicalDrive0";
const std::string kVolume = "\\\\.\\C:";
constexpr std::int64_t kVolumeStart = 1 << 20;
constexpr std::int64_t kDiskSize = 8 << 20;

// Random bytes everywhere, an MBR with one FAT12 volume at 1 MiB whose
// 16 reserved sectors leave room for 8 KiB of boot code.
DiskSpec RandomDisk() {
    DiskSpec spec{kDiskSize, {}, ""};
    spec.prepare = {"head -c 8388608 /dev/urandom | dd of=%s conv=notrunc status=none",
                    "printf 'label: dos\\nstart=2048,size=12288,type=6\\n' | sfdisk -q %s",
                    "mkfs.fat -F 12 -R 16 -n SECTORS --offset 2048 %s 6144 >/dev/null"};
    return spec;
}

class Sectors : public ::testing::Test {
protected:
    std::string Bytes(std::int64_t offset, std::int64_t length) const {
        return test_support::ReadWholeFile(machine_.image(0)).substr(static_cast<std::size_t>(offset),
                                                                       static_cast<std::size_t>(length));
    }
    std::string File(const std::string& name) const { return machine_.dir().file(name); }
    bool Cmp(const std::string& a, const std::string& b, const std::string& options = "") const {
        return test_support::Run("cmp " + options + " " + test_support::Quote(a) + " " + test_support::Quote(b)).exit_code == 0;
    }

    EmbeddedMachine machine_{{RandomDisk()}};
    ScriptedInteraction ui_;
    ScopedInteraction scoped_{ui_};
};

SectorBuffer Filled(std::uint8_t value) {
    SectorBuffer b;
    b.fill(value);
    return b;
}

// The disk's own entries with a second partition after C: (type 83 at
// sector 14336, 2048 sectors): a table that keeps C:, which is in use,
// where it is. One that did not would be refused.
std::string TableWithASecondPartition(std::string entries) {
    const char second[16] = {0, 0, 0, 0, '\x83', 0, 0, 0, 0, 0x38, 0, 0, 0, 0x08, 0, 0};
    entries.replace(16, 16, second, 16);
    return entries;
}

}  // namespace

TEST_F(Sectors, MbrBackupIsWhatDdReadsAndARestoreWritesItBack) {
    const std::string mbr = File("mbr.bin"), dd = File("dd.bin");
    ASSERT_TRUE(CopySectorsToFile(kDisk, mbr, 1, 0));
    test_support::RunOn("dd if=%s of=" + dd + " bs=512 count=1 status=none", machine_.image(0));
    EXPECT_TRUE(Cmp(mbr, dd));

    // A changed copy goes back whole; the rest of the disk stays.
    const std::string before = Bytes(512, kDiskSize - 512);
    std::string changed = test_support::ReadWholeFile(mbr);
    changed[100] = static_cast<char>(changed[100] ^ 0xFF);
    test_support::WriteWholeFile(mbr, changed);
    ASSERT_TRUE(RestoreMbr(kDisk, mbr, false, TMbrParts{}));
    EXPECT_EQ(Bytes(0, 512), changed);
    EXPECT_EQ(Bytes(512, kDiskSize - 512), before);

    // The backup of sectors further in, from a byte offset.
    ASSERT_TRUE(CopySectorsToFile(kDisk, mbr, 16, 4096));  // the old file is replaced
    test_support::RunOn("dd if=%s of=" + dd + " bs=512 skip=8 count=16 status=none", machine_.image(0));
    EXPECT_TRUE(Cmp(mbr, dd));
}

struct MergeCase {
    const char* name;
    TMbrParts parts;
    int from, to;  // the bytes of sector 0 that change
};

class MbrMerge : public Sectors, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(MbrMerge, ChangesOnlyTheChosenRegion) {
    const MergeCase& c = GetParam();
    const std::string file = File("mbr.bin");
    std::string image(512, '\x5A');
    image.replace(446, 64, TableWithASecondPartition(Bytes(446, 64)));
    image[510] = '\x55';
    image[511] = '\xAA';
    test_support::WriteWholeFile(file, image);
    std::string expected = Bytes(0, 512);
    for (int i = c.from; i < c.to; ++i) expected[static_cast<std::size_t>(i)] = image[static_cast<std::size_t>(i)];
    ASSERT_TRUE(RestoreMbr(kDisk, file, true, c.parts));
    EXPECT_EQ(Bytes(0, 512), expected);
}

INSTANTIATE_TEST_SUITE_P(Regions, MbrMerge,
                         ::testing::Values(MergeCase{"boot_code", {true, false, false, false, false}, 0, 440},
                                           MergeCase{"disk_signature", {false, true, false, false, false}, 440, 444},
                                           MergeCase{"reserved", {false, false, true, false, false}, 444, 446},
                                           MergeCase{"partition_table", {false, false, false, true, false}, 446, 510},
                                           MergeCase{"boot_signature", {false, false, false, false, true}, 510, 512}),
                         test_support::CaseName());

TEST_F(Sectors, BootSectorKeepingTheBpbTakesTheFilesCodeAndTail) {
    const std::string file = File("boot.bin");
    test_support::RunOn("head -c 8192 /dev/urandom > %s", file);
    const std::string bytes = test_support::ReadWholeFile(file);
    // Make the volume's signature wrong, so the fix is offered.
    SectorBuffer boot{};
    ASSERT_TRUE(ReadSector(kVolume, boot, 0, true));
    boot[510] = boot[511] = 0x11;
    ASSERT_TRUE(WriteSector(kVolume, boot, 0, true));
    const std::string device = Bytes(kVolumeStart, 512);
    ui_.answer_confirm(true);
    ASSERT_TRUE(RestoreBootSector(kVolume, file, true));
    const std::string now = Bytes(kVolumeStart, 8192);
    EXPECT_EQ(now.substr(0, 84), device.substr(0, 84));
    EXPECT_EQ(now.substr(84, 426), bytes.substr(84, 426));
    EXPECT_EQ(now.substr(510, 2), "\x55\xAA");
    EXPECT_EQ(now.substr(512), bytes.substr(512));
    EXPECT_EQ(ui_.texts(), std::vector<std::string>{"Magic Bytes are different than $AA55, fix it?"});
}

TEST_F(Sectors, KeepingTheBpbWantsOneAndStaysInsideTheBootArea) {
    const std::string random = File("random.bin"), ntfs = File("ntfs.bin"), small = File("small.bin");
    test_support::RunOn("head -c 8192 /dev/urandom > %s", random);
    test_support::RunOn("truncate -s 4M %s && mkntfs -q -F -f %s >/dev/null 2>&1 && truncate -s 8192 %s", ntfs);
    test_support::WriteWholeFile(small, std::string(300, 'S'));
    const std::string fat = Bytes(kVolumeStart, 512);
    const std::string before = Bytes(0, kDiskSize);
    struct Case {
        std::string file;
        std::string said;
    };
    for (const Case& c : {Case{small, "is no boot sector"}, Case{ntfs, "written for NTFS, \\\\.\\C: holds FAT"}}) {
        EXPECT_FALSE(RestoreBootSector(kVolume, c.file, true)) << c.file;
        ASSERT_FALSE(ui_.texts().empty());
        EXPECT_NE(ui_.texts().back().find(c.said), std::string::npos) << ui_.texts().back();
    }
    // A boot area of one reserved sector cannot take 8 KiB.
    std::string one_reserved = fat;
    one_reserved[14] = 1;
    one_reserved[15] = 0;
    SectorBuffer sector{};
    std::copy(one_reserved.begin(), one_reserved.end(), sector.begin());
    ASSERT_TRUE(WriteSector(kVolume, sector, 0, true));
    EXPECT_FALSE(RestoreBootSector(kVolume, random, true));
    EXPECT_NE(ui_.texts().back().find("reaches past the boot area"), std::string::npos) << ui_.texts().back();
    // No parameter block at all.
    ASSERT_TRUE(WriteSector(kVolume, Filled(0x11), 0, true));
    EXPECT_FALSE(RestoreBootSector(kVolume, random, true));
    EXPECT_NE(ui_.texts().back().find("no FAT or NTFS boot sector"), std::string::npos) << ui_.texts().back();
    EXPECT_EQ(Bytes(kVolumeStart + 512, 8192 - 512), before.substr(kVolumeStart + 512, 8192 - 512));
}

TEST_F(Sectors, ABootFileOfPartOfASectorChangesOnlyItsBytesAtTheAskedSector) {
    const std::string file = File("part.bin");
    test_support::WriteWholeFile(file, std::string(100, 'B'));
    std::string expected = Bytes(0, kDiskSize);
    expected.replace(3 * 512, 100, std::string(100, 'B'));
    ui_.answer_input("3");
    ASSERT_TRUE(RestoreBootSector(kDisk, file, false));
    EXPECT_EQ(Bytes(0, kDiskSize), expected);

    // No answer: nothing is written.
    ui_.answer_input(std::string());
    test_support::WriteWholeFile(file, std::string(100, 'C'));
    EXPECT_FALSE(RestoreBootSector(kDisk, file, false));
    EXPECT_EQ(Bytes(0, kDiskSize), expected);
}

TEST_F(Sectors, SectorNumbersAreSixtyFourBitAndCheckedAgainstTheSize) {
    const std::string before = Bytes(0, kDiskSize);
    // Past the end of the disk, and a number that would wrap a 32-bit position.
    for (std::int64_t sector : {kDiskSize / 512, kDiskSize / 512 - 1 + (std::int64_t{1} << 32)})
        EXPECT_FALSE(WriteSector(kDisk, Filled(0xEE), sector, true)) << sector;
    ui_.answer_input("$FFFFFFFFFF");
    EXPECT_FALSE(WriteSector(kDisk, Filled(0xEE), 0, false));
    EXPECT_EQ(Bytes(0, kDiskSize), before);
    for (const auto& said : ui_.log()) {
        if (said.kind != ScriptedInteraction::Exchange::Inform) continue;
        EXPECT_NE(said.text.find("beyond the end"), std::string::npos) << said.text;
    }

    // The last sector is inside.
    EXPECT_TRUE(WriteSector(kDisk, Filled(0xEE), kDiskSize / 512 - 1, true));
    EXPECT_EQ(Bytes(kDiskSize - 512, 512), std::string(512, '\xEE'));
}

TEST_F(Sectors, AVolumeIsReadAndWrittenAtTheSectorNumberGiven) {
    ASSERT_TRUE(WriteSector(kVolume, Filled(0x42), 5, true)) << testing::PrintToString(ui_.texts());
    EXPECT_EQ(Bytes(kVolumeStart + 5 * 512, 512), std::string(512, '\x42'));
    SectorBuffer back{};
    ASSERT_TRUE(ReadSector(kVolume, back, 5, true));
    EXPECT_EQ(back, Filled(0x42));
    ASSERT_TRUE(ReadFirstSector(kVolume, back));
    EXPECT_EQ(std::string(back.begin(), back.end()), Bytes(kVolumeStart, 512));
    EXPECT_TRUE(ui_.texts().empty());  // a volume is never asked for a sector
}

TEST_F(Sectors, BackupSectorsMakesOnlyANewFile) {
    const std::string file = File("sectors.bin");
    test_support::WriteWholeFile(file, "keep me");
    EXPECT_FALSE(BackupSectors(kDisk, file, 4));
    EXPECT_EQ(test_support::ReadWholeFile(file), "keep me");
    EXPECT_EQ(ui_.texts(), std::vector<std::string>{"could not createfile"});

    // From an image file, at the sector asked for (63 offered).
    const std::string copy = File("copy.bin"), dd = File("dd.bin");
    ui_.answer_input("2");
    ASSERT_TRUE(BackupSectors(machine_.image(0), copy, 3));
    test_support::RunOn("dd if=%s of=" + dd + " bs=512 skip=2 count=3 status=none", machine_.image(0));
    EXPECT_TRUE(Cmp(copy, dd));
    EXPECT_EQ(ui_.log().back().text, "Enter sector offset");

    // A count past the end makes no file at all.
    EXPECT_FALSE(BackupSectors(kVolume, File("none.bin"), 1 << 20));
    EXPECT_FALSE(test_support::Run("test -e " + File("none.bin")).exit_code == 0);
}

TEST_F(Sectors, ThePartitionTableAloneIsReplaced) {
    SectorBuffer image = Filled(0x77);
    const std::string entries = TableWithASecondPartition(Bytes(446, 64));
    std::copy(entries.begin(), entries.end(), image.begin() + 446);
    std::string expected = Bytes(0, 512);
    expected.replace(446, 64, entries);
    ASSERT_TRUE(WritePartitionTable(kDisk, image));
    EXPECT_EQ(Bytes(0, 512), expected);
    EXPECT_NE(test_support::Run("sfdisk -d " + machine_.image(0)).output.find("start=       14336, size=        2048"),
              std::string::npos);
}

TEST_F(Sectors, WhatWouldTakeAVolumeInUseFromItsDiskIsRefusedWhole) {
    // C: has a file system, which the machine counts as mounted: a table
    // without it, or with it elsewhere, and a boot sector over the table
    // are refused, and nothing of them is written.
    const std::string before = Bytes(0, kDiskSize);
    const std::string refusal = "a volume of " + kDisk + " is still in use: nothing was written";
    SectorBuffer moved{};
    ASSERT_TRUE(ReadFirstSector(kDisk, moved));
    moved[446 + 8] = 0x00;
    moved[446 + 9] = 0x10;  // C: at sector 4096
    EXPECT_FALSE(WritePartitionTable(kDisk, moved));
    EXPECT_EQ(ui_.texts().back(), refusal);
    const std::string zeros = File("zeros.bin");
    test_support::WriteWholeFile(zeros, std::string(1024, '\0'));
    try {
        RestoreMbr(kDisk, zeros, false, TMbrParts{});
        ADD_FAILURE() << "the empty table was written";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), refusal);
    }
    EXPECT_FALSE(RestoreMbr(kDisk, zeros, true, TMbrParts{false, false, false, true, false}));
    ui_.answer_input("0");
    EXPECT_FALSE(RestoreBootSector(kDisk, zeros, false));
    EXPECT_EQ(ui_.texts().back(), refusal);
    EXPECT_TRUE(Bytes(0, kDiskSize) == before);
    // With C: locked and dismounted, its place is nobody's: the table goes.
    platform::Handle volume = platform::CreateFile(kVolume, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                                   platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                   platform::OPEN_EXISTING, 0);
    ASSERT_TRUE(LockVolumeHandle(volume) && DismountVolumeHandle(volume));
    EXPECT_TRUE(WritePartitionTable(kDisk, moved));
    EXPECT_EQ(Bytes(446 + 8, 2), std::string("\0\x10", 2));
}

TEST_F(Sectors, ATableWrittenOnADiskWithoutTheSignatureAsksToSetIt) {
    test_support::RunOn("printf '\\000\\000' | dd of=%s bs=1 seek=510 conv=notrunc status=none", machine_.image(0));
    SectorBuffer sector{};
    ASSERT_TRUE(ReadFirstSector(kDisk, sector));
    const SectorBuffer table = sector;  // the entries sfdisk wrote
    for (bool yes : {false, true}) {
        ui_.answer_confirm(yes);
        ASSERT_TRUE(WritePartitionTable(kDisk, table));
        EXPECT_EQ(ui_.texts().back(), "Magic Bytes are different than $AA55, fix it?");
        EXPECT_EQ(Bytes(510, 2), yes ? "\x55\xAA" : std::string(2, '\0'));
    }
    // Now the table is one a peer reads.
    EXPECT_NE(test_support::Run("sfdisk -d " + machine_.image(0)).output.find("start=        2048, size=       12288"),
              std::string::npos);
    const std::size_t asked = ui_.texts().size();
    ASSERT_TRUE(WritePartitionTable(kDisk, table));
    EXPECT_EQ(ui_.texts().size(), asked) << "a signed sector is not asked about";
}

TEST_F(Sectors, RestoreMbrRaisesWhenAPathCannotBeOpened) {
    EXPECT_THROW(RestoreMbr(kDisk, File("missing.bin"), false, TMbrParts{}), std::runtime_error);
    test_support::WriteWholeFile(File("mbr.bin"), std::string(512, 'x'));
    EXPECT_THROW(RestoreMbr("\\\\.\\PhysicalDrive9", File("mbr.bin"), false, TMbrParts{}), std::runtime_error);
    EXPECT_THROW(CopySectorsToFile("\\\\.\\PhysicalDrive9", File("out.bin"), 1, 0), std::runtime_error);
}

TEST(SectorNumber, ParsesDecimalAndDollarHexOnly) {
    EXPECT_EQ(ParseSectorNumber("63"), 63);
    EXPECT_EQ(ParseSectorNumber(" $3F "), 63);
    EXPECT_EQ(ParseSectorNumber("8589934592"), 8589934592LL);
    for (const char* bad : {"", "-1", "+5", "12x", "$", "0x10", "99999999999999999999"})
        EXPECT_FALSE(ParseSectorNumber(bad).has_value()) << bad;
}
