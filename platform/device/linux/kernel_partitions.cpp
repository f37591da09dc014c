#include "platform/device/linux/kernel_partitions.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"
#include "platform/device/linux/held_devices.h"

namespace platform::device::kernel {

namespace {

struct WantedPartition {
    int number = 0;
    std::int64_t start = 0, length = 0;
};

// The partitions the kernel would make of the layout, numbered as the kernel
// numbers them: MBR primaries by table slot, logicals 5, 6, ... in chain
// order; GPT by entry slot. Extended containers are left out.
std::vector<WantedPartition> KernelViewOf(const DiskLayout& layout, std::int64_t disk_size) {
    constexpr std::uint8_t kProtectiveMbr = 0xEE;
    std::vector<WantedPartition> wanted;
    int next_logical = 5;
    for (std::size_t i = 0; i < layout.entries.size(); ++i) {
        const PartitionRecord& e = layout.entries[i];
        if (e.is_empty() || e.is_container()) continue;
        int number = 0;
        if (layout.style == PARTITION_STYLE_GPT) {
            number = static_cast<int>(e.gpt_slot);
        } else if (layout.style == PARTITION_STYLE_MBR) {
            if (e.mbr_type == kProtectiveMbr) continue;
            number = (i < 4 && !e.logical) ? static_cast<int>(i) + 1 : next_logical++;
        }
        if (number <= 0 || e.start < 0 || e.start >= disk_size || e.length <= 0) continue;
        // The kernel cuts a partition that runs past the end of the disk.
        wanted.push_back({number, e.start, std::min(e.length, disk_size - e.start)});
    }
    return wanted;
}

// The kernel's own stand-in for an MBR extended partition: a tiny partition
// at the container's slot and start, kept as the kernel made it.
bool IsContainerStub(const DiskLayout& layout, const KernelPartition& p, std::uint32_t sector_size) {
    // The kernel gives it 1 KiB, or one sector where sectors are larger.
    if (layout.style != PARTITION_STYLE_MBR || p.length > std::max<std::int64_t>(1024, sector_size)) return false;
    for (std::size_t i = 0; i < layout.entries.size() && i < 4; ++i)
        if (layout.entries[i].is_container() && static_cast<int>(i) + 1 == p.number &&
            layout.entries[i].start == p.start)
            return true;
    return false;
}

int Blkpg(int fd, int op, int number, std::int64_t start, std::int64_t length) {
    blkpg_partition part{};
    part.start = start;
    part.length = length;
    part.pno = number;
    blkpg_ioctl_arg arg{};
    arg.op = op;
    arg.datalen = sizeof(part);
    arg.data = &part;
    return ::ioctl(fd, BLKPG, &arg) == 0 ? 0 : errno;
}

// The node the kernel gives partition `number` of a disk: "sda1", but
// "loop3p1" and "nvme0n1p1" where the disk's name ends in a digit.
std::string PartitionNode(const std::string& disk_name, int number) {
    const bool digit = !disk_name.empty() && disk_name.back() >= '0' && disk_name.back() <= '9';
    return DevPathOf(disk_name + (digit ? "p" : "") + std::to_string(number));
}

// With the whole disk held, nobody can mount a partition or hold it for
// themselves: a partition still busy is only being looked at for a moment
// (the probe that runs on every new partition), and is let go soon.
int DeletePartition(int fd, int number, bool whole_disk_held) {
    constexpr auto kPatience = std::chrono::seconds(2);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
        int err = Blkpg(fd, BLKPG_DEL_PARTITION, number, 0, 0);
        if (err != EBUSY || !whole_disk_held || std::chrono::steady_clock::now() >= deadline) return err;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool FailWith(int error) {
    SetLastError(error == EBUSY ? ERROR_ACCESS_DENIED : ErrorFromErrno(error));
    return false;
}

}  // namespace

std::vector<KernelPartition> KernelPartitionsOf(const std::string& disk_name) {
    std::vector<KernelPartition> parts;
    const std::string dir = "/sys/block/" + disk_name;
    for (const auto& entry : ListFolder(dir)) {
        const std::string sub = entry.string();
        auto number = ReadNumber(sub + "/partition");
        if (!number) continue;
        auto start = ReadNumber(sub + "/start");
        auto size = ReadNumber(sub + "/size");
        if (!start || !size) continue;
        KernelPartition p;
        p.name = entry.filename().string();
        p.number = static_cast<int>(*number);
        p.start = *start * kSysfsSector;
        p.length = *size * kSysfsSector;
        p.dev = ParseDevNumber(ReadTrimmed(sub + "/dev"));
        p.sysfs_dir = sub;
        parts.push_back(std::move(p));
    }
    std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    return parts;
}

bool ApplyLayoutToKernel(const std::string& node, const std::string& disk_name, const DiskLayout& layout,
                         std::int64_t disk_size, std::uint32_t sector_size) {
    const auto wanted = KernelViewOf(layout, disk_size);
    const auto have = KernelPartitionsOf(disk_name);

    // Our own locks hold partitions open, and the kernel keeps a partition
    // that anyone has open: they let go while the partitions change, and
    // the whole disk is held instead, so that nobody mounts a partition in
    // between. Where someone else uses a partition (one mounted elsewhere,
    // which may stay or grow), the disk cannot be held and we go without.
    // A writer that holds the whole disk already (from its first write until
    // now) keeps holding it: its own exclusive open does the changes.
    const int writers_hold = DuplicateWholeDiskHold(node);
    std::vector<std::string> devices = {node};
    for (const auto& p : have) devices.push_back(p.node());
    for (const auto& w : wanted) devices.push_back(PartitionNode(disk_name, w.number));
    HoldsSetAside aside(devices);
    // Closed before the holds set aside are taken again.
    UniqueFd fd(writers_hold >= 0 ? writers_hold : ::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    const bool whole_disk_held = static_cast<bool>(fd);
    if (!fd) fd.reset(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    auto same = [](const WantedPartition& w, const KernelPartition& p) {
        return w.number == p.number && w.start == p.start && w.length == p.length;
    };

    // Partitions that only grew or shrank keep their device (a mounted file
    // system on them stays mounted, and a volume resized under our own lock
    // need not let go of it); everything else that changed goes and comes back.
    std::vector<const KernelPartition*> resized;
    std::vector<const KernelPartition*> deleted;
    for (const auto& p : have) {
        if (IsContainerStub(layout, p, sector_size)) continue;
        bool keep = std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) { return same(w, p); });
        if (keep) continue;
        bool only_resized = std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) {
            return w.number == p.number && w.start == p.start && w.length != p.length;
        });
        if (only_resized) {
            resized.push_back(&p);
            continue;
        }
        int err = DeletePartition(fd.get(), p.number, whole_disk_held);
        if (err == ENXIO) continue;  // gone already
        if (err) {
            // One that cannot go leaves the kernel's partitions as they were.
            for (const auto* gone : deleted) Blkpg(fd.get(), BLKPG_ADD_PARTITION, gone->number, gone->start, gone->length);
            return FailWith(err);
        }
        deleted.push_back(&p);
    }

    int first_error = 0;
    for (const auto* p : resized) {
        for (const auto& w : wanted)
            if (w.number == p->number && w.start == p->start) {
                int err = Blkpg(fd.get(), BLKPG_RESIZE_PARTITION, w.number, w.start, w.length);
                if (err && !first_error) first_error = err;
            }
    }
    const auto now = KernelPartitionsOf(disk_name);
    for (const auto& w : wanted) {
        bool present = std::any_of(now.begin(), now.end(), [&](const auto& p) { return p.number == w.number; });
        if (present) {
            // A partition that stays may have cached blocks the disk's
            // writer has since written anew: they go, and the next reader
            // (a mount) sees the disk.
            UniqueFd part(::open(PartitionNode(disk_name, w.number).c_str(), O_RDONLY | O_CLOEXEC));
            if (part) ::posix_fadvise(part.get(), 0, 0, POSIX_FADV_DONTNEED);
            continue;
        }
        int err = Blkpg(fd.get(), BLKPG_ADD_PARTITION, w.number, w.start, w.length);
        if (err && !first_error) first_error = err;
    }
    return first_error ? FailWith(first_error) : true;
}

bool SetKernelReadOnly(const std::string& node, bool read_only) {
    UniqueFd fd(::open(node.c_str(), O_RDONLY | O_CLOEXEC));
    int value = read_only ? 1 : 0;
    if (!fd || ::ioctl(fd.get(), BLKROSET, &value) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

}  // namespace platform::device::kernel
