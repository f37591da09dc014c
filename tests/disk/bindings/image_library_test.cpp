// The image-library bindings against Debian's libraries: loading by name,
// opening, sizes and reads, parents, and EWF sets found by the library's
// own glob.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "disk/bindings/libewf.h"
#include "disk/bindings/libqcow.h"
#include "disk/bindings/libvhdi.h"
#include "disk/bindings/libvmdk.h"
#include "support/case_name.h"
#include "support/test_support.h"

using namespace disk;
using test_support::Quote;
using test_support::TempDir;

namespace {

test_support::CommandResult Shell(const std::string& command) { return test_support::Run(command); }

platform::Handle OpenForReading(const std::string& path) {
    return platform::CreateFile(path, platform::GENERIC_READ, platform::FILE_SHARE_READ, platform::OPEN_EXISTING, 0);
}

struct Missing {
    const char* name;
    std::function<void()> load;
    const char* text;
};

class MissingLibraries : public ::testing::TestWithParam<Missing> {};

TEST_P(MissingLibraries, RaiseTheirText) {
    try {
        GetParam().load();
        FAIL() << "loaded";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bindings, MissingLibraries,
    ::testing::Values(Missing{"Vhdi", [] { TLibvhdi("libvhdi.so.404"); }, "could not find libvhdi.dll"},
                      Missing{"Vmdk", [] { TLibVMDK("libvmdk.so.404"); }, "could not find libvmdk.dll"},
                      Missing{"Qcow", [] { TLibqcow("libqcow.so.404"); }, "could not find libqcow.dll"},
                      Missing{"Ewf", [] { TLibEWF("libewf.so.404"); }, "could not find libewf.dll"},
                      // A library that lacks the entry points is as good as none.
                      Missing{"WrongLibrary", [] { TLibqcow("libz.so.1"); }, "could not find libqcow.dll"}),
    test_support::CaseName());

class QcowFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
        test_support::MakeSparseFile(raw_, 1 << 20);
        ASSERT_EQ(Shell("printf 'hello' | dd of=" + Quote(raw_) + " bs=1 seek=70000 conv=notrunc status=none && "
                        "qemu-img convert -f raw -O qcow2 " + Quote(raw_) + " " + Quote(base_) + " && "
                        "cd " + Quote(dir_.path().string()) + " && qemu-img create -q -f qcow2 -b base.qcow2 -F qcow2 "
                        "overlay.qcow2")
                      .exit_code,
                  0);
    }
    TempDir dir_;
    const std::string raw_ = dir_.file("disk.raw");
    const std::string base_ = dir_.file("base.qcow2");
    const std::string overlay_ = dir_.file("overlay.qcow2");
};

TEST_F(QcowFiles, NothingOpenGivesMinusOneAndAFailedOpenSaysWhy) {
    TLibqcow image;
    char buffer[16];
    EXPECT_EQ(image.GetMediaSize(), -1);
    EXPECT_EQ(image.ReadBufferAtOffset(buffer, sizeof buffer, 0), -1);
    EXPECT_EQ(image.Open(dir_.file("absent.qcow2")), -1);
    EXPECT_FALSE(image.error().empty());
    EXPECT_FALSE(image.is_open());
    EXPECT_EQ(image.GetMediaSize(), -1);
}

TEST_F(QcowFiles, AnOpenImageHasItsSizeAndItsBytes) {
    TLibqcow image;
    ASSERT_EQ(image.Open(base_), 0) << image.error();
    EXPECT_EQ(image.GetMediaSize(), 1 << 20);
    EXPECT_FALSE(image.IsEncrypted());
    EXPECT_EQ(image.ParentFileName(), "");
    char buffer[5];
    EXPECT_EQ(image.ReadBufferAtOffset(buffer, sizeof buffer, 70000), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_TRUE(image.Close());
    EXPECT_EQ(image.GetMediaSize(), -1);
}

TEST_F(QcowFiles, AnOverlayNamesItsBackingFileAndReadsThroughIt) {
    TLibqcow overlay, base;
    ASSERT_EQ(overlay.Open(overlay_), 0);
    EXPECT_EQ(overlay.ParentFileName(), "base.qcow2");
    ASSERT_EQ(base.Open(base_), 0);
    ASSERT_TRUE(overlay.SetParent(base)) << overlay.error();
    char buffer[5];
    EXPECT_EQ(overlay.ReadBufferAtOffset(buffer, sizeof buffer, 70000), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
}

TEST(VhdiAndVmdk, OpenQemuImagesAndReadThem) {
    if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
    TempDir dir;
    const std::string raw = dir.file("disk.raw");
    test_support::MakeSparseFile(raw, 2 << 20);
    ASSERT_EQ(Shell("printf 'vhd' | dd of=" + Quote(raw) + " bs=1 seek=1048576 conv=notrunc status=none").exit_code, 0);
    for (const char* format : {"vhdx", "vmdk"})
        ASSERT_EQ(Shell(std::string("qemu-img convert -f raw -O ") + format + " " + Quote(raw) + " " +
                        Quote(dir.file(std::string("disk.") + format)))
                      .exit_code,
                  0);
    TLibvhdi vhdx;
    ASSERT_EQ(vhdx.Open(dir.file("disk.vhdx")), 0) << vhdx.error();
    TLibVMDK vmdk;
    ASSERT_EQ(vmdk.Open(dir.file("disk.vmdk")), 0) << vmdk.error();
    std::vector<platform::Handle> extents;
    extents.push_back(OpenForReading(dir.file("disk.vmdk")));
    ASSERT_EQ(vmdk.OpenExtentDataFiles(std::move(extents)), 1) << vmdk.error();
    for (ImageLibraryFile* image : std::vector<ImageLibraryFile*>{&vhdx, &vmdk}) {
        EXPECT_EQ(image->GetMediaSize(), 2 << 20);
        char buffer[3];
        EXPECT_EQ(image->ReadBufferAtOffset(buffer, 3, 1048576), 3);
        EXPECT_EQ(std::string(buffer, 3), "vhd");
    }
}

// The library reads the extent files we hand it, by their place in the
// descriptor: it opens no file by the name the descriptor gives (here, none
// of the names is there at all).
TEST(Vmdk, ReadsTheExtentFilesItIsHandedAndTellsTheExtentsAsItReadThem) {
    TempDir dir;
    test_support::WriteWholeFile(dir.file("first"), std::string(1024, 'a') + std::string(1024, 'b'));
    test_support::WriteWholeFile(dir.file("second"), std::string(512, 'c'));
    test_support::WriteWholeFile(dir.file("disk.vmdk"),
                                 "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
                                 "createType=\"monolithicFlat\"\n\n# Extent description\n"
                                 "RW 4 FLAT \"absent-1.raw\" 0\nRDONLY 1 FLAT \"sub/absent-2.raw\"\n\n"
                                 "# The Disk Data Base\n#DDB\n\nddb.adapterType = \"ide\"\n");
    TLibVMDK vmdk;
    ASSERT_EQ(vmdk.Open(dir.file("disk.vmdk")), 0) << vmdk.error();
    const auto extents = vmdk.Extents();
    ASSERT_EQ(extents.size(), 2u);
    EXPECT_EQ(extents[0].type, static_cast<int>(VmdkExtentType::Flat));
    EXPECT_EQ(extents[0].file, "absent-1.raw");
    EXPECT_EQ(extents[0].size, 2048u);
    EXPECT_EQ(extents[1].file, "sub/absent-2.raw");
    EXPECT_EQ(extents[1].size, 512u);
    std::vector<platform::Handle> files;
    files.push_back(OpenForReading(dir.file("first")));
    files.push_back(OpenForReading(dir.file("second")));
    ASSERT_EQ(vmdk.OpenExtentDataFiles(std::move(files)), 1) << vmdk.error();
    ASSERT_EQ(vmdk.GetMediaSize(), 5 * 512);
    std::string disk(5 * 512, '?');
    ASSERT_EQ(vmdk.ReadBufferAtOffset(disk.data(), disk.size(), 0), 5 * 512) << vmdk.error();
    EXPECT_EQ(disk, std::string(1024, 'a') + std::string(1024, 'b') + std::string(512, 'c'));
}

TEST(LibEwf, SegmentExtensionsAreTakenOffAsTheLibraryNamesWrittenSets) {
    EXPECT_EQ(TLibEWF::WithoutSegmentExtension("/images/disk.e01"), "/images/disk");
    EXPECT_EQ(TLibEWF::WithoutSegmentExtension("/images/disk.E01"), "/images/disk");
    EXPECT_EQ(TLibEWF::WithoutSegmentExtension("/images/disk"), "/images/disk");
    EXPECT_EQ(TLibEWF::WithoutSegmentExtension("/images/disk.backup"), "/images/disk.backup");
    EXPECT_EQ(TLibEWF::WithoutSegmentExtension("/images.old/disk"), "/images.old/disk");
    EXPECT_EQ(TLibEWF::WithoutSegmentExtension("/x/.e01"), "/x/.e01");
}

TEST(LibEwf, AWrittenSetOfTwoSegmentsIsFoundAndReadWhole) {
    TempDir dir;
    const std::string first = dir.file("disk.E01");
    std::vector<char> data(3 << 20);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 5);
    {
        TLibEWF image;
        // No segment exists yet: the set is named by its base.
        ASSERT_EQ(image.Open(dir.file("disk.e01"), TLibEWF::kWrite), 0) << image.error();
        ASSERT_EQ(image.SetMediaSize(static_cast<std::int64_t>(data.size())), 1) << image.error();
        ASSERT_EQ(image.SetMaximumSegmentSize(2 << 20), 1) << image.error();
        ASSERT_EQ(image.SetCompressionValues(0, 0), 1);
        EXPECT_EQ(image.WriteBufferAtOffset(data.data(), data.size(), 0), static_cast<std::int64_t>(data.size()));
        EXPECT_TRUE(image.WriteFinalize()) << image.error();
        EXPECT_TRUE(image.Close()) << image.error();
    }
    TLibEWF image;
    EXPECT_EQ(image.SegmentFiles(first), (std::vector<std::string>{first, dir.file("disk.E02")}));
    EXPECT_EQ(image.CheckFileSignature(first), 1);
    EXPECT_EQ(image.CheckFileSignature(dir.file("disk.E02")), 1);
    test_support::WriteWholeFile(dir.file("other"), "not a segment");
    EXPECT_EQ(image.CheckFileSignature(dir.file("other")), 0);
    ASSERT_EQ(image.Open(first, TLibEWF::kRead), 0) << image.error();
    EXPECT_FALSE(image.SegmentFilesCorrupted());
    EXPECT_EQ(image.GetMediaSize(), static_cast<std::int64_t>(data.size()));
    std::vector<char> back(data.size());
    EXPECT_EQ(image.ReadBufferAtOffset(back.data(), back.size(), 0), static_cast<std::int64_t>(back.size()));
    EXPECT_EQ(back, data);
    EXPECT_TRUE(image.ChecksumErrors().empty());
}

TEST(LibEwf, ASetWithoutItsFirstSegmentDoesNotOpen) {
    TempDir dir;
    TLibEWF image;
    EXPECT_EQ(image.Open(dir.file("none.E01"), TLibEWF::kRead), -1);
    EXPECT_FALSE(image.error().empty());
    EXPECT_EQ(image.GetMediaSize(), -1);
}

}  // namespace
