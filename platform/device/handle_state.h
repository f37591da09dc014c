// What a Handle holds; shared by the handle and control-code code of this
// folder only. Code outside it makes its handles through the public calls
// (handle.h, virtual_disk_handle.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/device/handle.h"
#include "platform/device/virtual_disk_handle.h"
#include "platform/device/host/host.h"
#include "platform/base/unique_fd.h"

namespace platform::device {
class Registry;
}

namespace platform {

struct Handle::State {
    HandleKind kind = HandleKind::File;
    std::string path;          // as the caller named it
    std::string backing_path;  // file or device node the descriptor is open on
    UniqueFd fd;
    bool can_read = false;
    bool can_write = false;
    DWORD flags = 0;

    // Disks and volumes: the window of the backing the handle may touch.
    std::int64_t base = 0;     // offset of byte 0 of the device in the backing
    std::int64_t length = 0;   // bytes in the window
    std::int64_t position = 0;

    int disk = -1;
    std::string volume_guid;    // "{...}" for volume handles
    std::int64_t volume_start = 0;  // on the disk, for the write check
    std::uint32_t sector_size = 512;

    bool no_buffering = false;   // alignment is enforced
    bool direct = false;         // O_DIRECT is actually in force
    bool sync_on_close = false;  // buffered stand-in for unbuffered or write-through I/O
    bool written = false;
    bool stream = false;         // a pipe: written in order, offsets ignored

    std::unique_ptr<device::VolumeClaim> claim;
    // The new size in sectors a FSCTL_SHRINK_VOLUME prepare asked for, until
    // its commit or abort.
    std::int64_t shrink_prepared_sectors = 0;

    // A volume's device is opened at its first read or write, not before: a
    // handle that only locks a volume (as a disk's writer holds every
    // volume of it) must not hold its partition open, or the kernel could
    // not change the partition while the lock lasts.
    std::atomic<bool> backing_open{true};
    bool open_for_write = false;
    std::mutex backing_mutex;

    // Disk and volume handles that write: the share of the lock every
    // process sees, taken through this registry on the backing of their
    // disk (named here; "" when the handle takes none), and for a disk
    // handle the hold of the whole disk when it has one (writes are then
    // checked only against the write protection there was when it was taken).
    device::Registry* registry = nullptr;
    std::string write_share;
    bool held = false;
    bool held_write_protected = false;

    bool media_read_only = false;  // a virtual disk attached read-only
    std::unique_ptr<VirtualDiskBinding> virtual_disk;
    std::unique_ptr<DiskIo> io;  // set instead of the descriptor for an image served in-process

    bool is_device() const { return kind != HandleKind::File; }
};

}  // namespace platform
