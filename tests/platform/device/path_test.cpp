// The program's one vocabulary of device names: which texts name a disk, a
// volume or a file, and the disk numbers in them. A text is a device only by
// its "\\.\" or "\\?\" prefix; "physicaldrive" anywhere else means nothing.
#include "platform/device/path.h"

#include <gtest/gtest.h>

#include "support/case_name.h"

#include <string>
#include <utility>

using namespace platform::device;

namespace {

struct PathCase {
    const char* name;
    std::string text;
    PathKind kind;
    int disk = -1;          // DiskNumberOf
    int argument = -1;      // DiskNumberOfArgument
    int volume_index = -1;  // HarddiskVolume
    char letter = 0;        // LetterVolume, DriveFile
    std::string rest = {};  // DriveFile
};

class DevicePathVocabulary : public ::testing::TestWithParam<PathCase> {};

TEST_P(DevicePathVocabulary, ClassifiesByPrefixOnly) {
    const PathCase& c = GetParam();
    const DevicePath p = ParseDevicePath(c.text);
    EXPECT_EQ(p.kind, c.kind);
    EXPECT_EQ(p.text, c.text);
    const bool device = c.kind != PathKind::File && c.kind != PathKind::DriveFile;
    EXPECT_EQ(IsDevicePath(c.text), device);
    EXPECT_EQ(IsWholeDiskPath(c.text), c.kind == PathKind::Disk);
    EXPECT_EQ(DiskNumberOf(c.text), c.disk);
    EXPECT_EQ(DiskNumberOfArgument(c.text), c.argument);
    if (c.kind == PathKind::Disk) {
        EXPECT_EQ(p.disk, c.disk);
    }
    if (c.kind == PathKind::HarddiskVolume) {
        EXPECT_EQ(p.volume_index, c.volume_index);
    }
    EXPECT_EQ(p.letter, c.letter);
    EXPECT_EQ(p.rest, c.rest);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DevicePathVocabulary,
    ::testing::Values(
        PathCase{"disk_0", "\\\\.\\PhysicalDrive0", PathKind::Disk, 0, 0},
        PathCase{"disk_15_upper_case", "\\\\.\\PHYSICALDRIVE15", PathKind::Disk, 15, 15},
        PathCase{"disk_7_lower_case", "\\\\.\\physicaldrive7", PathKind::Disk, 7, 7},
        // The lists probe 0-15, but a disk attached later may be numbered past
        // them: the name still names a disk, which the registry may not have.
        PathCase{"disk_16_past_the_listed_range", "\\\\.\\PhysicalDrive16", PathKind::Disk, 16, 16},
        PathCase{"disk_through_the_other_prefix", "\\\\?\\PhysicalDrive2", PathKind::Disk, 2, 2},
        PathCase{"disk_with_trailing_backslash", "\\\\.\\PhysicalDrive3\\", PathKind::Disk, 3, 3},
        PathCase{"disk_without_number", "\\\\.\\PhysicalDrive", PathKind::UnknownDevice},
        PathCase{"disk_with_letter_for_number", "\\\\.\\PhysicalDriveX", PathKind::UnknownDevice},
        PathCase{"disk_with_negative_number", "\\\\.\\PhysicalDrive-1", PathKind::UnknownDevice},
        PathCase{"disk_number_then_more", "\\\\.\\PhysicalDrive1.img", PathKind::UnknownDevice},
        PathCase{"disk_number_past_int", "\\\\.\\PhysicalDrive12345678901", PathKind::UnknownDevice},
        PathCase{"disk_below_a_folder", "\\\\.\\PhysicalDrive0\\disk.img", PathKind::UnknownDevice},
        PathCase{"letter_volume", "\\\\.\\C:", PathKind::LetterVolume, -1, -1, -1, 'C'},
        PathCase{"letter_volume_lower_case_with_backslash", "\\\\.\\d:\\", PathKind::LetterVolume, -1, -1, -1, 'D'},
        PathCase{"guid_volume", "\\\\?\\Volume{0a1b2c3d-0000-1111-2222-333344445555}\\", PathKind::GuidVolume},
        PathCase{"harddisk_volume", "\\\\.\\HarddiskVolume3", PathKind::HarddiskVolume, -1, -1, 3},
        PathCase{"harddisk_volume_through_globalroot", "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume17",
                 PathKind::HarddiskVolume, -1, -1, 17},
        PathCase{"shadow_copy", "\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy1", PathKind::UnknownDevice},
        PathCase{"other_device", "\\\\.\\CdRom0", PathKind::UnknownDevice},
        PathCase{"file_on_a_lettered_volume", "X:\\images\\a b.img", PathKind::DriveFile, -1, -1, -1, 'X',
                 "images/a b.img"},
        PathCase{"file_on_a_lettered_volume_with_slashes", "e:/disk.img", PathKind::DriveFile, -1, -1, -1, 'E',
                 "disk.img"},
        // Files whose names the old substring tests took for disks.
        PathCase{"absolute_file_named_physicaldrive", "/abs/physicaldrive.img", PathKind::File},
        PathCase{"absolute_file_named_disk_0", "/dev/physicaldrive0.img", PathKind::File},
        PathCase{"relative_file_named_like_a_disk", "PhysicalDrive3", PathKind::File},
        PathCase{"relative_folder_named_like_a_disk", "physicaldrive0/disk.img", PathKind::File},
        PathCase{"forward_slash_prefix", "//./PhysicalDrive0", PathKind::File},
        PathCase{"colon_backslash_inside_a_file_name", "/srv/backup:\\odd name.img", PathKind::File},
        PathCase{"relative_file", "relative/disk.img", PathKind::File},
        PathCase{"bare_letter_and_colon", "C:", PathKind::File},
        // A bare number names a disk only where a disk argument is expected.
        PathCase{"bare_number", "3", PathKind::File, -1, 3},
        PathCase{"bare_number_with_blank", " 3", PathKind::File},
        PathCase{"empty", "", PathKind::File}),
    test_support::CaseName());

TEST(DevicePathVocabulary, EveryListedDiskRoundTrips) {
    for (int n = 0; n <= 15; ++n) {
        const std::string path = PhysicalDrivePath(n);
        EXPECT_EQ(path, "\\\\.\\PhysicalDrive" + std::to_string(n));
        EXPECT_EQ(PhysicalDriveName(n), path.substr(4));
        EXPECT_TRUE(IsWholeDiskPath(path));
        EXPECT_EQ(DiskNumberOf(path), n);
        EXPECT_EQ(DiskNumberOfArgument(std::to_string(n)), n);
    }
    EXPECT_EQ(LetterVolumePath('f'), "\\\\.\\F:");
    EXPECT_EQ(ParseDevicePath("\\\\?\\Volume{0a1b2c3d-0000-1111-2222-333344445555}\\").guid,
              "{0A1B2C3D-0000-1111-2222-333344445555}");
    EXPECT_EQ(ParseDevicePath(LetterVolumePath('f')).letter, 'F');
}

// The name a volume's root and free space are asked by: only the "\\.\"
// prefix goes, and only at the start; every other path stays whole.
TEST(DevicePathVocabulary, TheLocalNameOfADevicePath) {
    const std::pair<const char*, const char*> cases[] = {
        {"\\\\.\\C:", "C:"},
        {"\\\\.\\PhysicalDrive2", "PhysicalDrive2"},
        {"\\\\.\\HarddiskVolume3", "HarddiskVolume3"},
        {"\\\\?\\Volume{0a1b2c3d-0000-1111-2222-333344445555}\\",
         "\\\\?\\Volume{0a1b2c3d-0000-1111-2222-333344445555}\\"},
        {"/images/\\\\.\\C:", "/images/\\\\.\\C:"},
        {"physicaldrive.img", "physicaldrive.img"},
        {"\\\\.\\", ""},
        {"", ""},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(LocalDeviceName(path), name) << path;
}

}  // namespace
