// Handle operations: locks, lengths, attributes, layout deletion, and the
// pre-sized image files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <stdexcept>

#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "platform/device/registry.h"
#include "support/case_name.h"
#include "support/embedded_machine.h"

using namespace disk;
using namespace platform;
using platform::device::Registry;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::TempDir;

namespace {

DiskSpec FormattedDisk() {
    DiskSpec spec;
    spec.prepare = {"printf 'label: dos\\nstart=2048,size=4096,type=83\\n' | sfdisk -q %s",
                    "mkfs.ext4 -q -F -E offset=1048576 %s 2048"};
    return spec;
}

Handle OpenRw(const std::string& path) {
    return CreateFile(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
}

struct SparseCase {
    const char* name;
    bool sparse;
    bool allocate;
    std::int64_t size;
    bool expect_allocated;  // every byte backed by disk blocks
};

class MakeSparseFile : public ::testing::TestWithParam<SparseCase> {};

TEST_P(MakeSparseFile, FileHasExactlyTheSizeAsked) {
    const auto& c = GetParam();
    TempDir dir;
    std::string path = dir.file("image.bin");
    test_support::WriteWholeFile(path, std::string(5 << 20, 'x'));  // replaced, not reused
    ASSERT_TRUE(_make_sparse_file(path, c.sparse, c.allocate, c.size));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, c.size);
    if (c.expect_allocated) EXPECT_GE(st.st_blocks * 512, c.size);
    else EXPECT_LT(st.st_blocks * 512, 64 * 1024);
    EXPECT_EQ(test_support::ReadWholeFile(path), std::string(static_cast<std::size_t>(c.size), '\0'));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MakeSparseFile,
                         ::testing::Values(SparseCase{"empty", false, false, 0, true},
                                           SparseCase{"plain_3MiB", false, false, 3 << 20, false},
                                           SparseCase{"sparse_3MiB", true, false, 3 << 20, false},
                                           SparseCase{"sparse_ignores_allocate", true, true, 3 << 20, false},
                                           SparseCase{"allocated_3MiB", false, true, 3 << 20, true},
                                           SparseCase{"allocated_3MiB_plus_1", false, true, (3 << 20) + 1, true}),
                         test_support::CaseName());

void ExpectSparseFailure(const std::string& path, std::int64_t size) {
    try {
        _make_sparse_file(path, false, false, size);
        FAIL() << "no exception for " << path;
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("_make_sparse_file:", 0), 0u) << e.what();
    }
}

}  // namespace

TEST(MakeSparseFileErrors, RefusesWhatItMustNotTouch) {
    TempDir dir;
    EXPECT_FALSE(_make_sparse_file("", false, false, 10));
    ExpectSparseFailure(dir.file("no/such/folder/image.bin"), 1 << 20);
    ExpectSparseFailure(dir.file("negative.bin"), -1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("negative.bin")));

    // Never unlinks anything but a regular file: a FIFO, a folder, and (as
    // root) a device node of the same name all survive.
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ExpectSparseFailure(fifo, 1 << 20);
    struct stat st {};
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    std::filesystem::create_directory(dir.file("folder"));
    ExpectSparseFailure(dir.file("folder"), 1 << 20);
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("folder")));
    if (test_support::IsRoot()) {
        std::string node = dir.file("null-device");
        ASSERT_EQ(::mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
        ExpectSparseFailure(node, 1 << 20);
        ASSERT_EQ(::lstat(node.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

TEST(HandleLengths, DiskVolumeAndPlainFile) {
    EmbeddedMachine machine({FormattedDisk()});
    Handle disk = CreateFile("\\\\.\\PhysicalDrive0", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    Handle volume = CreateFile("\\\\.\\C:", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    EXPECT_EQ(GetDiskLength(disk), 8 << 20);
    EXPECT_EQ(GetPartitionLength(disk), 8 << 20);  // partition 0 is the whole disk
    EXPECT_EQ(GetDiskLength(volume), 4096 * 512);
    EXPECT_EQ(GetPartitionLength(volume), 4096 * 512);
    // Files have no partition: 0, and callers use the file size instead.
    Handle file = CreateFile(machine.image(0), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
    ASSERT_TRUE(file);
    EXPECT_EQ(GetPartitionLength(file), 0);
    EXPECT_EQ(GetDiskLength(file), 0);
}

TEST(VolumeLocks, FiveAttemptsThenGiveUpWhileAnotherHandleIsOpen) {
    EmbeddedMachine machine({FormattedDisk()});
    SetLockRetryDelay(std::chrono::milliseconds(1));
    Handle mine = OpenRw("\\\\.\\C:");
    Handle other = OpenRw("\\\\.\\C:");
    EXPECT_FALSE(LockVolumeHandle(mine));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    other.close();
    EXPECT_TRUE(LockVolumeHandle(mine));
    EXPECT_TRUE(DismountVolumeHandle(mine));
    EXPECT_TRUE(UnlockVolumeHandle(mine));
    EXPECT_FALSE(UnlockVolumeHandle(mine));  // not locked any more
    LockDismountUnlock(mine);
    SetLockRetryDelay(std::chrono::milliseconds(1000));
}

TEST(DiskAttributes, OfflineAndReadOnlyPairs) {
    EmbeddedMachine machine({DiskSpec{}});
    GET_DISK_ATTRIBUTES attributes{};
    ASSERT_TRUE(IoctlSetDiskAttributes("\\\\.\\PhysicalDrive0", 2, 2));  // read-only
    ASSERT_TRUE(GetDiskAttributes("\\\\.\\PhysicalDrive0", attributes));
    EXPECT_EQ(attributes.Attributes, 2u);
    ASSERT_TRUE(IoctlSetDiskAttributes("\\\\.\\PhysicalDrive0", 1, 1));  // offline, read-only kept
    ASSERT_TRUE(GetDiskAttributes("\\\\.\\PhysicalDrive0", attributes));
    EXPECT_EQ(attributes.Attributes, 3u);
    ASSERT_TRUE(IoctlSetDiskAttributes("\\\\.\\PhysicalDrive0", 0, 1));
    ASSERT_TRUE(IoctlSetDiskAttributes("\\\\.\\PhysicalDrive0", 0, 2));
    ASSERT_TRUE(GetDiskAttributes("\\\\.\\PhysicalDrive0", attributes));
    EXPECT_EQ(attributes.Attributes, 0u);
    EXPECT_FALSE(IoctlSetDiskAttributes("\\\\.\\PhysicalDrive4", 1, 1));
}

TEST(DiskAttributes, OfflineIsRefusedWhileAFileSystemOnTheDiskIsInUse) {
    EmbeddedMachine machine({FormattedDisk()});
    GET_DISK_ATTRIBUTES attributes{};
    EXPECT_FALSE(IoctlSetDiskAttributes("\\\\.\\PhysicalDrive0", 1, 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    ASSERT_TRUE(GetDiskAttributes("\\\\.\\PhysicalDrive0", attributes));
    EXPECT_EQ(attributes.Attributes, 0u);
    EXPECT_TRUE(IoctlSetDiskAttributes("\\\\.\\PhysicalDrive0", 2, 2)) << "read-only pulls nothing away";
    Handle volume = OpenRw("\\\\.\\C:");
    ASSERT_TRUE(LockVolumeHandle(volume));
    EXPECT_TRUE(IoctlSetDiskAttributes("\\\\.\\PhysicalDrive0", 1, 1));
}

TEST(VolumeOnlineOffline, RaisesOnFailure) {
    EmbeddedMachine machine({FormattedDisk()});
    Handle disk = OpenRw("\\\\.\\PhysicalDrive0");
    EXPECT_THROW(IoctlVolumeOffline(disk), OSError);  // a disk is not a volume
    Handle volume = OpenRw("\\\\.\\C:");
    EXPECT_THROW(IoctlVolumeOffline(volume), OSError);  // its file system is in use
    ASSERT_TRUE(LockVolumeHandle(volume));
    EXPECT_TRUE(IoctlVolumeOffline(volume));
    EXPECT_TRUE(IoctlVolumeOnline(volume));
}

TEST(DeleteDriveLayout, NumberOrPathAndTheFailureText) {
    DiskSpec plain;
    plain.prepare = {"printf 'label: dos\\nstart=2048,size=4096,type=7\\n' | sfdisk -q %s"};
    EmbeddedMachine machine({plain, FormattedDisk()});
    EXPECT_EQ(NormalizeDiskPath("0"), "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(NormalizeDiskPath("\\\\.\\physicaldrive3"), "\\\\.\\PhysicalDrive3");
    ASSERT_EQ(Registry::instance().snapshot()->volumes_of(0).size(), 1u);
    EXPECT_TRUE(DeleteDriveLayout(0));
    EXPECT_TRUE(Registry::instance().snapshot()->volumes_of(0).empty());
    auto peer = test_support::Run("sfdisk -d " + test_support::Quote(machine.image(0)));
    EXPECT_NE(peer.exit_code, 0) << peer.output;  // no table left for sfdisk either

    try {
        DeleteDriveLayout("\\\\.\\PhysicalDrive1");  // its ext4 volume is in use
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "IOCTL_DISK_DELETE_DRIVE_LAYOUT failed:Access is denied");
    }
    EXPECT_EQ(Registry::instance().snapshot()->volumes_of(1).size(), 1u);

    // A file is no disk, whatever its name: nothing is opened, nothing changes.
    const std::string file = machine.dir().file("physicaldrive1.img");
    const std::string image = test_support::ReadWholeFile(machine.image(1));
    test_support::WriteWholeFile(file, image);
    EXPECT_EQ(NormalizeDiskPath(file), "");
    EXPECT_THROW(DeleteDriveLayout(file), std::runtime_error);
    EXPECT_TRUE(test_support::ReadWholeFile(file) == image);
    EXPECT_EQ(Registry::instance().snapshot()->volumes_of(1).size(), 1u);
}

TEST(UpdateProperties, ATableWrittenBehindOurBackIsPickedUp) {
    EmbeddedMachine machine({DiskSpec{}});
    EXPECT_TRUE(Registry::instance().snapshot()->volumes.empty());
    test_support::RunOn("printf 'label: dos\\nstart=2048,size=4096,type=7\\n' | sfdisk -q %s", machine.image(0));
    Handle disk = OpenRw("\\\\.\\PhysicalDrive0");
    ASSERT_TRUE(IoctlUpdateProperties(disk));
    EXPECT_EQ(Registry::instance().snapshot()->volumes.size(), 1u);
}
