#include "platform/device/linux/linux_host.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/base/ascii.h"
#include "platform/base/win_error.h"
#include "platform/device/host/attached_disks.h"
#include "platform/device/linux/held_devices.h"
#include "platform/device/linux/kernel_partitions.h"
#include "platform/device/linux/loop_device.h"
#include "platform/device/linux/mount_table.h"
#include "platform/device/linux/sysfs.h"
#include "platform/device/linux/volume_claim.h"

namespace platform::device {

namespace fs = std::filesystem;
using namespace kernel;

namespace {

constexpr std::size_t kMaxDisks = 16;

}  // namespace

struct LinuxHost::Impl {
    std::mutex mutex;
    std::map<std::string, std::string> enumerated;  // backing node -> kernel name, from the last enumeration
    // The number each disk was given, by its kernel name and what it is: a
    // disk keeps its number for as long as the program runs, so that a disk
    // that comes or goes moves no other's.
    std::map<std::string, int> numbers;
    std::set<std::string> present;  // the disks of the last enumeration, by the same key

    // Numbers the disks (`disks` in the order of their names): a disk keeps
    // the number it had; a disk new to the picture takes the lowest number
    // no disk present has, those `listed` (TARNOVELL_LINUX_DISKS) first and
    // in the order listed, then the others. A disk without a number left
    // (more than kMaxDisks) is not offered.
    void number(std::vector<std::pair<std::string, DiskInfo>>& disks, const std::vector<std::string>& listed);

    std::mutex busy_mutex;
    kernel::MountTableWatch mount_table;
    std::uint64_t generation = 1;
    std::chrono::steady_clock::time_point last_bump = std::chrono::steady_clock::now();

    std::optional<std::string> kernel_name(const DiskInfo& disk) {
        std::lock_guard guard(mutex);
        auto it = enumerated.find(disk.backing);
        if (it == enumerated.end()) return std::nullopt;
        return it->second;
    }

    // The kernel name of a disk we offered; anything else is refused, so
    // that nothing outside the disks we enumerated is ever unmounted or
    // repartitioned.
    std::optional<std::string> offered_disk(const DiskInfo& disk) {
        auto name = kernel_name(disk);
        if (!name) SetLastError(ERROR_FILE_NOT_FOUND);
        return name;
    }

    void bump() {
        std::lock_guard guard(busy_mutex);
        ++generation;
        last_bump = std::chrono::steady_clock::now();
    }
};

void LinuxHost::Impl::number(std::vector<std::pair<std::string, DiskInfo>>& disks,
                             const std::vector<std::string>& listed) {
    std::lock_guard guard(mutex);
    auto key = [](const std::pair<std::string, DiskInfo>& d) { return d.first + "\n" + d.second.identity; };
    std::set<int> taken;
    for (auto& d : disks) d.second.number = -1;
    // Those that stayed keep theirs first; one that comes back has its old
    // number again when nobody took it meanwhile.
    for (bool stayed : {true, false})
        for (auto& d : disks) {
            auto known = numbers.find(key(d));
            if (d.second.number >= 0 || present.count(key(d)) != stayed || known == numbers.end() ||
                taken.count(known->second))
                continue;
            d.second.number = known->second;
            taken.insert(known->second);
        }
    std::vector<std::pair<std::string, DiskInfo>*> fresh;
    for (auto& d : disks)
        if (d.second.number < 0) fresh.push_back(&d);
    auto place = [&](const std::pair<std::string, DiskInfo>* d) {
        auto at = std::find(listed.begin(), listed.end(), d->first);
        return at == listed.end() ? listed.size() : static_cast<std::size_t>(at - listed.begin());
    };
    std::stable_sort(fresh.begin(), fresh.end(), [&](auto* a, auto* b) { return place(a) < place(b); });
    for (auto* d : fresh) {
        int n = 0;
        while (n < static_cast<int>(kMaxDisks) && taken.count(n)) ++n;
        if (n >= static_cast<int>(kMaxDisks)) break;
        d->second.number = n;
        taken.insert(n);
        numbers[key(*d)] = n;
    }
    std::erase_if(disks, [](const auto& d) { return d.second.number < 0; });
    std::sort(disks.begin(), disks.end(),
              [](const auto& a, const auto& b) { return a.second.number < b.second.number; });
    present.clear();
    for (const auto& d : disks) present.insert(key(d));
}

LinuxHost::LinuxHost() : impl_(std::make_unique<Impl>()) {}

LinuxHost::~LinuxHost() = default;

std::vector<DiskInfo> LinuxHost::enumerate_disks() {
    std::vector<std::string> names;
    for (const auto& entry : ListFolder("/sys/block")) names.push_back(entry.filename().string());

    std::vector<std::string> listed;
    if (const char* only = std::getenv("TARNOVELL_LINUX_DISKS")) {
        std::set<std::string> allowed;
        for (const auto& item : SplitOn(only, ',')) {
            std::string name = Trim(item);
            if (StartsWith(name, "/dev/")) name = KernelNameOf(name);
            if (name.empty() || allowed.count(name)) continue;
            allowed.insert(name);
            listed.push_back(name);
        }
        for (const auto& attached : attached_virtual_disks())
            if (std::string name = KernelNameOf(attached.device); !name.empty()) allowed.insert(name);
        std::erase_if(names, [&](const std::string& n) { return !allowed.count(n); });
    }
    std::erase_if(names, SkippedByName);
    // The first look numbers the disks in the order of their names.
    std::sort(names.begin(), names.end(), NaturalLess);

    std::vector<std::pair<std::string, DiskInfo>> described;
    for (const auto& name : names)
        if (auto disk = DescribeDisk(name)) described.emplace_back(name, std::move(*disk));
    impl_->number(described, listed);

    std::vector<DiskInfo> disks;
    std::map<std::string, std::string> offered;
    for (auto& [name, disk] : described) {
        offered[disk.backing] = name;
        disks.push_back(std::move(disk));
    }
    std::lock_guard guard(impl_->mutex);
    impl_->enumerated = std::move(offered);
    return disks;
}

void LinuxHost::annotate_volumes(const DiskInfo& disk, std::vector<VolumeInfo>& volumes) {
    const std::string name = impl_->kernel_name(disk).value_or(KernelNameOf(disk.backing));
    const auto parts = KernelPartitionsOf(name);
    const auto mounts = ReadMountInfo();
    for (auto& v : volumes) {
        v.kernel_device.clear();
        v.mount_points.clear();
        v.mount_roots.clear();
        if (v.partition_number == 0 && v.start == 0) {
            v.kernel_device = disk.backing;
        } else {
            for (const auto& p : parts)
                if (p.start == v.start) v.kernel_device = p.node();
        }
        if (v.kernel_device.empty()) continue;
        auto dev = DevNumberOf(v.kernel_device);
        for (const auto& m : mounts) {
            if (!MountIsOf(m, dev, v.kernel_device)) continue;
            v.mount_points.push_back(m.target);
            v.mount_roots.push_back(m.root);
        }
    }
}

BackingLocation LinuxHost::disk_backing(const DiskInfo& disk) { return {disk.backing, 0}; }

BackingLocation LinuxHost::volume_backing(const DiskInfo& disk, const VolumeInfo& volume) {
    if (!volume.kernel_device.empty() && volume.kernel_device != disk.backing) {
        // Only while the kernel's partition still is the volume: after a
        // layout change it may start elsewhere or be too short.
        const std::string name = impl_->kernel_name(disk).value_or(KernelNameOf(disk.backing));
        for (const auto& p : KernelPartitionsOf(name))
            if (p.node() == volume.kernel_device && p.start == volume.start && p.length >= volume.length)
                return {volume.kernel_device, 0};
    }
    return {disk.backing, volume.start};
}

std::vector<ByteRange> LinuxHost::busy_ranges(const DiskInfo& disk, const std::vector<VolumeInfo>&) {
    const std::string name = impl_->kernel_name(disk).value_or(KernelNameOf(disk.backing));
    const auto mounts = ReadMountInfo();
    const auto swaps = ActiveSwapDevices();
    auto busy = [&](const std::string& node, const std::optional<DevNumber>& dev, const std::string& sysfs_dir) {
        for (const auto& m : mounts)
            if (MountIsOf(m, dev, node)) return true;
        if (dev && std::find(swaps.begin(), swaps.end(), *dev) != swaps.end()) return true;
        return HasHolders(sysfs_dir);
    };

    std::vector<ByteRange> ranges;
    const std::string disk_dir = "/sys/block/" + name;
    if (busy(disk.backing, ParseDevNumber(ReadTrimmed(disk_dir + "/dev")), disk_dir)) {
        ranges.push_back({0, disk.size});
        return ranges;
    }
    for (const auto& p : KernelPartitionsOf(name))
        if (busy(p.node(), p.dev, p.sysfs_dir)) ranges.push_back({p.start, p.length});
    return ranges;
}

std::unique_ptr<VolumeClaim> LinuxHost::claim_volume(const DiskInfo& disk, const VolumeInfo& volume,
                                                     bool exclusive) {
    auto name = impl_->offered_disk(disk);
    if (!name) return nullptr;
    if (!volume.kernel_device.empty() && volume.kernel_device != disk.backing) {
        // The device must be one of this disk's partitions.
        bool ours = false;
        for (const auto& p : KernelPartitionsOf(*name)) ours = ours || p.node() == volume.kernel_device;
        if (!ours) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
    }
    auto claim = std::make_unique<LinuxVolumeClaim>(volume.kernel_device);
    if (exclusive && !claim->take_exclusive()) return nullptr;
    return claim;
}

namespace {

class LinuxDiskHold : public DiskHold {
public:
    LinuxDiskHold(std::string node, std::string name) : hold_(std::move(node), std::move(name)) {}
    bool take() { return hold_.take(); }

private:
    kernel::WholeDiskHold hold_;
};

}  // namespace

std::unique_ptr<DiskHold> LinuxHost::hold_disk(const DiskInfo& disk) {
    auto name = impl_->offered_disk(disk);
    if (!name) return nullptr;
    auto hold = std::make_unique<LinuxDiskHold>(disk.backing, *name);
    if (!hold->take()) return nullptr;
    return hold;
}

bool LinuxHost::layout_changed(const DiskInfo& disk, const DiskLayout& new_layout) {
    auto name = impl_->offered_disk(disk);
    if (!name) return false;
    const bool applied = kernel::ApplyLayoutToKernel(disk.backing, *name, new_layout, disk.size, disk.sector_size);
    impl_->bump();
    return applied;
}

bool LinuxHost::apply_read_only(const DiskInfo& disk, bool read_only) {
    if (!impl_->offered_disk(disk)) return false;
    return kernel::SetKernelReadOnly(disk.backing, read_only);
}

std::string LinuxHost::state_path() const {
    if (const char* path = std::getenv("TARNOVELL_STATE"); path && *path) return path;
    // Test runs keep the machine's own state out of reach: what would fall
    // back to it fails instead.
    if (const char* refused = std::getenv("TARNOVELL_NO_MACHINE_STATE"); refused && *refused)
        throw std::runtime_error("TARNOVELL_STATE is not set, and TARNOVELL_NO_MACHINE_STATE keeps the machine's state "
                                 "in /var/lib/tarnovell out of reach");
    const std::string folder = "/var/lib/tarnovell";
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!ec && ::access(folder.c_str(), W_OK) == 0) return folder + "/state.ini";
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime && ::access(runtime, W_OK) == 0)
        return std::string(runtime) + "/tarnovell-state.ini";
    return "/tmp/tarnovell-state-" + std::to_string(::getuid()) + ".ini";
}

std::uint64_t LinuxHost::busy_generation() {
    std::lock_guard guard(impl_->busy_mutex);
    const bool changed = impl_->mount_table.changed();
    // Holders and swap come and go without a signal: let the answer age.
    const auto now = std::chrono::steady_clock::now();
    if (changed || now - impl_->last_bump > std::chrono::seconds(1)) {
        ++impl_->generation;
        impl_->last_bump = now;
    }
    return impl_->generation;
}

// ---- attached virtual disks ---------------------------------------------------

bool LinuxHost::attach_virtual_disk(VirtualDiskAttachment& attachment) {
    const std::string device = AttachLastingLoop(attachment.backing, attachment.size, attachment.read_only);
    if (device.empty()) {
        SetLastError(::access("/dev/loop-control", F_OK) != 0 ? ERROR_NOT_SUPPORTED : ERROR_OPEN_FAILED);
        return false;
    }
    attachment.device = device;
    auto choose = [&](const std::vector<AttachmentRecord>&, VirtualDiskAttachment&) { return KernelNameOf(device); };
    if (SaveAttachmentRecord(state_path(), attachment, choose).empty()) {
        DWORD error = GetLastError();
        DetachLoop(device);
        SetLastError(error);
        return false;
    }
    impl_->bump();
    return true;
}

bool LinuxHost::detach_virtual_disk(const VirtualDiskAttachment& attachment) {
    if (!StartsWith(attachment.device, "/dev/loop")) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const bool ours = LoopBacks(attachment.device, attachment.backing);
    RemoveAttachmentRecord(state_path(), KernelNameOf(attachment.device));
    if (!ours) {
        // Our loop device is gone already; the number now belongs to someone else.
        impl_->bump();
        return true;
    }
    const bool detached = DetachLoop(attachment.device);
    impl_->bump();
    return detached;
}

std::vector<VirtualDiskAttachment> LinuxHost::attached_virtual_disks() {
    std::vector<VirtualDiskAttachment> result;
    for (auto& record : LiveAttachmentRecords(state_path())) {
        // The loop device must still be the one we set up over this backing.
        if (!LoopBacks(record.attachment.device, record.attachment.backing)) continue;
        result.push_back(std::move(record.attachment));
    }
    return result;
}

}  // namespace platform::device
