#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "disk/checksum/chksums.h"
#include "disk/iso/iso9660.h"
#include "disk/iso/iso_maker.h"
#include "platform/base/byte_order.h"
#include "platform/base/interaction.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::Quote;
using test_support::ReadWholeFile;

using test_support::TempDir;
using test_support::WriteWholeFile;

std::string Pattern(std::size_t size, char seed) { return test_support::PatternBytes(size, static_cast<unsigned char>(seed)); }

class IsoMaker : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_.file("src/isolinux"));
        fs::create_directories(dir_.file("src/docs/deep"));
        fs::create_directories(dir_.file("tmp"));
        WriteWholeFile(dir_.file("src/isolinux/isolinux.bin"), Pattern(300 * 1024, 'a'));
        WriteWholeFile(dir_.file("src/docs/deep/readme.txt"), "hello from the deep");
        WriteWholeFile(dir_.file("src/efisys.bin"), Pattern(1474560, 'e'));
        answers_.set_default_confirm(true);
        context_.interaction = &answers_;
    }

    disk::IsoMakerRequest Request() const {
        disk::IsoMakerRequest request;
        request.source = dir_.file("src");
        request.destination = dir_.file("out.iso");
        request.bios_boot = dir_.file("src/isolinux/isolinux.bin");
        request.file_system_choice = 1;  // ISO9660 + Joliet
        request.caption = "Make ISO disc image";
        return request;
    }

    // Every file below the source with its bytes.
    std::map<std::string, std::string> SourceTree() const {
        std::map<std::string, std::string> tree;
        for (const auto& entry : fs::recursive_directory_iterator(dir_.file("src")))
            tree[entry.path().string()] = entry.is_regular_file() ? ReadWholeFile(entry.path().string()) : "(folder)";
        return tree;
    }

    // "Make Disc", and the source folder as it was before: a build reads
    // it, a refusal does not touch it.
    bool Make(const disk::IsoMakerRequest& request, const disk::OperationContext& context) {
        const auto before = SourceTree();
        const bool made = disk::MakeIsoDisc(request, context, log_);
        EXPECT_TRUE(SourceTree() == before) << "the source folder changed";
        return made;
    }
    bool Make(const disk::IsoMakerRequest& request) { return Make(request, context_); }

    std::string ElTorito(const std::string& image) {
        return test_support::Run("xorriso -indev " + Quote(image) + " -report_el_torito plain 2>/dev/null").output;
    }

    TempDir dir_;
    // The staged boot images go here, where the test can see they are gone.
    test_support::ScopedEnvironment tmpdir_{"TMPDIR", dir_.file("tmp").c_str()};
    platform::ScriptedInteraction answers_;
    disk::OperationContext context_;
    disk::IsoMakerLog log_{dir_.file("log.txt")};
};

TEST_F(IsoMaker, BuildsABiosAndEfiImageThatThePeersRead) {
    auto request = Request();
    request.efi_boot = dir_.file("src/efisys.bin");
    ASSERT_TRUE(Make(request)) << testing::PrintToString(answers_.texts());

    const std::string report = ElTorito(dir_.file("out.iso"));
    // The BIOS image is over 256 KiB and loads 16 sectors; the EFI image
    // loads whole (2880 sectors), not cut to the BIOS image's size.
    EXPECT_NE(report.find("BIOS  y   none  0x0000  0x00     16"), std::string::npos) << report;
    EXPECT_NE(report.find("UEFI  y   none  0x0000  0x00   2880"), std::string::npos) << report;
    const std::string info = test_support::Run("isoinfo -d -i " + Quote(dir_.file("out.iso"))).output;
    EXPECT_NE(info.find("Volume id: DISK"), std::string::npos) << info;
    EXPECT_NE(info.find("Joliet"), std::string::npos) << info;
    EXPECT_EQ(test_support::Run("isoinfo -J -x \"/docs/deep/readme.txt;1\" -i " + Quote(dir_.file("out.iso"))).output,
              "hello from the deep")
        << test_support::Run("isoinfo -J -l -i " + Quote(dir_.file("out.iso"))).output;
    EXPECT_TRUE(fs::is_empty(dir_.file("tmp"))) << "staged boot images left behind";
    EXPECT_NE(ReadWholeFile(log_.path()).find(" , orbamel OK"), std::string::npos);
}

TEST_F(IsoMaker, PatchesTheBootTableIntoTheBootImage) {
    auto request = Request();
    request.patch_boot_table = true;
    ASSERT_TRUE(Make(request));
    const std::string log = ReadWholeFile(log_.path());
    EXPECT_NE(log.find("patch_iso9660_boot_file OK"), std::string::npos) << log;

    disk::FileIsoImage image(dir_.file("out.iso"), false);
    disk::BootCatalog catalog = disk::ReadBootCatalog(image);
    EXPECT_EQ(platform::LoadLe16(&catalog.bytes[38]), 4);
    const std::uint32_t load = platform::LoadLe32(&catalog.bytes[40]);
    std::uint8_t boot[32];
    ASSERT_TRUE(image.read(static_cast<std::int64_t>(load) * 2048, boot, sizeof boot));
    EXPECT_EQ(platform::LoadLe32(boot + 8), 16u);
    EXPECT_EQ(platform::LoadLe32(boot + 12), disk::IsoFindFile(image, "isolinux.bin"));
    EXPECT_EQ(platform::LoadLe32(boot + 16), 300u * 1024);
    EXPECT_EQ(platform::LoadLe32(boot + 20), disk::FileChecksum32(request.bios_boot, 64));
}

TEST_F(IsoMaker, AnAbsentRenameTargetIsLoggedAndChangesNothing) {
    auto request = Request();
    request.bios_boot = dir_.file("src/etfsboot.com");
    WriteWholeFile(request.bios_boot, Pattern(4096, 'w'));
    ASSERT_TRUE(Make(request));
    const std::string before = ReadWholeFile(dir_.file("out.iso"));
    EXPECT_NE(ReadWholeFile(log_.path()).find("patch_iso9660_root_directory NOT OK"), std::string::npos);
    EXPECT_FALSE(disk::PatchIsoRootDirectory(dir_.file("out.iso"), "BOOTMGR.;1", std::string("\x09" "BOOTMGR;1\0", 11)));
    EXPECT_EQ(ReadWholeFile(dir_.file("out.iso")), before);
}

TEST_F(IsoMaker, RenamesBootmgrInTheRoot) {
    WriteWholeFile(dir_.file("src/bootmgr"), "loader");
    auto request = Request();
    request.bios_boot = dir_.file("src/etfsboot.com");
    WriteWholeFile(request.bios_boot, Pattern(4096, 'w'));
    ASSERT_TRUE(Make(request));
    EXPECT_NE(ReadWholeFile(log_.path()).find("patch_iso9660_root_directory OK"), std::string::npos);
    const std::string listing = test_support::Run("isoinfo -l -i " + Quote(dir_.file("out.iso"))).output;
    EXPECT_NE(listing.find(" BOOTMGR;1"), std::string::npos) << listing;
}

// Every way the build can fail says so, returns false and leaves the
// destination as it was.
TEST_F(IsoMaker, FailuresAreReportedAndWriteNothing) {
    WriteWholeFile(dir_.file("out.iso"), "old image");
    struct Case {
        const char* what;
        std::function<void(disk::IsoMakerRequest&)> change;
        bool answer;
    } cases[] = {
        {"destination inside the source", [&](auto& r) { r.destination = dir_.file("src/docs/out.iso"); }, true},
        {"destination folder missing", [&](auto& r) { r.destination = dir_.file("missing/out.iso"); }, true},
        {"No to the size question", [](auto&) {}, false},
        {"boot file missing", [&](auto& r) { r.bios_boot = dir_.file("src/none.bin"); }, true},
        {"UDF alone", [](auto& r) { r.file_system_choice = 4, r.udf_only = true; }, true},
        {"UDF alone with the boot table patched",
         [](auto& r) { r.file_system_choice = 4, r.udf_only = true, r.patch_boot_table = true; }, true},
    };
    for (const auto& c : cases) {
        auto request = Request();
        c.change(request);
        platform::ScriptedInteraction answers;
        answers.set_default_confirm(c.answer);
        disk::OperationContext context;
        context.interaction = &answers;
        EXPECT_FALSE(Make(request, context)) << c.what;
        EXPECT_EQ(ReadWholeFile(dir_.file("out.iso")), "old image") << c.what;
        EXPECT_FALSE(fs::exists(dir_.file("src/docs/out.iso"))) << c.what;
        if (c.answer) {
            EXPECT_FALSE(answers.texts().empty()) << c.what << ": nothing was said";
        }
        // What cannot be built here is refused before any question.
        if (request.udf_only) {
            EXPECT_EQ(answers.texts().size(), 1u) << c.what << testing::PrintToString(answers.texts());
        }
        EXPECT_TRUE(fs::is_empty(dir_.file("tmp"))) << c.what;
    }
}

TEST_F(IsoMaker, UdfBesideIso9660ComesFromGenisoimage) {
    auto request = Request();
    request.file_system_choice = 3;  // ISO9660 + UDF
    ASSERT_TRUE(Make(request)) << testing::PrintToString(answers_.texts());
    const std::string image = ReadWholeFile(dir_.file("out.iso"));
    EXPECT_NE(image.substr(16 * 2048, 8 * 2048).find("NSR02"), std::string::npos);
    EXPECT_NE(ElTorito(dir_.file("out.iso")).find("BIOS  y   none"), std::string::npos);
    EXPECT_EQ(test_support::Run("isoinfo -x /DOCS/DEEP/README.TXT\\;1 -i " + Quote(dir_.file("out.iso"))).output,
              "hello from the deep");
    // The staged image went with its working folder.
    for (const auto& entry : fs::directory_iterator(dir_.path()))
        EXPECT_EQ(entry.path().filename().string().rfind(".tarnovell-iso.", 0), std::string::npos);
}

// Joliet is in the image exactly when the file-system box asks for it,
// whichever tool makes the image and whether it boots or not.
TEST_F(IsoMaker, JolietOnlyWhereAsked) {
    const struct {
        int choice;
        bool joliet;
    } cases[] = {{0, false}, {1, true}, {2, true}, {3, false}};
    for (const auto& c : cases)
        for (bool boots : {false, true}) {
            SCOPED_TRACE(testing::Message() << "choice " << c.choice << (boots ? ", bootable" : ""));
            auto request = Request();
            request.file_system_choice = c.choice;
            if (!boots) request.bios_boot.clear();
            ASSERT_TRUE(Make(request)) << testing::PrintToString(answers_.texts());
            const std::string info = test_support::Run("isoinfo -d -i " + Quote(dir_.file("out.iso"))).output;
            EXPECT_EQ(info.find("NO Joliet present") == std::string::npos, c.joliet) << info;
            EXPECT_EQ(info.find("Joliet with UCS level") != std::string::npos, c.joliet) << info;
        }
}

// grub finds its platform folders by their own names; what the image
// library wrote is renamed, as isoinfo lists it.
TEST_F(IsoMaker, GrubFoldersTakeTheirOwnNames) {
    for (const char* folder : {"i386-pc", "x86_64-efi", "i386-efi"}) {
        fs::create_directories(dir_.file("src/boot/grub/") + folder);
        WriteWholeFile(dir_.file("src/boot/grub/") + folder + "/normal.mod", folder);
    }
    WriteWholeFile(dir_.file("src/boot/grub/grub.img"), Pattern(8192, 'g'));
    for (int choice : {0, 3}) {  // made by the image library, and by genisoimage
        SCOPED_TRACE(choice);
        auto request = Request();
        request.file_system_choice = choice;
        request.bios_boot = dir_.file("src/boot/grub/grub.img");
        ASSERT_TRUE(Make(request)) << testing::PrintToString(answers_.texts());
        const std::string log = ReadWholeFile(log_.path());
        EXPECT_EQ(log.find("patch_iso9660_directory NOT OK"), std::string::npos) << log;
        const std::string listing = test_support::Run("isoinfo -f -i " + Quote(dir_.file("out.iso"))).output;
        for (const char* path : {"/BOOT/GRUB/I386-PC", "/BOOT/GRUB/X86_64-EFI", "/BOOT/GRUB/I386-EFI",
                                 "/BOOT/GRUB/I386-PC/NORMAL.MOD;1"})
            EXPECT_NE(listing.find(std::string(path) + "\n"), std::string::npos) << path << "\n" << listing;
        EXPECT_EQ(listing.find("I386_PC"), std::string::npos) << listing;
        EXPECT_EQ(test_support::Run("isoinfo -x '/BOOT/GRUB/X86_64-EFI/NORMAL.MOD;1' -i " + Quote(dir_.file("out.iso")))
                      .output,
                  "x86_64-efi");
    }
}

}  // namespace
