// Our own checks of the images the libraries read, over images the real
// tools make (qemu-img, ewfacquire): each is accepted as made, and refused,
// naming the file and the field, once that field is spoiled.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "disk/formats/imagecheck/ewf_check.h"
#include "disk/formats/imagecheck/image_bytes.h"
#include "disk/formats/imagecheck/qcow_check.h"
#include "disk/formats/imagecheck/vhd_check.h"
#include "disk/formats/imagecheck/vmdk_check.h"
#include "support/case_name.h"
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

}  // namespace
