#include "platform/virtdisk/virtdisk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <vector>

#include "platform/device/host/backing_reader.h"
#include "platform/device/path.h"
#include "platform/device/records/partition_table.h"
#include "platform/device/registry.h"
#include "platform/device/virtual_disk_handle.h"
#include "platform/os/stand_in_module.h"
#include "platform/os/system_facts.h"
#include "platform/base/unique_fd.h"
#include "platform/virtdisk/image.h"
#include "platform/virtdisk/nbd.h"
#include "platform/os/child_process.h"
#include "platform/virtdisk/server.h"
#include "platform/virtdisk/vhd/vhd_file.h"
#include "platform/base/wide_text.h"

namespace platform::virtdisk {

namespace {

namespace fs = std::filesystem;
using device::Registry;
using device::VirtualDiskAttachment;

// What an open virtual disk holds: the image and, once attached, how its
// bytes are reached. Dropping it undoes a non-permanent attach.
class VirtualDisk;

// The virtual disks open in this process, so that a detach through one
// handle can let go of the attach another handle made.
std::mutex open_disks_mutex;
std::set<VirtualDisk*>& OpenDisks() {
    static std::set<VirtualDisk*> disks;
    return disks;
}

class VirtualDisk : public VirtualDiskBinding {
public:
    VirtualDisk() {
        std::lock_guard guard(open_disks_mutex);
        OpenDisks().insert(this);
    }
    std::string image;  // full Linux path
    ImageFacts facts;
    bool writable = true;       // the open allows a read-write attach
    bool may_change = true;     // the open allows changes to the image file (expand, compact, resize)
    bool fresh = false;         // created through this handle: no earlier content to keep safe

    bool attached = false;
    bool on_local_host = false;
    bool permanent = false;
    ServedImage served;
    VirtualDiskAttachment attachment;

    ~VirtualDisk() override {
        {
            std::lock_guard guard(open_disks_mutex);
            OpenDisks().erase(this);
        }
        if (attached && !permanent) Undo();
    }

    // The bytes of the handle this disk belongs to.
    using VirtualDiskBinding::drop_bytes;
    using VirtualDiskBinding::set_length;
    using VirtualDiskBinding::use_file;
    using VirtualDiskBinding::use_io;

    // Takes the attach down: off the host first, then the server.
    DWORD Undo() {
        DWORD result = ERROR_SUCCESS;
        if (on_local_host) {
            if (!Registry::instance().host().detach_virtual_disk(attachment)) result = GetLastError();
            Registry::instance().refresh();
        }
        if (served.pid > 0) StopServing(served);
        attached = false;
        on_local_host = false;
        served = ServedImage{};
        return result;
    }
};

VirtualDisk* VirtualDiskOf(Handle* handle) {
    return handle ? static_cast<VirtualDisk*>(VirtualDiskBindingOf(*handle)) : nullptr;
}

std::string PathText(PCWSTR path) { return path ? Utf16ToUtf8(path) : std::string(); }

std::string FullPath(const std::string& path) {
    std::string resolved = ResolveFilePath(path);
    if (resolved.empty()) return "";
    std::error_code ec;
    fs::path full = fs::weakly_canonical(fs::absolute(resolved, ec), ec);
    return ec ? resolved : full.string();
}

bool KnownVendor(const VIRTUAL_STORAGE_TYPE& type) {
    return type.VendorId == VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT || type.VendorId == VIRTUAL_STORAGE_TYPE_VENDOR_UNKNOWN;
}

DWORD FormatOfType(const VIRTUAL_STORAGE_TYPE& type, const std::string& path, ImageFormat& format) {
    if (!KnownVendor(type)) return ERROR_VIRTDISK_PROVIDER_NOT_FOUND;
    switch (type.DeviceId) {
    case VIRTUAL_STORAGE_TYPE_DEVICE_ISO: format = ImageFormat::Iso; return ERROR_SUCCESS;
    case VIRTUAL_STORAGE_TYPE_DEVICE_VHD: format = ImageFormat::Vhd; return ERROR_SUCCESS;
    case VIRTUAL_STORAGE_TYPE_DEVICE_VHDX: format = ImageFormat::Vhdx; return ERROR_SUCCESS;
    case VIRTUAL_STORAGE_TYPE_DEVICE_VHDSET: return ERROR_NOT_SUPPORTED;
    case VIRTUAL_STORAGE_TYPE_DEVICE_UNKNOWN:
        return DetectImageFormat(path, format) ? ERROR_SUCCESS : ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    default: return ERROR_VIRTDISK_PROVIDER_NOT_FOUND;
    }
}

Handle HandleFor(std::unique_ptr<VirtualDisk> disk, const std::string& path) {
    const std::string image = disk->image;
    const std::uint32_t sector_size = disk->facts.sector_size;
    const std::int64_t length = disk->facts.virtual_size;
    return MakeVirtualDiskHandle(path, image, sector_size, length, std::move(disk));
}

DWORD OpenImage(ImageFormat format, const std::string& path, bool writable, bool may_change, Handle* out) {
    auto disk = std::make_unique<VirtualDisk>();
    disk->image = FullPath(path);
    if (disk->image.empty()) return GetLastError();
    if (DWORD probed = ProbeImage(disk->image, format, disk->facts); probed != ERROR_SUCCESS) return probed;
    const bool file_writable = format != ImageFormat::Iso && ::access(disk->image.c_str(), W_OK) == 0;
    disk->writable = writable && file_writable;
    disk->may_change = may_change && file_writable;
    *out = HandleFor(std::move(disk), path);
    return ERROR_SUCCESS;
}

// The live attachment of an image on this host, whoever made it.
const VirtualDiskAttachment* FindAttachment(const std::vector<VirtualDiskAttachment>& all, const std::string& image) {
    for (const auto& a : all)
        if (a.image == image) return &a;
    return nullptr;
}

// Whether another open handle of this process has the same image attached.
bool AttachedThroughAnotherHandle(const VirtualDisk& disk) {
    std::lock_guard guard(open_disks_mutex);
    for (const VirtualDisk* other : OpenDisks())
        if (other != &disk && other->attached && other->image == disk.image) return true;
    return false;
}

// N of \\.\PhysicalDriveN for an attachment, or -1.
int DiskNumberOf(const VirtualDiskAttachment& a) {
    if (a.number >= 0) return a.number;
    auto snap = Registry::instance().snapshot();
    for (const auto& disk : snap->disks)
        if (!a.device.empty() && disk.backing == a.device) return disk.number;
    return -1;
}

std::u16string PhysicalPathOf(int number) { return Utf8ToUtf16(device::PhysicalDrivePath(number)); }

// ---- the entry points --------------------------------------------------------

DWORD OpenVirtualDiskImpl(const VIRTUAL_STORAGE_TYPE* type, PCWSTR path, DWORD access, DWORD flags,
                          const OPEN_VIRTUAL_DISK_PARAMETERS* parameters, Handle* out) {
    if (!type || !path || !out) return ERROR_INVALID_PARAMETER;
    if (flags & ~(OPEN_VIRTUAL_DISK_FLAG_NO_PARENTS | OPEN_VIRTUAL_DISK_FLAG_BLANK_FILE)) return ERROR_INVALID_PARAMETER;
    bool writable = true, may_change = true;
    if (parameters) {
        if (parameters->Version == 2) {
            if (access != VIRTUAL_DISK_ACCESS_NONE) return ERROR_INVALID_PARAMETER;
            writable = may_change = !parameters->Version2.ReadOnly;
        } else if (parameters->Version == 1) {
            writable = access == VIRTUAL_DISK_ACCESS_NONE || (access & VIRTUAL_DISK_ACCESS_ATTACH_RW);
            may_change = access == VIRTUAL_DISK_ACCESS_NONE || (access & VIRTUAL_DISK_ACCESS_METAOPS);
        } else {
            return ERROR_INVALID_PARAMETER;
        }
    }
    const std::string text = PathText(path);
    std::string full = FullPath(text);
    ImageFormat format{};
    if (DWORD typed = FormatOfType(*type, full, format); typed != ERROR_SUCCESS) return typed;
    return OpenImage(format, text, writable, may_change, out);
}

DWORD CreateVirtualDiskImpl(const VIRTUAL_STORAGE_TYPE* type, PCWSTR path, DWORD access, const SECURITY_DESCRIPTOR*,
                            DWORD flags, ULONG, const CREATE_VIRTUAL_DISK_PARAMETERS* parameters, OVERLAPPED*,
                            Handle* out) {
    if (out) *out = Handle();
    if (!type || !path || !parameters || !out) return ERROR_INVALID_PARAMETER;
    if (!KnownVendor(*type)) return ERROR_VIRTDISK_PROVIDER_NOT_FOUND;
    ImageFormat format{};
    switch (type->DeviceId) {
    case VIRTUAL_STORAGE_TYPE_DEVICE_VHD: format = ImageFormat::Vhd; break;
    case VIRTUAL_STORAGE_TYPE_DEVICE_VHDX: format = ImageFormat::Vhdx; break;
    case VIRTUAL_STORAGE_TYPE_DEVICE_VHDSET: return ERROR_NOT_SUPPORTED;
    default: return ERROR_INVALID_PARAMETER;  // an ISO cannot be created here
    }
    std::uint64_t size = 0;
    std::uint32_t sector = 0, physical_sector = 0;
    PCWSTR parent = nullptr, source = nullptr;
    if (parameters->Version == 1) {
        size = parameters->Version1.MaximumSize;
        sector = parameters->Version1.SectorSizeInBytes;
        parent = parameters->Version1.ParentPath;
        source = parameters->Version1.SourcePath;
    } else if (parameters->Version == 2) {
        if (access != VIRTUAL_DISK_ACCESS_NONE) return ERROR_INVALID_PARAMETER;
        size = parameters->Version2.MaximumSize;
        sector = parameters->Version2.SectorSizeInBytes;
        physical_sector = parameters->Version2.PhysicalSectorSizeInBytes;
        parent = parameters->Version2.ParentPath;
        source = parameters->Version2.SourcePath;
    } else {
        return ERROR_INVALID_PARAMETER;
    }
    // Disks made from a source are beyond qemu-img's VHD support.
    if (source && *source) return ERROR_NOT_SUPPORTED;
    const bool differencing = parent && *parent;
    if (sector != 0 && sector != 512) return ERROR_VIRTDISK_UNSUPPORTED_DISK_SECTOR_SIZE;
    if (physical_sector != 0 && physical_sector != 512 && physical_sector != 4096)
        return ERROR_VIRTDISK_UNSUPPORTED_DISK_SECTOR_SIZE;
    if (!differencing && (size == 0 || size % 512 != 0)) return ERROR_INVALID_PARAMETER;
    if (format == ImageFormat::Vhd && size > 2040ull << 30) return ERROR_INVALID_PARAMETER;

    const std::string text = PathText(path);
    const std::string full = FullPath(text);
    if (full.empty()) return GetLastError();
    struct stat st {};
    if (::lstat(full.c_str(), &st) == 0) return ERROR_FILE_EXISTS;
    if (!fs::is_directory(fs::path(full).parent_path())) return ERROR_PATH_NOT_FOUND;
    const bool fixed = (flags & CREATE_VIRTUAL_DISK_FLAG_FULL_PHYSICAL_ALLOCATION) != 0;
    if (differencing) {
        // Our own VHD code makes the child; its size is its parent's.
        if (format != ImageFormat::Vhd || fixed) return ERROR_NOT_SUPPORTED;
        if (size != 0) return ERROR_INVALID_PARAMETER;
        const std::string parent_full = FullPath(PathText(parent));
        if (parent_full.empty() || !fs::exists(parent_full)) return ERROR_VHD_PARENT_VHD_NOT_FOUND;
        if (DWORD created = CreateDifferencingVhd(full, parent_full); created != ERROR_SUCCESS) return created;
    } else if (DWORD created = CreateImage(full, format, fixed, size); created != ERROR_SUCCESS) {
        return created;
    }
    DWORD opened = OpenImage(format, text, true, true, out);
    if (opened != ERROR_SUCCESS) ::unlink(full.c_str());
    else if (VirtualDisk* made = VirtualDiskOf(out)) made->fresh = !differencing;
    return opened;
}

DWORD AttachVirtualDiskImpl(Handle* handle, const SECURITY_DESCRIPTOR*, DWORD flags, ULONG,
                            const ATTACH_VIRTUAL_DISK_PARAMETERS* parameters, OVERLAPPED*) {
    VirtualDisk* disk = VirtualDiskOf(handle);
    if (!disk) return ERROR_INVALID_HANDLE;
    if (parameters && parameters->Version != 1) return ERROR_INVALID_PARAMETER;
    const bool local_host = !(flags & ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST);
    const bool permanent = (flags & ATTACH_VIRTUAL_DISK_FLAG_PERMANENT_LIFETIME) != 0;
    if (permanent && !local_host) return ERROR_INVALID_PARAMETER;
    if (disk->attached) return ERROR_SHARING_VIOLATION;
    Registry& registry = Registry::instance();
    const bool read_only = (flags & ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY) || !disk->writable;
    // One attach on the host per image; and no writer beside any other attach
    // of it, on the host or through another handle of this process.
    if ((local_host || !read_only) && FindAttachment(registry.host().attached_virtual_disks(), disk->image))
        return ERROR_SHARING_VIOLATION;
    if (!read_only && AttachedThroughAnotherHandle(*disk)) return ERROR_SHARING_VIOLATION;

    // Re-read the image: it may have grown or been compacted since it was opened.
    if (DWORD probed = ProbeImage(disk->image, disk->facts.format, disk->facts); probed != ERROR_SUCCESS) return probed;
    // qemu reads no differencing VHD, and we have no reader of our own to serve one.
    if (disk->facts.subtype == kVhdDifferencing) return ERROR_NOT_SUPPORTED;
    if (!disk->facts.direct && !local_host && CanServeInProcess()) {
        // Nothing outside this handle needs the disk's bytes: serve them to
        // this process alone, without a FUSE file in between.
        std::unique_ptr<DiskIo> io;
        if (DWORD started = ServeInProcess(disk->image, disk->facts.qemu_format(), read_only, disk->fresh, io); started != ERROR_SUCCESS)
            return started;
        disk->use_io(std::move(io), read_only);
        disk->set_length(disk->facts.virtual_size);
        disk->attached = true;
        disk->permanent = false;
        return ERROR_SUCCESS;
    }
    std::string bytes = disk->image;
    if (!disk->facts.direct) {
        DWORD started = StartServing(disk->image, disk->facts.qemu_format(), read_only, disk->served);
        if (started != ERROR_SUCCESS) return started;
        bytes = disk->served.file;
    }
    disk->set_length(disk->facts.virtual_size);
    if (DWORD opened = disk->use_file(bytes, read_only); opened != ERROR_SUCCESS) {
        if (disk->served.pid > 0) StopServing(disk->served);
        disk->served = ServedImage{};
        return opened;
    }
    disk->attached = true;
    disk->permanent = permanent;
    if (local_host) {
        VirtualDiskAttachment& a = disk->attachment;
        a = VirtualDiskAttachment{};
        a.image = disk->image;
        a.backing = bytes;
        a.size = disk->facts.virtual_size;
        a.read_only = read_only;
        a.no_drive_letter = (flags & ATTACH_VIRTUAL_DISK_FLAG_NO_DRIVE_LETTER) != 0;
        a.permanent = permanent;
        a.owner_pid = ProcessId();
        a.server_pid = disk->served.pid;
        a.mount_dir = disk->served.mount_dir;
        if (!registry.host().attach_virtual_disk(a)) {
            DWORD error = GetLastError();
            disk->drop_bytes();
            disk->Undo();
            return error == ERROR_SUCCESS ? ERROR_NOT_SUPPORTED : error;
        }
        disk->on_local_host = true;
        registry.refresh();
    }
    return ERROR_SUCCESS;
}

DWORD DetachVirtualDiskImpl(Handle* handle, DWORD flags, ULONG) {
    VirtualDisk* disk = VirtualDiskOf(handle);
    if (!disk) return ERROR_INVALID_HANDLE;
    if (flags != DETACH_VIRTUAL_DISK_FLAG_NONE) return ERROR_INVALID_PARAMETER;
    if (disk->attached) {
        disk->drop_bytes();
        return disk->Undo();
    }
    // Attached through another handle of this process: that handle lets go.
    {
        std::lock_guard guard(open_disks_mutex);  // keeps the owner from closing meanwhile
        for (VirtualDisk* other : OpenDisks()) {
            if (other == disk || !other->attached || other->image != disk->image) continue;
            other->drop_bytes();
            return other->Undo();
        }
    }
    // Attached by a handle gone or of another process: the record says how.
    Registry& registry = Registry::instance();
    auto all = registry.host().attached_virtual_disks();
    const VirtualDiskAttachment* found = FindAttachment(all, disk->image);
    if (!found) return ERROR_NOT_FOUND;
    DWORD result = registry.host().detach_virtual_disk(*found) ? ERROR_SUCCESS : GetLastError();
    registry.refresh();
    if (found->server_pid > 0) StopServing({found->server_pid, found->mount_dir, found->backing});
    return result;
}

DWORD GetVirtualDiskInformationImpl(Handle* handle, ULONG* size, GET_VIRTUAL_DISK_INFO* info, ULONG* used) {
    VirtualDisk* disk = VirtualDiskOf(handle);
    if (!disk) return ERROR_INVALID_HANDLE;
    if (!size || !info) return ERROR_INVALID_PARAMETER;
    constexpr ULONG kHeader = offsetof(GET_VIRTUAL_DISK_INFO, Size);
    if (*size < sizeof(GET_VIRTUAL_DISK_INFO)) {
        *size = sizeof(GET_VIRTUAL_DISK_INFO);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (!disk->attached) ProbeImage(disk->image, disk->facts.format, disk->facts);
    const ImageFacts& f = disk->facts;
    ULONG filled = kHeader;
    switch (info->Version) {
    case GET_VIRTUAL_DISK_INFO_SIZE:
        info->Size.VirtualSize = static_cast<ULONGLONG>(f.virtual_size);
        info->Size.PhysicalSize = static_cast<ULONGLONG>(f.physical_size);
        info->Size.BlockSize = f.block_size;
        info->Size.SectorSize = f.sector_size;
        filled += sizeof info->Size;
        break;
    case GET_VIRTUAL_DISK_INFO_IDENTIFIER:
        info->Identifier = f.identifier;
        filled += sizeof info->Identifier;
        break;
    case GET_VIRTUAL_DISK_INFO_PARENT_LOCATION: {
        if (f.subtype != kVhdDifferencing) return ERROR_VHD_INVALID_TYPE;  // only a differencing disk has a parent
        const std::u16string location = Utf8ToUtf16(f.parent_path);
        const ULONG needed = static_cast<ULONG>(offsetof(GET_VIRTUAL_DISK_INFO, ParentLocation.ParentLocationBuffer) +
                                                (location.size() + 1) * sizeof(char16_t));
        if (*size < needed) {
            *size = needed;
            return ERROR_INSUFFICIENT_BUFFER;
        }
        info->ParentLocation.ParentResolved = f.parent_path.empty() ? 0 : 1;
        std::memcpy(info->ParentLocation.ParentLocationBuffer, location.c_str(), (location.size() + 1) * sizeof(char16_t));
        filled = needed;
        break;
    }
    case GET_VIRTUAL_DISK_INFO_PARENT_IDENTIFIER:
        if (f.subtype != kVhdDifferencing) return ERROR_VHD_INVALID_TYPE;
        info->ParentIdentifier = f.parent_identifier;
        filled += sizeof info->ParentIdentifier;
        break;
    case GET_VIRTUAL_DISK_INFO_PARENT_TIMESTAMP:
        return ERROR_VHD_INVALID_TYPE;
    case GET_VIRTUAL_DISK_INFO_VIRTUAL_STORAGE_TYPE:
        info->VirtualStorageType = {DeviceIdOf(f.format), VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT};
        filled += sizeof info->VirtualStorageType;
        break;
    case GET_VIRTUAL_DISK_INFO_PROVIDER_SUBTYPE:
        if (f.format == ImageFormat::Iso) return ERROR_NOT_SUPPORTED;
        info->ProviderSubtype = f.subtype;
        filled += sizeof info->ProviderSubtype;
        break;
    default: return ERROR_INVALID_PARAMETER;
    }
    if (used) *used = filled;
    return ERROR_SUCCESS;
}

DWORD CopyText(const std::u16string& text, ULONG* size_in_bytes, PWSTR out) {
    const ULONG needed = static_cast<ULONG>((text.size() + 1) * sizeof(char16_t));
    if (!out || *size_in_bytes < needed) {
        *size_in_bytes = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(out, text.c_str(), needed);
    *size_in_bytes = needed;
    return ERROR_SUCCESS;
}

DWORD GetVirtualDiskPhysicalPathImpl(Handle* handle, ULONG* size_in_bytes, PWSTR out) {
    VirtualDisk* disk = VirtualDiskOf(handle);
    if (!disk) return ERROR_INVALID_HANDLE;
    if (!size_in_bytes) return ERROR_INVALID_PARAMETER;
    auto all = Registry::instance().host().attached_virtual_disks();
    const VirtualDiskAttachment* found = FindAttachment(all, disk->image);
    int number = found ? DiskNumberOf(*found) : -1;
    if (number < 0) return ERROR_DEV_NOT_EXIST;  // not attached as a disk of this machine
    return CopyText(PhysicalPathOf(number), size_in_bytes, out);
}

DWORD GetStorageDependencyInformationImpl(Handle* handle, DWORD flags, ULONG size, STORAGE_DEPENDENCY_INFO* info,
                                          ULONG* used) {
    if (!handle || !handle->valid()) return ERROR_INVALID_HANDLE;
    if (!info || size < offsetof(STORAGE_DEPENDENCY_INFO, Version2Entries)) return ERROR_INVALID_PARAMETER;
    if (info->Version != 2) return ERROR_INVALID_PARAMETER;
    Registry& registry = Registry::instance();
    auto all = registry.host().attached_virtual_disks();
    const VirtualDiskAttachment* found = nullptr;
    if (VirtualDisk* disk = VirtualDiskOf(handle)) {
        found = FindAttachment(all, disk->image);
    } else if (handle->kind() == HandleKind::Disk || handle->kind() == HandleKind::Volume) {
        if (!(flags & GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE) && handle->kind() == HandleKind::Disk)
            return ERROR_INVALID_PARAMETER;
        for (const auto& a : all)
            if (DiskNumberOf(a) == handle->disk_number()) found = &a;
    } else {
        return ERROR_INVALID_HANDLE;
    }
    if (!found) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    const int number = DiskNumberOf(*found);

    ImageFormat format = ImageFormat::Vhd;
    DetectImageFormat(found->image, format);
    const std::u16string device = number >= 0 ? PhysicalPathOf(number) : std::u16string();
    const std::u16string relative = Utf8ToUtf16(found->image);
    constexpr std::size_t kEntries = offsetof(STORAGE_DEPENDENCY_INFO, Version2Entries);
    const std::size_t texts_at = kEntries + sizeof(STORAGE_DEPENDENCY_INFO_TYPE_2);
    const std::size_t needed = texts_at + (device.size() + 1 + 1 + 1 + relative.size() + 1) * sizeof(char16_t);
    if (size < needed) {
        if (used) *used = static_cast<ULONG>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    auto* base = reinterpret_cast<std::uint8_t*>(info);
    auto* texts = reinterpret_cast<char16_t*>(base + texts_at);
    auto place = [&texts](const std::u16string& text) {
        char16_t* at = texts;
        std::memcpy(at, text.c_str(), (text.size() + 1) * sizeof(char16_t));
        texts += text.size() + 1;
        return at;
    };
    STORAGE_DEPENDENCY_INFO_TYPE_2& entry = info->Version2Entries[0];
    entry = STORAGE_DEPENDENCY_INFO_TYPE_2{};
    DWORD dependency_flags = DEPENDENT_DISK_FLAG_NONE;
    if (found->read_only) dependency_flags |= DEPENDENT_DISK_FLAG_READ_ONLY;
    if (found->permanent) dependency_flags |= DEPENDENT_DISK_FLAG_PERMANENT_LIFETIME;
    if (found->no_drive_letter) dependency_flags |= DEPENDENT_DISK_FLAG_NO_DRIVE_LETTER;
    entry.DependencyTypeFlags = dependency_flags;
    entry.VirtualStorageType = {DeviceIdOf(format), VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT};
    entry.AncestorLevel = 1;
    entry.DependencyDeviceName = place(device);
    entry.HostVolumeName = place(u"");
    entry.DependentVolumeName = place(u"");
    entry.DependentVolumeRelativePath = place(relative);
    info->NumberOfEntries = 1;
    if (used) *used = static_cast<ULONG>(needed);
    return ERROR_SUCCESS;
}

// Changes to the image file itself need it to be attached nowhere.
DWORD RequireDetached(const VirtualDisk& disk) {
    if (disk.attached) return ERROR_SHARING_VIOLATION;
    if (FindAttachment(Registry::instance().host().attached_virtual_disks(), disk.image)) return ERROR_SHARING_VIOLATION;
    return ERROR_SUCCESS;
}

DWORD ExpandVirtualDiskImpl(Handle* handle, DWORD flags, const EXPAND_VIRTUAL_DISK_PARAMETERS* parameters, OVERLAPPED*) {
    VirtualDisk* disk = VirtualDiskOf(handle);
    if (!disk) return ERROR_INVALID_HANDLE;
    if (flags != EXPAND_VIRTUAL_DISK_FLAG_NONE || !parameters || parameters->Version != 1) return ERROR_INVALID_PARAMETER;
    if (!disk->may_change) return ERROR_ACCESS_DENIED;
    if (DWORD busy = RequireDetached(*disk); busy != ERROR_SUCCESS) return busy;
    if (DWORD probed = ProbeImage(disk->image, disk->facts.format, disk->facts); probed != ERROR_SUCCESS) return probed;
    const std::uint64_t new_size = parameters->NewSize;
    if (new_size % 512 != 0 || new_size <= static_cast<std::uint64_t>(disk->facts.virtual_size))
        return ERROR_INVALID_PARAMETER;
    DWORD result = ERROR_NOT_SUPPORTED;
    if (disk->facts.format == ImageFormat::Vhd) result = ExpandVhd(disk->image, new_size);
    else if (disk->facts.format == ImageFormat::Vhdx) result = RewriteImage(disk->image, disk->facts, new_size);
    ProbeImage(disk->image, disk->facts.format, disk->facts);
    disk->set_length(disk->facts.virtual_size);
    return result;
}

// Writes what a differencing disk holds itself into its parent, attached for
// the purpose without a host disk; the child stays as it was.
DWORD MergeVirtualDiskImpl(Handle* handle, DWORD flags, const MERGE_VIRTUAL_DISK_PARAMETERS* parameters, OVERLAPPED*) {
    VirtualDisk* disk = VirtualDiskOf(handle);
    if (!disk) return ERROR_INVALID_HANDLE;
    if (flags != MERGE_VIRTUAL_DISK_FLAG_NONE || !parameters || parameters->Version != 1) return ERROR_INVALID_PARAMETER;
    if (DWORD probed = ProbeImage(disk->image, disk->facts.format, disk->facts); probed != ERROR_SUCCESS) return probed;
    if (disk->facts.subtype != kVhdDifferencing) return ERROR_VHD_INVALID_TYPE;  // only a child has a parent to merge into
    if (parameters->MergeDepth != 1) return ERROR_NOT_SUPPORTED;
    if (!disk->may_change) return ERROR_ACCESS_DENIED;
    if (disk->facts.parent_path.empty()) return ERROR_VHD_PARENT_VHD_NOT_FOUND;

    Handle parent;
    if (DWORD opened = OpenImage(ImageFormat::Vhd, disk->facts.parent_path, true, true, &parent); opened != ERROR_SUCCESS)
        return opened;
    VirtualDisk* parent_disk = VirtualDiskOf(&parent);
    if (!(parent_disk->facts.identifier == disk->facts.parent_identifier)) return ERROR_VHD_CHILD_PARENT_ID_MISMATCH;
    if (parent_disk->facts.virtual_size != disk->facts.virtual_size) return ERROR_VHD_CHILD_PARENT_ID_MISMATCH;
    if (DWORD busy = RequireDetached(*parent_disk); busy != ERROR_SUCCESS) return busy;
    if (DWORD attached = AttachVirtualDiskImpl(&parent, nullptr, ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST, 0, nullptr, nullptr);
        attached != ERROR_SUCCESS)
        return attached;
    DWORD write_error = ERROR_SUCCESS;
    DWORD result = ForEachOwnRun(disk->image, [&](std::int64_t offset, const void* data, std::size_t length) {
        std::size_t done = 0;
        if (WriteAt(parent, offset, data, length, &done)) return true;
        write_error = GetLastError();
        return false;
    });
    if (write_error != ERROR_SUCCESS) result = write_error;
    if (!parent.close() && result == ERROR_SUCCESS) result = GetLastError();  // the parent's data is synced here
    return result;
}

DWORD CompactVirtualDiskImpl(Handle* handle, DWORD flags, const COMPACT_VIRTUAL_DISK_PARAMETERS* parameters, OVERLAPPED*) {
    VirtualDisk* disk = VirtualDiskOf(handle);
    if (!disk) return ERROR_INVALID_HANDLE;
    if (flags != COMPACT_VIRTUAL_DISK_FLAG_NONE || (parameters && parameters->Version != 1)) return ERROR_INVALID_PARAMETER;
    if (!disk->may_change) return ERROR_ACCESS_DENIED;
    if (disk->facts.format == ImageFormat::Iso) return ERROR_NOT_SUPPORTED;
    if (DWORD busy = RequireDetached(*disk); busy != ERROR_SUCCESS) return busy;
    if (DWORD probed = ProbeImage(disk->image, disk->facts.format, disk->facts); probed != ERROR_SUCCESS) return probed;
    if (disk->facts.subtype == kVhdFixed) return ERROR_SUCCESS;  // a fixed image holds every block by definition
    // A rewrite would read a child without its parent and make it a disk of its own.
    if (disk->facts.subtype == kVhdDifferencing) return ERROR_NOT_SUPPORTED;
    DWORD result = RewriteImage(disk->image, disk->facts, 0);
    ProbeImage(disk->image, disk->facts.format, disk->facts);
    return result;
}

// The end of the last partition: what a disk can shrink to and lose
// nothing. Only an MBR disk says it plainly; a GPT disk keeps a copy of its
// table at its very end, and a disk without a table tells nothing.
DWORD SmallestSafeSize(const VirtualDisk& disk, std::int64_t* smallest) {
    ServedImage served;
    std::string bytes = disk.image;
    if (!disk.facts.direct) {
        if (DWORD started = StartServing(disk.image, disk.facts.qemu_format(), true, served); started != ERROR_SUCCESS)
            return started;
        bytes = served.file;
    }
    device::DiskLayout layout;
    {
        UniqueFd fd(::open(bytes.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd) layout = device::ReadDiskLayout(device::ReaderOverDescriptor(fd.get(), 0, disk.facts.virtual_size),
                                                disk.facts.virtual_size, disk.facts.sector_size);
    }
    if (served.pid > 0) StopServing(served);
    if (layout.style != PARTITION_STYLE_MBR) return ERROR_NOT_SUPPORTED;
    std::int64_t end = 0;
    for (const auto& entry : layout.entries)
        if (!entry.is_empty()) end = std::max(end, entry.start + entry.length);
    if (end <= 0) return ERROR_NOT_SUPPORTED;
    *smallest = (end + 511) / 512 * 512;
    return ERROR_SUCCESS;
}

DWORD ResizeVirtualDiskImpl(Handle* handle, DWORD flags, const RESIZE_VIRTUAL_DISK_PARAMETERS* parameters, OVERLAPPED*) {
    VirtualDisk* disk = VirtualDiskOf(handle);
    if (!disk) return ERROR_INVALID_HANDLE;
    if (!parameters || parameters->Version != 1) return ERROR_INVALID_PARAMETER;
    if (flags & ~(RESIZE_VIRTUAL_DISK_FLAG_ALLOW_UNSAFE_VIRTUAL_SIZE | RESIZE_VIRTUAL_DISK_FLAG_RESIZE_TO_SMALLEST_SAFE_VIRTUAL_SIZE))
        return ERROR_INVALID_PARAMETER;
    if (!disk->may_change) return ERROR_ACCESS_DENIED;
    if (DWORD busy = RequireDetached(*disk); busy != ERROR_SUCCESS) return busy;
    if (flags & RESIZE_VIRTUAL_DISK_FLAG_RESIZE_TO_SMALLEST_SAFE_VIRTUAL_SIZE) {
        if (DWORD probed = ProbeImage(disk->image, disk->facts.format, disk->facts); probed != ERROR_SUCCESS) return probed;
        if (disk->facts.format != ImageFormat::Vhd) return ERROR_NOT_SUPPORTED;  // qemu cannot shrink a VHDX
        std::int64_t smallest = 0;
        if (DWORD found = SmallestSafeSize(*disk, &smallest); found != ERROR_SUCCESS) return found;
        DWORD result = smallest < disk->facts.virtual_size ? ShrinkVhd(disk->image, static_cast<std::uint64_t>(smallest))
                                                          : ERROR_SUCCESS;
        ProbeImage(disk->image, disk->facts.format, disk->facts);
        disk->set_length(disk->facts.virtual_size);
        return result;
    }
    // A plain resize to a larger size is an expand.
    EXPAND_VIRTUAL_DISK_PARAMETERS expand{1, parameters->NewSize};
    return ExpandVirtualDiskImpl(handle, EXPAND_VIRTUAL_DISK_FLAG_NONE, &expand, nullptr);
}

// ---- the module ---------------------------------------------------------------

std::string OpenVirtDiskModule() {
    std::string qemu_img = FindOnPath("qemu-img");
    if (qemu_img.empty()) SetLastError(ERROR_MOD_NOT_FOUND);
    return qemu_img;
}

void CloseVirtDiskModule() {}

std::vector<ModuleExport> ExportsVirtDisk() {
    return {
        {"OpenVirtualDisk", reinterpret_cast<void*>(&OpenVirtualDisk)},
        {"CreateVirtualDisk", reinterpret_cast<void*>(&CreateVirtualDisk)},
        {"AttachVirtualDisk", reinterpret_cast<void*>(&AttachVirtualDisk)},
        {"DetachVirtualDisk", reinterpret_cast<void*>(&DetachVirtualDisk)},
        {"GetVirtualDiskInformation", reinterpret_cast<void*>(&GetVirtualDiskInformation)},
        {"GetVirtualDiskPhysicalPath", reinterpret_cast<void*>(&GetVirtualDiskPhysicalPath)},
        {"GetStorageDependencyInformation", reinterpret_cast<void*>(&GetStorageDependencyInformation)},
        {"ExpandVirtualDisk", reinterpret_cast<void*>(&ExpandVirtualDisk)},
        {"MergeVirtualDisk", reinterpret_cast<void*>(&MergeVirtualDisk)},
        {"CompactVirtualDisk", reinterpret_cast<void*>(&CompactVirtualDisk)},
        {"ResizeVirtualDisk", reinterpret_cast<void*>(&ResizeVirtualDisk)},
    };
}

// Every entry point leaves its result as the last error too, as callers of
// the Windows functions sometimes read it from there.
DWORD Finish(DWORD result) {
    SetLastError(result);
    return result;
}

// Runs an entry point's work: no exception leaves a Windows-style entry
// point; running out of memory is reported as such.
template <typename Work>
DWORD Guarded(Work work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (const std::length_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace

DWORD OpenVirtualDisk(const VIRTUAL_STORAGE_TYPE* VirtualStorageType, PCWSTR Path, DWORD VirtualDiskAccessMask,
                      DWORD Flags, const OPEN_VIRTUAL_DISK_PARAMETERS* Parameters, PHANDLE Handle) {
    return Finish(Guarded([&] { return OpenVirtualDiskImpl(VirtualStorageType, Path, VirtualDiskAccessMask, Flags, Parameters, Handle); }));
}

DWORD CreateVirtualDisk(const VIRTUAL_STORAGE_TYPE* VirtualStorageType, PCWSTR Path, DWORD VirtualDiskAccessMask,
                        const SECURITY_DESCRIPTOR* SecurityDescriptor, DWORD Flags, ULONG ProviderSpecificFlags,
                        const CREATE_VIRTUAL_DISK_PARAMETERS* Parameters, OVERLAPPED* Overlapped, PHANDLE Handle) {
    return Finish(Guarded([&] { return CreateVirtualDiskImpl(VirtualStorageType, Path, VirtualDiskAccessMask, SecurityDescriptor, Flags,
                                        ProviderSpecificFlags, Parameters, Overlapped, Handle); }));
}

DWORD AttachVirtualDisk(HANDLE VirtualDiskHandle, const SECURITY_DESCRIPTOR* SecurityDescriptor, DWORD Flags,
                        ULONG ProviderSpecificFlags, const ATTACH_VIRTUAL_DISK_PARAMETERS* Parameters,
                        OVERLAPPED* Overlapped) {
    return Finish(Guarded([&] { return AttachVirtualDiskImpl(VirtualDiskHandle, SecurityDescriptor, Flags, ProviderSpecificFlags, Parameters,
                                        Overlapped); }));
}

DWORD DetachVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, ULONG ProviderSpecificFlags) {
    return Finish(Guarded([&] { return DetachVirtualDiskImpl(VirtualDiskHandle, Flags, ProviderSpecificFlags); }));
}

DWORD GetVirtualDiskInformation(HANDLE VirtualDiskHandle, ULONG* VirtualDiskInfoSize,
                                GET_VIRTUAL_DISK_INFO* VirtualDiskInfo, ULONG* SizeUsed) {
    return Finish(Guarded([&] { return GetVirtualDiskInformationImpl(VirtualDiskHandle, VirtualDiskInfoSize, VirtualDiskInfo, SizeUsed); }));
}

DWORD GetVirtualDiskPhysicalPath(HANDLE VirtualDiskHandle, ULONG* DiskPathSizeInBytes, PWSTR DiskPath) {
    return Finish(Guarded([&] { return GetVirtualDiskPhysicalPathImpl(VirtualDiskHandle, DiskPathSizeInBytes, DiskPath); }));
}

DWORD GetStorageDependencyInformation(HANDLE ObjectHandle, DWORD Flags, ULONG StorageDependencyInfoSize,
                                      STORAGE_DEPENDENCY_INFO* StorageDependencyInfo, ULONG* SizeUsed) {
    return Finish(Guarded([&] { return GetStorageDependencyInformationImpl(ObjectHandle, Flags, StorageDependencyInfoSize,
                                                      StorageDependencyInfo, SizeUsed); }));
}

DWORD ExpandVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, const EXPAND_VIRTUAL_DISK_PARAMETERS* Parameters,
                        OVERLAPPED* Overlapped) {
    return Finish(Guarded([&] { return ExpandVirtualDiskImpl(VirtualDiskHandle, Flags, Parameters, Overlapped); }));
}

DWORD MergeVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, const MERGE_VIRTUAL_DISK_PARAMETERS* Parameters,
                       OVERLAPPED* Overlapped) {
    return Finish(Guarded([&] { return MergeVirtualDiskImpl(VirtualDiskHandle, Flags, Parameters, Overlapped); }));
}

DWORD CompactVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, const COMPACT_VIRTUAL_DISK_PARAMETERS* Parameters,
                         OVERLAPPED* Overlapped) {
    return Finish(Guarded([&] { return CompactVirtualDiskImpl(VirtualDiskHandle, Flags, Parameters, Overlapped); }));
}

DWORD ResizeVirtualDisk(HANDLE VirtualDiskHandle, DWORD Flags, const RESIZE_VIRTUAL_DISK_PARAMETERS* Parameters,
                        OVERLAPPED* Overlapped) {
    return Finish(Guarded([&] { return ResizeVirtualDiskImpl(VirtualDiskHandle, Flags, Parameters, Overlapped); }));
}

}  // namespace platform::virtdisk

namespace platform {

const StandInModule& VirtDiskModule() {
    static const StandInModule module{"VirtDisk.dll", &virtdisk::OpenVirtDiskModule, &virtdisk::CloseVirtDiskModule,
                                      &virtdisk::ExportsVirtDisk};
    return module;
}

}  // namespace platform
