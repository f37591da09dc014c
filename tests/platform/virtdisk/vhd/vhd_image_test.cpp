// Our own VHD code: the records against qemu's images, the disk of a fixed
// or dynamic image read and written by offset, and images that cannot be
// believed refused before anything is read or written.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "platform/virtdisk/vhd/vhd_file.h"
#include "platform/virtdisk/vhd/vhd_image.h"
#include "support/test_support.h"

namespace {

using namespace platform;
using namespace platform::virtdisk;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::WriteWholeFile;

constexpr std::int64_t kMiB = 1 << 20;

// Random bytes at a few places, zeros between: blocks with data and blocks without.
std::string DiskBytes(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    std::mt19937 random(seed);
    for (std::size_t at : {std::size_t{0}, size / 3, size - std::min<std::size_t>(size, 70000)})
        for (std::size_t i = at; i < std::min(size, at + 70000); ++i) data[i] = static_cast<char>(random());
    return data;
}

template <typename Record>
Record RecordAt(const std::string& image, std::size_t at) {
    Record record{};
    std::memcpy(&record, image.data() + at, sizeof record);
    return record;
}

template <typename Record>
void PutRecord(std::string& image, std::size_t at, const Record& record) {
    std::memcpy(image.data() + at, &record, sizeof record);
}

class VhdImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
    }
    // The image qemu makes of `data`.
    std::string Convert(const std::string& data, const std::string& subformat, const std::string& name) {
        WriteWholeFile(dir_.file("disk.raw"), data);
        auto made = test_support::Run("qemu-img convert -f raw -O vpc -o subformat=" + subformat + ",force_size=on " +
                                      Quote(dir_.file("disk.raw")) + " " + Quote(dir_.file(name)));
        EXPECT_EQ(made.exit_code, 0) << made.output;
        return dir_.file(name);
    }
    test_support::TempDir dir_;
};

TEST_F(VhdImageTest, TheRecordsAreTheBytesQemuWrites) {
    const std::string path = Convert(DiskBytes(6 * kMiB, 1), "dynamic", "d.vhd");
    const std::string image = ReadWholeFile(path);
    const auto footer = RecordAt<VhdFooter>(image, image.size() - 512);
    EXPECT_TRUE(IsSound(footer));
    EXPECT_EQ(std::string(footer.cookie.data(), 8), "conectix");
    EXPECT_EQ(footer.disk_type.value(), kVhdDynamic);
    EXPECT_EQ(footer.current_size.value(), static_cast<std::uint64_t>(6 * kMiB));
    EXPECT_EQ(footer.data_offset.value(), 512u);
    const auto header = RecordAt<VhdDynamicHeader>(image, 512);
    EXPECT_TRUE(IsSound(header));
    EXPECT_EQ(header.block_size.value(), 2u << 20);
    EXPECT_EQ(header.max_table_entries.value(), 3u);
    // A field set through the record lands where the format says, big-endian.
    VhdFooter changed = footer;
    changed.current_size.set(0x0102030405060708ull);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&changed);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 48), 8), "\x01\x02\x03\x04\x05\x06\x07\x08");
    EXPECT_FALSE(IsSound(changed));
    Seal(changed);
    EXPECT_TRUE(IsSound(changed));
}

TEST_F(VhdImageTest, ReadsAndWritesTheDiskOfFixedAndDynamicImages) {
    for (const char* subformat : {"fixed", "dynamic"}) {
        SCOPED_TRACE(subformat);
        std::string data = DiskBytes(5 * kMiB + 3 * 512, 2);
        const std::string path = Convert(data, subformat, std::string(subformat) + ".vhd");
        std::unique_ptr<VhdImage> image;
        ASSERT_EQ(VhdImage::Open(path, true, image), ERROR_SUCCESS);
        ASSERT_EQ(image->size(), static_cast<std::int64_t>(data.size()));
        std::string read(data.size(), 'x');
        ASSERT_EQ(image->read(0, read.data(), read.size()), ERROR_SUCCESS);
        EXPECT_TRUE(read == data);
        // Writes that cross blocks, reach blocks without data, and end in the last sector.
        std::string patch(3 * kMiB, '\0');
        for (std::size_t i = 0; i < patch.size(); i += 4099) patch[i] = static_cast<char>(i / 4099 + 1);
        ASSERT_EQ(image->write(kMiB + 17, patch.data(), patch.size()), ERROR_SUCCESS);
        data.replace(kMiB + 17, patch.size(), patch);
        ASSERT_EQ(image->write(static_cast<std::int64_t>(data.size()) - 9, "tail end!", 9), ERROR_SUCCESS);
        data.replace(data.size() - 9, 9, "tail end!");
        EXPECT_EQ(image->write(static_cast<std::int64_t>(data.size()) - 8, "too long!", 9), ERROR_INVALID_PARAMETER);
        ASSERT_EQ(image->close(), ERROR_SUCCESS);
        WriteWholeFile(dir_.file("expected.raw"), data);
        auto compare = test_support::Run("qemu-img compare -f vpc -F raw " + Quote(path) + " " + Quote(dir_.file("expected.raw")));
        EXPECT_EQ(compare.exit_code, 0) << compare.output;
    }
}

TEST_F(VhdImageTest, ASectorItsBlockDoesNotMarkReadsAsZerosUntilWritten) {
    std::string data = DiskBytes(4 * kMiB, 3);
    const std::string path = Convert(data, "dynamic", "marked.vhd");
    std::string image = ReadWholeFile(path);
    const auto header = RecordAt<VhdDynamicHeader>(image, 512);
    const std::uint32_t first_block = RecordAt<VhdTableEntry>(image, header.table_offset.value()).value();
    ASSERT_NE(first_block, kVhdUnusedBlock);
    image[static_cast<std::size_t>(first_block) * 512] = '\x7f';  // sector 0 of block 0 never written
    WriteWholeFile(path, image);

    std::unique_ptr<VhdImage> opened;
    ASSERT_EQ(VhdImage::Open(path, true, opened), ERROR_SUCCESS);
    std::string sector(1024, 'x');
    ASSERT_EQ(opened->read(0, sector.data(), sector.size()), ERROR_SUCCESS);
    EXPECT_EQ(sector.substr(0, 512), std::string(512, '\0'));
    EXPECT_TRUE(sector.substr(512) == data.substr(512, 512));
    // Writing part of it marks it, with zeros around what was written.
    ASSERT_EQ(opened->write(100, "abc", 3), ERROR_SUCCESS);
    ASSERT_EQ(opened->read(0, sector.data(), 512), ERROR_SUCCESS);
    std::string expected(512, '\0');
    expected.replace(100, 3, "abc");
    EXPECT_EQ(sector.substr(0, 512), expected);
    ASSERT_EQ(opened->close(), ERROR_SUCCESS);
    EXPECT_EQ(static_cast<unsigned char>(ReadWholeFile(path)[static_cast<std::size_t>(first_block) * 512]), 0xFFu);
}

struct BrokenCase {
    const char* name;
    const char* subformat;
    std::function<void(std::string& image)> spoil;
    DWORD error;
};

class VhdImageRefuses : public VhdImageTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(VhdImageRefuses, WhatCannotBeBelievedAndTouchesNothing) {
    const BrokenCase& c = GetParam();
    const std::string path = Convert(DiskBytes(6 * kMiB, 4), c.subformat, "broken.vhd");
    std::string image = ReadWholeFile(path);
    c.spoil(image);
    WriteWholeFile(path, image);
    for (bool writable : {false, true}) {
        std::unique_ptr<VhdImage> opened;
        EXPECT_EQ(VhdImage::Open(path, writable, opened), c.error);
        EXPECT_EQ(opened, nullptr);
    }
    EXPECT_TRUE(ReadWholeFile(path) == image);
}

void SpoilFooter(std::string& image, std::size_t at) { image[at + 48] ^= 1; }  // its size, checksum left

void ResealHeader(std::string& image, const std::function<void(VhdDynamicHeader&)>& change) {
    auto header = RecordAt<VhdDynamicHeader>(image, 512);
    change(header);
    Seal(header);
    PutRecord(image, 512, header);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VhdImageRefuses,
    ::testing::Values(
        BrokenCase{"fixed_footer_checksum", "fixed", [](std::string& i) { SpoilFooter(i, i.size() - 512); },
                   ERROR_VIRTDISK_NOT_VIRTUAL_DISK},
        BrokenCase{"dynamic_both_footer_checksums", "dynamic",
                   [](std::string& i) {
                       SpoilFooter(i, 0);
                       SpoilFooter(i, i.size() - 512);
                   },
                   ERROR_VIRTDISK_NOT_VIRTUAL_DISK},
        BrokenCase{"shorter_than_a_footer", "fixed", [](std::string& i) { i.resize(300); },
                   ERROR_VIRTDISK_NOT_VIRTUAL_DISK},
        BrokenCase{"header_checksum", "dynamic", [](std::string& i) { i[512 + 40] ^= 1; }, ERROR_INVALID_DATA},
        BrokenCase{
            "table_beyond_the_end", "dynamic",
            [](std::string& i) { ResealHeader(i, [&](VhdDynamicHeader& h) { h.table_offset.set(i.size() + 4096); }); },
            ERROR_INVALID_DATA},
        BrokenCase{
            "table_running_past_the_end", "dynamic",
            [](std::string& i) { ResealHeader(i, [&](VhdDynamicHeader& h) { h.table_offset.set(i.size() - 8); }); },
            ERROR_INVALID_DATA},
        BrokenCase{"block_beyond_the_end", "dynamic",
                   [](std::string& i) {
                       const auto header = RecordAt<VhdDynamicHeader>(i, 512);
                       PutRecord(i, header.table_offset.value() + 4,
                                 VhdTableEntry::of(static_cast<std::uint32_t>(i.size() / 512)));
                   },
                   ERROR_INVALID_DATA},
        BrokenCase{"truncated_inside_its_last_block", "dynamic",
                   [](std::string& i) { i.resize(i.size() - 512 - kMiB); }, ERROR_INVALID_DATA},
        BrokenCase{"differencing", "dynamic",
                   [](std::string& i) {
                       for (std::size_t at : {std::size_t{0}, i.size() - 512}) {
                           auto footer = RecordAt<VhdFooter>(i, at);
                           footer.disk_type.set(kVhdDifferencing);
                           Seal(footer);
                           PutRecord(i, at, footer);
                       }
                   },
                   ERROR_NOT_SUPPORTED}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
