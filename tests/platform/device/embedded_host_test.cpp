// The embedded host end to end through the device layer: manifest, volumes
// and letters, handle windows, locks across processes, and the write guard.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <memory>
#include <vector>

#include "platform/device/handle.h"
#include "platform/device/registry.h"
#include "platform/device/records/winioctl.h"
#include "platform/device/volume_api.h"
#include "support/embedded_machine.h"
#include "support/test_support.h"

using namespace platform;
using namespace platform::device;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

// An 8 MiB MBR disk: an ext4 partition (1 MiB at 1 MiB), an empty one (2 MiB
// at 3 MiB) and an extended partition holding one logical partition.
DiskSpec MbrDiskWithFileSystem() {
    DiskSpec spec;
    spec.prepare = {
        "printf 'label: dos\\nstart=2048,size=2048,type=83\\nstart=6144,size=4096,type=7\\n"
        "start=10240,size=6144,type=5\\nstart=12288,size=2048,type=83\\n' | sfdisk -q %s",
        "mkfs.ext4 -q -F -E offset=1048576 %s 1024",
    };
    return spec;
}

DiskSpec GptDisk() {
    DiskSpec spec;
    spec.prepare = {"sgdisk -n 1:2048:4095 -t 1:EF00 -n 2:4096:8191 -t 2:0700 -c 2:Data %s >/dev/null"};
    return spec;
}

Handle Open(const std::string& path, DWORD access, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
    return CreateFile(path, access, share, OPEN_EXISTING, 0);
}

template <typename Record>
bool Query(Handle& h, DWORD code, Record& record) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, nullptr, 0, &record, sizeof record, &returned);
}

bool Control(Handle& h, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned);
}

}  // namespace

TEST(EmbeddedHostManifest, DisksComeFromSectionsWithTheirDescriptions) {
    EmbeddedMachine machine({DiskSpec{4 << 20, {}, "bus=Usb\nremovable=1\nsector_size=4096\n"}, DiskSpec{}});
    auto snap = Registry::instance().snapshot();
    ASSERT_EQ(snap->disks.size(), 2u);
    const DiskInfo* first = snap->disk(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->size, 4 << 20);
    EXPECT_EQ(first->sector_size, 4096u);
    EXPECT_EQ(first->bus_type, BusTypeUsb);
    EXPECT_TRUE(first->removable);
    EXPECT_EQ(first->product, "Test Disk 0");
    EXPECT_EQ(snap->disk(1)->bus_type, BusTypeSata);  // the default
}

TEST(EmbeddedHostManifest, MissingImagesAreAbsentDisksAndNumbersStay) {
    EmbeddedMachine machine({DiskSpec{}, DiskSpec{}, DiskSpec{}});
    ASSERT_EQ(::unlink(machine.image(1).c_str()), 0);
    Registry::instance().refresh();
    auto snap = Registry::instance().snapshot();
    ASSERT_EQ(snap->disks.size(), 2u);
    EXPECT_NE(snap->disk(0), nullptr);
    EXPECT_EQ(snap->disk(1), nullptr);
    EXPECT_NE(snap->disk(2), nullptr);
    EXPECT_FALSE(Open("\\\\.\\PhysicalDrive1", GENERIC_READ));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(EmbeddedHostManifest, FixedVhdOffersTheDiskWithoutItsFooter) {
    DiskSpec spec;
    spec.size = (4 << 20) + 512;
    spec.prepare = {"printf 'conectix' | dd of=%s bs=1 seek=4194304 conv=notrunc status=none"};
    EmbeddedMachine machine({spec});
    Handle h = Open("\\\\.\\PhysicalDrive0", GENERIC_READ);
    ASSERT_TRUE(h);
    std::int64_t length = 0;
    ASSERT_TRUE(Query(h, IOCTL_DISK_GET_LENGTH_INFO, length));
    EXPECT_EQ(length, 4 << 20);
}

TEST(EmbeddedHostVolumes, LettersFromCInListOrderAndRemembered) {
    EmbeddedMachine machine({MbrDiskWithFileSystem(), GptDisk()});
    auto snap = Registry::instance().snapshot();
    ASSERT_EQ(snap->volumes.size(), 5u);
    // C, D and E on the MBR disk (primaries, then the logical partition);
    // the EFI system partition gets none; the GPT data partition F.
    std::vector<char> letters;
    for (const auto& v : snap->volumes) letters.push_back(v.letter);
    EXPECT_EQ(letters, (std::vector<char>{'C', 'D', 'E', 0, 'F'}));
    EXPECT_EQ(snap->volumes[0].filesystem, "ext4");
    EXPECT_EQ(snap->volumes[1].filesystem, "");
    EXPECT_EQ(snap->volumes[2].start, 12288LL * 512);

    // Letters outlive the process: a fresh registry over the same state file.
    std::string guid_of_d = GuidToString(snap->volume_by_letter('D')->guid);
    ASSERT_TRUE(DeleteVolumeMountPointA("D:\\"));
    Registry::Reset();
    auto again = Registry::instance().snapshot();
    EXPECT_EQ(again->volume_by_letter('D'), nullptr);
    EXPECT_EQ(again->volume_by_letter('C')->start, 2048LL * 512);
    ASSERT_TRUE(SetVolumeMountPointA("G:\\", "\\\\?\\Volume" + guid_of_d + "\\"));
    Registry::Reset();
    EXPECT_EQ(GuidToString(Registry::instance().snapshot()->volume_by_letter('G')->guid), guid_of_d);
}

TEST(EmbeddedHostVolumes, TwoEntriesWithOneStartAreTwoVolumesWithALetterEach) {
    DiskSpec spec;
    // The second entry is the first one again, with another type.
    spec.prepare = {"printf 'label: dos\\nstart=2048,size=2048,type=83\\n' | sfdisk -q %s",
                    "f=%s; dd if=\"$f\" of=\"$f\" bs=1 skip=446 seek=462 count=16 conv=notrunc status=none",
                    "printf '\\007' | dd of=%s bs=1 seek=466 conv=notrunc status=none"};
    EmbeddedMachine machine({spec});
    auto snap = Registry::instance().snapshot();
    ASSERT_EQ(snap->volumes.size(), 2u);
    EXPECT_EQ(snap->volumes[0].start, snap->volumes[1].start);
    EXPECT_NE(snap->volumes[0].letter, snap->volumes[1].letter);
    for (const auto& v : snap->volumes) {
        EXPECT_EQ(snap->volume_by_letter(v.letter), &v);
        EXPECT_EQ(snap->volume_by_guid(GuidToString(v.guid)), &v);
    }
}

TEST(EmbeddedHostVolumes, VolumeApiAnswersFromTheRegistry) {
    EmbeddedMachine machine({MbrDiskWithFileSystem()});
    char name[128];
    std::vector<std::string> names;
    HFINDVOLUME find = FindFirstVolumeA(name, sizeof name);
    ASSERT_NE(find, nullptr);
    do names.push_back(name);
    while (FindNextVolumeA(find, name, sizeof name));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindVolumeClose(find);
    ASSERT_EQ(names.size(), 3u);

    char volume[64];
    ASSERT_TRUE(GetVolumeNameForVolumeMountPointA("C:\\", volume, sizeof volume));
    EXPECT_EQ(std::string(volume), names[0]);
    EXPECT_EQ(VolumePathNames(names[0]), std::vector<std::string>{"C:\\"});
    char target[128];
    ASSERT_GT(QueryDosDeviceA("C:", target, sizeof target), 0u);
    EXPECT_STREQ(target, "\\Device\\HarddiskVolume1");
    EXPECT_EQ(GetLogicalDrives(), 0b11100u);  // C, D, E
}

TEST(EmbeddedHostHandles, VolumeWindowHoldsReadsAndWritesInsideThePartition) {
    EmbeddedMachine machine({MbrDiskWithFileSystem()});
    struct stat before {};
    ASSERT_EQ(::stat(machine.image(0).c_str(), &before), 0);

    Handle d = Open("\\\\.\\D:", GENERIC_READ | GENERIC_WRITE);  // no file system: writable
    ASSERT_TRUE(d);
    std::int64_t length = 0;
    ASSERT_TRUE(Query(d, IOCTL_DISK_GET_LENGTH_INFO, length));
    EXPECT_EQ(length, 4096LL * 512);

    std::vector<char> pattern(512, 'Z');
    std::size_t done = 0;
    ASSERT_TRUE(WriteAt(d, length - 512, pattern.data(), pattern.size(), &done));
    EXPECT_FALSE(WriteAt(d, length - 256, pattern.data(), pattern.size(), &done));
    EXPECT_EQ(GetLastError(), ERROR_SECTOR_NOT_FOUND);
    EXPECT_EQ(done, 0u);

    std::vector<char> back(1024, 0);
    ASSERT_TRUE(platform::ReadAt(d, length - 512, back.data(), back.size(), &done));
    EXPECT_EQ(done, 512u);  // the read stops at the end of the volume
    EXPECT_EQ(std::memcmp(back.data(), pattern.data(), 512), 0);
    d.close();

    // The bytes landed at the partition's place in the image, which kept its size.
    std::string image = test_support::ReadWholeFile(machine.image(0));
    EXPECT_EQ(image.size(), static_cast<std::size_t>(before.st_size));
    EXPECT_EQ(image.substr((6144 + 4096) * 512 - 512, 512), std::string(512, 'Z'));
}

TEST(EmbeddedHostHandles, DiskRecordsDescribeTheImage) {
    EmbeddedMachine machine({MbrDiskWithFileSystem()});
    Handle disk = Open("\\\\.\\PhysicalDrive0", 0);
    ASSERT_TRUE(disk);
    DISK_GEOMETRY_EX geometry{};
    ASSERT_TRUE(Query(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, geometry));
    EXPECT_EQ(geometry.DiskSize, 8 << 20);
    EXPECT_EQ(geometry.Geometry.BytesPerSector, 512u);
    EXPECT_EQ(geometry.Geometry.MediaType, FixedMedia);

    STORAGE_DEVICE_NUMBER number{};
    ASSERT_TRUE(Query(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, number));
    EXPECT_EQ(number.DeviceNumber, 0u);
    EXPECT_EQ(number.PartitionNumber, 0u);

    Handle e = Open("\\\\.\\E:", 0);
    ASSERT_TRUE(Query(e, IOCTL_STORAGE_GET_DEVICE_NUMBER, number));
    EXPECT_EQ(number.PartitionNumber, 3u);  // the logical partition comes after two primaries
    VOLUME_DISK_EXTENTS extents{};
    ASSERT_TRUE(Query(e, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, extents));
    EXPECT_EQ(extents.NumberOfDiskExtents, 1u);
    EXPECT_EQ(extents.Extents[0].StartingOffset, 12288LL * 512);
    EXPECT_EQ(extents.Extents[0].ExtentLength, 2048LL * 512);
    PARTITION_INFORMATION_EX info{};
    ASSERT_TRUE(Query(e, IOCTL_DISK_GET_PARTITION_INFO_EX, info));
    EXPECT_EQ(info.Mbr.PartitionType, 0x83);

    DRIVE_LAYOUT_INFORMATION_EX layout{};
    ASSERT_TRUE(Query(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, layout));
    EXPECT_EQ(layout.Header.PartitionStyle, PARTITION_STYLE_MBR);
    EXPECT_EQ(layout.Header.PartitionCount, 8u);  // the primary table and one EBR, four entries each
    DRIVE_LAYOUT_INFORMATION_EX_HEADER too_small{};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, &too_small, sizeof too_small,
                                 &returned));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(EmbeddedHostHandles, LayoutHoldsAFullGptArrayAndRefusesMore) {
    // A GPT of `count` entries in a table made room for 256.
    auto gpt = [](int count) {
        DiskSpec spec;
        std::string script = "sgdisk -a 1 --resize-table=256";
        for (int i = 1; i <= count; ++i)
            script += " -n " + std::to_string(i) + ":" + std::to_string(2048 + (i - 1) * 64) + ":+63";
        spec.prepare = {script + " %s >/dev/null"};
        return spec;
    };
    EmbeddedMachine machine({gpt(128), gpt(130)});
    auto layout = std::make_unique<DRIVE_LAYOUT_INFORMATION_EX>();
    Handle full = Open("\\\\.\\PhysicalDrive0", GENERIC_READ);
    ASSERT_TRUE(full);
    ASSERT_TRUE(Query(full, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, *layout));
    EXPECT_EQ(layout->Header.PartitionCount, 128u);
    EXPECT_EQ(layout->PartitionEntry[127].StartingOffset, (2048 + 127 * 64) * 512LL);

    Handle over = Open("\\\\.\\PhysicalDrive1", GENERIC_READ);
    ASSERT_TRUE(over);
    EXPECT_FALSE(Query(over, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, *layout));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(EmbeddedHostLocks, LockFailsWhileAnotherHandleIsOpenInThisProcess) {
    EmbeddedMachine machine({MbrDiskWithFileSystem()});
    Handle first = Open("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE);
    Handle second = Open("\\\\.\\C:", GENERIC_READ);
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_FALSE(Control(first, FSCTL_LOCK_VOLUME));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    second.close();
    EXPECT_TRUE(Control(first, FSCTL_LOCK_VOLUME));
    // While locked, nobody else gets in.
    EXPECT_FALSE(Open("\\\\.\\C:", GENERIC_READ));
    EXPECT_TRUE(Control(first, FSCTL_UNLOCK_VOLUME));
    EXPECT_TRUE(Open("\\\\.\\C:", GENERIC_READ));
    // A query-only open neither blocks a lock nor is blocked.
    Handle query = Open("\\\\.\\C:", 0);
    EXPECT_TRUE(query);
    EXPECT_TRUE(Control(first, FSCTL_LOCK_VOLUME));
}

TEST(EmbeddedHostLocks, LockFailsWhileAnotherProcessHoldsTheVolume) {
    EmbeddedMachine machine({MbrDiskWithFileSystem()});
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Handle held = Open("\\\\.\\C:", GENERIC_READ);
        char c = held ? 'y' : 'n';
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    Handle mine = Open("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE);
    ASSERT_TRUE(mine);
    EXPECT_FALSE(Control(mine, FSCTL_LOCK_VOLUME));
    (void)!write(release[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(Control(mine, FSCTL_LOCK_VOLUME));  // the child's claim went with it
    for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
}

TEST(EmbeddedHostWriteGuard, MountedVolumeRangeIsRefusedUntilLockedOrDismounted) {
    EmbeddedMachine machine({MbrDiskWithFileSystem()});
    std::string before = test_support::ReadWholeFile(machine.image(0));
    Handle disk = Open("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE);
    ASSERT_TRUE(disk);
    std::vector<char> block(4096, 'X');
    std::size_t done = 0;

    // The ext4 volume C: counts as mounted: a disk write into it is refused,
    // straddling its start too. Its own handle is refused as well.
    EXPECT_FALSE(WriteAt(disk, 2048LL * 512 + 8192, block.data(), block.size(), &done));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WriteAt(disk, 2048LL * 512 - 512, block.data(), block.size(), &done));
    Handle c = Open("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE);
    EXPECT_FALSE(WriteAt(c, 0, block.data(), block.size(), &done));
    EXPECT_EQ(test_support::ReadWholeFile(machine.image(0)), before);

    // The unformatted D: and the space before the first partition are free.
    EXPECT_TRUE(WriteAt(disk, 6144LL * 512, block.data(), block.size(), &done));
    EXPECT_TRUE(WriteAt(disk, 512, block.data(), 512, &done));

    ASSERT_TRUE(Control(c, FSCTL_LOCK_VOLUME));
    EXPECT_TRUE(WriteAt(disk, 2048LL * 512 + 8192, block.data(), block.size(), &done));
    EXPECT_TRUE(WriteAt(c, 0, block.data(), block.size(), &done));
    c.close();  // the lock goes with the handle: protected again
    EXPECT_FALSE(WriteAt(disk, 2048LL * 512 + 8192, block.data(), block.size(), &done));

    Handle c2 = Open("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE);
    ASSERT_TRUE(Control(c2, FSCTL_DISMOUNT_VOLUME));
    EXPECT_TRUE(WriteAt(disk, 2048LL * 512 + 8192, block.data(), block.size(), &done));
}

TEST(EmbeddedHostAttributes, ReadOnlyAndOfflineHoldAndPersist) {
    EmbeddedMachine machine({MbrDiskWithFileSystem(), DiskSpec{4 << 20, {}, "readonly=1\n"}});
    std::vector<char> block(512, 'R');
    std::size_t done = 0;
    {
        Handle ro = Open("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE);
        ASSERT_TRUE(ro);  // opens, as on Windows, but does not write
        EXPECT_FALSE(WriteAt(ro, 0, block.data(), block.size(), &done));
        EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);
        GET_DISK_ATTRIBUTES attributes{};
        ASSERT_TRUE(Query(ro, IOCTL_DISK_GET_DISK_ATTRIBUTES, attributes));
        EXPECT_EQ(attributes.Attributes, DISK_ATTRIBUTE_READ_ONLY);
    }
    Handle disk = Open("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE);
    SET_DISK_ATTRIBUTES request{};
    request.Version = sizeof request;
    request.Attributes = DISK_ATTRIBUTE_READ_ONLY;
    request.AttributesMask = DISK_ATTRIBUTE_READ_ONLY;
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(disk, IOCTL_DISK_SET_DISK_ATTRIBUTES, &request, sizeof request, nullptr, 0, &returned));
    EXPECT_FALSE(WriteAt(disk, 0, block.data(), block.size(), &done));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_PROTECT);

    // Offline is refused while the ext4 volume is in use; with it dismounted
    // the disk goes offline, its volumes go away, and that survives a restart.
    request.Attributes = request.AttributesMask = DISK_ATTRIBUTE_OFFLINE;
    EXPECT_FALSE(DeviceIoControl(disk, IOCTL_DISK_SET_DISK_ATTRIBUTES, &request, sizeof request, nullptr, 0, &returned));
    Handle c = Open("\\\\.\\C:", GENERIC_READ);
    ASSERT_TRUE(Control(c, FSCTL_DISMOUNT_VOLUME));
    ASSERT_TRUE(DeviceIoControl(disk, IOCTL_DISK_SET_DISK_ATTRIBUTES, &request, sizeof request, nullptr, 0, &returned));
    c.close();
    disk.close();
    Registry::Reset();
    EXPECT_TRUE(Registry::instance().snapshot()->volumes_of(0).empty());
    EXPECT_EQ(Registry::instance().snapshot()->disk(0)->attributes, DISK_ATTRIBUTE_OFFLINE | DISK_ATTRIBUTE_READ_ONLY);
}

TEST(EmbeddedHostAttributes, OfflineVolumeRefusesIoUntilOnline) {
    EmbeddedMachine machine({MbrDiskWithFileSystem()});
    Handle d = Open("\\\\.\\D:", GENERIC_READ | GENERIC_WRITE);
    ASSERT_TRUE(Control(d, IOCTL_VOLUME_OFFLINE));
    char byte;
    std::size_t done = 0;
    EXPECT_FALSE(platform::ReadAt(d, 0, &byte, 1, &done));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    ASSERT_TRUE(Control(d, IOCTL_VOLUME_ONLINE));
    EXPECT_TRUE(platform::ReadAt(d, 0, &byte, 1, &done));
}

TEST(EmbeddedHostLayout, DeleteLayoutIsRefusedWhileAVolumeIsInUseAndKeepsBootCode) {
    EmbeddedMachine machine({MbrDiskWithFileSystem(), GptDisk()});
    test_support::RunOn("printf 'BOOTCODE' | dd of=%s conv=notrunc status=none", machine.image(0));
    Handle busy = Open("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE);
    EXPECT_FALSE(Control(busy, IOCTL_DISK_DELETE_DRIVE_LAYOUT));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    Handle gpt = Open("\\\\.\\PhysicalDrive1", GENERIC_READ | GENERIC_WRITE);
    ASSERT_TRUE(Control(gpt, IOCTL_DISK_DELETE_DRIVE_LAYOUT));
    EXPECT_TRUE(Registry::instance().snapshot()->volumes_of(1).empty());
    auto peer = test_support::Run("sgdisk -p " + test_support::Quote(machine.image(1)));
    EXPECT_NE(peer.output.find("Creating new GPT entries"), std::string::npos) << peer.output;

    Handle c = Open("\\\\.\\C:", GENERIC_READ);
    ASSERT_TRUE(Control(c, FSCTL_LOCK_VOLUME));
    ASSERT_TRUE(Control(busy, IOCTL_DISK_DELETE_DRIVE_LAYOUT));
    std::string image = test_support::ReadWholeFile(machine.image(0));
    EXPECT_EQ(image.substr(0, 8), "BOOTCODE");
    EXPECT_EQ(image.substr(446, 66), std::string(66, '\0'));
}

// A hold of a whole disk keeps other processes out (they see the lock on
// the image), lets this process's other handles write, keeps the disk's
// picture while the writer's own bytes are half-way, and no longer checks
// its writes against volumes that those bytes make appear.
TEST(EmbeddedHostHolds, AHeldDiskIsWrittenWhateverAppearsOnItAndOthersAreKeptOut) {
    EmbeddedMachine machine({DiskSpec{}, MbrDiskWithFileSystem()});
    const std::string other_process = "flock -s -n -E 9 " + test_support::Quote(machine.image(0)) + " true";
    const std::string partitioned = test_support::ReadWholeFile(machine.image(1));
    Handle disk = Open("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE);
    ASSERT_TRUE(disk);
    EXPECT_EQ(test_support::Run(other_process).exit_code, 0) << "a writer takes a share of the lock only";
    ASSERT_TRUE(HoldDisk(disk)) << SysErrorMessage(GetLastError());
    EXPECT_EQ(test_support::Run(other_process).exit_code, 9) << "another process sees the hold";
    {
        Handle second = Open("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE);
        EXPECT_TRUE(second) << "this process's own handles share the hold";
    }

    // The table and the file system of the other disk, written in two steps
    // with a refresh in between (as the device monitor makes one): the
    // second lands inside a volume with a file system that the first made.
    std::size_t done = 0;
    ASSERT_TRUE(WriteAt(disk, 0, partitioned.data(), 1 << 20, &done));
    auto during = Registry::instance().refresh();
    EXPECT_TRUE(during->volumes_of(0).empty()) << "a held disk keeps the picture it had";
    EXPECT_TRUE(WriteAt(disk, 1 << 20, partitioned.data() + (1 << 20), partitioned.size() - (1 << 20), &done))
        << SysErrorMessage(GetLastError());
    // Zeros in place: a hole in the image, which reads as zeros.
    ASSERT_TRUE(ZeroFill(disk, 7 << 20, 1 << 20)) << SysErrorMessage(GetLastError());

    ReleaseDiskHold(disk);
    EXPECT_EQ(test_support::Run(other_process).exit_code, 0);
    std::string expected = partitioned;
    std::fill(expected.begin() + (7 << 20), expected.begin() + (8 << 20), '\0');
    EXPECT_TRUE(test_support::ReadWholeFile(machine.image(0)) == expected);
    EXPECT_EQ(Registry::instance().refresh()->volumes_of(0).size(), 3u) << "the new table shows once the hold ends";
    // Unheld, the volume with a file system is guarded again.
    EXPECT_FALSE(WriteAt(disk, 1 << 20, partitioned.data(), 4096, &done));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(EmbeddedHostHolds, AWriterInAnotherProcessKeepsAHoldOut) {
    EmbeddedMachine machine({DiskSpec{}});
    // Another process shares the lock as our writers do.
    test_support::Run("sh -c " + test_support::Quote("exec 3<" + test_support::Quote(machine.image(0)) +
                                                     "; flock -s 3; touch " +
                                                     test_support::Quote(machine.dir().file("locked")) +
                                                     "; while [ -e " + test_support::Quote(machine.dir().file("locked")) +
                                                     " ]; do sleep 0.05; done") + " >/dev/null 2>&1 &");
    while (!std::filesystem::exists(machine.dir().file("locked"))) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Handle disk = Open("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE);
    ASSERT_TRUE(disk) << "writers share";
    EXPECT_FALSE(HoldDisk(disk));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    std::filesystem::remove(machine.dir().file("locked"));
}
