// The Linux host against loop devices the tests make themselves: which disks
// it offers, how it finds the kernel's partitions and their mounts, what it
// reports busy, locks that unmount and remount, and the kernel's partition
// list following a new table.
//
// Every test needs root and /dev/loop-control. TARNOVELL_LINUX_DISKS always
// names only the test's own loop devices, so nothing else is ever numbered,
// unmounted or repartitioned.
#include "platform/device/linux/linux_host.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/loop.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/device/handle.h"
#include "platform/device/registry.h"
#include "platform/fmifs/fmifs.h"
#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"
#include "support/loop_disk.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace {

using namespace platform;
using namespace platform::device;
using test_support::ExclusiveOpenErrno;
using test_support::HaveTool;
using test_support::IsMounted;
using test_support::KernelPart;
using test_support::KernelParts;
using test_support::LoopDisk;
using test_support::MountsFrom;
using test_support::ProcessInside;
using test_support::Quote;
using test_support::ReadMounts;
using test_support::ReadWholeFile;
using test_support::Sh;
using test_support::TempDir;
using test_support::WriteWholeFile;
namespace fs = std::filesystem;

constexpr std::int64_t kMiB = 1024 * 1024;
constexpr std::int64_t kDiskSize = 64 * kMiB;
constexpr std::int64_t kSector = 512;

// Two 10 MiB Linux partitions, p1 at sector 2048 and p2 right after it.
constexpr std::int64_t kP1Start = 2048, kP2Start = 22528, kPartSectors = 20480;
const char* const kTwoPartitions = "label: dos\n2048,20480,83\n22528,20480,83\n";

// ---- layouts, built the way the partition-table reader reports them -------------

PartitionRecord Primary(std::int64_t start, std::int64_t sectors, std::uint8_t type = 0x83) {
    PartitionRecord r;
    r.style = PARTITION_STYLE_MBR;
    r.mbr_type = type;
    r.start = start * kSector;
    r.length = sectors * kSector;
    r.recognized = type != 0x05;
    return r;
}
PartitionRecord Empty() { return PartitionRecord{}; }
PartitionRecord Extended(std::int64_t start, std::int64_t sectors) { return Primary(start, sectors, 0x05); }
PartitionRecord Logical(std::int64_t start, std::int64_t sectors, std::uint8_t type = 0x83) {
    PartitionRecord r = Primary(start, sectors, type);
    r.logical = true;
    return r;
}
PartitionRecord GptEntry(std::uint32_t slot, std::int64_t start, std::int64_t sectors) {
    PartitionRecord r;
    r.style = PARTITION_STYLE_GPT;
    r.type_guid = kGptLinuxData;
    r.gpt_slot = slot;
    r.start = start * kSector;
    r.length = sectors * kSector;
    r.recognized = true;
    return r;
}
DiskLayout Layout(PARTITION_STYLE style, std::vector<PartitionRecord> entries) {
    DiskLayout layout;
    layout.style = style;
    layout.entries = std::move(entries);
    return layout;
}
DiskLayout StandardMbr() {
    return Layout(PARTITION_STYLE_MBR,
                  {Primary(kP1Start, kPartSectors), Primary(kP2Start, kPartSectors), Empty(), Empty()});
}
const std::vector<KernelPart> kStandardParts = {{1, kP1Start, kPartSectors}, {2, kP2Start, kPartSectors}};

// ---- the fixture: one partitioned loop disk with ext4 on p1, mounted --------------

class LinuxHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::IsRoot()) GTEST_SKIP() << "needs root: makes loop devices, mounts and unmounts";
        if (!fs::exists("/dev/loop-control")) GTEST_SKIP() << "no /dev/loop-control: this kernel has no loop devices";
        for (const char* tool : {"losetup", "blockdev", "sfdisk", "partx", "mkfs.ext4", "mount", "umount"})
            if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed (util-linux, fdisk, e2fsprogs)";

        scope_.emplace(work_.file("state.ini"));  // nothing offered until our disk exists

        std::string error;
        disk_ = LoopDisk::Make(images_.file("disk.img"), kTwoPartitions, error);
        ASSERT_TRUE(disk_) << error;
        ASSERT_TRUE(disk_->add_kernel_partitions());
        ASSERT_EQ(KernelParts(disk_->name()), kStandardParts);
        ASSERT_TRUE(Sh("mkfs.ext4 -q -F " + Quote(disk_->part(1))));
        mnt_ = work_.file("mnt");
        fs::create_directories(mnt_);
        ASSERT_TRUE(Sh("mount -t ext4 -o noatime " + Quote(disk_->part(1)) + " " + Quote(mnt_)));
        fs::create_directories(mnt_ + "/sub");
        WriteWholeFile(mnt_ + "/hello.txt", "written before the lock\n");
        WriteWholeFile(mnt_ + "/sub/inner.txt", "inside\n");
        ASSERT_TRUE(Sh("sync"));
        offer({disk_->name()});
        Registry::Install(std::make_unique<LinuxHost>());
    }

    void TearDown() override {
        Registry::Reset();
        extra_.clear();
        disk_.reset();
        scope_.reset();
    }

    void offer(const std::vector<std::string>& names) { scope_->offer(names); }

    // A second view of p1: its folder "sub" bound at a folder whose name has
    // a space (mountinfo escapes it), read-only and with other atime
    // handling than the main mount, so that each mount's own flags show.
    ::testing::AssertionResult mount_second_view() {
        second_ = work_.file("with space");
        fs::create_directories(second_);
        if (auto r = Sh("mount --bind " + Quote(mnt_ + "/sub") + " " + Quote(second_)); !r) return r;
        return Sh("mount -o remount,bind,ro,strictatime " + Quote(second_));
    }

    // Another loop disk, torn down with the fixture.
    LoopDisk* add_disk(const std::string& file, const std::string& script, const std::string& device = "") {
        std::string error;
        auto disk = LoopDisk::Make(images_.file(file), script, error, device);
        if (!disk) {
            last_error_ = error;
            return nullptr;
        }
        extra_.push_back(std::move(disk));
        return extra_.back().get();
    }

    LinuxHost& host() { return static_cast<LinuxHost&>(Registry::instance().host()); }
    std::shared_ptr<const Snapshot> refresh() { return Registry::instance().refresh(); }

    std::vector<VolumeInfo> volumes_of(const Snapshot& snap, int disk) {
        std::vector<VolumeInfo> result;
        for (const auto* v : snap.volumes_of(disk)) result.push_back(*v);
        return result;
    }

    // Folders go after the loop devices (declared first, destroyed last), so
    // nothing is removed from under a mount.
    TempDir images_, work_;
    std::optional<test_support::LinuxHostScope> scope_;
    std::unique_ptr<LoopDisk> disk_;
    std::vector<std::unique_ptr<LoopDisk>> extra_;
    std::string mnt_, second_, last_error_;
};

// ---- disks ------------------------------------------------------------------

TEST_F(LinuxHostTest, OffersTheNamedLoopDiskWithItsGeometryAndDescription) {
    LinuxHost machine;
    auto disks = machine.enumerate_disks();
    ASSERT_EQ(disks.size(), 1u);
    const DiskInfo& d = disks[0];
    EXPECT_EQ(d.number, 0);
    EXPECT_EQ(d.backing, disk_->node());
    EXPECT_EQ(d.size, kDiskSize);
    EXPECT_EQ(d.sector_size, 512u);
    EXPECT_GE(d.physical_sector_size, 512u);
    EXPECT_EQ(d.physical_sector_size % d.sector_size, 0u);
    EXPECT_EQ(d.identity, "linux:loop:" + fs::canonical(images_.file("disk.img")).string());
    EXPECT_EQ(d.vendor, "Linux");
    EXPECT_EQ(d.product, "Loop disk.img");
    EXPECT_EQ(d.bus_type, BusTypeScsi);
    EXPECT_FALSE(d.removable);
    EXPECT_FALSE(d.media_read_only);

    // The list says which disks exist for us: an empty one or one naming no
    // disk offers nothing.
    for (const char* only : {"", "nosuchdisk0", " , "}) {
        ::setenv("TARNOVELL_LINUX_DISKS", only, 1);
        EXPECT_TRUE(machine.enumerate_disks().empty()) << "TARNOVELL_LINUX_DISKS='" << only << "'";
    }
    ::setenv("TARNOVELL_LINUX_DISKS", (" " + disk_->node() + " ").c_str(), 1);
    EXPECT_EQ(machine.enumerate_disks().size(), 1u) << "a /dev path and spaces in the list";
}

// The numbers the host gives, by kernel name.
std::map<std::string, int> NumbersOf(const std::vector<DiskInfo>& disks) {
    std::map<std::string, int> numbers;
    for (const auto& d : disks) numbers[d.backing] = d.number;
    return numbers;
}

// TARNOVELL_LINUX_DISKS gives the numbers in the order it names the disks,
// whatever their names; and a disk keeps its number for as long as the
// host runs: one that comes, even named first, or goes moves no other's,
// and the number of one that went is taken by the next that comes.
TEST_F(LinuxHostTest, NumbersDisksInTheOrderListedAndKeepsThemWhileItRuns) {
    LoopDisk* a = add_disk("a.img", "");
    LoopDisk* b = add_disk("b.img", "");
    ASSERT_TRUE(a && b) << last_error_;
    for (const auto& order : std::vector<std::vector<const LoopDisk*>>{{b, a, disk_.get()}, {disk_.get(), a, b}}) {
        std::vector<std::string> names;
        std::map<std::string, int> expected;
        for (const LoopDisk* d : order) {
            expected[d->node()] = static_cast<int>(names.size());
            names.push_back(d->name());
        }
        offer(names);
        LinuxHost machine;
        EXPECT_EQ(NumbersOf(machine.enumerate_disks()), expected);
    }

    offer({b->name(), a->name()});
    LinuxHost machine;
    ASSERT_EQ(NumbersOf(machine.enumerate_disks()), (std::map<std::string, int>{{b->node(), 0}, {a->node(), 1}}));
    offer({disk_->name(), b->name(), a->name()});
    EXPECT_EQ(NumbersOf(machine.enumerate_disks()),
              (std::map<std::string, int>{{b->node(), 0}, {a->node(), 1}, {disk_->node(), 2}}))
        << "a disk that comes takes a free number, named first or not";
    offer({disk_->name(), a->name()});
    EXPECT_EQ(NumbersOf(machine.enumerate_disks()), (std::map<std::string, int>{{a->node(), 1}, {disk_->node(), 2}}))
        << "a disk that goes takes only its own number with it";
    LoopDisk* c = add_disk("c.img", "");
    ASSERT_TRUE(c) << last_error_;
    offer({disk_->name(), a->name(), c->name()});
    EXPECT_EQ(NumbersOf(machine.enumerate_disks()),
              (std::map<std::string, int>{{c->node(), 0}, {a->node(), 1}, {disk_->node(), 2}}));
}

TEST_F(LinuxHostTest, UnfilteredEnumerationOffersOnlyWholeDisksWithMedia) {
    // Reads (never writes) the machine's own disks' sizes. Other tests may
    // attach and detach loop devices meanwhile: only loop devices unbound
    // both before and after, and offered without a backing file, count as
    // ones that must not be offered.
    auto unbound_loops = [] {
        std::set<std::string> unbound;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator("/sys/block", ec)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("loop", 0) == 0 && ReadWholeFile(entry.path().string() + "/loop/backing_file").empty())
                unbound.insert("/dev/" + name);
        }
        return unbound;
    };
    ::unsetenv("TARNOVELL_LINUX_DISKS");
    auto unbound_before = unbound_loops();
    LinuxHost machine;
    auto disks = machine.enumerate_disks();
    auto unbound_after = unbound_loops();
    ASSERT_LE(disks.size(), 16u);
    bool found_ours = false;
    for (std::size_t i = 0; i < disks.size(); ++i) {
        const DiskInfo& d = disks[i];
        EXPECT_EQ(d.number, static_cast<int>(i));
        std::string name = fs::path(d.backing).filename().string();
        for (const char* skipped : {"ram", "zram", "sr", "fd", "md", "dm-"})
            EXPECT_NE(name.rfind(skipped, 0), 0u) << d.backing << " is no whole disk";
        // A device bound and let go again while the disks were listed is
        // unbound before and after, yet was a disk when it was looked at:
        // its identity then names what backed it.
        EXPECT_FALSE(unbound_before.count(d.backing) && unbound_after.count(d.backing) && d.identity == "linux:loop:")
            << d.backing << " has no backing file";
        EXPECT_EQ(d.identity.rfind("linux:", 0), 0u) << d.identity;
        found_ours = found_ours || d.backing == disk_->node();
    }
    if (disks.size() < 16) {
        EXPECT_TRUE(found_ours);
    }
}

// ---- volumes ---------------------------------------------------------------

TEST_F(LinuxHostTest, AnnotatesKernelPartitionsAndMountFoldersAndPicksBackings) {
    ASSERT_TRUE(mount_second_view());
    auto snap = refresh();
    ASSERT_EQ(snap->disks.size(), 1u);
    const DiskInfo& disk = snap->disks[0];
    auto volumes = volumes_of(*snap, 0);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].kernel_device, disk_->part(1));
    EXPECT_EQ(volumes[0].filesystem, "ext4");
    EXPECT_EQ(volumes[0].mount_points, (std::vector<std::string>{mnt_, second_}));
    EXPECT_EQ(volumes[1].kernel_device, disk_->part(2));
    EXPECT_TRUE(volumes[1].mount_points.empty());

    auto disk_at = host().disk_backing(disk);
    EXPECT_EQ(disk_at.path, disk_->node());
    EXPECT_EQ(disk_at.offset, 0);
    auto p1_at = host().volume_backing(disk, volumes[0]);
    EXPECT_EQ(p1_at.path, disk_->part(1));
    EXPECT_EQ(p1_at.offset, 0);

    // Once the kernel forgets p2 the volume is reached through the disk.
    ASSERT_TRUE(Sh("partx -d --nr 2 " + Quote(disk_->node())));
    auto p2_at = host().volume_backing(disk, volumes[1]);
    EXPECT_EQ(p2_at.path, disk_->node());
    EXPECT_EQ(p2_at.offset, kP2Start * kSector);
    snap = refresh();
    volumes = volumes_of(*snap, 0);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].kernel_device, disk_->part(1));
    EXPECT_EQ(volumes[1].kernel_device, "");
}

TEST_F(LinuxHostTest, WholeDiskFileSystemIsItsOwnKernelDeviceAndMakesTheDiskBusy) {
    LoopDisk* raw = add_disk("raw.img", "");
    ASSERT_TRUE(raw) << last_error_;
    ASSERT_TRUE(Sh("mkfs.ext4 -q -F " + Quote(raw->node())));
    std::string folder = work_.file("raw");
    fs::create_directories(folder);
    ASSERT_TRUE(Sh("mount -t ext4 " + Quote(raw->node()) + " " + Quote(folder)));
    offer({raw->name()});
    auto snap = refresh();
    ASSERT_EQ(snap->disks.size(), 1u);
    auto volumes = volumes_of(*snap, 0);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].partition_number, 0u);
    EXPECT_EQ(volumes[0].kernel_device, raw->node());
    EXPECT_EQ(volumes[0].mount_points, std::vector<std::string>{folder});
    auto busy = host().busy_ranges(snap->disks[0], volumes);
    ASSERT_EQ(busy.size(), 1u);
    EXPECT_EQ(busy[0].start, 0);
    EXPECT_EQ(busy[0].length, kDiskSize);
}

TEST_F(LinuxHostTest, BusyRangesCoverWhatTheKernelUsesRightNow) {
    const ByteRange p1{kP1Start * kSector, kPartSectors * kSector};
    const ByteRange p2{kP2Start * kSector, kPartSectors * kSector};
    const std::string dm_name = "tarnovell-test-" + disk_->name();
    struct Case {
        const char* what;
        std::string tool;  // needed for the case, "" for none
        std::string setup, undo;
        std::vector<ByteRange> expected;
    } cases[] = {
        {"ext4 mounted on p1", "", "true", "true", {p1}},
        {"nothing mounted", "", "umount " + Quote(mnt_), "mount -t ext4 " + Quote(disk_->part(1)) + " " + Quote(mnt_),
         {}},
        {"swap on p2 besides", "swapon", "mkswap -q " + Quote(disk_->part(2)) + " && swapon " + Quote(disk_->part(2)),
         "swapoff " + Quote(disk_->part(2)), {p1, p2}},
        {"device-mapper table over p2", "dmsetup",
         "dmsetup create " + dm_name + " --table '0 " + std::to_string(kPartSectors) + " linear " + disk_->part(2) +
             " 0'",
         "dmsetup remove " + dm_name, {p1, p2}},
    };
    disk_->note_device_mapper(dm_name);
    auto snap = refresh();
    ASSERT_EQ(snap->disks.size(), 1u);
    auto volumes = volumes_of(*snap, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.tool.empty() && !HaveTool(c.tool)) {
            std::cout << "[ SKIPPED  ] " << c.what << ": " << c.tool << " is not installed\n";
            continue;
        }
        auto setup = test_support::Run(c.setup);
        if (setup.exit_code != 0 && !c.tool.empty()) {
            // No swap or device-mapper in this kernel: nothing to see.
            std::cout << "[ SKIPPED  ] " << c.what << ": " << setup.output;
            continue;
        }
        ASSERT_EQ(setup.exit_code, 0) << setup.output;
        auto busy = host().busy_ranges(snap->disks[0], volumes);
        std::sort(busy.begin(), busy.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
        ASSERT_EQ(busy.size(), c.expected.size());
        for (std::size_t i = 0; i < busy.size(); ++i) {
            EXPECT_EQ(busy[i].start, c.expected[i].start);
            EXPECT_EQ(busy[i].length, c.expected[i].length);
        }
        ASSERT_TRUE(Sh(c.undo));
    }
}

TEST_F(LinuxHostTest, BusyGenerationMovesWithTheMountTable) {
    LinuxHost& machine = host();
    std::uint64_t before = machine.busy_generation();
    ASSERT_TRUE(Sh("umount " + Quote(mnt_)));
    std::uint64_t unmounted = machine.busy_generation();
    EXPECT_NE(unmounted, before);
    ASSERT_TRUE(Sh("mount -t ext4 " + Quote(disk_->part(1)) + " " + Quote(mnt_)));
    EXPECT_NE(machine.busy_generation(), unmounted);
}

// ---- claims -------------------------------------------------------------------

TEST_F(LinuxHostTest, LockUnmountsAndHoldsTheVolumeAndUnlockPutsTheMountsBack) {
    ASSERT_TRUE(mount_second_view());
    const auto mounted = MountsFrom(disk_->part(1));
    ASSERT_EQ(mounted, (std::vector<std::string>{mnt_ + " / ext4 rw noatime", second_ + " /sub ext4 ro strictatime"}));

    auto snap = refresh();
    auto volumes = volumes_of(*snap, 0);
    auto claim = host().claim_volume(snap->disks[0], volumes[0], false);
    ASSERT_TRUE(claim);
    ASSERT_TRUE(claim->lock()) << SysErrorMessage(GetLastError());
    EXPECT_TRUE(claim->locked());
    EXPECT_TRUE(MountsFrom(disk_->part(1)).empty());
    EXPECT_EQ(ExclusiveOpenErrno(disk_->part(1)), EBUSY) << "the lock holds the device for itself";
    EXPECT_TRUE(host().busy_ranges(snap->disks[0], volumes).empty());
    EXPECT_TRUE(claim->lock()) << "a second lock of the same claim";

    ASSERT_TRUE(claim->unlock()) << SysErrorMessage(GetLastError());
    EXPECT_FALSE(claim->locked());
    EXPECT_EQ(MountsFrom(disk_->part(1)), mounted);
    EXPECT_EQ(ReadWholeFile(mnt_ + "/hello.txt"), "written before the lock\n");
    EXPECT_EQ(ReadWholeFile(second_ + "/inner.txt"), "inside\n");

    EXPECT_FALSE(claim->unlock()) << "nothing to unlock";
    EXPECT_EQ(GetLastError(), 158u);  // ERROR_NOT_LOCKED_VOLUME
}

TEST_F(LinuxHostTest, DismountLastsUntilTheClaimEnds) {
    ASSERT_TRUE(mount_second_view());
    const auto mounted = MountsFrom(disk_->part(1));
    auto snap = refresh();
    auto volumes = volumes_of(*snap, 0);
    {
        auto claim = host().claim_volume(snap->disks[0], volumes[0], false);
        ASSERT_TRUE(claim);
        ASSERT_TRUE(claim->dismount());
        EXPECT_TRUE(claim->dismounted());
        EXPECT_FALSE(claim->locked());
        EXPECT_TRUE(MountsFrom(disk_->part(1)).empty());
        EXPECT_EQ(ExclusiveOpenErrno(disk_->part(1)), 0) << "a dismount alone does not hold the device";

        // Locking the dismounted volume, and dropping the claim while locked.
        ASSERT_TRUE(claim->lock());
        EXPECT_EQ(ExclusiveOpenErrno(disk_->part(1)), EBUSY);
    }
    EXPECT_EQ(MountsFrom(disk_->part(1)), mounted);
    EXPECT_EQ(ReadWholeFile(mnt_ + "/hello.txt"), "written before the lock\n");
}

TEST_F(LinuxHostTest, LockFailsWhileAProcessWorksInsideAndLeavesEverythingMounted) {
    ASSERT_TRUE(mount_second_view());
    const auto mounted = MountsFrom(disk_->part(1));
    auto snap = refresh();
    auto volumes = volumes_of(*snap, 0);
    auto claim = host().claim_volume(snap->disks[0], volumes[0], false);
    ASSERT_TRUE(claim);
    {
        // The read-only view unmounts first (it is not busy) and must come
        // back, read-only, when the main mount refuses.
        ProcessInside inside(mnt_);
        ASSERT_TRUE(inside.ready());
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(claim->lock());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_FALSE(claim->locked());
        EXPECT_EQ(MountsFrom(disk_->part(1)), mounted);
        EXPECT_FALSE(claim->dismount());
        EXPECT_FALSE(claim->dismounted());
        EXPECT_EQ(MountsFrom(disk_->part(1)), mounted);
    }
    EXPECT_TRUE(claim->lock()) << "with the process gone";
    claim.reset();
    EXPECT_EQ(MountsFrom(disk_->part(1)), mounted);
}

TEST_F(LinuxHostTest, ExclusiveClaimsTakeTheDeviceForThemselves) {
    auto snap = refresh();
    const DiskInfo& disk = snap->disks[0];
    auto volumes = volumes_of(*snap, 0);
    ASSERT_EQ(volumes.size(), 2u);

    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(host().claim_volume(disk, volumes[0], true)) << "p1 is mounted";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    auto sole = host().claim_volume(disk, volumes[1], true);
    ASSERT_TRUE(sole) << SysErrorMessage(GetLastError());
    EXPECT_EQ(ExclusiveOpenErrno(disk_->part(2)), EBUSY);
    EXPECT_FALSE(host().claim_volume(disk, volumes[1], true));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    auto shared = host().claim_volume(disk, volumes[1], false);
    ASSERT_TRUE(shared) << "sharing claims may come beside it";
    EXPECT_FALSE(shared->lock());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_TRUE(sole->lock());
    EXPECT_TRUE(sole->unlock());
    EXPECT_EQ(ExclusiveOpenErrno(disk_->part(2)), EBUSY) << "unlocking keeps the claim's own hold";
    sole.reset();
    EXPECT_EQ(ExclusiveOpenErrno(disk_->part(2)), 0);
    EXPECT_TRUE(shared->lock());

    // A volume the kernel has no device for locks with nothing to do.
    VolumeInfo unknown = volumes[1];
    unknown.kernel_device.clear();
    auto claim = host().claim_volume(disk, unknown, true);
    ASSERT_TRUE(claim);
    EXPECT_TRUE(claim->lock());
    EXPECT_TRUE(claim->unlock());
}

TEST_F(LinuxHostTest, RefusesDisksAndDevicesItDidNotOffer) {
    LoopDisk* other = add_disk("other.img", kTwoPartitions);
    ASSERT_TRUE(other) << last_error_;
    ASSERT_TRUE(other->add_kernel_partitions());
    auto snap = refresh();  // offers the fixture's disk only
    ASSERT_EQ(snap->disks.size(), 1u);

    DiskInfo stranger = snap->disks[0];
    stranger.backing = other->node();
    VolumeInfo volume;
    volume.partition_number = 1;
    volume.start = kP1Start * kSector;
    volume.length = kPartSectors * kSector;
    volume.kernel_device = other->part(1);

    EXPECT_FALSE(host().claim_volume(stranger, volume, false));
    EXPECT_FALSE(host().layout_changed(stranger, Layout(PARTITION_STYLE_MBR, {Empty(), Empty(), Empty(), Empty()})));
    EXPECT_FALSE(host().apply_read_only(stranger, true));
    EXPECT_EQ(KernelParts(other->name()), kStandardParts);
    EXPECT_EQ(ReadWholeFile("/sys/block/" + other->name() + "/ro"), "0\n");
    // Nor a device of another disk passed off as one of ours.
    EXPECT_FALSE(host().claim_volume(snap->disks[0], volume, false));
}

// ---- the kernel's partitions and the read-only flag -------------------------------

TEST_F(LinuxHostTest, LayoutChangedMakesTheKernelsPartitionsMatchTheTable) {
    LoopDisk* blank = add_disk("layout.img", "");
    ASSERT_TRUE(blank) << last_error_;
    offer({blank->name()});
    LinuxHost machine;
    auto disks = machine.enumerate_disks();
    ASSERT_EQ(disks.size(), 1u);
    const DiskInfo& disk = disks[0];
    const std::int64_t end = kDiskSize / kSector;

    struct Case {
        const char* what;
        DiskLayout before, after;
        std::vector<KernelPart> expected;
    } cases[] = {
        {"adds what the kernel lacks", Layout(PARTITION_STYLE_MBR, {}), StandardMbr(), kStandardParts},
        {"deletes what left the table", StandardMbr(),
         Layout(PARTITION_STYLE_MBR, {Primary(kP1Start, kPartSectors), Empty(), Empty(), Empty()}),
         {{1, kP1Start, kPartSectors}}},
        {"moves a partition that starts elsewhere", StandardMbr(),
         Layout(PARTITION_STYLE_MBR,
                {Primary(kP1Start, kPartSectors), Primary(kP2Start + 8192, kPartSectors), Empty(), Empty()}),
         {{1, kP1Start, kPartSectors}, {2, kP2Start + 8192, kPartSectors}}},
        {"grows a partition in place", StandardMbr(),
         Layout(PARTITION_STYLE_MBR, {Primary(kP1Start, kPartSectors), Primary(kP2Start, 2 * kPartSectors), Empty(),
                                      Empty()}),
         {{1, kP1Start, kPartSectors}, {2, kP2Start, 2 * kPartSectors}}},
        {"shrinks a partition", StandardMbr(),
         Layout(PARTITION_STYLE_MBR,
                {Primary(kP1Start, kPartSectors / 2), Primary(kP2Start, kPartSectors), Empty(), Empty()}),
         {{1, kP1Start, kPartSectors / 2}, {2, kP2Start, kPartSectors}}},
        {"renumbers by table slot", StandardMbr(),
         Layout(PARTITION_STYLE_MBR, {Empty(), Primary(kP1Start, kPartSectors), Empty(), Primary(kP2Start, kPartSectors)}),
         {{2, kP1Start, kPartSectors}, {4, kP2Start, kPartSectors}}},
        {"numbers logicals 5, 6 in chain order without the container", StandardMbr(),
         Layout(PARTITION_STYLE_MBR,
                {Primary(kP1Start, kPartSectors), Extended(kP2Start, 40960), Empty(), Empty(),
                 // first EBR: a logical and the link to the next EBR
                 Logical(kP2Start + 2048, 8192), Logical(kP2Start + 12288, 16384, 0x05), Empty(), Empty(),
                 // second EBR: one logical (of a type nobody mounts: still a partition)
                 Logical(kP2Start + 14336, 8192, 0x12), Empty(), Empty(), Empty()}),
         {{1, kP1Start, kPartSectors}, {5, kP2Start + 2048, 8192}, {6, kP2Start + 14336, 8192}}},
        {"numbers GPT partitions by entry slot", StandardMbr(),
         Layout(PARTITION_STYLE_GPT, {GptEntry(2, kP1Start, kPartSectors), GptEntry(7, 65536, 4096)}),
         {{2, kP1Start, kPartSectors}, {7, 65536, 4096}}},
        {"cuts a partition that runs past the end of the disk", Layout(PARTITION_STYLE_MBR, {}),
         Layout(PARTITION_STYLE_MBR, {Primary(end - 4096, 8192), Empty(), Empty(), Empty()}),
         {{1, end - 4096, 4096}}},
        {"empties the disk", StandardMbr(), Layout(PARTITION_STYLE_RAW, {}), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(machine.layout_changed(disk, Layout(PARTITION_STYLE_MBR, {})));
        ASSERT_TRUE(KernelParts(blank->name()).empty());
        ASSERT_TRUE(machine.layout_changed(disk, c.before)) << SysErrorMessage(GetLastError());
        EXPECT_TRUE(machine.layout_changed(disk, c.after)) << SysErrorMessage(GetLastError());
        EXPECT_EQ(KernelParts(blank->name()), c.expected);
        for (const auto& p : c.expected) {
            std::string node = blank->part(p.number);
            EXPECT_TRUE(fs::is_block_file(node)) << node;
        }
    }
}

TEST_F(LinuxHostTest, KernelLearnsTheTableOnTheDiskAndAMountedPartitionMayGrowButNotGo) {
    // The kernel forgets the partitions of the fixture's disk (p1 unmounted
    // for it); the table read back from the disk brings them back.
    ASSERT_TRUE(Sh("umount " + Quote(mnt_)));
    ASSERT_TRUE(disk_->forget_kernel_partitions());
    ASSERT_TRUE(KernelParts(disk_->name()).empty());
    auto snap = refresh();
    ASSERT_EQ(snap->disks.size(), 1u);
    EXPECT_TRUE(host().layout_changed(snap->disks[0], snap->disks[0].layout)) << SysErrorMessage(GetLastError());
    EXPECT_EQ(KernelParts(disk_->name()), kStandardParts);
    snap = refresh();
    auto volumes = volumes_of(*snap, 0);
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].kernel_device, disk_->part(1));

    // Mounted again, p1 cannot go: the call fails and adds nothing either.
    ASSERT_TRUE(Sh("mount -t ext4 " + Quote(disk_->part(1)) + " " + Quote(mnt_)));
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(host().layout_changed(
        snap->disks[0], Layout(PARTITION_STYLE_MBR, {Empty(), Primary(kP2Start, kPartSectors),
                                                     Primary(kP2Start + kPartSectors, kPartSectors), Empty()})));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(KernelParts(disk_->name()), kStandardParts);
    EXPECT_EQ(MountsFrom(disk_->part(1)).size(), 1u);

    // But it may grow (into where p2 was) while mounted, as a volume being
    // extended does.
    EXPECT_TRUE(host().layout_changed(
        snap->disks[0], Layout(PARTITION_STYLE_MBR, {Primary(kP1Start, 2 * kPartSectors), Empty(), Empty(), Empty()})))
        << SysErrorMessage(GetLastError());
    EXPECT_EQ(KernelParts(disk_->name()), (std::vector<KernelPart>{{1, kP1Start, 2 * kPartSectors}}));
    EXPECT_EQ(MountsFrom(disk_->part(1)).size(), 1u);
}

TEST_F(LinuxHostTest, PartitionsOurOwnLocksHoldChangeAndStayHeld) {
    // p1 locked (unmounted and held), p2 held by a claim of its own: the
    // kernel would refuse to let either go while we hold them.
    auto snap = refresh();
    const DiskInfo& disk = snap->disks[0];
    auto volumes = volumes_of(*snap, 0);
    ASSERT_EQ(volumes.size(), 2u);
    auto p1 = host().claim_volume(disk, volumes[0], false);
    ASSERT_TRUE(p1);
    ASSERT_TRUE(p1->lock()) << SysErrorMessage(GetLastError());
    auto p2 = host().claim_volume(disk, volumes[1], true);
    ASSERT_TRUE(p2) << SysErrorMessage(GetLastError());

    struct Case {
        const char* what;
        DiskLayout layout;
        std::vector<KernelPart> expected;
    } cases[] = {
        {"p1 goes, p2 moves", Layout(PARTITION_STYLE_MBR, {Empty(), Primary(kP2Start + 8192, kPartSectors), Empty(), Empty()}),
         {{2, kP2Start + 8192, kPartSectors}}},
        {"both back where they were", StandardMbr(), kStandardParts},
        {"a GPT table over them", Layout(PARTITION_STYLE_GPT, {GptEntry(1, kP1Start, kPartSectors), GptEntry(2, kP2Start, kPartSectors)}),
         kStandardParts},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_TRUE(host().layout_changed(disk, c.layout)) << SysErrorMessage(GetLastError());
        EXPECT_EQ(KernelParts(disk_->name()), c.expected);
        // Held again where the device is there again: nobody can mount it.
        for (const auto& p : c.expected) EXPECT_EQ(ExclusiveOpenErrno(disk_->part(p.number)), EBUSY) << p;
    }
    EXPECT_TRUE(p1->locked());
    EXPECT_TRUE(MountsFrom(disk_->part(1)).empty());
    p2.reset();
    EXPECT_EQ(ExclusiveOpenErrno(disk_->part(2)), 0);
    p1.reset();  // the lock ends: p1's file system comes back
    EXPECT_EQ(MountsFrom(disk_->part(1)).size(), 1u);
    EXPECT_EQ(ReadWholeFile(mnt_ + "/hello.txt"), "written before the lock\n");
}

TEST_F(LinuxHostTest, ATableTheKernelCannotLetGoOfIsNotDeleted) {
    // Another process has p2 open: not mounted, so nothing says it is busy,
    // but the kernel keeps a partition anyone has open. Deleting the layout
    // must then write nothing and leave the partitions as they are.
    ASSERT_TRUE(Sh("umount " + Quote(mnt_)));
    const std::string node = disk_->part(2);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
        char c = fd >= 0 ? 'y' : 'n';
        if (::write(ready[1], &c, 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(c, 'y');
    const std::string table_before = ReadWholeFile(disk_->node()).substr(0, 512);

    refresh();
    platform::Handle disk = platform::CreateFile("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(disk);
    DWORD returned = 0;
    EXPECT_FALSE(platform::DeviceIoControl(disk, IOCTL_DISK_DELETE_DRIVE_LAYOUT, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(ReadWholeFile(disk_->node()).substr(0, 512), table_before);
    EXPECT_EQ(KernelParts(disk_->name()), kStandardParts);

    // With the other process gone, the layout goes, from the disk and from the kernel.
    EXPECT_TRUE(platform::DeviceIoControl(disk, IOCTL_DISK_DELETE_DRIVE_LAYOUT, nullptr, 0, nullptr, 0, &returned))
        << SysErrorMessage(GetLastError());
    EXPECT_TRUE(KernelParts(disk_->name()).empty());
    EXPECT_TRUE(test_support::TableParts(disk_->node()).empty());
}

TEST_F(LinuxHostTest, ReadOnlyAttributeReachesTheKernel) {
    auto snap = refresh();
    const DiskInfo& disk = snap->disks[0];
    const std::string ro = "/sys/block/" + disk_->name() + "/ro";
    ASSERT_TRUE(host().apply_read_only(disk, true)) << SysErrorMessage(GetLastError());
    EXPECT_EQ(ReadWholeFile(ro), "1\n");
    {
        LinuxHost machine;
        auto disks = machine.enumerate_disks();
        ASSERT_EQ(disks.size(), 1u);
        EXPECT_TRUE(disks[0].media_read_only);
    }
    ASSERT_TRUE(host().apply_read_only(disk, false)) << SysErrorMessage(GetLastError());
    EXPECT_EQ(ReadWholeFile(ro), "0\n");
}

TEST(LinuxHostStatePath, ComesFromTheEnvironmentWhenSet) {
    test_support::ScopedEnvironment state("TARNOVELL_STATE", "/some/where/state.ini");
    EXPECT_EQ(LinuxHost().state_path(), "/some/where/state.ini");
}

// Tests run with TARNOVELL_NO_MACHINE_STATE: one that would fall back to
// the machine's own state fails instead of writing it.
TEST(LinuxHostStatePath, TheMachinesStateIsRefusedWhereItMustNotBeUsed) {
    test_support::ScopedEnvironment state("TARNOVELL_STATE", nullptr);
    test_support::ScopedEnvironment refused("TARNOVELL_NO_MACHINE_STATE", "1");
    const std::string error = test_support::ErrorOf([] { LinuxHost().state_path(); });
    EXPECT_NE(error.find("TARNOVELL_STATE is not set"), std::string::npos) << error;
}

}  // namespace

// ---- through handles, as the disk library uses it ------------------------------

TEST_F(LinuxHostTest, HandlesGuardMountedRangesAndLockUnmountsUntilTheHandleCloses) {
    auto snap = refresh();
    ASSERT_EQ(snap->disks.size(), 1u);
    const VolumeInfo* p1 = nullptr;
    for (const auto& v : snap->volumes)
        if (v.kernel_device == disk_->part(1)) p1 = &v;
    ASSERT_NE(p1, nullptr);
    ASSERT_NE(p1->letter, 0);
    const std::string volume = std::string("\\\\.\\") + p1->letter + ":";
    const std::int64_t inside = p1->start + (1 << 20);

    // A file path on the lettered volume lands in its mount folder.
    platform::Handle file = platform::CreateFile(std::string(1, p1->letter) + ":\\hello.txt", platform::GENERIC_READ,
                                                 platform::FILE_SHARE_READ, platform::OPEN_EXISTING, 0);
    ASSERT_TRUE(file);
    file.close();

    platform::Handle disk = platform::CreateFile("\\\\.\\PhysicalDrive0", platform::GENERIC_READ | platform::GENERIC_WRITE,
                                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                 platform::OPEN_EXISTING, 0);
    ASSERT_TRUE(disk);
    std::vector<char> block(4096, 'W');
    std::size_t done = 0;
    EXPECT_FALSE(platform::WriteAt(disk, inside, block.data(), block.size(), &done));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_ACCESS_DENIED);

    {
        platform::Handle v = platform::CreateFile(volume, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                                  platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                  platform::OPEN_EXISTING, 0);
        ASSERT_TRUE(v);
        platform::DWORD returned = 0;
        ASSERT_TRUE(platform::DeviceIoControl(v, platform::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned));
        EXPECT_FALSE(IsMounted(mnt_));
        // Locked by us: the disk handle may write there now (into free space
        // of the file system, which the remount below must not mind).
        std::int64_t free_space = p1->start + p1->length - (4 << 20);
        EXPECT_TRUE(platform::WriteAt(disk, free_space, block.data(), block.size(), &done));
    }
    // The handle is gone, and with it the lock: mounted again and guarded again.
    EXPECT_TRUE(IsMounted(mnt_));
    EXPECT_EQ(test_support::ReadWholeFile(mnt_ + "/hello.txt"), "written before the lock\n");
    EXPECT_FALSE(platform::WriteAt(disk, inside, block.data(), block.size(), &done));

    // The unformatted second partition and the table area are free to write.
    const VolumeInfo* p2 = nullptr;
    for (const auto& v : refresh()->volumes)
        if (v.kernel_device == disk_->part(2)) p2 = &v;
    ASSERT_NE(p2, nullptr);
    EXPECT_TRUE(platform::WriteAt(disk, p2->start, block.data(), block.size(), &done));
}

TEST_F(LinuxHostTest, ADiskNodeNamedAsAFileCanBeReadButNotWritten) {
    // Writing the node directly would pass by the mounted volume's guard.
    const std::string before = ReadWholeFile(disk_->node()).substr(0, 4096);
    for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, TRUNCATE_EXISTING}) {
        SCOPED_TRACE(disposition);
        platform::Handle writer = platform::CreateFile(disk_->node(), GENERIC_READ | GENERIC_WRITE,
                                                       FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, 0);
        EXPECT_FALSE(writer.valid());
        EXPECT_EQ(platform::GetLastError(), ERROR_ACCESS_DENIED);
    }
    platform::Handle reader =
        platform::CreateFile(disk_->node(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(reader.valid());
    char sector[512];
    DWORD read = 0;
    EXPECT_TRUE(platform::ReadFile(reader, sector, sizeof sector, &read));
    EXPECT_EQ(read, sizeof sector);
    EXPECT_EQ(ReadWholeFile(disk_->node()).substr(0, 4096), before);
}

// The file-system tools never take a file system from under those who
// mounted it: a format of the mounted volume is refused as in use, and the
// files stay.
namespace {
thread_local std::vector<DWORD> heard_commands;
unsigned char HearFmifs(platform::fmifs::CALLBACKCOMMAND command, DWORD, void*) {
    heard_commands.push_back(command);
    return 1;
}
}  // namespace

TEST_F(LinuxHostTest, FormatOfAMountedVolumeIsRefusedAsInUse) {
    auto snap = refresh();
    const VolumeInfo* p1 = nullptr;
    for (const auto& v : snap->volumes)
        if (v.kernel_device == disk_->part(1)) p1 = &v;
    ASSERT_NE(p1, nullptr);
    ASSERT_NE(p1->letter, 0);
    const std::u16string root = {char16_t(p1->letter), u':', u'\\'};
    heard_commands.clear();
    platform::fmifs::FormatEx(root.c_str(), platform::fmifs::FMIFS_HARDDISK, u"FAT", u"NONAME", 1, 0, &HearFmifs);
    EXPECT_NE(std::find(heard_commands.begin(), heard_commands.end(), platform::fmifs::VOLUMEINUSE),
              heard_commands.end());
    EXPECT_EQ(ReadWholeFile(mnt_ + "/hello.txt"), "written before the lock\n");
    EXPECT_EQ(test_support::Run("blkid -p -s TYPE -o value " + Quote(disk_->part(1))).output, "ext4\n");
}

namespace {

// A hold of the whole loop disk: another process can neither hold it (the
// lock it sees) nor mount a partition of it (the kernel's exclusive open),
// a volume this process locked stays held through it and after it, and
// zeros go to the disk's own zeroing.
TEST_F(LinuxHostTest, AHeldDiskKeepsOtherProgramsOutAndItsLockedVolumesStayHeld) {
    auto snap = refresh();
    const VolumeInfo* p1 = nullptr;
    for (const auto& v : snap->volumes)
        if (v.kernel_device == disk_->part(1)) p1 = &v;
    ASSERT_NE(p1, nullptr);
    platform::Handle volume = platform::CreateFile(p1->guid_path, GENERIC_READ | GENERIC_WRITE,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(volume);
    platform::DWORD returned = 0;
    ASSERT_TRUE(platform::DeviceIoControl(volume, platform::FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned));
    platform::Handle disk = platform::CreateFile("\\\\.\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    ASSERT_TRUE(disk);
    ASSERT_TRUE(platform::HoldDisk(disk)) << SysErrorMessage(GetLastError());

    const std::string lock = "flock -s -n -E 9 " + Quote(disk_->node()) + " true";
    EXPECT_EQ(test_support::Run(lock).exit_code, 9);
    EXPECT_EQ(ExclusiveOpenErrno(disk_->node()), EBUSY);
    EXPECT_EQ(ExclusiveOpenErrno(disk_->part(2)), EBUSY) << "no partition can be claimed";
    const std::string folder = work_.file("other");
    fs::create_directories(folder);
    EXPECT_FALSE(Sh("mount -t ext4 " + Quote(disk_->part(1)) + " " + Quote(folder) + " 2>/dev/null"));

    // Zeros in place where a pattern was, and nothing beside them.
    const std::int64_t at = kP2Start * 512;
    std::vector<char> pattern(3 << 20, 'Z');
    std::size_t done = 0;
    ASSERT_TRUE(platform::WriteAt(disk, at, pattern.data(), pattern.size(), &done));
    ASSERT_TRUE(platform::FlushFileBuffers(disk));
    ASSERT_TRUE(platform::ZeroFill(disk, at + (1 << 20), 1 << 20)) << SysErrorMessage(GetLastError());
    const std::string bytes = ReadWholeFile(disk_->node()).substr(static_cast<std::size_t>(at), 3 << 20);
    EXPECT_EQ(bytes.substr(0, 1 << 20), std::string(1 << 20, 'Z'));
    EXPECT_EQ(bytes.substr(1 << 20, 1 << 20), std::string(1 << 20, '\0'));
    EXPECT_EQ(bytes.substr(2 << 20), std::string(1 << 20, 'Z'));

    platform::ReleaseDiskHold(disk);
    EXPECT_EQ(test_support::Run(lock).exit_code, 0);
    EXPECT_EQ(ExclusiveOpenErrno(disk_->part(1)), EBUSY) << "the locked volume is held on its own again";
    EXPECT_FALSE(IsMounted(mnt_));
    volume.close();
    EXPECT_TRUE(IsMounted(mnt_)) << "and mounted again when its lock ends";
}

}  // namespace
