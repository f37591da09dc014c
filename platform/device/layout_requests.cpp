#include "platform/device/layout_requests.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/device/filesystems/facts.h"
#include "platform/device/filesystems/resize.h"
#include "platform/device/host/backing_reader.h"
#include "platform/device/linux/loop_device.h"
#include "platform/device/records/layout_writer.h"
#include "platform/device/registry.h"

namespace platform::device {

namespace {

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

// The disk's own bytes, opened for the table: whatever handle asked (a disk
// or one of its volumes), the table lives on the whole disk.
class DiskBytes {
public:
    DiskBytes(const DiskInfo& disk, bool write) : disk_(disk) {
        where_ = Registry::instance().host().disk_backing(disk);
        fd_.reset(::open(where_.path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC));
        if (!fd_) {
            SetLastErrorFromErrno(errno);
            return;
        }
        // A block device's page cache is not its partitions': what mkfs or a
        // mounted file system wrote through a partition may sit under stale
        // pages of the disk read before. Read the medium, not those. (An
        // image file has one cache, which stays.)
        struct stat backing {};
        if (::fstat(fd_.get(), &backing) == 0 && S_ISBLK(backing.st_mode))
            ::posix_fadvise(fd_.get(), 0, 0, POSIX_FADV_DONTNEED);
    }
    bool ok() const { return static_cast<bool>(fd_); }
    ReadAt reader() const { return ReaderOverDescriptor(fd_.get(), where_.offset, disk_.size); }
    DiskLayout layout() const { return ReadDiskLayout(reader(), disk_.size, disk_.sector_size); }

    // The plan's sectors, then a sync: a table is only written once it is on
    // the medium.
    bool write(const LayoutPlan& plan) {
        for (const SectorWrite& w : plan.writes) {
            const auto size = static_cast<std::int64_t>(w.bytes.size());
            if (w.offset < 0 || size > disk_.size || w.offset > disk_.size - size) return Fail(ERROR_SECTOR_NOT_FOUND);
            std::size_t done = 0;
            while (done < w.bytes.size()) {
                ssize_t n = ::pwrite(fd_.get(), w.bytes.data() + done, w.bytes.size() - done,
                                     where_.offset + w.offset + static_cast<std::int64_t>(done));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return n < 0 ? (SetLastErrorFromErrno(errno), false) : Fail(ERROR_WRITE_FAULT);
                done += static_cast<std::size_t>(n);
            }
        }
        if (::fdatasync(fd_.get()) != 0) return SetLastErrorFromErrno(errno), false;
        return true;
    }

private:
    const DiskInfo& disk_;
    BackingLocation where_;
    UniqueFd fd_;
};

// The request record a control code was given.
template <class Record>
bool TakeRequest(const void* in, DWORD in_size, Record& record) {
    if (!in || in_size < sizeof record) return Fail(ERROR_INVALID_PARAMETER);
    std::memcpy(&record, in, sizeof record);
    return true;
}

bool MayWriteTable(const Handle::State& handle, const DiskInfo& disk) {
    if (!handle.can_write) return Fail(ERROR_ACCESS_DENIED);
    if (disk.media_read_only || (disk.attributes & DISK_ATTRIBUTE_READ_ONLY)) return Fail(ERROR_WRITE_PROTECT);
    return true;
}

// A volume in use keeps its start, and its new end still covers its file
// system; anything else about it would pull the ground from under whoever
// uses it. ERROR_ACCESS_DENIED (from the registry) when it would not.
bool SparesVolumesInUse(const DiskInfo& disk, const DiskLayout& before, const DiskLayout& after, const ReadAt& read) {
    for (const PartitionRecord& old : before.volumes()) {
        auto kept = std::find_if(after.entries.begin(), after.entries.end(), [&](const PartitionRecord& e) {
            return !e.is_empty() && !e.is_container() && e.start == old.start;
        });
        if (kept != after.entries.end()) {
            if (kept->length >= old.length) continue;
            const std::int64_t fs = FileSystemBytes(read, old.start, old.length);
            if (fs > 0 && fs <= kept->length) continue;
        }
        if (!Registry::instance().write_allowed(disk.number, old.start, old.length)) return false;
    }
    return true;
}

// Writes a plan that passed every check, then has the host (and through it
// the kernel) take up the table as it now reads. Should the host refuse (a
// partition it cannot let go of), the sectors go back as they were and the
// host is given the old table again: disk and kernel never disagree.
bool Commit(DiskBytes& bytes, const DiskInfo& disk, const LayoutPlan& plan) {
    LayoutPlan undo;
    const ReadAt read = bytes.reader();
    for (const SectorWrite& w : plan.writes) {
        SectorWrite old{w.offset, std::vector<std::uint8_t>(w.bytes.size())};
        if (!read(w.offset, old.bytes.data(), old.bytes.size())) return Fail(ERROR_READ_FAULT);
        undo.writes.insert(undo.writes.begin(), std::move(old));  // undone last write first
    }
    if (!bytes.write(plan)) {
        bytes.write(undo);
        return false;
    }
    Registry& registry = Registry::instance();
    bool told = registry.host().layout_changed(disk, bytes.layout());
    const DWORD error = GetLastError();
    if (!told && bytes.write(undo)) registry.host().layout_changed(disk, bytes.layout());
    registry.refresh();
    if (!told) SetLastError(error);
    return told;
}

bool Apply(const DiskInfo& disk, const LayoutPlan& plan, bool whole_disk_goes) {
    if (!plan.ok()) return Fail(plan.error);
    DiskBytes bytes(disk, true);
    if (!bytes.ok()) return false;
    if (whole_disk_goes) {
        // A new, empty table takes every partition with it.
        if (!Registry::instance().write_allowed(disk.number, 0, disk.size)) return false;
    } else {
        const DiskLayout before = bytes.layout();
        const DiskLayout after = ReadDiskLayout(OverlayReader(bytes.reader(), plan.writes), disk.size, disk.sector_size);
        if (!SparesVolumesInUse(disk, before, after, bytes.reader())) return false;
    }
    return Commit(bytes, disk, plan);
}

}  // namespace

bool WriteSparesVolumesInUse(const DiskInfo& disk, std::int64_t offset, std::size_t length, const void* data) {
    // Nothing in use on the disk: nothing a table could take away.
    if (length == 0 || Registry::instance().write_allowed(disk.number, 0, disk.size)) return true;
    DiskBytes bytes(disk, false);
    if (!bytes.ok()) return false;
    const ReadAt disk_bytes = bytes.reader();
    // The table is what its parser reads: a write that changes none of
    // those bytes leaves it as it is.
    std::vector<ByteRange> read;
    const ReadAt noted = [&](std::int64_t at, void* buffer, std::size_t size) {
        read.push_back({at, static_cast<std::int64_t>(size)});
        return disk_bytes(at, buffer, size);
    };
    const DiskLayout before = ReadDiskLayout(noted, disk.size, disk.sector_size);
    const auto written = static_cast<std::int64_t>(length);
    if (std::none_of(read.begin(), read.end(), [&](const ByteRange& r) { return r.overlaps(offset, written); }))
        return true;
    const ReadAt after_write = [&](std::int64_t at, void* buffer, std::size_t size) {
        if (!disk_bytes(at, buffer, size)) return false;
        const std::int64_t from = std::max(at, offset);
        const std::int64_t to = std::min(at + static_cast<std::int64_t>(size), offset + written);
        if (from >= to) return true;
        auto* into = static_cast<std::uint8_t*>(buffer) + (from - at);
        const auto count = static_cast<std::size_t>(to - from);
        if (data) std::memcpy(into, static_cast<const std::uint8_t*>(data) + (from - offset), count);
        else std::memset(into, 0, count);
        return true;
    };
    const DiskLayout after = ReadDiskLayout(after_write, disk.size, disk.sector_size);
    return SparesVolumesInUse(disk, before, after, disk_bytes);
}

std::int64_t FileSystemBytes(const ReadAt& read, std::int64_t start, std::int64_t length) {
    const FileSystemFacts facts = ReadFileSystemFacts(read, start, length);
    if (facts.name.empty() || facts.sectors_per_cluster == 0 || facts.total_clusters == 0) return 0;
    const std::uint64_t cluster = std::uint64_t{facts.bytes_per_sector} * facts.sectors_per_cluster;
    if (facts.total_clusters > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / cluster) return 0;
    return static_cast<std::int64_t>(facts.total_clusters * cluster);
}

bool SetDriveLayoutRequest(Handle::State& handle, const DiskInfo& disk, const void* in, DWORD in_size) {
    if (!MayWriteTable(handle, disk)) return false;
    DRIVE_LAYOUT_INFORMATION_EX_HEADER header{};
    if (!TakeRequest(in, in_size, header)) return false;
    const std::size_t room = (in_size - sizeof header) / sizeof(PARTITION_INFORMATION_EX);
    if (header.PartitionCount > room) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<PARTITION_INFORMATION_EX> entries(header.PartitionCount);
    if (!entries.empty())
        std::memcpy(entries.data(), static_cast<const std::uint8_t*>(in) + sizeof header,
                    entries.size() * sizeof(PARTITION_INFORMATION_EX));
    DiskBytes bytes(disk, false);
    if (!bytes.ok()) return false;
    return Apply(disk, PlanDriveLayout(bytes.reader(), disk.size, disk.sector_size, header, entries), false);
}

bool CreateDiskRequest(Handle::State& handle, const DiskInfo& disk, const void* in, DWORD in_size) {
    if (!MayWriteTable(handle, disk)) return false;
    CREATE_DISK request{};
    if (!TakeRequest(in, in_size, request)) return false;
    DiskBytes bytes(disk, false);
    if (!bytes.ok()) return false;
    return Apply(disk, PlanCreateDisk(bytes.reader(), disk.size, disk.sector_size, request), true);
}

bool DeleteDriveLayoutRequest(Handle::State& handle, const DiskInfo& disk) {
    CREATE_DISK raw{};
    raw.PartitionStyle = PARTITION_STYLE_RAW;
    return CreateDiskRequest(handle, disk, &raw, sizeof raw);
}

bool GrowPartitionRequest(Handle::State& handle, const DiskInfo& disk, const void* in, DWORD in_size) {
    if (!MayWriteTable(handle, disk)) return false;
    DISK_GROW_PARTITION request{};
    if (!TakeRequest(in, in_size, request)) return false;
    DiskBytes bytes(disk, false);
    if (!bytes.ok()) return false;
    const DiskLayout layout = bytes.layout();
    auto target = std::find_if(layout.entries.begin(), layout.entries.end(), [&](const PartitionRecord& e) {
        return e.number == request.PartitionNumber && e.number != 0 && !e.is_container();
    });
    if (target == layout.entries.end()) return Fail(ERROR_INVALID_PARAMETER);
    const std::int64_t delta = request.BytesToGrow;
    if (delta % disk.sector_size != 0) return Fail(ERROR_INVALID_PARAMETER);
    if (delta < 0 && -delta >= target->length) return Fail(ERROR_INVALID_PARAMETER);
    if (delta > disk.size) return Fail(ERROR_DISK_FULL);
    const std::int64_t new_end = target->start + target->length + delta;

    if (delta > 0) {
        // The room there is: up to the disk's (or the table's, or the
        // extended partition's) end and the next thing on the disk.
        std::int64_t limit = disk.size;
        if (layout.style == PARTITION_STYLE_GPT) limit = layout.usable_start + layout.usable_length;
        const std::int64_t ss = disk.sector_size;
        for (const PartitionRecord& e : layout.entries) {
            if (e.is_empty() || &e == &*target) continue;
            if (e.is_container()) {
                if (target->logical && !e.logical && e.start < target->start) limit = std::min(limit, e.start + e.length);
                else if (!target->logical && e.start >= target->start + target->length) limit = std::min(limit, e.start);
                continue;
            }
            // A logical partition's boot record lies before it.
            const std::int64_t claim = e.logical ? e.start - std::int64_t{e.hidden_sectors} * ss : e.start;
            if (claim >= target->start + target->length) limit = std::min(limit, claim);
        }
        if (new_end > limit) return Fail(ERROR_DISK_FULL);
    } else {
        const std::int64_t fs = FileSystemBytes(bytes.reader(), target->start, target->length);
        if (fs > target->length + delta) return Fail(ERROR_INVALID_PARAMETER);
    }

    std::vector<PARTITION_INFORMATION_EX> entries;
    for (const PartitionRecord& e : layout.entries) entries.push_back(PartitionEntryOf(e));
    PARTITION_INFORMATION_EX& changed = entries[static_cast<std::size_t>(target - layout.entries.begin())];
    changed.PartitionLength += delta;
    changed.RewritePartition = 1;
    return Apply(disk,
                 PlanDriveLayout(bytes.reader(), disk.size, disk.sector_size, DriveLayoutHeaderOf(layout), entries),
                 false);
}

// ---- file systems -------------------------------------------------------------

namespace {

// Resizes the volume's file system to `new_bytes` on a block device of it:
// the kernel's partition where there is one, else a loop device over the
// volume's bytes for the time it takes.
bool ResizeVolume(Handle::State& handle, const DiskInfo& disk, const VolumeInfo& asked, std::int64_t new_bytes) {
    if (!handle.can_write) return Fail(ERROR_ACCESS_DENIED);
    if (disk.media_read_only || (disk.attributes & DISK_ATTRIBUTE_READ_ONLY)) return Fail(ERROR_WRITE_PROTECT);
    // Whether it is mounted right now, not when the picture was last taken:
    // a dismount of a moment ago may have been undone since.
    Registry& registry = Registry::instance();
    const auto snap = registry.refresh();
    const VolumeInfo* found = snap->volume_by_guid(GuidToString(asked.guid));
    if (!found) return Fail(ERROR_DEV_NOT_EXIST);
    const VolumeInfo& volume = *found;
    if (volume.offline) return Fail(ERROR_NOT_READY);
    if (new_bytes <= 0 || new_bytes > volume.length) return Fail(ERROR_INVALID_PARAMETER);
    DiskBytes bytes(disk, false);
    if (!bytes.ok()) return false;
    const std::int64_t current = FileSystemBytes(bytes.reader(), volume.start, volume.length);
    if (current == 0) return Fail(ERROR_UNRECOGNIZED_VOLUME);

    std::string node = volume.kernel_device;
    LoopDevice loop;
    if (node.empty()) {
        const BackingLocation where = registry.host().volume_backing(disk, volume);
        if (!loop.attach(where.path, where.offset, volume.length, false)) return false;
        node = loop.path();
    }
    const bool done = ResizeFileSystem(node, volume.filesystem, current, new_bytes, !volume.mount_points.empty());
    const DWORD error = GetLastError();
    loop.detach();
    registry.refresh();  // the file system's sizes have changed
    if (!done) SetLastError(error);
    return done;
}

std::optional<std::int64_t> BytesOfSectors(std::int64_t sectors, std::uint32_t sector_size) {
    if (sectors <= 0 || sectors > std::numeric_limits<std::int64_t>::max() / sector_size) return std::nullopt;
    return sectors * sector_size;
}

}  // namespace

bool ExtendVolumeRequest(Handle::State& handle, const DiskInfo& disk, const VolumeInfo& volume, const void* in,
                         DWORD in_size) {
    std::int64_t sectors = 0;
    if (!TakeRequest(in, in_size, sectors)) return false;
    const std::optional<std::int64_t> new_bytes = BytesOfSectors(sectors, disk.sector_size);
    if (!new_bytes) return Fail(ERROR_INVALID_PARAMETER);
    DiskBytes bytes(disk, false);
    if (!bytes.ok()) return false;
    // Extending never makes a file system smaller.
    if (*new_bytes < FileSystemBytes(bytes.reader(), volume.start, volume.length)) return Fail(ERROR_INVALID_PARAMETER);
    return ResizeVolume(handle, disk, volume, *new_bytes);
}

bool ShrinkVolumeRequest(Handle::State& handle, const DiskInfo& disk, const VolumeInfo& volume, const void* in,
                         DWORD in_size) {
    SHRINK_VOLUME_INFORMATION request{};
    if (!TakeRequest(in, in_size, request)) return false;
    switch (request.ShrinkRequestType) {
    case ShrinkPrepare: {
        const std::optional<std::int64_t> new_bytes = BytesOfSectors(request.NewNumberOfSectors, disk.sector_size);
        if (!new_bytes) return Fail(ERROR_INVALID_PARAMETER);
        DiskBytes bytes(disk, false);
        if (!bytes.ok()) return false;
        const std::int64_t current = FileSystemBytes(bytes.reader(), volume.start, volume.length);
        if (current == 0) return Fail(ERROR_UNRECOGNIZED_VOLUME);
        // Shrinking never makes a file system larger.
        if (*new_bytes >= current) return Fail(ERROR_INVALID_PARAMETER);
        handle.shrink_prepared_sectors = request.NewNumberOfSectors;
        return true;
    }
    case ShrinkCommit: {
        const std::int64_t sectors = handle.shrink_prepared_sectors;
        if (sectors == 0) return Fail(ERROR_INVALID_PARAMETER);  // nothing prepared
        handle.shrink_prepared_sectors = 0;
        return ResizeVolume(handle, disk, volume, sectors * disk.sector_size);
    }
    case ShrinkAbort: handle.shrink_prepared_sectors = 0; return true;
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
}

}  // namespace platform::device
