#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "disk/iso/iso9660.h"
#include "platform/base/byte_order.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::Quote;
using test_support::ReadWholeFile;

using test_support::TempDir;
using test_support::WriteWholeFile;

// A tree whose path table is longer than one sector (200 folders with long
// names) and whose big folder's records fill several sectors; the files to
// find lie past the first sector of each.
class IsoLookup : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const std::string src = dir_->file("src");
        fs::create_directories(src + "/isolinux");
        for (int i = 0; i < 200; ++i)
            fs::create_directories(src + "/FOLDER_WITH_A_LONG_NAME_" + std::to_string(1000 + i));
        WriteWholeFile(src + "/FOLDER_WITH_A_LONG_NAME_1199/LAST.TXT", "last folder");
        fs::create_directories(src + "/big");
        for (int i = 0; i < 120; ++i)
            WriteWholeFile(src + "/big/FILE_NUMBER_" + std::to_string(1000 + i) + ".DAT", "file " + std::to_string(i));
        WriteWholeFile(src + "/isolinux/isolinux.bin", std::string(3000, 'i'));
        WriteWholeFile(src + "/BOOTMGR", "bootmgr");
        auto made = test_support::Run("xorriso -as mkisofs -quiet -iso-level 2 -V DISK -o " + Quote(image()) + " " + Quote(src) +
                        " 2>&1");
        ASSERT_EQ(made.exit_code, 0) << made.output;
    }
    static void TearDownTestSuite() { delete dir_; }
    static std::string image() { return dir_->file("tree.iso"); }

    // The bytes at the extent IsoFindFile gave.
    static std::string BytesAt(std::uint32_t sector, std::size_t length) {
        return ReadWholeFile(image()).substr(static_cast<std::size_t>(sector) * 2048, length);
    }

    static TempDir* dir_;
};
TempDir* IsoLookup::dir_ = nullptr;

TEST_F(IsoLookup, FindsFilesAnywhereInTheTreeWithoutRegardToCase) {
    struct Case {
        const char* name;
        std::string content;
    } cases[] = {
        {"isolinux.bin", std::string(3000, 'i')},
        {"BOOTMGR", "bootmgr"},                      // looked for as BOOTMGR.;1
        {"last.txt", "last folder"},                 // behind the path table's first sector
        {"FILE_NUMBER_1119.DAT", "file 119"},        // behind its folder's first sector
    };
    for (const auto& c : cases) {
        const std::uint32_t sector = disk::IsoFindFile(image(), c.name);
        ASSERT_NE(sector, 0u) << c.name;
        EXPECT_EQ(BytesAt(sector, c.content.size()), c.content) << c.name;
    }
    EXPECT_EQ(disk::IsoFindFile(image(), "absent.bin"), 0u);
    EXPECT_EQ(disk::IsoFileIdentifier("BOOTMGR"), "BOOTMGR.;1");
    EXPECT_EQ(disk::IsoFileIdentifier("isolinux.bin"), "ISOLINUX.BIN;1");
}

// Damaged images: each finds nothing and reads nothing outside the image.
TEST_F(IsoLookup, DamagedImagesFindNothing) {
    const std::string good = ReadWholeFile(image());
    auto with = [&](std::size_t offset, std::uint32_t value) {
        std::vector<std::uint8_t> bytes(good.begin(), good.end());
        platform::StoreLe32(&bytes[offset], value);
        return bytes;
    };
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"truncated before the descriptor", std::vector<std::uint8_t>(good.begin(), good.begin() + 20000)},
        {"path table far outside", with(16 * 2048 + 140, 0x7FFFFFFF)},
        {"path table size huge", with(16 * 2048 + 132, 0xFFFFFFFF)},
        {"no descriptor", std::vector<std::uint8_t>(64 * 2048, 0)},
    };
    for (auto& c : cases) {
        disk::MemoryIsoImage damaged(std::move(c.bytes));
        EXPECT_EQ(disk::IsoFindFile(damaged, "isolinux.bin"), 0u) << c.what;
    }
}

TEST_F(IsoLookup, DirectoriesAreMatchedByTheirWholeName) {
    TempDir dir;
    fs::create_directories(dir.file("src/boot/grub2"));
    fs::create_directories(dir.file("src/boot/grub"));
    WriteWholeFile(dir.file("src/boot/grub/NAME.TXT"), "grub");
    WriteWholeFile(dir.file("src/boot/grub2/NAME.TXT"), "grub2");
    ASSERT_EQ(test_support::Run("xorriso -as mkisofs -quiet -iso-level 2 -o " + Quote(dir.file("g.iso")) + " " +
                  Quote(dir.file("src")) + " 2>&1")
                  .exit_code,
              0);
    disk::FileIsoImage image(dir.file("g.iso"), true);
    const disk::PrimaryVolume volume = disk::ReadPrimaryVolume(image);
    auto grub = disk::FindPathTableDirectory(image, volume, "GRUB");
    ASSERT_TRUE(grub);
    // The rename lands in GRUB, not in GRUB2 which the name is a prefix of.
    EXPECT_TRUE(disk::RenameDirectoryRecord(image, *grub, "NAME.TXT;1", std::string("\x07NAMED;1\0\0\0", 11)));
    auto listing = test_support::Run("isoinfo -l -i " + Quote(dir.file("g.iso")));
    EXPECT_NE(listing.output.find("NAMED;1"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("NAME.TXT;1"), std::string::npos) << listing.output;
    EXPECT_FALSE(disk::FindPathTableDirectory(image, volume, "GRU"));
    // A replacement that does not fit the old record is never written.
    EXPECT_FALSE(disk::RenameDirectoryRecord(image, *grub, "NAMED;1", "\x03"));
}

TEST(IsoBootCatalog, IsFoundByItsDescriptorAndChecked) {
    TempDir dir;
    fs::create_directories(dir.file("src/isolinux"));
    WriteWholeFile(dir.file("src/isolinux/isolinux.bin"), std::string(4096, 'b'));
    // A supplementary descriptor (Joliet) before the boot record moves it
    // off the sector a fixed look would read.
    ASSERT_EQ(test_support::Run("xorriso -as mkisofs -quiet -J -o " + Quote(dir.file("b.iso")) +
                  " -b isolinux/isolinux.bin -no-emul-boot " + Quote(dir.file("src")) + " 2>&1")
                  .exit_code,
              0);
    const std::string good = ReadWholeFile(dir.file("b.iso"));
    {
        disk::MemoryIsoImage image(std::vector<std::uint8_t>(good.begin(), good.end()));
        disk::BootCatalog catalog = disk::ReadBootCatalog(image);
        EXPECT_EQ(catalog.bytes[0], 1);
        EXPECT_EQ(catalog.bytes[32], 0x88);
    }
    // The catalog sector pointed outside, and a broken validation entry.
    std::vector<std::uint8_t> outside(good.begin(), good.end()), broken(good.begin(), good.end());
    for (std::uint32_t sector = 16; sector < 20; ++sector) {
        std::uint8_t* d = &outside[sector * 2048];
        if (d[0] == 0 && std::string(reinterpret_cast<char*>(d + 7), 23) == "EL TORITO SPECIFICATION") {
            const std::uint32_t catalog = platform::LoadLe32(d + 71);
            platform::StoreLe32(d + 71, 0x00FFFFFF);
            broken[catalog * 2048 + 30] = 0;
        }
    }
    disk::MemoryIsoImage a(std::move(outside)), b(std::move(broken));
    EXPECT_THROW(disk::ReadBootCatalog(a), disk::IsoFormatError);
    EXPECT_THROW(disk::ReadBootCatalog(b), disk::IsoFormatError);
}

}  // namespace
