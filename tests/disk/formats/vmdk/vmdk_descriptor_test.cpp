// The VMDK descriptor and clone.vmx written for a raw image: the texts line
// by line, and the descriptor opened by qemu-img as a disk of the image's
// size.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "disk/formats/vmdk/vmdk_descriptor.h"
#include "support/test_support.h"

namespace {

using test_support::Quote;

std::vector<std::string> SplitCrLf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
    return lines;
}

TEST(VmdkDescriptor, LinesForAnEightGiBImage) {
    auto lines = SplitCrLf(disk::VmdkDescriptorText("disk.img", 16777216));
    ASSERT_EQ(lines.size(), 15u);
    EXPECT_EQ(lines[0], "# Disk DescriptorFile");
    EXPECT_EQ(lines[4], "createType=\"monolithicFlat\"");
    EXPECT_EQ(lines[6], "RW 16777216 FLAT \"disk.img\" 0");
    EXPECT_EQ(lines[11], "ddb.geometry.sectors = \"63\"");
    EXPECT_EQ(lines[12], "ddb.geometry.heads = \"255\"");
    EXPECT_EQ(lines[13], "ddb.geometry.cylinders = \"1045\"");
    EXPECT_EQ(lines[14], "ddb.virtualHWVersion = \"10\"");
}

TEST(VmdkDescriptor, VmxNamesTheDescriptorLast) {
    auto lines = SplitCrLf(disk::CloneVmxText("/images/disk.vmdk"));
    ASSERT_EQ(lines.size(), 29u);
    EXPECT_EQ(lines.front(), "config.version = \"8\"");
    EXPECT_EQ(lines[9], "#network");
    EXPECT_EQ(lines.back(), "scsi0:0.fileName = \"/images/disk.vmdk\"");
    for (const auto& line : lines) EXPECT_FALSE(line.empty());
}

TEST(VmdkDescriptor, QemuOpensTheRawImageThroughIt) {
    test_support::TempDir dir;
    const std::string image = dir.file("disk.img"), descriptor = dir.file("disk.vmdk");
    test_support::MakeSparseFile(image, 6 << 20);
    test_support::WriteWholeFile(dir.file("clone.vmx"), "old");
    disk::WriteVmdkDescriptor(image, descriptor);

    auto info = test_support::Run("qemu-img info --output=json " + Quote(descriptor));
    ASSERT_EQ(info.exit_code, 0) << info.output;
    EXPECT_NE(info.output.find("\"virtual-size\": 6291456"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("\"format\": \"vmdk\""), std::string::npos) << info.output;
    // The bytes come from the raw image itself.
    test_support::WriteWholeFile(dir.file("mark"), "through the flat extent");
    test_support::Run("dd if=" + Quote(dir.file("mark")) + " of=" + Quote(image) +
                      " bs=512 seek=100 conv=notrunc status=none");
    auto read = test_support::Run("qemu-img convert -f vmdk -O raw " + Quote(descriptor) + " " +
                                  Quote(dir.file("out.raw")));
    ASSERT_EQ(read.exit_code, 0) << read.output;
    EXPECT_EQ(test_support::ReadWholeFile(dir.file("out.raw")), test_support::ReadWholeFile(image));
    EXPECT_EQ(test_support::ReadWholeFile(image).substr(51200, 23), "through the flat extent");
    EXPECT_EQ(test_support::ReadWholeFile(dir.file("clone.vmx")), disk::CloneVmxText(descriptor));
}

TEST(VmdkDescriptor, AnUnwritableFolderRaises) {
    test_support::TempDir dir;
    test_support::MakeSparseFile(dir.file("disk.img"), 1 << 20);
    EXPECT_THROW(disk::WriteVmdkDescriptor(dir.file("disk.img"), dir.file("no/such/folder/disk.vmdk")),
                 std::runtime_error);
}

TEST(VmdkDescriptor, NeverWritesOverTheImageAndNeedsOneThere) {
    test_support::TempDir dir;
    struct Case {
        const char* image;
        const char* descriptor;
    };
    // An image named like either text file, and an image that is not there.
    const Case cases[] = {{"disk.vmdk", "disk.vmdk"}, {"clone.vmx", "disk.vmdk"}, {"missing.img", "disk.vmdk"}};
    for (const Case& c : cases) {
        const std::string image = dir.file(c.image);
        if (std::string(c.image) != "missing.img") test_support::WriteWholeFile(image, std::string(4096, 'i'));
        EXPECT_THROW(disk::WriteVmdkDescriptor(image, dir.file(c.descriptor)), std::runtime_error) << c.image;
        if (std::string(c.image) != "missing.img") {
            EXPECT_EQ(test_support::ReadWholeFile(image), std::string(4096, 'i')) << c.image;
        }
        std::filesystem::remove(image);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("disk.vmdk")));
}

}  // namespace
