// The selected-row rule, drive letters of unit masks, the temporary folder.
#include <gtest/gtest.h>


#include "main/operations/selection.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

using disk::DiskListRow;
using tarnovell::RowNeed;
using tarnovell::SelectionRule;

namespace {

DiskListRow DiskRow(int number) {
    DiskListRow row;
    row.caption = std::to_string(number);
    row.data = number;
    row.device = "DISK " + std::to_string(number);
    row.description = "ACME Test Disk";
    return row;
}

DiskListRow PartRow(const std::string& description) {
    DiskListRow row;
    row.caption = "1";
    row.device = "PART 0,1";
    row.description = description;
    return row;
}

const SelectionRule kAny{};
const SelectionRule kDisk{RowNeed::Disk};
const SelectionRule kPart{RowNeed::Partition};
const SelectionRule kCloneSource{RowNeed::Any, tarnovell::kNoSourceItemSelected};
const SelectionRule kCleanVolume{RowNeed::Partition, tarnovell::kPickDiskPart, tarnovell::kPickAPart};
const SelectionRule kPartitionEditor{RowNeed::Disk, tarnovell::kPickDiskPart, tarnovell::kPickADisk};

struct SelectionCase {
    const char* name;
    std::optional<DiskListRow> row;
    SelectionRule rule;
    bool ok;
    std::string path_or_message;
};

class Selection : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(Selection, GivesThePathOrTheMessage) {
    const auto& c = GetParam();
    auto result = tarnovell::PathOfSelection(c.row, c.rule);
    EXPECT_EQ(result.ok, c.ok);
    EXPECT_EQ(c.ok ? result.path : result.message, c.path_or_message);
    EXPECT_TRUE(c.ok ? result.message.empty() : result.path.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Selection,
    ::testing::Values(
        SelectionCase{"no_row", std::nullopt, kAny, false, "pick a disk/part"},
        SelectionCase{"no_row_for_a_disk_command", std::nullopt, kDisk, false, "pick a disk/part"},
        SelectionCase{"no_row_for_the_clone", std::nullopt, kCloneSource, false, "no source item selected"},
        SelectionCase{"no_row_for_clean_volume", std::nullopt, kCleanVolume, false, "pick a disk/part"},
        SelectionCase{"disk_row", DiskRow(3), kAny, true, "\\\\.\\PhysicalDrive3"},
        SelectionCase{"disk_row_for_a_disk_command", DiskRow(0), kDisk, true, "\\\\.\\PhysicalDrive0"},
        SelectionCase{"partition_row_with_label", PartRow("C: [System]"), kAny, true, "\\\\.\\C:"},
        SelectionCase{"partition_row_without_label", PartRow("E:"), kPart, true, "\\\\.\\E:"},
        SelectionCase{"partition_row_for_a_disk_command", PartRow("E:"), kDisk, false, "has to be a DISK type"},
        SelectionCase{"disk_row_for_a_partition_command", DiskRow(1), kPart, false, "has to be a PART type"},
        SelectionCase{"disk_row_for_clean_volume", DiskRow(1), kCleanVolume, false, "pick a part"},
        SelectionCase{"partition_row_for_the_partition_editor", PartRow("E:"), kPartitionEditor, false, "pick a disk"},
        SelectionCase{"disk_row_for_the_clone", DiskRow(2), kCloneSource, true, "\\\\.\\PhysicalDrive2"}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Selection, TheDiskNumberComesFromTheRowDataNotItsCaption) {
    DiskListRow row = DiskRow(4);
    row.caption = "9";
    EXPECT_EQ(tarnovell::PathOfRow(row), "\\\\.\\PhysicalDrive4");
}

struct MaskCase {
    std::uint32_t mask;
    std::string letter;
};

class UnitMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(UnitMask, GivesTheLowestLetter) {
    EXPECT_EQ(tarnovell::UnitMaskToDriveLetter(GetParam().mask), GetParam().letter);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnitMask,
                         ::testing::Values(MaskCase{0, ""}, MaskCase{1, "A:"}, MaskCase{1u << 4, "E:"},
                                           MaskCase{1u << 25, "Z:"}, MaskCase{1u << 26, ""},
                                           MaskCase{0xFC000000u, ""}, MaskCase{(1u << 26) | (1u << 2), "C:"},
                                           MaskCase{(1u << 7) | (1u << 3), "D:"}, MaskCase{0xFFFFFFFFu, "A:"}));

TEST(TempDirectory, FollowsAUsableTmpdirWithATrailingSlash) {
    test_support::TempDir scratch;
    const std::string folder = scratch.path().string();
    {
        test_support::ScopedEnvironment tmpdir("TMPDIR", folder.c_str());
        EXPECT_EQ(tarnovell::GetTempDirectory(), folder + "/");
    }
    {
        test_support::ScopedEnvironment tmpdir("TMPDIR", (folder + "/").c_str());
        EXPECT_EQ(tarnovell::GetTempDirectory(), folder + "/");
    }
    // A TMPDIR that is empty, missing or no folder at all is no place to
    // write: the files would fail to appear, so /tmp is taken instead.
    const std::string missing = folder + "/not-there";
    const std::string plain_file = scratch.file("file");
    test_support::WriteWholeFile(plain_file, "x");
    for (const char* value : {"", missing.c_str(), plain_file.c_str(), static_cast<const char*>(nullptr)}) {
        test_support::ScopedEnvironment tmpdir("TMPDIR", value);
        EXPECT_EQ(tarnovell::GetTempDirectory(), "/tmp/") << (value ? value : "(unset)");
    }
}

}  // namespace
