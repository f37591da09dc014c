// The Boot Sector page's fields and in-place edits, read from volumes that
// mkfs.fat, mkntfs and mkfs.exfat made and checked against what blkid
// reads from the same volumes.
#include "main/operations/boot_sector_fields.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <stdexcept>

#include "support/case_name.h"
#include "support/embedded_machine.h"

using namespace tarnovell;

namespace {

std::map<std::string, std::string> Blkid(const std::string& image) {
    test_support::CommandResult result = test_support::Run("blkid -p -o export " + test_support::Quote(image));
    std::map<std::string, std::string> values;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        // Values come shell-quoted: "SIXTEEN\ LBL".
        std::string value;
        for (std::size_t i = equals + 1; i < line.size(); ++i) value += line[i] == '\\' && i + 1 < line.size() ? line[++i] : line[i];
        values[line.substr(0, equals)] = value;
    }
    return values;
}

disk::SectorBuffer FirstSector(const std::string& image) {
    const std::string bytes = test_support::ReadWholeFile(image);
    disk::SectorBuffer sector{};
    std::copy_n(bytes.begin(), sector.size(), sector.begin());
    return sector;
}

std::string WithoutDash(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    return text;
}

struct Made {
    const char* name;
    const char* make;  // "%s" is the image, already 40 MiB of zeros
    BootLayout layout;
    const char* secperfat_at;  // where txtbs10 comes from: "22" or "36"
};

class MadeVolume : public ::testing::TestWithParam<Made> {
protected:
    test_support::TempDir dir_;
};

}  // namespace

TEST_P(MadeVolume, FieldsMatchWhatBlkidReads) {
    const Made& made = GetParam();
    const std::string image = dir_.file("volume.img");
    test_support::RunOn("truncate -s 40M %s", image);
    test_support::RunOn(made.make, image);
    const disk::SectorBuffer sector = FirstSector(image);
    const BootSectorText text = BootSectorTextOf(sector);
    const auto blkid = Blkid(image);
    const auto& f = text.fields;

    EXPECT_EQ(BootLayoutOf(sector), made.layout);
    EXPECT_EQ(f[0].size(), 6u);
    EXPECT_EQ(f[0].substr(0, 2), "EB");
    if (made.layout == BootLayout::Exfat) {
        EXPECT_EQ(f[20], WithoutDash(blkid.at("UUID")));
        EXPECT_EQ(f[21], "");  // its label lives in the root directory
        EXPECT_EQ(f[2], "0");  // exFAT's parameter block is zero where FAT's lies
        for (int i = 14; i < 20; ++i) EXPECT_EQ(f[static_cast<std::size_t>(i)], "") << i;
        return;
    }
    EXPECT_EQ(f[2], blkid.at("BLOCK_SIZE"));
    if (made.layout == BootLayout::Ntfs) {
        EXPECT_EQ(f[1], "NTFS    ");
        EXPECT_EQ(text.serial_hint, blkid.at("UUID"));
        EXPECT_EQ(f[20], blkid.at("UUID").substr(8));
        EXPECT_EQ(f[21], "");
        EXPECT_EQ(f[15], std::to_string((40 << 20) / 512 - 1));  // the last sector holds the backup boot sector
        EXPECT_NE(f[16], "");
        return;
    }
    EXPECT_EQ(f[1], "mkfs.fat");
    EXPECT_EQ(f[20], WithoutDash(blkid.at("UUID")));
    EXPECT_EQ(f[21], blkid.at("LABEL_FATBOOT"));
    EXPECT_EQ(blkid.at("VERSION"), made.layout == BootLayout::Fat32 ? "FAT32" : std::string(made.name).substr(0, 5));
    const std::string sectors_per_fat = std::string(made.secperfat_at) == "22"
                                            ? std::to_string(sector[22] | sector[23] << 8)
                                            : std::to_string(sector[36] | sector[37] << 8 | sector[38] << 16);
    EXPECT_EQ(f[9], sectors_per_fat);
    EXPECT_NE(f[9], "0");
    for (int i = 14; i < 20; ++i) EXPECT_EQ(f[static_cast<std::size_t>(i)], "") << i;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, MadeVolume,
    ::testing::Values(Made{"FAT12", "mkfs.fat -F 12 -n TWELVE %s >/dev/null", BootLayout::Fat16, "22"},
                      Made{"FAT16", "mkfs.fat -F 16 -n 'SIXTEEN LBL' %s >/dev/null", BootLayout::Fat16, "22"},
                      Made{"FAT32", "mkfs.fat -F 32 -n THIRTYTWO %s >/dev/null", BootLayout::Fat32, "36"},
                      Made{"NTFS", "mkntfs -q -F -f -L NLABEL %s >/dev/null 2>&1", BootLayout::Ntfs, ""},
                      Made{"exFAT", "mkfs.exfat -L ELABEL %s >/dev/null", BootLayout::Exfat, ""}),
    test_support::CaseName());

namespace {

// A FAT16 sector with `oem` and serial `serial`, as the table below needs.
disk::SectorBuffer FatSector(const char* oem, std::uint32_t serial, bool fat32) {
    disk::SectorBuffer s{};
    s[0] = 0xEB, s[1] = 0x3C, s[2] = 0x90;
    std::copy_n(oem, 8, s.begin() + 3);
    s[11] = 0x00, s[12] = 0x02;  // 512 bytes per sector
    s[13] = 4;
    s[14] = 1;
    s[16] = 2;
    s[19] = 0x00, s[20] = 0x80;  // 32768 sectors
    s[21] = 0xF8;
    if (!fat32) s[22] = 32;
    else s[36] = 200;
    const std::size_t at = fat32 ? 67 : 39;
    for (int i = 0; i < 4; ++i) s[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(serial >> (8 * i));
    std::copy_n("LABEL      ", 11, s.begin() + (fat32 ? 71 : 43));
    s[510] = 0x55, s[511] = 0xAA;
    return s;
}

}  // namespace

TEST(BootSectorFields, SerialDigitsFollowTheOemNameAndThePlaceFollowsTheBlock) {
    struct Case {
        const char* oem;
        std::uint32_t serial;
        bool fat32;
        const char* shown;
    };
    const Case cases[] = {
        {"MSDOS5.0", 0x1234567, true, "01234567"},   // seven digits get their zero
        {"MSWIN4.1", 0x1234567, true, "1234567"},    // ... here they do not: at least four digits
        {"SYSLINUX", 0x1234567, false, "01234567"},
        {"MSDOS5.0", 0x123456, false, "123456"},     // six digits stay six
        {"MSWIN4.1", 0x123456, false, "123456"},     // a FAT16 block with a FAT32 OEM name: read at 39
        {"mkfs.fat", 0x0000ABCD, false, "0000ABCD"}, // formatters without the habit: all eight
    };
    for (const Case& c : cases) {
        const BootSectorText text = BootSectorTextOf(FatSector(c.oem, c.serial, c.fat32));
        EXPECT_EQ(text.fields[20], c.shown) << c.oem;
        EXPECT_EQ(text.fields[21], "LABEL") << c.oem;
        EXPECT_EQ(text.fields[9], c.fat32 ? "200" : "32") << c.oem;
    }
    // Nothing this page knows: no serial, no label.
    disk::SectorBuffer other{};
    std::copy_n("GRUB2   ", 8, other.begin() + 3);
    EXPECT_EQ(BootSectorTextOf(other).fields[20], "");
    EXPECT_EQ(BootLayoutOf(other), BootLayout::None);
}

TEST(BootSectorFields, NtfsSerialShowsItsLowHalfAndAllSixteenDigitsInTheHint) {
    struct Case {
        std::uint64_t serial;
        const char* low;
        const char* hint;
    };
    const Case cases[] = {
        {0x8A1B2C3D4E5F6071ull, "4E5F6071", "8A1B2C3D4E5F6071"},
        {0x0A1B2C3D4E5F6071ull, "4E5F6071", "0A1B2C3D4E5F6071"},  // fifteen digits
        {0x009EB9EF543E7EA9ull, "543E7EA9", "009EB9EF543E7EA9"},  // fourteen: one serial in 256
        {0x0000000000000001ull, "00000001", "0000000000000001"},
    };
    for (const Case& c : cases) {
        disk::SectorBuffer s{};
        std::copy_n("NTFS    ", 8, s.begin() + 3);
        for (int i = 0; i < 8; ++i) s[72 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(c.serial >> (8 * i));
        const BootSectorText text = BootSectorTextOf(s);
        EXPECT_EQ(text.fields[20], c.low) << c.hint;
        EXPECT_EQ(text.serial_hint, c.hint);
    }
}

TEST(BootSectorFields, SerialEditsWriteTheirBytesOrAreRefused) {
    disk::SectorBuffer ntfs{};
    std::copy_n("NTFS    ", 8, ntfs.begin() + 3);
    ASSERT_EQ(SerialPromptOf(ntfs), "Enter Serial Number (4 or 8 bytes)");
    PatchSerial(ntfs, "$01020304");
    const std::uint8_t four[] = {0x04, 0x03, 0x02, 0x01, 0x0A, 0x02, 0x01, 0x0B};
    EXPECT_TRUE(std::equal(std::begin(four), std::end(four), ntfs.begin() + 72));
    PatchSerial(ntfs, "$1122334455667788");
    const std::uint8_t eight[] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_TRUE(std::equal(std::begin(eight), std::end(eight), ntfs.begin() + 72));

    disk::SectorBuffer fat16 = FatSector("mkfs.fat", 0, false);
    ASSERT_EQ(SerialPromptOf(fat16), "Enter Serial Number (4 bytes)");
    PatchSerial(fat16, "$CAFEBABE");
    EXPECT_EQ(BootSectorTextOf(fat16).fields[20], "CAFEBABE");
    // The FAT16 block keeps its sectors per FAT: nothing was written at 36..39.
    EXPECT_EQ(BootSectorTextOf(fat16).fields[9], "32");
    disk::SectorBuffer fat32 = FatSector("MSDOS5.0", 0, true);
    PatchSerial(fat32, "$0C0FFEE0");
    EXPECT_EQ(BootSectorTextOf(fat32).fields[20], "0C0FFEE0");
    EXPECT_EQ(BootSectorTextOf(fat32).fields[9], "200");

    const disk::SectorBuffer before = fat16;
    for (const char* wrong : {"$1234", "$123456789", "12345678"}) {
        try {
            PatchSerial(fat16, wrong);
            ADD_FAILURE() << wrong;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "wrong size") << wrong;
        }
    }
    EXPECT_THROW(PatchSerial(fat16, "$GGGGGGGG"), std::runtime_error);
    EXPECT_EQ(fat16, before);

    disk::SectorBuffer exfat{};
    std::copy_n("EXFAT   ", 8, exfat.begin() + 3);
    EXPECT_FALSE(SerialPromptOf(exfat));
    EXPECT_TRUE(BootFieldEditRefusal(exfat));
    EXPECT_FALSE(BootFieldEditRefusal(fat16));
}

TEST(BootSectorFields, FieldEditsFitTheirBytes) {
    struct Case {
        int field;
        const char* answer;
        bool fits;
    };
    const Case cases[] = {
        {3, "4096", true}, {3, "65535", true},      {3, "65536", false}, {3, "-1", false},
        {4, "$80", true},  {4, "256", false},       {9, "$F0", true},    {9, "F0", false},
        {13, "4294967295", true}, {13, "4294967296", false}, {12, "x", false},
    };
    for (const Case& c : cases) {
        const BootFieldEdit* edit = BootFieldEditOf(c.field);
        ASSERT_NE(edit, nullptr) << c.field;
        disk::SectorBuffer sector = FatSector("MSDOS5.0", 1, true);
        const disk::SectorBuffer before = sector;
        if (!c.fits) {
            EXPECT_THROW(PatchBootField(sector, *edit, c.answer), std::runtime_error) << c.answer;
            EXPECT_EQ(sector, before) << c.answer;
            continue;
        }
        PatchBootField(sector, *edit, c.answer);
        std::uint64_t stored = 0;
        for (std::size_t i = 0; i < edit->width; ++i) stored |= std::uint64_t{sector[edit->offset + i]} << (8 * i);
        EXPECT_EQ(stored, static_cast<std::uint64_t>(std::stoull(c.answer[0] == '$' ? c.answer + 1 : c.answer, nullptr,
                                                                  c.answer[0] == '$' ? 16 : 10)))
            << c.answer;
        // Only the field's own bytes changed.
        for (std::size_t i = 0; i < sector.size(); ++i) {
            if (i < edit->offset || i >= edit->offset + edit->width) {
                ASSERT_EQ(sector[i], before[i]) << i;
            }
        }
    }
    EXPECT_EQ(BootFieldEditOf(6), nullptr);  // NumOfFATs is shown, not edited
    EXPECT_EQ(BootFieldEditOf(21), nullptr);
}

TEST(BootSectorFields, TheProposedSerialIsFourBytesBelowFF) {
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        const std::string text = RandomSerialText(random);
        ASSERT_EQ(text.size(), 9u);
        ASSERT_EQ(text[0], '$');
        for (std::size_t at = 1; at < 9; at += 2) EXPECT_NE(text.substr(at, 2), "FF") << text;
    }
}
