// The one registry of disks and volumes. It picks the host (the embedded
// image-file host when TARNOVELL_HOST names a manifest, else the Linux
// machine), rebuilds its picture of disks, volumes, letters and attributes on
// each refresh (a new generation), and keeps what this process holds on each
// volume (locks, dismounts) so that writes can be checked against it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/device/device_identity.h"
#include "platform/device/host/host.h"
#include "platform/device/path.h"

namespace platform::device {

struct Snapshot {
    std::uint64_t generation = 0;
    std::vector<DiskInfo> disks;
    std::vector<VolumeInfo> volumes;  // ordered by disk, then by position on the disk

    const DiskInfo* disk(int number) const;
    const VolumeInfo* volume_by_letter(char letter) const;
    const VolumeInfo* volume_by_guid(const std::string& guid) const;  // "{...}", any case
    const VolumeInfo* volume_by_index(int index) const;
    std::vector<const VolumeInfo*> volumes_of(int disk) const;
};

class Registry {
public:
    // The process-wide registry; created on first use from the environment.
    static Registry& instance();
    // Drops the current registry so that the next instance() reads the
    // environment again (tests switch hosts this way). No handle may be open.
    // The old registry is kept, not freed: a thread may still be using it.
    static void Reset();
    // Installs a registry over a host of the caller's choosing.
    static void Install(std::unique_ptr<Host> host);

    explicit Registry(std::unique_ptr<Host> host);
    ~Registry();

    Host& host() { return *host_; }

    // The current picture; refreshed on first use.
    std::shared_ptr<const Snapshot> snapshot();
    // The picture there is, without building one (null before the first).
    std::shared_ptr<const Snapshot> current();
    // Rebuilds the picture from the host (a new generation).
    std::shared_ptr<const Snapshot> refresh();
    // Why the host could tell no disks at the last refresh (a manifest that
    // cannot be read or is malformed), naming what is wrong; "" when the
    // picture is sound. Refreshes first when there is no picture yet.
    std::string problem();

    // Resolves a device path to a disk or volume of the current snapshot.
    const VolumeInfo* resolve_volume(const Snapshot& snap, const DevicePath& path) const;

    // Letters: assign (0 = next free from C:) or remove; persisted.
    bool assign_letter(const std::string& guid, char letter, char* assigned = nullptr);
    bool remove_letter(char letter);

    // Disk attributes as IOCTL_DISK_SET_DISK_ATTRIBUTES changes them.
    bool set_disk_attributes(int disk, std::uint64_t attributes, std::uint64_t mask);
    bool set_volume_offline(const std::string& guid, bool offline);

    // What a person chose a disk or volume by a name as: the list row or
    // selector entry as it showed it, the disk a command line named as it
    // started. The latest choice of each name counts (a \\?\Volume{GUID}
    // path means its volume by itself and is not kept). A handle that would
    // write through a chosen name opens only while the name still means
    // what was chosen, so that a disk that took another's number is never
    // written in its place.
    void choose(const DeviceIdentity& identity);
    std::optional<DeviceIdentity> chosen(const std::string& path) const;
    // False when `path` was chosen and, in a picture refreshed now, means
    // another disk or volume, or nothing.
    bool still_chosen(const std::string& path);

    // What this process holds on volumes, reported by the claims.
    void note_locked(const std::string& guid, int delta);
    void note_dismounted(const std::string& guid, int delta);
    bool held_by_us(const std::string& guid) const;
    // The volumes this process holds locked now.
    std::size_t locked_volume_count() const;

    // False (with ERROR_ACCESS_DENIED) when [offset, offset+length) of the
    // disk overlaps a range the host is using that no lock or dismount of
    // ours has freed. Always true on a disk this process holds.
    bool write_allowed(int disk, std::int64_t offset, std::int64_t length);
    // The volumes that make write_allowed refuse [offset, offset+length):
    // those the host is using (mounted, or otherwise held) that no lock or
    // dismount of ours has freed. Empty when it would be allowed.
    std::vector<VolumeInfo> volumes_in_the_way(int disk, std::int64_t offset, std::int64_t length);

    // The handles of this process that write a disk share one lock on its
    // backing, which every process sees: a writer is refused while another
    // process holds the disk, and a hold while another process writes it
    // (both with ERROR_SHARING_VIOLATION).
    bool begin_disk_writes(const DiskInfo& disk);
    void end_disk_writes(const std::string& backing);
    // Holds a whole disk for an operation of this process that writes it:
    // the lock above made exclusive, and the host's own hold (the Linux
    // host opens the disk exclusively). Holds of one process nest. While a
    // disk is held, a refresh leaves its picture as it was (what the
    // writer's own bytes look like half-way is nobody's news) and writes to
    // it are not checked against its volumes: everything in the way was
    // locked before the hold was taken, and nothing new can mount while it
    // lasts. The next refresh after the last hold ends shows it anew.
    bool hold_disk(const DiskInfo& disk);
    void release_disk(const std::string& backing);
    bool disk_held(const std::string& backing) const;

private:
    std::shared_ptr<const Snapshot> build();

    std::unique_ptr<Host> host_;
    std::mutex refresh_mutex_;  // one rebuild at a time: the host is asked from one thread
    mutable std::mutex mutex_;
    std::shared_ptr<const Snapshot> current_;
    std::string problem_;
    std::uint64_t generation_ = 0;
    std::map<std::string, DeviceIdentity> chosen_;  // by ChoiceKey of the name
    std::multiset<std::string> locked_;
    std::multiset<std::string> dismounted_;

    // The lock every process sees, one per disk backing this process writes.
    struct DiskLock;
    mutable std::mutex disk_locks_mutex_;
    std::map<std::string, std::unique_ptr<DiskLock>> disk_locks_;

    struct BusyCache {
        int disk = -1;
        std::uint64_t snapshot_generation = 0;
        std::uint64_t busy_generation = 0;
        std::vector<std::pair<ByteRange, std::string>> ranges;  // range and the volume GUID there ("" if none)
    };
    std::vector<BusyCache> busy_cache_;
    // The ranges of the disk the host is using, each with the GUID of the
    // volume there ("" if none), and not freed by us; none for a disk held.
    std::vector<std::pair<ByteRange, std::string>> ranges_in_use(const Snapshot& snap, int disk);
};

// Stable GUID for a volume that has none of its own (MBR partitions).
GUID SynthesizeVolumeGuid(const std::string& disk_identity, std::uint32_t mbr_signature, std::int64_t start);

// Whether a volume gets a drive letter without being asked (data partitions
// do; EFI system, reserved and recovery partitions do not).
bool GetsLetterAutomatically(const PartitionRecord& partition);

// Whether a regular file is the image behind a disk of the machine (one the
// host serves, or one a loop device stands on): such a file is written only
// through its disk.
bool FileBacksADisk(const std::string& path);

}  // namespace platform::device
