// The machine the program works on: either the Linux machine's own block
// devices or an embedded set of image files named by a manifest. Everything
// above this interface sees only Windows-style disks and volumes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/device/records/partition_table.h"
#include "platform/device/records/winioctl.h"
#include "platform/base/win_error.h"

namespace platform::device {

struct ByteRange {
    std::int64_t start = 0;
    std::int64_t length = 0;
    std::int64_t end() const { return start + length; }
    bool overlaps(std::int64_t other_start, std::int64_t other_length) const {
        return other_start < end() && start < other_start + other_length;
    }
};

struct DiskInfo {
    int number = -1;                 // N of \\.\PhysicalDriveN
    std::string backing;             // image file or block device node
    std::string identity;            // stable key for persisted state
    std::int64_t size = 0;           // bytes the disk offers (a fixed VHD less its footer)
    std::uint32_t sector_size = 512;
    std::uint32_t physical_sector_size = 512;
    std::string vendor, product, revision, serial;
    std::uint32_t bus_type = BusTypeSata;
    bool removable = false;
    bool media_read_only = false;    // the host itself refuses writes
    bool write_cache_enabled = true;
    std::uint64_t attributes = 0;    // DISK_ATTRIBUTE_OFFLINE / _READ_ONLY as last set
    bool no_automatic_letters = false;  // an attached virtual disk asked for no drive letters
    DiskLayout layout;
};

// A virtual disk attached to the machine as a disk of its own.
struct VirtualDiskAttachment {
    std::string image;            // the virtual disk file (full Linux path)
    std::string backing;          // where its bytes are read: the image itself or the file a server offers
    std::int64_t size = 0;        // bytes the disk offers
    bool read_only = false;
    bool no_drive_letter = false;
    bool permanent = false;       // stays when the attaching handle closes
    int owner_pid = 0;            // the process whose handle keeps a non-permanent attach alive
    int server_pid = 0;           // the process serving `backing`; 0 when the image is read directly
    std::string mount_dir;        // where that server's file system is mounted
    int number = -1;              // N of \\.\PhysicalDriveN, when the host numbers it at attach time
    std::string device;           // Linux host: the loop device that carries it
};

struct VolumeInfo {
    int disk = -1;
    int index = 0;                   // K of \\.\HarddiskVolumeK, 1-based over the machine
    std::uint32_t partition_number = 0;  // 0 for a volume that covers a whole unpartitioned disk
    std::int64_t start = 0;          // on the disk, in bytes
    std::int64_t length = 0;
    GUID guid{};
    std::string guid_path;           // \\?\Volume{...}\  (with the trailing backslash)
    char letter = 0;                 // 0 when the volume has none
    std::string filesystem;          // "NTFS", "FAT32", "ext4", ... or "" when not recognised
    std::string kernel_device;       // Linux host: the partition's device node, when the kernel has it
    std::vector<std::string> mount_points;  // Linux host: folders it is mounted at
    // Linux host: for each mount point, the folder of the file system that
    // mount shows: "/" for all of it, another for a bind of a folder inside.
    std::vector<std::string> mount_roots;
    bool offline = false;            // taken offline by IOCTL_VOLUME_OFFLINE

    // The first folder that shows the whole file system; "" when there is
    // none (unmounted, or mounted only as binds of folders inside it).
    std::string root_mount_point() const {
        for (std::size_t i = 0; i < mount_points.size(); ++i)
            if (i >= mount_roots.size() || mount_roots[i] == "/") return mount_points[i];
        return "";
    }
};

// Where the bytes of a disk or volume live: a file or device node and the
// byte offset in it at which the disk or volume begins.
struct BackingLocation {
    std::string path;
    std::int64_t offset = 0;
};

// What one open volume handle holds on its volume. Dropping it releases
// whatever the claim took (shared use, lock, dismount), remounting on the
// Linux host what a lock or dismount unmounted.
class VolumeClaim {
public:
    virtual ~VolumeClaim() = default;
    virtual bool lock() = 0;      // exclusive use; false with the last error set
    virtual bool unlock() = 0;
    virtual bool dismount() = 0;  // the file system lets go until the claim ends
    virtual bool locked() const = 0;
    virtual bool dismounted() const = 0;
};

// What an operation holds on a whole disk it writes, beyond the lock that
// every process sees (the registry's): on the Linux host the disk opened
// exclusively, so that nobody mounts or claims a partition of it and the
// system's own re-reading of its table waits. Dropping it lets go.
class DiskHold {
public:
    virtual ~DiskHold() = default;
};

class Host {
public:
    virtual ~Host() = default;
    virtual std::string name() const = 0;

    // The disks, numbered, with their backing, size and description. The
    // registry reads their layouts and derives the volumes.
    virtual std::vector<DiskInfo> enumerate_disks() = 0;

    // Adds what only the host knows to the volumes the registry derived
    // (kernel devices, mount folders).
    virtual void annotate_volumes(const DiskInfo& disk, std::vector<VolumeInfo>& volumes) = 0;

    virtual BackingLocation disk_backing(const DiskInfo& disk) = 0;
    virtual BackingLocation volume_backing(const DiskInfo& disk, const VolumeInfo& volume) = 0;

    // Byte ranges of the disk that the host is using right now (mounted file
    // systems, swap, device-mapper holders). Writes into them are refused
    // unless this process has locked or dismounted the volume there.
    virtual std::vector<ByteRange> busy_ranges(const DiskInfo& disk, const std::vector<VolumeInfo>& volumes) = 0;

    // Takes shared (or, with `exclusive`, sole) use of a volume for a handle.
    virtual std::unique_ptr<VolumeClaim> claim_volume(const DiskInfo& disk, const VolumeInfo& volume,
                                                      bool exclusive) = 0;

    // Holds the whole disk for a writer of this process; null with the last
    // error set (ERROR_SHARING_VIOLATION) when someone else uses it. A host
    // with nothing to hold beyond the registry's lock holds nothing.
    virtual std::unique_ptr<DiskHold> hold_disk(const DiskInfo& /*disk*/) { return std::make_unique<DiskHold>(); }

    // Tells the host that the partition table on the disk has changed.
    virtual bool layout_changed(const DiskInfo& disk, const DiskLayout& new_layout) = 0;

    // Applies the read-only disk attribute where the host can (BLKROSET).
    virtual bool apply_read_only(const DiskInfo& disk, bool read_only) = 0;

    // The INI file that keeps letters and attributes between runs.
    virtual std::string state_path() const = 0;

    // Monotonic count that changes whenever the host's busy ranges may have
    // changed (mounts, unmounts); lets handles cache them cheaply.
    virtual std::uint64_t busy_generation() = 0;

    // Adds a virtual disk to the machine (filling in its number or device),
    // takes it away again, and lists what is attached and still alive. A host
    // that cannot attach fails with ERROR_NOT_SUPPORTED.
    virtual bool attach_virtual_disk(VirtualDiskAttachment& /*attachment*/) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    virtual bool detach_virtual_disk(const VirtualDiskAttachment& /*attachment*/) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    virtual std::vector<VirtualDiskAttachment> attached_virtual_disks() { return {}; }
};

}  // namespace platform::device
