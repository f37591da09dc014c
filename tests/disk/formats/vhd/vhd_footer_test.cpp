// The fixed-VHD footer appended to raw images: its geometry table, its
// fields as qemu-img and our own reader see them, and the refusals that keep
// an image untouched.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "disk/formats/vhd/vhd_footer.h"
#include "platform/base/interaction.h"
#include "platform/virtdisk/vhd/vhd_file.h"
#include "support/case_name.h"
#include "support/test_support.h"

namespace {

using disk::AppendVhdFooter;
using disk::FooterGeometryOf;
using platform::ScopedInteraction;
using platform::ScriptedInteraction;
using test_support::Quote;
using test_support::TempDir;

struct GeometryCase {
    const char* name;
    std::int64_t sectors;
    int heads, sectors_per_track;
    std::int64_t cylinders;
};

class FooterGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(FooterGeometry, FollowsTheSizeSteps) {
    const GeometryCase& c = GetParam();
    auto g = FooterGeometryOf(c.sectors);
    EXPECT_EQ(g.heads, c.heads);
    EXPECT_EQ(g.sectors_per_track, c.sectors_per_track);
    EXPECT_EQ(g.cylinders, c.cylinders);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FooterGeometry,
    ::testing::Values(GeometryCase{"OneGiB", 2097152, 16, 63, 2081},
                      GeometryCase{"BelowFirstStep", 66059279, 16, 63, 65535},
                      GeometryCase{"FirstStep", 66059280, 64, 32, 32256},
                      GeometryCase{"SecondStepEdge", 134215679, 64, 32, 65535},
                      GeometryCase{"HundredGB", 195312500, 128, 63, 24221},
                      GeometryCase{"ThirdStepEdge", 528474239, 128, 63, 65535},
                      GeometryCase{"PastThirdStep", 528474240, 255, 63, 32897},
                      GeometryCase{"TwoTiB", 4294967296, 255, 63, 267350}),
    test_support::CaseName());

TEST(FixedVhdFooter, CarriesTheFieldsAndAChecksumThatHolds) {
    std::array<std::uint8_t, 16> id{};
    for (std::size_t i = 0; i < id.size(); ++i) id[i] = static_cast<std::uint8_t>(i + 1);
    auto footer = disk::MakeFixedVhdFooter(1 << 30, id);
    EXPECT_TRUE(platform::virtdisk::IsSound(footer));
    auto bytes = reinterpret_cast<const std::uint8_t*>(&footer);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes), 8), "conectix");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 28), 4), "hack");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 36), 4), "Wi2k");
    EXPECT_EQ(std::uint64_t{footer.data_offset.value()}, ~0ull);
    EXPECT_EQ(std::uint32_t{footer.disk_geometry.value()}, (2081u << 16) | (16u << 8) | 63u);
    EXPECT_EQ(0, std::memcmp(bytes + 68, id.data(), 16));
    // Past 65,535 cylinders the field holds the largest value, not a cut-off one.
    auto huge = disk::MakeFixedVhdFooter(std::int64_t{4294967296} * 512, id);
    EXPECT_EQ(std::uint32_t{huge.disk_geometry.value()} >> 16, 0xFFFFu);
}

TEST(NewGuid, IsVersionFourAndFresh) {
    auto a = disk::NewGuidBytes(), b = disk::NewGuidBytes();
    EXPECT_NE(a, b);
    EXPECT_EQ(a[7] >> 4, 4);
    EXPECT_EQ(a[8] & 0xC0, 0x80);
}

class AppendFooter : public ::testing::Test {
protected:
    std::string MakeImage(const std::string& name, std::int64_t size) {
        std::string path = dir_.file(name);
        test_support::MakeSparseFile(path, size);
        test_support::WriteWholeFile(dir_.file("marker"), "raw data at the start");
        test_support::Run("dd if=" + Quote(dir_.file("marker")) + " of=" + Quote(path) + " conv=notrunc status=none");
        return path;
    }

    TempDir dir_;
    ScriptedInteraction ui_;
    ScopedInteraction scope_{ui_};
};

TEST_F(AppendFooter, QemuReadsTheFixedDiskAtItsFullSize) {
    const std::string image = MakeImage("disk.img", 10 << 20), vhd = dir_.file("disk.vhd");
    ui_.answer_confirm(true);
    ASSERT_TRUE(AppendVhdFooter(image, vhd, 1));
    ASSERT_EQ(ui_.log().size(), 1u);
    EXPECT_EQ(ui_.log()[0].text, "append vhd footer to image file and rename it to " + vhd + "?");
    EXPECT_EQ(ui_.log()[0].caption, "Tarnovell");
    EXPECT_FALSE(std::filesystem::exists(image));
    EXPECT_EQ(std::filesystem::file_size(vhd), (10u << 20) + 512u);

    auto footer = platform::virtdisk::ReadVhdFooter(vhd);
    ASSERT_TRUE(footer);
    EXPECT_EQ(std::uint64_t{footer->current_size.value()}, 10u << 20);
    // qemu believes the creator's geometry unless told to take the footer's
    // size, as every reader of fixed disks made on Windows must.
    auto info = test_support::Run("qemu-img info --output=json --image-opts "
                                  "driver=vpc,force_size_calc=current_size,file.filename=" +
                    Quote(vhd));
    ASSERT_EQ(info.exit_code, 0) << info.output;
    EXPECT_NE(info.output.find("\"virtual-size\": 10485760"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("\"format\": \"vpc\""), std::string::npos) << info.output;
    // The data is where it was.
    auto head = test_support::Run("head -c 21 " + Quote(vhd));
    EXPECT_EQ(head.output, "raw data at the start");
}

TEST_F(AppendFooter, NoRenameWithAnEmptyNameAndNoQuestionWithoutAsk) {
    const std::string image = MakeImage("plain.img", 1 << 20);
    ASSERT_TRUE(AppendVhdFooter(image, "", 0));
    EXPECT_TRUE(ui_.log().empty());
    EXPECT_TRUE(platform::virtdisk::ReadVhdFooter(image));
}

TEST_F(AppendFooter, NoMeansNothingIsWritten) {
    const std::string image = MakeImage("keep.img", 1 << 20);
    ui_.answer_confirm(false);
    EXPECT_FALSE(AppendVhdFooter(image, dir_.file("keep.vhd"), 1));
    EXPECT_EQ(std::filesystem::file_size(image), 1u << 20);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("keep.vhd")));
}

struct Refusal {
    const char* name;
    std::int64_t size;
    bool footer_already;
    bool target_taken;
    const char* message;  // "" for the path itself
};

class AppendFooterRefuses : public AppendFooter, public ::testing::WithParamInterface<Refusal> {};

TEST_P(AppendFooterRefuses, LeavesImageAndTargetAlone) {
    const Refusal& c = GetParam();
    std::string image = MakeImage("image.img", c.size);
    const std::string target = dir_.file("image.vhd");
    if (c.footer_already) {
        ASSERT_TRUE(AppendVhdFooter(image, "", 0));
    }
    if (c.target_taken) test_support::WriteWholeFile(target, "someone else's file");
    const auto size_before = std::filesystem::file_size(image);
    ui_.set_default_confirm(true);

    EXPECT_FALSE(AppendVhdFooter(image, target, 1));
    EXPECT_EQ(std::filesystem::file_size(image), size_before);
    if (c.target_taken) {
        EXPECT_EQ(test_support::ReadWholeFile(target), "someone else's file");
    } else {
        EXPECT_FALSE(std::filesystem::exists(target));
    }
    ASSERT_FALSE(ui_.log().empty());
    const auto said = ui_.log().back();
    EXPECT_EQ(said.kind, ScriptedInteraction::Exchange::Inform);
    EXPECT_EQ(said.caption, "tarnovell");
    EXPECT_EQ(said.text, c.target_taken ? target + c.message : std::string(c.message));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppendFooterRefuses,
    ::testing::Values(Refusal{"SizeNotWholeSectors", (1 << 20) + 100, false, false,
                              "the image size is not a multiple of 512 bytes"},
                      Refusal{"AlreadyAVhd", 1 << 20, true, false, "the image file already ends in a vhd footer"},
                      Refusal{"TargetTaken", 1 << 20, false, true, " already exists"}),
    test_support::CaseName());

TEST_F(AppendFooter, MissingImageCannotBeOpened) {
    EXPECT_FALSE(AppendVhdFooter(dir_.file("absent.img"), dir_.file("absent.vhd"), 0));
    ASSERT_EQ(ui_.log().size(), 1u);
    EXPECT_EQ(ui_.log()[0].text, "could not createfile");
    EXPECT_FALSE(AppendVhdFooter("", "x.vhd", 0));
}

TEST_F(AppendFooter, AFailedWriteLeavesTheRawImageAndRenamesNothing) {
    if (!test_support::IsRoot()) GTEST_SKIP() << "needs root to mount a small file system";
    // A full file system: the footer cannot be written.
    const std::string mount = dir_.file("mnt");
    std::filesystem::create_directory(mount);
    auto mounted = test_support::Run("mount -t tmpfs -o size=256k tmpfs " + Quote(mount));
    ASSERT_EQ(mounted.exit_code, 0) << mounted.output;
    const std::string image = mount + "/full.img";
    test_support::Run("dd if=/dev/zero of=" + Quote(image) + " bs=4096 status=none");  // fills it
    const auto size = std::filesystem::file_size(image);
    ASSERT_GT(size, 0u);
    ASSERT_EQ(size % 512, 0u);

    EXPECT_FALSE(AppendVhdFooter(image, mount + "/full.vhd", 0));
    EXPECT_EQ(std::filesystem::file_size(image), size);
    EXPECT_FALSE(std::filesystem::exists(mount + "/full.vhd"));
    ASSERT_FALSE(ui_.log().empty());
    EXPECT_EQ(ui_.log().back().text, "WriteFile failed");
    test_support::Run("umount " + Quote(mount));
}

}  // namespace
