// DeviceIoControl: the control codes the program sends, answered from the
// device registry with the Windows record layouts.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <cstring>
#include <string>
#include <vector>

#include "platform/device/filesystems/ntfs.h"
#include "platform/device/filesystems/probe.h"
#include "platform/device/host/backing_reader.h"
#include "platform/device/handle.h"
#include "platform/device/handle_state.h"
#include "platform/device/layout_requests.h"
#include "platform/device/records/layout_writer.h"
#include "platform/device/registry.h"
#include "platform/device/records/winioctl.h"

namespace platform {

using device::DiskInfo;
using device::Registry;
using device::VolumeInfo;

namespace {

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

// Copies a fixed-size reply; a smaller buffer is refused as Windows does.
template <typename Record>
bool Reply(const Record& record, void* out, DWORD out_size, DWORD* returned) {
    if (!out || out_size < sizeof(Record)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(out, &record, sizeof(Record));
    if (returned) *returned = sizeof(Record);
    return true;
}

struct Target {
    std::shared_ptr<const device::Snapshot> snap;
    const DiskInfo* disk = nullptr;
    const VolumeInfo* volume = nullptr;
};

bool FindTarget(const Handle::State& s, Target& t) {
    t.snap = Registry::instance().snapshot();
    t.disk = t.snap->disk(s.disk);
    if (!t.disk) return Fail(ERROR_DEV_NOT_EXIST);
    if (s.kind == HandleKind::Volume) {
        t.volume = t.snap->volume_by_guid(s.volume_guid);
        if (!t.volume) return Fail(ERROR_DEV_NOT_EXIST);
    }
    return true;
}

// ---- storage queries --------------------------------------------------------

bool QueryProperty(const Target& t, const void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
    if (!in || in_size < 8) return Fail(ERROR_INVALID_PARAMETER);
    STORAGE_PROPERTY_QUERY query{};
    std::memcpy(&query, in, std::min<DWORD>(in_size, sizeof query));
    if (query.PropertyId != StorageDeviceProperty && query.PropertyId != StorageAccessAlignmentProperty)
        return Fail(ERROR_NOT_SUPPORTED);
    if (query.QueryType == 1) {  // "is this property supported?"
        if (returned) *returned = 0;
        return true;
    }
    if (query.QueryType != PropertyStandardQuery) return Fail(ERROR_INVALID_PARAMETER);

    std::vector<std::uint8_t> blob;
    if (query.PropertyId == StorageAccessAlignmentProperty) {
        STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR d{};
        d.Version = d.Size = sizeof d;
        d.BytesPerCacheLine = 64;
        d.BytesPerLogicalSector = t.disk->sector_size;
        d.BytesPerPhysicalSector = t.disk->physical_sector_size;
        blob.resize(sizeof d);
        std::memcpy(blob.data(), &d, sizeof d);
    } else {
        STORAGE_DEVICE_DESCRIPTOR d{};
        d.Version = sizeof d;
        d.DeviceType = 0;  // direct-access device
        d.RemovableMedia = t.disk->removable ? 1 : 0;
        d.BusType = t.disk->bus_type;
        blob.resize(sizeof d);
        auto append = [&](const std::string& text) -> std::uint32_t {
            if (text.empty()) return 0;
            auto offset = static_cast<std::uint32_t>(blob.size());
            blob.insert(blob.end(), text.begin(), text.end());
            blob.push_back(0);
            return offset;
        };
        d.VendorIdOffset = append(t.disk->vendor);
        d.ProductIdOffset = append(t.disk->product);
        d.ProductRevisionOffset = append(t.disk->revision);
        d.SerialNumberOffset = append(t.disk->serial);
        d.Size = static_cast<std::uint32_t>(blob.size());
        std::memcpy(blob.data(), &d, sizeof d);
    }
    // Windows fills what fits and says in Size how much there is.
    if (!out || out_size < 8) return Fail(ERROR_INSUFFICIENT_BUFFER);
    DWORD copied = std::min<DWORD>(out_size, static_cast<DWORD>(blob.size()));
    std::memcpy(out, blob.data(), copied);
    if (returned) *returned = copied;
    return true;
}

// ---- geometry and sizes -----------------------------------------------------

DISK_GEOMETRY GeometryOf(const DiskInfo& disk) {
    DISK_GEOMETRY g{};
    g.MediaType = disk.removable ? RemovableMedia : FixedMedia;
    g.TracksPerCylinder = 255;
    g.SectorsPerTrack = 63;
    g.BytesPerSector = disk.sector_size;
    g.Cylinders = disk.size / (255LL * 63 * disk.sector_size);
    return g;
}

bool PartitionInfo(const Target& t, void* out, DWORD out_size, DWORD* returned) {
    PARTITION_INFORMATION_EX e{};
    if (!t.volume) {
        // A disk handle answers with partition 0: the whole disk.
        e.PartitionStyle = t.disk->layout.style == PARTITION_STYLE_GPT ? PARTITION_STYLE_GPT : PARTITION_STYLE_MBR;
        e.PartitionLength = t.disk->size;
        return Reply(e, out, out_size, returned);
    }
    for (const auto& p : t.disk->layout.entries)
        if (p.number == t.volume->partition_number && p.start == t.volume->start && !p.is_container()) {
            e = device::PartitionEntryOf(p);
            e.PartitionLength = t.volume->length;
            return Reply(e, out, out_size, returned);
        }
    // A volume straight on an unpartitioned disk.
    e.PartitionStyle = PARTITION_STYLE_MBR;
    e.StartingOffset = t.volume->start;
    e.PartitionLength = t.volume->length;
    e.Mbr.RecognizedPartition = 1;
    return Reply(e, out, out_size, returned);
}

// The layout as it is on the disk now (not as the last refresh saw it),
// read through a buffered descriptor of the handle's backing.
bool LayoutOnDisk(const Handle::State& s, const DiskInfo& disk, device::DiskLayout& layout) {
    UniqueFd plain(::open(s.backing_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!plain) return SetLastErrorFromErrno(errno), false;
    layout = device::ReadDiskLayout(device::ReaderOverDescriptor(plain.get(), s.base, disk.size), disk.size,
                                    disk.sector_size);
    return true;
}

bool DriveLayout(Handle& handle, const Target& t, void* out, DWORD out_size, DWORD* returned) {
    device::DiskLayout layout;
    if (!LayoutOnDisk(*handle.state(), *t.disk, layout)) return false;
    if (layout.entries.size() > static_cast<std::size_t>(kMaxLayoutEntries)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::size_t needed = sizeof(DRIVE_LAYOUT_INFORMATION_EX_HEADER) +
                         std::max<std::size_t>(1, layout.entries.size()) * sizeof(PARTITION_INFORMATION_EX);
    if (!out || out_size < needed) return Fail(ERROR_INSUFFICIENT_BUFFER);

    const DRIVE_LAYOUT_INFORMATION_EX_HEADER header = device::DriveLayoutHeaderOf(layout);
    auto* bytes = static_cast<std::uint8_t*>(out);
    std::memset(bytes, 0, needed);
    std::memcpy(bytes, &header, sizeof header);
    for (std::size_t i = 0; i < layout.entries.size(); ++i) {
        PARTITION_INFORMATION_EX e = device::PartitionEntryOf(layout.entries[i]);
        std::memcpy(bytes + sizeof header + i * sizeof e, &e, sizeof e);
    }
    if (returned) *returned = static_cast<DWORD>(needed);
    return true;
}

// ---- state changes ------------------------------------------------------------

bool BusyAnywhere(const Target& t) {
    return !Registry::instance().write_allowed(t.disk->number, 0, t.disk->size);
}

bool SetDiskAttributes(const Handle::State& s, const Target& t, const void* in, DWORD in_size) {
    if (!s.can_write) return Fail(ERROR_ACCESS_DENIED);
    if (!in || in_size < sizeof(SET_DISK_ATTRIBUTES)) return Fail(ERROR_INVALID_PARAMETER);
    SET_DISK_ATTRIBUTES request{};
    std::memcpy(&request, in, sizeof request);
    if (request.Version != sizeof(SET_DISK_ATTRIBUTES)) return Fail(ERROR_INVALID_PARAMETER);
    // Taking a disk offline under a mounted file system would pull it away
    // from the running system; the volumes must be locked or dismounted first.
    bool going_offline = (request.AttributesMask & request.Attributes & DISK_ATTRIBUTE_OFFLINE) != 0;
    if (going_offline && BusyAnywhere(t)) return false;
    return Registry::instance().set_disk_attributes(t.disk->number, request.Attributes, request.AttributesMask);
}

bool UpdateProperties(Handle& handle, const Target& t) {
    Registry& registry = Registry::instance();
    device::DiskLayout layout;
    if (!LayoutOnDisk(*handle.state(), *t.disk, layout)) return false;
    bool ok = registry.host().layout_changed(*t.disk, layout);
    DWORD error = GetLastError();
    registry.refresh();
    if (!ok) SetLastError(error);
    return ok;
}

bool VolumeOnlineOffline(const Target& t, bool online) {
    if (!t.volume) return Fail(ERROR_INVALID_FUNCTION);
    std::string guid = device::GuidToString(t.volume->guid);
    if (!online && !Registry::instance().write_allowed(t.disk->number, t.volume->start, t.volume->length))
        return false;
    return Registry::instance().set_volume_offline(guid, !online);
}

bool VolumeFsControl(Handle::State& s, DWORD code) {
    if (s.kind == HandleKind::Disk) return true;  // a disk has no file system to lock: nothing to do
    if (!s.claim) return Fail(ERROR_ACCESS_DENIED);  // opened without data access
    switch (code) {
    case FSCTL_LOCK_VOLUME: return s.claim->lock();
    case FSCTL_UNLOCK_VOLUME: return s.claim->unlock();
    default: return s.claim->dismount();
    }
}

// ---- NTFS volume data and cluster bitmap --------------------------------------

// The NTFS of a volume handle, read through the handle itself: what the
// caller holds (locked, dismounted) is what it sees. Anything but NTFS
// refuses the request as the other file systems' drivers do.
std::optional<device::ntfs::Volume> NtfsOf(Handle& handle, const Target& t) {
    if (!t.volume) {
        Fail(ERROR_INVALID_FUNCTION);
        return std::nullopt;
    }
    auto read = ReaderOfHandle(handle);
    if (device::ProbeFileSystem(read, 0, t.volume->length) != "NTFS") {
        Fail(ERROR_INVALID_FUNCTION);
        return std::nullopt;
    }
    std::optional<device::ntfs::Volume> volume = device::ntfs::Volume::Open(read, 0, t.volume->length);
    if (!volume) Fail(ERROR_UNRECOGNIZED_VOLUME);
    return volume;
}

bool NtfsVolumeData(Handle& handle, const Target& t, void* out, DWORD out_size, DWORD* returned) {
    std::optional<device::ntfs::Volume> volume = NtfsOf(handle, t);
    if (!volume) return false;
    std::optional<std::uint64_t> free = volume->free_clusters();
    if (!free) return Fail(ERROR_UNRECOGNIZED_VOLUME);
    const device::ntfs::BootSector& b = volume->boot();
    NTFS_VOLUME_DATA_BUFFER d{};
    d.VolumeSerialNumber = static_cast<std::int64_t>(b.serial);
    d.NumberSectors = static_cast<std::int64_t>(b.total_sectors);
    d.TotalClusters = static_cast<std::int64_t>(b.total_clusters);
    d.FreeClusters = static_cast<std::int64_t>(*free);
    d.BytesPerSector = b.bytes_per_sector;
    d.BytesPerCluster = b.cluster_size;
    d.BytesPerFileRecordSegment = b.mft_record_size;
    d.ClustersPerFileRecordSegment = b.mft_record_size / b.cluster_size;
    d.MftValidDataLength = static_cast<std::int64_t>(volume->mft_data_size());
    d.MftStartLcn = static_cast<std::int64_t>(b.mft_lcn);
    d.Mft2StartLcn = static_cast<std::int64_t>(b.mft_mirror_lcn);
    return Reply(d, out, out_size, returned);
}

// Fills what fits from the starting cluster (rounded down to a byte) on; a
// buffer too small for the rest of the volume gets ERROR_MORE_DATA with its
// part filled, and the caller goes on from where it ends.
bool VolumeBitmap(Handle& handle, const Target& t, const void* in, DWORD in_size, void* out, DWORD out_size,
                  DWORD* returned) {
    if (!in || in_size < sizeof(STARTING_LCN_INPUT_BUFFER)) return Fail(ERROR_INVALID_PARAMETER);
    STARTING_LCN_INPUT_BUFFER start{};
    std::memcpy(&start, in, sizeof start);
    if (!out || out_size < sizeof(VOLUME_BITMAP_BUFFER_HEADER)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::optional<device::ntfs::Volume> volume = NtfsOf(handle, t);
    if (!volume) return false;
    const std::uint64_t total = volume->boot().total_clusters;
    if (start.StartingLcn < 0 || static_cast<std::uint64_t>(start.StartingLcn) >= total)
        return Fail(ERROR_INVALID_PARAMETER);
    VOLUME_BITMAP_BUFFER_HEADER header{};
    header.StartingLcn = start.StartingLcn / 8 * 8;
    header.BitmapSize = static_cast<std::int64_t>(total) - header.StartingLcn;
    const std::uint64_t wanted = (static_cast<std::uint64_t>(header.BitmapSize) + 7) / 8;
    const std::uint64_t room = out_size - sizeof header;
    const std::size_t bytes = static_cast<std::size_t>(std::min(wanted, room));
    auto* reply = static_cast<std::uint8_t*>(out);
    if (!volume->read_bitmap(static_cast<std::uint64_t>(header.StartingLcn) / 8, {reply + sizeof header, bytes}))
        return Fail(ERROR_READ_FAULT);
    std::memcpy(reply, &header, sizeof header);
    if (returned) *returned = static_cast<DWORD>(sizeof header + bytes);
    return bytes < wanted ? Fail(ERROR_MORE_DATA) : true;
}

}  // namespace

bool DeviceIoControl(Handle& handle, DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size,
                     DWORD* returned) {
    if (returned) *returned = 0;
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);

    if (s->kind == HandleKind::File) {
        // Files answer only the file-system requests that make sense for them.
        if (code == FSCTL_SET_SPARSE) return true;  // Linux files are sparse wherever they are not written
        return Fail(ERROR_INVALID_FUNCTION);
    }

    Target t;
    if (!FindTarget(*s, t)) return false;

    switch (code) {
    case IOCTL_STORAGE_QUERY_PROPERTY: return QueryProperty(t, in, in_size, out, out_size, returned);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: return Reply(GeometryOf(*t.disk), out, out_size, returned);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
        DISK_GEOMETRY_EX g{};
        g.Geometry = GeometryOf(*t.disk);
        g.DiskSize = t.disk->size;
        return Reply(g, out, out_size, returned);
    }
    case IOCTL_DISK_GET_LENGTH_INFO: {
        std::int64_t length = t.volume ? t.volume->length : t.disk->size;
        return Reply(length, out, out_size, returned);
    }
    case IOCTL_DISK_GET_PARTITION_INFO_EX: return PartitionInfo(t, out, out_size, returned);
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
        if (t.volume) return Fail(ERROR_INVALID_FUNCTION);
        return DriveLayout(handle, t, out, out_size, returned);
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        STORAGE_DEVICE_NUMBER n{FILE_DEVICE_DISK, static_cast<std::uint32_t>(t.disk->number),
                                t.volume ? t.volume->partition_number : 0};
        return Reply(n, out, out_size, returned);
    }
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: {
        if (!t.volume) return Fail(ERROR_INVALID_FUNCTION);
        VOLUME_DISK_EXTENTS e{};
        e.NumberOfDiskExtents = 1;
        e.Extents[0] = {static_cast<std::uint32_t>(t.disk->number), 0, t.volume->start, t.volume->length};
        return Reply(e, out, out_size, returned);
    }
    case IOCTL_DISK_GET_CACHE_INFORMATION: {
        DISK_CACHE_INFORMATION c{};
        c.ReadCacheEnabled = 1;
        c.WriteCacheEnabled = t.disk->write_cache_enabled ? 1 : 0;
        return Reply(c, out, out_size, returned);
    }
    case IOCTL_DISK_GET_DISK_ATTRIBUTES: {
        GET_DISK_ATTRIBUTES a{};
        a.Version = sizeof a;
        a.Attributes = t.disk->attributes | (t.disk->media_read_only ? std::uint64_t{DISK_ATTRIBUTE_READ_ONLY} : std::uint64_t{0});
        return Reply(a, out, out_size, returned);
    }
    case IOCTL_DISK_SET_DISK_ATTRIBUTES:
        if (t.volume) return Fail(ERROR_INVALID_FUNCTION);
        return SetDiskAttributes(*s, t, in, in_size);
    case IOCTL_STORAGE_PREDICT_FAILURE: {
        // Image files never fail; real disks would need SMART, which we do not read.
        if (Registry::instance().host().name() != "embedded") return Fail(ERROR_NOT_SUPPORTED);
        STORAGE_PREDICT_FAILURE p{};
        return Reply(p, out, out_size, returned);
    }
    case IOCTL_DISK_UPDATE_PROPERTIES:
        if (t.volume) return Fail(ERROR_INVALID_FUNCTION);
        return UpdateProperties(handle, t);
    case IOCTL_DISK_DELETE_DRIVE_LAYOUT:
        if (t.volume) return Fail(ERROR_INVALID_FUNCTION);
        return device::DeleteDriveLayoutRequest(*s, *t.disk);
    case IOCTL_DISK_SET_DRIVE_LAYOUT_EX:
        if (t.volume) return Fail(ERROR_INVALID_FUNCTION);
        return device::SetDriveLayoutRequest(*s, *t.disk, in, in_size);
    case IOCTL_DISK_CREATE_DISK:
        if (t.volume) return Fail(ERROR_INVALID_FUNCTION);
        return device::CreateDiskRequest(*s, *t.disk, in, in_size);
    case IOCTL_DISK_GROW_PARTITION: return device::GrowPartitionRequest(*s, *t.disk, in, in_size);
    case IOCTL_DISK_UPDATE_DRIVE_SIZE: {
        // The sizes the system keeps are read anew; the answer is the geometry.
        auto snap = Registry::instance().refresh();
        const DiskInfo* disk = snap->disk(t.disk->number);
        if (!disk) return Fail(ERROR_DEV_NOT_EXIST);
        return Reply(GeometryOf(*disk), out, out_size, returned);
    }
    case FSCTL_EXTEND_VOLUME:
        if (!t.volume) return Fail(ERROR_INVALID_FUNCTION);
        return device::ExtendVolumeRequest(*s, *t.disk, *t.volume, in, in_size);
    case FSCTL_SHRINK_VOLUME:
        if (!t.volume) return Fail(ERROR_INVALID_FUNCTION);
        return device::ShrinkVolumeRequest(*s, *t.disk, *t.volume, in, in_size);
    case IOCTL_VOLUME_ONLINE: return VolumeOnlineOffline(t, true);
    case IOCTL_VOLUME_OFFLINE: return VolumeOnlineOffline(t, false);
    case FSCTL_LOCK_VOLUME:
    case FSCTL_UNLOCK_VOLUME:
    case FSCTL_DISMOUNT_VOLUME: return VolumeFsControl(*s, code);
    case FSCTL_ALLOW_EXTENDED_DASD_IO:
        // Our volume window already spans the whole partition.
        return t.volume ? true : Fail(ERROR_INVALID_FUNCTION);
    case FSCTL_SET_SPARSE: return Fail(ERROR_INVALID_FUNCTION);
    case FSCTL_GET_NTFS_VOLUME_DATA: return NtfsVolumeData(handle, t, out, out_size, returned);
    case FSCTL_GET_VOLUME_BITMAP: return VolumeBitmap(handle, t, in, in_size, out, out_size, returned);
    default: return Fail(ERROR_INVALID_FUNCTION);
    }
}

}  // namespace platform
