// Our own checks of the images the libraries read, over images the real
// tools make (qemu-img, ewfacquire): each is accepted as made, and refused,
// naming the file and the field, once that field is spoiled.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "disk/formats/imagecheck/ewf_check.h"
#include "disk/formats/imagecheck/image_bytes.h"
#include "disk/formats/imagecheck/qcow_check.h"
#include "disk/formats/imagecheck/vhd_check.h"
#include "disk/formats/imagecheck/vmdk_check.h"
#include "platform/os/system_facts.h"
#include "support/case_name.h"
#include "support/crafted_images.h"
#include "support/test_support.h"

using namespace disk;
namespace ts = test_support;

namespace {

NamedFiles CheckAs(const std::string& format, const std::string& path) {
    return CheckImageFile(path, [&](const ImageBytes& file) -> NamedFiles {
        if (format == "qcow2" || format == "qcow") return CheckQcowImage(file);
        if (format == "vmdk") return CheckVmdkImage(file, path);
        if (format == "ewf") {
            CheckEwfSegment(file, 1);
            return {};
        }
        if (LooksLikeVhdx(file)) CheckVhdxImage(file);
        else CheckVhdImage(file);
        return {};
    });
}

// Writes `bytes` (printf's escapes) at `offset` of `path`.
void Patch(const std::string& path, std::uint64_t offset, const std::string& bytes) {
    const auto done = ts::Run("printf '" + bytes + "' | dd of=" + ts::Quote(path) + " bs=1 seek=" +
                              std::to_string(offset) + " conv=notrunc status=none");
    ASSERT_EQ(done.exit_code, 0) << done.output;
}

struct Spoiled {
    const char* name;
    const char* format;        // qemu-img's format, or "ewf"
    const char* options;       // qemu-img's -o
    std::uint64_t offset;      // where the field lies
    const char* bytes;
    const char* field;         // what the refusal must name
};

class ImageChecks : public ::testing::TestWithParam<Spoiled> {};

TEST_P(ImageChecks, AcceptWhatTheToolMakesAndNameTheSpoiledField) {
    const Spoiled& c = GetParam();
    ts::TempDir dir;
    const std::string raw = dir.file("in.raw");
    ts::Run("head -c 3145728 /dev/urandom > " + ts::Quote(raw) + " && truncate -s 4M " + ts::Quote(raw));
    std::string image;
    if (std::string(c.format) == "ewf") {
        ASSERT_EQ(ts::Run("ewfacquire -u -q -c fast -t " + ts::Quote(dir.file("set")) + " " + ts::Quote(raw)).exit_code, 0);
        image = dir.file("set.E01");
    } else {
        image = dir.file(std::string("image.") + c.format);
        const std::string options = *c.options ? std::string(" -o ") + c.options : "";
        const auto made = ts::Run("qemu-img convert -f raw -O " + std::string(c.format) + options + " " + ts::Quote(raw) +
                                  " " + ts::Quote(image));
        ASSERT_EQ(made.exit_code, 0) << made.output;
    }
    EXPECT_NO_THROW(CheckAs(c.format, image));

    Patch(image, c.offset, c.bytes);
    try {
        CheckAs(c.format, image);
        FAIL() << "accepted";
    } catch (const ImageCheckError& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind(image + ": ", 0), 0u) << text;
        EXPECT_NE(text.find(c.field), std::string::npos) << text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ImageChecks,
    ::testing::Values(
        Spoiled{"Qcow2L1SizeShort", "qcow2", "", 36, "\\000\\000\\000\\000", "l1_size"},
        Spoiled{"Qcow2L1TablePastTheEnd", "qcow2", "", 40, "\\000\\000\\001\\000", "l1_table_offset"},
        Spoiled{"Qcow2RefcountTableOffCluster", "qcow2", "", 55, "\\001", "refcount_table_offset"},
        Spoiled{"Qcow2ExternalDataFile", "qcow2", "compat=1.1", 79, "\\004", "incompatible_features"},
        // backing_file_offset 0x200 and backing_file_size 2048
        Spoiled{"Qcow2BackingNameTooLong", "qcow2", "", 8,
                "\\000\\000\\000\\000\\000\\000\\002\\000\\000\\000\\010\\000", "backing_file_size"},
        // Entries with reserved bits set (qemu-img lays the L1 table out at
        // 0x30000 and the first L2 table at 0x40000).
        Spoiled{"Qcow2L1ReservedBits", "qcow2", "", 0x30007, "\\060", "L1 entry 0 0x8000000000040030 has reserved bits set"},
        Spoiled{"Qcow2L2ReservedBits", "qcow2", "", 0x40007, "\\002", "L2 entry 0 0x8000000000050002 has reserved bits set"},
        Spoiled{"Qcow2V2ZeroClusterBit", "qcow2", "compat=0.10", 0x40007, "\\001", "L2 entry 0 0x8000000000050001 has reserved"},
        Spoiled{"QcowV1ClusterBits", "qcow", "", 32, "\\003", "cluster_bits"},
        Spoiled{"VmdkGrainSize", "vmdk", "subformat=monolithicSparse", 20, "\\003", "grainSize"},
        Spoiled{"VmdkTablesPerDirectory", "vmdk", "subformat=monolithicSparse", 44, "\\000\\000\\000\\000",
                "numGTEsPerGT"},
        Spoiled{"VmdkGrainDirectoryPastTheEnd", "vmdk", "subformat=monolithicSparse", 61, "\\001", "gdOffset"},
        Spoiled{"VhdTableTooShort", "vpc", "subformat=dynamic", 512 + 28, "\\000\\000\\000\\000",
                "max_table_entries"},
        Spoiled{"VhdTablePastTheEnd", "vpc", "subformat=dynamic", 512 + 16, "\\001", "table_offset"},
        Spoiled{"VhdxRegionCount", "vhdx", "", 192 * 1024 + 8, "\\377\\377", "entry_count"},
        Spoiled{"EwfSegmentNumber", "ewf", "", 9, "\\002", "segment_number"},
        Spoiled{"EwfChainPastTheEnd", "ewf", "", 13 + 16 + 5, "\\177", "next"}),
    test_support::CaseName());

// A file that counts the bytes read from it.
class CountingSource : public CopySource {
public:
    explicit CountingSource(CopySource& file) : file_(file) {}
    std::int64_t size() override { return file_.size(); }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override {
        const std::size_t done = file_.read(offset, buffer);
        bytes_read_ += done;
        return done;
    }
    std::uint64_t bytes_read() const { return bytes_read_; }

private:
    CopySource& file_;
    std::uint64_t bytes_read_ = 0;
};

struct LargeTables {
    const char* name;
    std::function<std::string(const std::string& folder)> make;
    const char* format;
    const char* refusal;  // "" when the image passes
};

// Images whose tables are as large as their headers say, not as their disks
// need: shared by every entry of a directory, or counted far past the disk
// in a sparse file. Each is checked reading no more than its disk needs (a
// few KiB here, where the file holds up to a GiB of table), or refused
// before it reads more.
std::vector<LargeTables> LargeTableImages() {
    namespace crafted = ts::crafted;
    return {
        {"VmdkSharedGrainTable", crafted::VmdkSharedGrainTable, "vmdk", "points at the table of entry 0"},
        {"Qcow2SharedL2Table", crafted::Qcow2SharedL2Table, "qcow2", "points at the table of entry 0"},
        {"VmdkGrainDirectoryPastAnySize", crafted::VmdkGrainDirectoryPastAnySize, "vmdk", "lies past the end of the file"},
        {"EwfTableCountingFarTooMany", crafted::EwfTableCountingFarTooMany, "ewf", "runs past the section"},
        {"VhdTableFarLargerThanTheDisk", crafted::VhdTableFarLargerThanTheDisk, "vpc", ""},
        {"Qcow2RefcountTableOfAGigabyte", crafted::Qcow2RefcountTableOfAGigabyte, "qcow2", ""},
        {"VmdkCapacityFarBeyondTheDisk", crafted::VmdkCapacityFarBeyondTheDisk, "vmdk", ""},
    };
}

void CheckReadingOnlyWhatTheDiskNeeds(const LargeTables& c, const std::string& image) {
    SCOPED_TRACE(c.name);
    auto opened = OpenFileSource(image);
    ASSERT_TRUE(opened);
    CountingSource counting(*opened);
    const ImageBytes file(counting, image);
    std::string refusal;
    try {
        if (std::string(c.format) == "vmdk") CheckVmdkImage(file, image);
        else if (std::string(c.format) == "qcow2") CheckQcowImage(file);
        else if (std::string(c.format) == "ewf") CheckEwfSegment(file, 1);
        else CheckVhdImage(file);
    } catch (const ImageCheckError& e) {
        refusal = e.what();
    }
    if (*c.refusal) EXPECT_NE(refusal.find(c.refusal), std::string::npos) << refusal;
    else EXPECT_EQ(refusal, "");
    EXPECT_LT(counting.bytes_read(), 1u << 20);
}

// Makes each image in a folder of its own below `folder`; gives their paths,
// which <folder>/<name>.path holds too.
std::vector<std::string> MakeLargeTableImages(const std::string& folder) {
    std::vector<std::string> images;
    for (const auto& c : LargeTableImages()) {
        const std::string own = folder + "/" + c.name;
        std::filesystem::create_directory(own);
        images.push_back(c.make(own));
        ts::WriteWholeFile(own + ".path", images.back());
    }
    return images;
}

TEST(LargeTables, AreReadNoFurtherThanTheDiskNeeds) {
    for (const char* tool : {"qemu-img", "ewfacquire"})
        if (!ts::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    ts::TempDir dir;
    const auto images = MakeLargeTableImages(dir.path().string());
    for (std::size_t i = 0; i < images.size(); ++i) CheckReadingOnlyWhatTheDiskNeeds(LargeTableImages()[i], images[i]);
}

// The same under a limit of 256 MiB of address space, where a check that
// held a table as large as its header says (up to 1 GiB here) would fail:
// run again as a child of its own, with the limit set, over images made
// here (the tools that make them need more).
TEST(LargeTables, AreNeverHeldWhole) {
    if (const char* folder = std::getenv("TARNOVELL_TEST_UNDER_LIMIT"); folder && *folder) {
        for (const auto& c : LargeTableImages())
            CheckReadingOnlyWhatTheDiskNeeds(c, ts::ReadWholeFile(std::string(folder) + "/" + c.name + ".path"));
        return;
    }
    for (const char* tool : {"qemu-img", "ewfacquire"})
        if (!ts::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory does not fit a limit of address space";
#endif
    ts::TempDir dir;
    MakeLargeTableImages(dir.path().string());
    const ts::CommandResult child =
        ts::Run("ulimit -v 262144; TARNOVELL_TEST_UNDER_LIMIT=" + ts::Quote(dir.path().string()) + " exec " +
                ts::Quote(platform::ExecutablePath()) + " --gtest_filter=LargeTables.AreNeverHeldWhole");
    EXPECT_EQ(child.exit_code, 0) << child.output;
    EXPECT_NE(child.output.find("[  PASSED  ] 1 test"), std::string::npos) << child.output;
}

}  // namespace
