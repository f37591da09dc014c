#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "disk/bindings/sevenzip/item_path.h"
#include "disk/bindings/sevenzip/sevenzip.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using disk::sevenzip::ClassIdOfExtension;
using disk::sevenzip::Create7zInArchive;
using disk::sevenzip::kSevenZipLibrary;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::TempDir;
using test_support::WriteWholeFile;

// Mostly three letters with noise between, so that an archive packs them
// to a fraction, as it does a file.
std::string FileLikeBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& c : bytes) c = static_cast<char>(random() % 7 == 0 ? random() : 'a' + random() % 3);
    return bytes;
}

void Sh(const std::string& command) {
    auto result = test_support::Run(command + " 2>&1");
    ASSERT_EQ(result.exit_code, 0) << command << "\n" << result.output;
}

std::unique_ptr<disk::sevenzip::T7zInArchive> Open(const std::string& archive) {
    auto in = Create7zInArchive(ClassIdOfExtension(archive), kSevenZipLibrary);
    in->OpenFile(archive);
    return in;
}

// A tree of files as 7z, zip, tar and WIM archives (made by 7z, tar and
// wimlib) and a disk image as VMDK, VDI and QCOW (made by qemu-img).
class SevenZip : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        const std::string tree = dir_->file("tree");
        fs::create_directories(tree + "/sub/deeper");
        fs::create_directories(tree + "/empty folder");
        WriteWholeFile(tree + "/a.bin", FileLikeBytes(3 << 20, 1));
        WriteWholeFile(tree + "/sub/b.txt", "bee");
        WriteWholeFile(tree + "/sub/deeper/c.dat", FileLikeBytes(70000, 2));
        WriteWholeFile(tree + "/empty.txt", "");
        WriteWholeFile(dir_->file("disk.raw"), FileLikeBytes(4 << 20, 3));
        const std::string t = Quote(tree);
        Sh("cd " + t + " && 7z a -bd -mx=1 " + Quote(dir_->file("tree.7z")) + " . >/dev/null");
        Sh("cd " + t + " && 7z a -bd -tzip " + Quote(dir_->file("tree.zip")) + " . >/dev/null");
        Sh("tar -C " + t + " -cf " + Quote(dir_->file("tree.tar")) + " .");
        Sh("wimlib-imagex capture " + t + " " + Quote(dir_->file("tree.wim")) + " --compress=fast >/dev/null");
        for (auto [format, name] : {std::pair{"vmdk", "disk.vmdk"}, {"vdi", "disk.vdi"}, {"qcow2", "disk.qcow"}})
            Sh(std::string("qemu-img convert -f raw -O ") + format + " " + Quote(dir_->file("disk.raw")) + " " +
               Quote(dir_->file(name)));
    }
    static void TearDownTestSuite() { delete dir_; }
    static TempDir* dir_;
};
TempDir* SevenZip::dir_ = nullptr;

TEST_F(SevenZip, ArchivesOfThePeersListAndExtractByteIdentical) {
    for (const char* name : {"tree.7z", "tree.zip", "tree.tar", "tree.wim"}) {
        const std::string out = dir_->file(std::string("out-") + name);
        fs::create_directories(out);
        auto archive = Open(dir_->file(name));
        std::vector<std::string> files;
        for (std::uint32_t i = 0; i < archive->NumberOfItems(); ++i)
            if (!archive->ItemIsFolder(i)) files.push_back(archive->DisplayPath(i));
        EXPECT_TRUE(std::find(files.begin(), files.end(), "sub/deeper/c.dat") != files.end() ||
                    std::find(files.begin(), files.end(), "./sub/deeper/c.dat") != files.end())
            << name << ": " << testing::PrintToString(files);
        EXPECT_NO_THROW(archive->ExtractTo(out)) << name;
        archive->Close();
        auto diff = test_support::Run("diff -r " + Quote(dir_->file("tree")) + " " + Quote(out) + " 2>&1");
        EXPECT_EQ(diff.exit_code, 0) << name << "\n" << diff.output;
    }
}

TEST_F(SevenZip, DiskImagesExtractToTheRawDisk) {
    for (const char* name : {"disk.vmdk", "disk.vdi", "disk.qcow"}) {
        const std::string out = dir_->file(std::string("out-") + name);
        fs::create_directories(out);
        auto archive = Open(dir_->file(name));
        ASSERT_EQ(archive->NumberOfItems(), 1u) << name;
        EXPECT_EQ(archive->ItemSize(0), 4u << 20) << name;
        const std::string item = archive->DisplayPath(0);
        archive->ExtractTo(out);
        EXPECT_EQ(ReadWholeFile(out + "/" + item), ReadWholeFile(dir_->file("disk.raw"))) << name << " as " << item;
    }
}

// The boot image of a bootable ISO is an item of its own ("[BOOT]/..."),
// listed and extracted with the others, as by 7z itself.
TEST_F(SevenZip, ExtractingAllOfABootableIsoGivesWhat7zGives) {
    if (!test_support::HaveTool("xorriso")) GTEST_SKIP() << "xorriso is not installed";
    const std::string cd = dir_->file("bootable");
    fs::create_directories(cd + "/boot");
    WriteWholeFile(cd + "/boot/loader.bin", FileLikeBytes(4096, 4));
    WriteWholeFile(cd + "/readme.txt", "read me");
    const std::string iso = dir_->file("bootable.iso");
    Sh("xorriso -as mkisofs -quiet -b boot/loader.bin -no-emul-boot -boot-load-size 4 -o " + Quote(iso) + " " +
       Quote(cd));
    const std::string ours = dir_->file("out-ours"), peers = dir_->file("out-7z");
    fs::create_directories(ours);
    auto archive = Open(iso);
    bool listed = false;
    for (std::uint32_t i = 0; i < archive->NumberOfItems(); ++i)
        listed = listed || archive->DisplayPath(i).rfind("[BOOT]", 0) == 0;
    EXPECT_TRUE(listed);
    archive->ExtractTo(ours);
    archive->Close();
    Sh("7z x -bd -y -o" + Quote(peers) + " " + Quote(iso) + " >/dev/null");
    ASSERT_TRUE(fs::exists(peers + "/[BOOT]"));
    auto diff = test_support::Run("diff -r " + Quote(peers) + " " + Quote(ours) + " 2>&1");
    EXPECT_EQ(diff.exit_code, 0) << diff.output;
}

TEST_F(SevenZip, OneItemIntoAStream) {
    auto archive = Open(dir_->file("tree.7z"));
    std::uint32_t index = 0;
    while (archive->DisplayPath(index) != "sub/deeper/c.dat") ++index;
    {
        auto stream = disk::sevenzip::FileStream::Create(dir_->file("single.dat"));
        archive->ExtractItem(index, *stream, false);
    }
    EXPECT_EQ(ReadWholeFile(dir_->file("single.dat")), ReadWholeFile(dir_->file("tree/sub/deeper/c.dat")));
}

// A stream that takes nothing: the disk is full.
class FullStream : public disk::sevenzip::ByteStream {
public:
    bool read(void*, std::size_t, std::size_t& done) override { return done = 0, false; }
    bool write(const void*, std::size_t, std::size_t& done) override { return done = 0, true; }
    bool seek(std::int64_t, int, std::int64_t& position) override { return position = 0, true; }
    bool set_size(std::int64_t) override { return true; }
    std::int64_t size() override { return 0; }
};

TEST_F(SevenZip, AFailedWriteIsAFailure) {
    auto archive = Open(dir_->file("tree.zip"));
    std::uint32_t index = 0;
    while (archive->DisplayPath(index) != "a.bin") ++index;
    FullStream full;
    EXPECT_THROW(archive->ExtractItem(index, full, false), std::runtime_error);
}

TEST_F(SevenZip, DamagedItemsFailAndLeaveNoPartialFile) {
    std::string zip = ReadWholeFile(dir_->file("tree.zip"));
    // Bytes in the middle of a.bin's compressed data.
    for (std::size_t i = 40000; i < 40100; ++i) zip[i] = static_cast<char>(~zip[i]);
    WriteWholeFile(dir_->file("damaged.zip"), zip);
    const std::string out = dir_->file("out-damaged");
    fs::create_directories(out);
    auto archive = Open(dir_->file("damaged.zip"));
    try {
        archive->ExtractTo(out);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("a.bin"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(out + "/a.bin"));
    EXPECT_EQ(ReadWholeFile(out + "/sub/b.txt"), "bee");
}

TEST_F(SevenZip, AnItemWithoutAPathTakesTheArchivesName) {
    WriteWholeFile(dir_->file("payload"), "compressed payload");
    Sh("gzip -n -c " + Quote(dir_->file("payload")) + " > " + Quote(dir_->file("nameless.gz")));
    const std::string out = dir_->file("out-gz");
    fs::create_directories(out);
    auto archive = Open(dir_->file("nameless.gz"));
    EXPECT_EQ(archive->DisplayPath(0), "nameless");
    archive->ExtractTo(out);
    EXPECT_EQ(ReadWholeFile(out + "/nameless"), "compressed payload");
}

// Items that name places outside the target: "..", absolute paths, and a
// link already in the target, or one the archive itself brings.
TEST_F(SevenZip, ACraftedArchiveWritesNothingOutside) {
    TempDir dir;
    const std::string outside = dir.file("outside");
    const std::string target = dir.file("target");
    fs::create_directories(outside);
    fs::create_directories(target);
    fs::create_directory_symlink(outside, target + "/link");
    const std::string zip = dir.file("evil.zip");
    Sh("python3 -c " +
       Quote("import zipfile,sys\n"
             "z=zipfile.ZipFile(sys.argv[1],'w')\n"
             "for n in ['../evil.txt','/tmp/evil-abs.txt','a/../../evil2.txt','..\\\\evil3.txt','link/evil4.txt',"
             "'sub/ok.txt']: z.writestr(n,'x')\n") +
       " " + Quote(zip));
    const std::string tar = dir.file("evil.tar");
    fs::create_directories(dir.file("tarsrc"));
    fs::create_directory_symlink(outside, dir.file("tarsrc/lnk"));
    Sh("tar -C " + Quote(dir.file("tarsrc")) + " -cf " + Quote(tar) + " lnk && tar -C " + Quote(dir.file("tarsrc")) +
       " --transform=s,^x,lnk/x, -rf " + Quote(tar) + " -T /dev/null");
    // The tar's second member "lnk/evil5.txt" goes through the link it brought.
    WriteWholeFile(dir.file("evil5.txt"), "x");
    Sh("tar -C " + Quote(dir.path().string()) + " --transform=s,^evil5,lnk/evil5, -rf " + Quote(tar) + " evil5.txt");
    for (const std::string& archive_path : {zip, tar}) {
        auto archive = Open(archive_path);
        EXPECT_THROW(archive->ExtractTo(target), std::runtime_error) << archive_path;
    }
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(dir.file("evil.txt")));
    EXPECT_FALSE(fs::exists(dir.file("evil2.txt")));
    EXPECT_FALSE(fs::exists(dir.file("evil3.txt")));
    EXPECT_FALSE(fs::exists("/tmp/evil-abs.txt"));
    EXPECT_EQ(ReadWholeFile(target + "/sub/ok.txt"), "x");
}

TEST(SevenZipPaths, ItemPathsAreConfined) {
    using disk::sevenzip::ConfinedItemPath;
    using Names = std::vector<std::string>;
    EXPECT_EQ(ConfinedItemPath("a/b/c.txt"), (Names{"a", "b", "c.txt"}));
    EXPECT_EQ(ConfinedItemPath("a\\b\\c.txt"), (Names{"a", "b", "c.txt"}));
    EXPECT_EQ(ConfinedItemPath("./a//b/"), (Names{"a", "b"}));
    EXPECT_EQ(ConfinedItemPath("..."), (Names{"..."}));
    for (const char* refused : {"", "..", "../a", "a/../b", "a\\..\\..\\b", "/etc/passwd", "\\\\server\\share", "C:x",
                                "c:\\windows", ".", "./"})
        EXPECT_FALSE(ConfinedItemPath(refused)) << refused;
    EXPECT_FALSE(ConfinedItemPath(std::string("a\0b", 3)));
    EXPECT_TRUE(disk::sevenzip::NamesTheTargetItself("./"));
    EXPECT_FALSE(disk::sevenzip::NamesTheTargetItself("./.."));
    EXPECT_EQ(disk::sevenzip::UnnamedItemName("/x/disk.vmdk"), "disk");
    EXPECT_EQ(disk::sevenzip::UnnamedItemName("/x/.hidden"), ".hidden");
}

TEST(SevenZipLibrary, LoadingFailuresSayWhat) {
    struct Case {
        std::string library, text;
    } cases[] = {
        {"/nonexistent/7z.so", "Error loading library /nonexistent/7z.so"},
        {"libz.so.1", "libz.so.1 is not a 7z library"},
    };
    for (const auto& c : cases) {
        try {
            Create7zInArchive(disk::sevenzip::GUID{}, c.library);
            FAIL() << c.library;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.text);
        }
    }
}

TEST(SevenZipLibrary, AnUnknownExtensionOpensWithTheNullHandlerAndIsRefused) {
    TempDir dir;
    WriteWholeFile(dir.file("notes.xyz"), "not an archive");
    EXPECT_EQ(disk::sevenzip::GuidText(ClassIdOfExtension(dir.file("notes.xyz"))),
              "{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(disk::sevenzip::GuidText(ClassIdOfExtension("X.ISO")), "{23170F69-40C1-278A-1000-000110E70000}");
    try {
        Open(dir.file("notes.xyz"));
        FAIL() << "opened";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "ClassFactory cannot supply requested class");
    }
}

}  // namespace

TEST(SevenZipOpen, ADamagedIsoIsNamedAndSaidToBeNoArchiveRatherThanAnIncorrectFunction) {
    if (!test_support::HaveTool("xorriso")) GTEST_SKIP() << "xorriso is not installed";
    TempDir dir;
    fs::create_directories(dir.file("tree"));
    WriteWholeFile(dir.file("tree/a.txt"), "a");
    const std::string iso = dir.file("damaged.iso");
    Sh("xorriso -as mkisofs -quiet -o " + Quote(iso) + " " + Quote(dir.file("tree")));
    // No volume descriptors: nothing left to tell it by.
    Sh("dd if=/dev/zero of=" + Quote(iso) + " bs=2048 seek=16 count=4 conv=notrunc status=none");
    try {
        Open(iso);
        FAIL() << "opened";
    } catch (const std::exception& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind(iso + ": cannot be opened: ", 0), 0u) << text;
        EXPECT_EQ(text.find("Incorrect function"), std::string::npos) << text;
    }
}

