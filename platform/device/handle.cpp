#include "platform/device/handle.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/base/unique_fd.h"
#include "platform/device/handle_state.h"
#include "platform/device/layout_requests.h"
#include "platform/device/path.h"
#include "platform/os/file_facts.h"
#include "platform/device/registry.h"

namespace platform {

using device::PathKind;
using device::Registry;

// ---- Handle ---------------------------------------------------------------

Handle::Handle() = default;
Handle::Handle(std::unique_ptr<State> state) : state_(std::move(state)) {}
Handle::~Handle() { close(); }
Handle::Handle(Handle&&) noexcept = default;
Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        close();
        state_ = std::move(other.state_);
    }
    return *this;
}

bool Handle::close() {
    if (!state_) return true;
    bool ok = true;
    if (state_->io) {
        // A served image is complete once the server has flushed it.
        if (state_->written && !state_->io->flush()) ok = false;
        state_->io.reset();  // disconnects and stops the server
    } else if (state_->written && (state_->sync_on_close || state_->is_device())) {
        // A device write, or an unbuffered write we had to buffer, is only
        // done once it is on the medium; errors can surface this late.
        if (::fdatasync(state_->fd.get()) != 0 && errno != EINVAL) {
            SetLastErrorFromErrno(errno);
            ok = false;
        }
    }
    if (state_->held) state_->registry->release_disk(state_->write_share);
    if (!state_->write_share.empty()) state_->registry->end_disk_writes(state_->write_share);
    state_->claim.reset();  // releases locks and remounts what a lock unmounted
    if (!state_->fd.close() && ok) {
        SetLastErrorFromErrno(errno);
        ok = false;
    }
    state_->virtual_disk.reset();  // after the descriptor: a served file must be let go before it is unmounted
    state_.reset();
    return ok;
}

HandleKind Handle::kind() const { return state_ ? state_->kind : HandleKind::File; }
int Handle::disk_number() const { return state_ ? state_->disk : -1; }
std::uint32_t Handle::sector_size() const { return state_ ? state_->sector_size : 512; }

namespace {

// Reports lock and dismount state of a volume claim to the registry, so that
// writes through other handles of this process see the volume as released.
class TrackedClaim : public device::VolumeClaim {
public:
    TrackedClaim(std::unique_ptr<device::VolumeClaim> inner, Registry& registry, std::string guid)
        : inner_(std::move(inner)), registry_(registry), guid_(std::move(guid)) {}
    ~TrackedClaim() override {
        if (noted_lock_) registry_.note_locked(guid_, -1);
        if (noted_dismount_) registry_.note_dismounted(guid_, -1);
        inner_.reset();
    }
    bool lock() override {
        if (!inner_->lock()) return false;
        if (!noted_lock_) registry_.note_locked(guid_, +1);
        noted_lock_ = true;
        return true;
    }
    bool unlock() override {
        if (!inner_->unlock()) return false;
        if (noted_lock_) registry_.note_locked(guid_, -1);
        noted_lock_ = false;
        return true;
    }
    bool dismount() override {
        if (!inner_->dismount()) return false;
        if (!noted_dismount_) registry_.note_dismounted(guid_, +1);
        noted_dismount_ = true;
        return true;
    }
    bool locked() const override { return inner_->locked(); }
    bool dismounted() const override { return inner_->dismounted(); }

private:
    std::unique_ptr<device::VolumeClaim> inner_;
    Registry& registry_;
    std::string guid_;
    bool noted_lock_ = false;
    bool noted_dismount_ = false;
};

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

Handle FailHandle(DWORD code) {
    SetLastError(code);
    return Handle();
}

int OpenFlagsFor(bool write) { return (write ? O_RDWR : O_RDONLY) | O_CLOEXEC; }

// Opens a device backing, honouring the unbuffered and write-through flags.
// O_DIRECT is refused by some file systems (tmpfs): then we buffer and sync
// at close instead.
bool OpenBacking(Handle::State& s, bool write) {
    int base_flags = OpenFlagsFor(write);
    if (s.flags & FILE_FLAG_WRITE_THROUGH) base_flags |= O_DSYNC;
    if (s.no_buffering) {
        s.fd.reset(::open(s.backing_path.c_str(), base_flags | O_DIRECT));
        if (s.fd) {
            s.direct = true;
            return true;
        }
        if (errno != EINVAL) return SetLastErrorFromErrno(errno), false;
        s.sync_on_close = true;
    }
    s.fd.reset(::open(s.backing_path.c_str(), base_flags));
    if (!s.fd) return SetLastErrorFromErrno(errno), false;
    return true;
}

// Opens a volume's device on its first use (see Handle::State::backing_open).
bool EnsureBacking(Handle::State& s) {
    if (s.backing_open.load(std::memory_order_acquire)) return true;
    std::lock_guard guard(s.backing_mutex);
    if (s.backing_open.load(std::memory_order_relaxed)) return true;
    if (!OpenBacking(s, s.open_for_write)) return false;
    s.backing_open.store(true, std::memory_order_release);
    return true;
}

bool WriteProtected(const device::DiskInfo& disk) {
    return disk.media_read_only || (disk.attributes & DISK_ATTRIBUTE_READ_ONLY);
}

// A handle that writes a disk, or a volume of it, shares the disk's lock
// with the other writers of this process: no other program holds the disk
// meanwhile (the Linux host's disks and the embedded images alike).
bool ShareDiskWrites(Handle::State& s, Registry& registry, const device::DiskInfo& disk) {
    s.registry = &registry;
    if (!registry.begin_disk_writes(disk)) return false;
    s.write_share = disk.backing;
    return true;
}

void EndDiskWrites(Handle::State& s) {
    if (s.write_share.empty()) return;
    s.registry->end_disk_writes(s.write_share);
    s.write_share.clear();
}

// A write through a name that has come to mean another disk or volume
// since a person chose it would land on the wrong one: refused before
// anything is opened, locked or written.
bool StillChosen(Registry& registry, const device::DevicePath& path, DWORD access) {
    if (!(access & (GENERIC_WRITE | GENERIC_ALL)) || registry.still_chosen(path.text)) return true;
    return Fail(ERROR_MEDIA_CHANGED);
}

Handle OpenDisk(const device::DevicePath& path, DWORD access, DWORD disposition, DWORD flags) {
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return FailHandle(ERROR_INVALID_PARAMETER);
    Registry& registry = Registry::instance();
    if (!StillChosen(registry, path, access)) return Handle();
    auto snap = registry.snapshot();
    const device::DiskInfo* disk = snap->disk(path.disk);
    if (!disk) return FailHandle(ERROR_FILE_NOT_FOUND);

    auto s = std::make_unique<Handle::State>();
    s->kind = HandleKind::Disk;
    s->path = path.text;
    s->flags = flags;
    s->can_read = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    s->can_write = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    s->no_buffering = (flags & FILE_FLAG_NO_BUFFERING) != 0;
    s->disk = disk->number;
    s->sector_size = disk->sector_size;
    auto where = registry.host().disk_backing(*disk);
    s->backing_path = where.path;
    s->base = where.offset;
    s->length = disk->size;
    // A write-protected medium still opens for writing; its writes fail.
    bool write = s->can_write && !disk->media_read_only;
    if (write && !ShareDiskWrites(*s, registry, *disk)) return Handle();
    Handle handle(std::move(s));  // closing it ends the share taken above
    Handle::State& opened = *handle.state();
    if (!OpenBacking(opened, write)) {
        const bool read_only = write && GetLastError() == ERROR_ACCESS_DENIED && OpenBacking(opened, false);
        const DWORD error = GetLastError();
        if (!read_only) {
            handle.close();
            SetLastError(error);
            return Handle();
        }
        EndDiskWrites(opened);  // opened for reading only: it writes nothing
    }
    return handle;
}

Handle OpenVolume(const device::DevicePath& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    if (disposition != OPEN_EXISTING && disposition != OPEN_ALWAYS) return FailHandle(ERROR_INVALID_PARAMETER);
    Registry& registry = Registry::instance();
    if (!StillChosen(registry, path, access)) return Handle();
    auto snap = registry.snapshot();
    const device::VolumeInfo* volume = registry.resolve_volume(*snap, path);
    if (!volume) return FailHandle(ERROR_FILE_NOT_FOUND);
    const device::DiskInfo* disk = snap->disk(volume->disk);

    auto s = std::make_unique<Handle::State>();
    s->kind = HandleKind::Volume;
    s->path = path.text;
    s->flags = flags;
    s->can_read = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    s->can_write = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    s->no_buffering = (flags & FILE_FLAG_NO_BUFFERING) != 0;
    s->disk = volume->disk;
    s->volume_guid = device::GuidToString(volume->guid);
    s->volume_start = volume->start;
    s->sector_size = disk->sector_size;
    auto where = registry.host().volume_backing(*disk, *volume);
    s->backing_path = where.path;
    s->base = where.offset;
    s->length = volume->length;

    // Opens that ask for data take a share of the volume; an open without
    // sharing takes all of it. Query-only opens (access 0) take nothing, as
    // on Windows they neither conflict nor count.
    if (s->can_read || s->can_write) {
        bool exclusive = (share & (FILE_SHARE_READ | FILE_SHARE_WRITE)) == 0;
        auto claim = registry.host().claim_volume(*disk, *volume, exclusive);
        if (!claim) return Handle();
        s->claim = std::make_unique<TrackedClaim>(std::move(claim), registry, s->volume_guid);
    }
    bool write = s->can_write && !disk->media_read_only;
    if (!OpenBacking(*s, write)) {
        if (!(write && GetLastError() == ERROR_ACCESS_DENIED && OpenBacking(*s, false))) return Handle();
        write = false;
    }
    if (write && !ShareDiskWrites(*s, registry, *disk)) return Handle();
    // It opens, as the caller must know now; it is held open from its first use.
    s->fd.reset();
    s->open_for_write = write;
    s->backing_open = false;
    return Handle(std::move(s));
}

// A regular file or a block device (or a folder, for the calls that open
// one): something with bytes that are there to be read.
bool HoldsBytes(const struct stat& st) { return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode); }

Handle OpenFile(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    std::string resolved = ResolveFilePath(path);
    if (resolved.empty()) return Handle();
    struct stat st {};
    bool exists = ::stat(resolved.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode) && !(flags & FILE_FLAG_BACKUP_SEMANTICS)) return FailHandle(ERROR_ACCESS_DENIED);

    bool can_read = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    bool can_write = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    // What is only read from must hold bytes: a FIFO, a socket or a
    // terminal would block the open, or the first read, until someone else
    // moves. Such a source is refused at once; it is opened without
    // waiting, so one put in the file's place meanwhile is refused too.
    // (What is written to may be a pipe or /dev/null.)
    const bool source = !can_write && disposition == OPEN_EXISTING;
    if (source && exists && !HoldsBytes(st)) return FailHandle(ERROR_BAD_FILE_TYPE);
    // The image behind a disk is written through the disk, as the system
    // holds an attached virtual disk's file for itself.
    if (exists && S_ISREG(st.st_mode) && (can_write || disposition == CREATE_ALWAYS) &&
        device::FileBacksADisk(resolved))
        return FailHandle(ERROR_SHARING_VIOLATION);
    int oflags = O_CLOEXEC;
    oflags |= can_write ? (can_read ? O_RDWR : O_WRONLY) : O_RDONLY;
    switch (disposition) {
    case CREATE_NEW: oflags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: oflags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: oflags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
        if (!can_write) return FailHandle(ERROR_INVALID_PARAMETER);
        oflags |= O_TRUNC;
        break;
    default: return FailHandle(ERROR_INVALID_PARAMETER);
    }
    if ((oflags & (O_CREAT | O_TRUNC)) && !can_write) oflags = (oflags & ~O_RDONLY) | O_RDWR;
    if (flags & FILE_FLAG_WRITE_THROUGH) oflags |= O_DSYNC;
    if (source) oflags |= O_NONBLOCK;  // cleared once it is known to hold bytes

    auto s = std::make_unique<Handle::State>();
    s->kind = HandleKind::File;
    s->path = path;
    s->backing_path = resolved;
    s->flags = flags;
    s->can_read = can_read;
    s->can_write = can_write;
    s->no_buffering = (flags & FILE_FLAG_NO_BUFFERING) != 0;
    if (s->no_buffering) {
        s->fd.reset(::open(resolved.c_str(), oflags | O_DIRECT, 0644));
        s->direct = static_cast<bool>(s->fd);
        if (!s->fd && errno != EINVAL) return SetLastErrorFromErrno(errno), Handle();
        s->sync_on_close = !s->direct;
    }
    if (!s->fd) s->fd.reset(::open(resolved.c_str(), oflags, 0644));
    if (!s->fd) {
        if (errno == EEXIST) return FailHandle(ERROR_FILE_EXISTS);
        if (errno == ENOENT && (oflags & O_CREAT)) return FailHandle(ERROR_PATH_NOT_FOUND);
        SetLastErrorFromErrno(errno);
        return Handle();
    }
    if (source) {
        struct stat opened {};
        if (::fstat(s->fd.get(), &opened) != 0 || !HoldsBytes(opened)) return FailHandle(ERROR_BAD_FILE_TYPE);
        const int status = ::fcntl(s->fd.get(), F_GETFL);
        if (status >= 0) ::fcntl(s->fd.get(), F_SETFL, status & ~O_NONBLOCK);
    }
    // A disk's device node named as a file would skip every check a disk
    // write goes through (mounted volumes, locks): writing needs its
    // \\.\PhysicalDriveN name. Reading it is harmless.
    if (s->can_write) {
        struct stat node {};
        if (::fstat(s->fd.get(), &node) == 0 && S_ISBLK(node.st_mode)) return FailHandle(ERROR_ACCESS_DENIED);
    }
    // Share modes between our own handles: no sharing asks for the file alone.
    bool exclusive = (share & (FILE_SHARE_READ | FILE_SHARE_WRITE)) == 0 && (can_read || can_write);
    if (::flock(s->fd.get(), (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        if (disposition == CREATE_NEW) ::unlink(resolved.c_str());
        return FailHandle(ERROR_SHARING_VIOLATION);
    }
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN) ::posix_fadvise(s->fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
    if (flags & FILE_FLAG_RANDOM_ACCESS) ::posix_fadvise(s->fd.get(), 0, 0, POSIX_FADV_RANDOM);
    return Handle(std::move(s));
}

bool Aligned(const Handle::State& s, std::int64_t offset, const void* buffer, std::size_t length) {
    std::uint32_t unit = s.sector_size;
    return offset % unit == 0 && length % unit == 0 && reinterpret_cast<std::uintptr_t>(buffer) % unit == 0;
}

// pread/pwrite that retry on interruption and, where O_DIRECT turns out to be
// refused for this transfer, drop it for the rest of the handle's life.
ssize_t TransferOnce(Handle::State& s, bool write, void* buffer, std::size_t length, std::int64_t offset) {
    for (;;) {
        ssize_t n = s.stream ? (write ? ::write(s.fd.get(), buffer, length) : ::read(s.fd.get(), buffer, length))
                    : write  ? ::pwrite(s.fd.get(), buffer, length, offset)
                             : ::pread(s.fd.get(), buffer, length, offset);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EINVAL && s.direct) {
            int fl = ::fcntl(s.fd.get(), F_GETFL);
            if (fl >= 0 && ::fcntl(s.fd.get(), F_SETFL, fl & ~O_DIRECT) == 0) {
                s.direct = false;
                s.sync_on_close = true;
                continue;
            }
        }
        return -1;
    }
}

bool Transfer(Handle::State& s, bool write, void* buffer, std::size_t length, std::int64_t offset, std::size_t* done) {
    if (!EnsureBacking(s)) {
        if (done) *done = 0;
        return false;
    }
    if (s.io) {
        const bool ok = length == 0 || (write ? s.io->write(offset, buffer, length) : s.io->read(offset, buffer, length));
        if (done) *done = ok ? length : 0;
        return ok;
    }
    std::size_t total = 0;
    auto* bytes = static_cast<char*>(buffer);
    while (total < length) {
        ssize_t n = TransferOnce(s, write, bytes + total, length - total, s.base + offset + static_cast<std::int64_t>(total));
        if (n < 0) {
            if (done) *done = total;
            SetLastErrorFromErrno(errno);
            return false;
        }
        if (n == 0) break;  // end of file
        total += static_cast<std::size_t>(n);
    }
    if (done) *done = total;
    if (write && total < length) return Fail(ERROR_DISK_FULL);
    return true;
}

// Checks a device write of `data` (zeros when null) against the registry's
// current picture: protected media, offline volumes, ranges the host is
// using, and, written to a disk, the table those volumes stand on.
bool DeviceWriteAllowed(Handle::State& s, std::int64_t offset, std::size_t length, const void* data) {
    // The handle of a virtual disk belongs to no host disk; only its own
    // attach decides.
    if (s.kind == HandleKind::VirtualDisk) return s.media_read_only ? Fail(ERROR_WRITE_PROTECT) : true;
    Registry& registry = Registry::instance();
    auto snap = registry.snapshot();
    const device::DiskInfo* disk = snap->disk(s.disk);
    if (!disk) return Fail(ERROR_DEV_NOT_EXIST);
    if (WriteProtected(*disk)) return Fail(ERROR_WRITE_PROTECT);
    std::int64_t disk_offset = offset;
    if (s.kind == HandleKind::Volume) {
        const device::VolumeInfo* volume = snap->volume_by_guid(s.volume_guid);
        if (!volume) return Fail(ERROR_DEV_NOT_EXIST);
        if (volume->offline) return Fail(ERROR_NOT_READY);
        disk_offset += s.volume_start;
    }
    if (!registry.write_allowed(s.disk, disk_offset, static_cast<std::int64_t>(length))) return false;
    // Sector 0 lies in no volume, yet a table written there can take one
    // from under whoever uses it.
    return s.kind != HandleKind::Disk || device::WriteSparesVolumesInUse(*disk, disk_offset, length, data);
}

}  // namespace

Handle CreateFile(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
    device::DevicePath parsed = device::ParseDevicePath(path);
    switch (parsed.kind) {
    case PathKind::Disk: return OpenDisk(parsed, access, disposition, flags);
    case PathKind::LetterVolume:
    case PathKind::GuidVolume:
    case PathKind::HarddiskVolume: return OpenVolume(parsed, access, share, disposition, flags);
    case PathKind::UnknownDevice: return FailHandle(ERROR_FILE_NOT_FOUND);
    case PathKind::File:
    case PathKind::DriveFile: return OpenFile(path, access, share, disposition, flags);
    }
    return FailHandle(ERROR_INVALID_PARAMETER);
}

bool ReadAt(Handle& handle, std::int64_t offset, void* buffer, std::size_t length, std::size_t* done) {
    if (done) *done = 0;
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (!s->can_read) return Fail(ERROR_ACCESS_DENIED);
    if (offset < 0) return Fail(ERROR_NEGATIVE_SEEK);
    if (s->no_buffering && !Aligned(*s, offset, buffer, length)) return Fail(ERROR_INVALID_PARAMETER);
    if (s->is_device()) {
        if (s->kind == HandleKind::Volume) {
            auto snap = Registry::instance().snapshot();
            const device::VolumeInfo* volume = snap->volume_by_guid(s->volume_guid);
            if (volume && volume->offline) return Fail(ERROR_NOT_READY);
        }
        if (offset >= s->length) return true;
        length = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(length), s->length - offset));
    }
    return Transfer(*s, false, buffer, length, offset, done);
}

bool ReadsByOffsetFromAnyThread(const Handle& handle) {
    const Handle::State* s = handle.state();
    return s && s->can_read && !s->stream && !s->io && !s->no_buffering && s->kind != HandleKind::VirtualDisk;
}

std::function<bool(std::int64_t, void*, std::size_t)> ReaderOfHandle(Handle& handle) {
    return [&handle](std::int64_t offset, void* buffer, std::size_t length) {
        Handle::State* s = handle.state();
        if (!s || offset < 0) return false;
        std::size_t done = 0;
        if (!s->no_buffering) {
            if (!ReadAt(handle, offset, buffer, length, &done)) return false;
            return done == length ? true : Fail(ERROR_HANDLE_EOF);
        }
        // Whole sectors into an aligned buffer, then the part asked for.
        const std::int64_t unit = s->sector_size;
        const std::int64_t first = offset / unit * unit;
        const std::int64_t end = (offset + static_cast<std::int64_t>(length) + unit - 1) / unit * unit;
        const std::size_t span = static_cast<std::size_t>(end - first);
        std::unique_ptr<std::uint8_t, decltype(&std::free)> bounce(
            static_cast<std::uint8_t*>(std::aligned_alloc(static_cast<std::size_t>(unit), span)), &std::free);
        if (!bounce) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        if (!ReadAt(handle, first, bounce.get(), span, &done)) return false;
        if (done < static_cast<std::size_t>(offset - first) + length) return Fail(ERROR_HANDLE_EOF);
        std::memcpy(buffer, bounce.get() + (offset - first), length);
        return true;
    };
}

namespace {

// Whether `data` (zeros when null) may be written at [offset, offset +
// length) through the handle.
bool MayWrite(Handle::State* s, std::int64_t offset, std::size_t length, const void* data) {
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (!s->can_write) return Fail(ERROR_ACCESS_DENIED);
    if (offset < 0) return Fail(ERROR_NEGATIVE_SEEK);
    if (!s->is_device()) return true;
    // Devices never grow: a write that would run past the end writes nothing.
    if (offset + static_cast<std::int64_t>(length) > s->length) return Fail(ERROR_SECTOR_NOT_FOUND);
    // A held disk was checked once, when the hold was taken.
    if (s->held) return s->held_write_protected ? Fail(ERROR_WRITE_PROTECT) : true;
    return DeviceWriteAllowed(*s, offset, length, data);
}

}  // namespace

bool ZeroFill(Handle& handle, std::int64_t offset, std::size_t length) {
    Handle::State* s = handle.state();
    if (!MayWrite(s, offset, length, nullptr)) return false;
    if (length == 0) return true;
    if (s->io || s->stream || s->kind == HandleKind::VirtualDisk || !EnsureBacking(*s)) return Fail(ERROR_NOT_SUPPORTED);
    struct stat backing {};
    if (::fstat(s->fd.get(), &backing) != 0) return Fail(ERROR_NOT_SUPPORTED);
    const std::int64_t at = s->base + offset;
    const auto len = static_cast<std::int64_t>(length);
    bool zeroed = false;
    if (S_ISREG(backing.st_mode)) {
        // The file keeps its size; a hole reads as zeros.
        zeroed = ::fallocate(s->fd.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, at, len) == 0;
    } else if (S_ISBLK(backing.st_mode) && at % 512 == 0 && len % 512 == 0) {
        std::uint64_t range[2] = {static_cast<std::uint64_t>(at), static_cast<std::uint64_t>(len)};
        zeroed = ::ioctl(s->fd.get(), BLKZEROOUT, range) == 0;
    }
    if (!zeroed) return Fail(ERROR_NOT_SUPPORTED);
    s->written = true;
    return true;
}

bool WriteAt(Handle& handle, std::int64_t offset, const void* buffer, std::size_t length, std::size_t* done) {
    if (done) *done = 0;
    Handle::State* s = handle.state();
    if (!MayWrite(s, offset, length, buffer)) return false;
    if (s->no_buffering && !Aligned(*s, offset, buffer, length)) return Fail(ERROR_INVALID_PARAMETER);
    if (length == 0) return true;
    s->written = true;
    return Transfer(*s, true, const_cast<void*>(buffer), length, offset, done);
}

bool ReadFile(Handle& handle, void* buffer, DWORD length, DWORD* read) {
    if (read) *read = 0;
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    std::size_t done = 0;
    bool ok = ReadAt(handle, s->position, buffer, length, &done);
    s->position += static_cast<std::int64_t>(done);
    if (read) *read = static_cast<DWORD>(done);
    return ok;
}

bool WriteFile(Handle& handle, const void* buffer, DWORD length, DWORD* written) {
    if (written) *written = 0;
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    std::size_t done = 0;
    bool ok = WriteAt(handle, s->position, buffer, length, &done);
    s->position += static_cast<std::int64_t>(done);
    if (written) *written = static_cast<DWORD>(done);
    return ok;
}

bool SyncForReading(Handle& handle) {
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (!s->is_device() || s->kind == HandleKind::VirtualDisk || s->io) return true;
    auto snap = Registry::instance().snapshot();
    const std::int64_t window_start = s->kind == HandleKind::Volume ? s->volume_start : 0;
    DWORD first_error = ERROR_SUCCESS;
    for (const device::VolumeInfo* volume : snap->volumes_of(s->disk)) {
        if (volume->start >= window_start + s->length || window_start >= volume->start + volume->length) continue;
        for (const auto& folder : volume->mount_points) {
            UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (fd && ::syncfs(fd.get()) == 0) continue;
            if (first_error == ERROR_SUCCESS) first_error = ErrorFromErrno(errno);
        }
    }
    // Clean cached blocks of this device go; reads then come from the medium.
    // An image file has one cache for the disk and its volumes alike: what
    // it holds is what was written, and stays.
    if (!EnsureBacking(*s)) return false;
    struct stat backing {};
    if (::fstat(s->fd.get(), &backing) != 0 || !S_ISREG(backing.st_mode))
        ::posix_fadvise(s->fd.get(), 0, 0, POSIX_FADV_DONTNEED);
    if (first_error == ERROR_SUCCESS) return true;
    return Fail(first_error);
}

bool HoldDisk(Handle& handle) {
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (s->kind != HandleKind::Disk || !s->can_write) return Fail(ERROR_INVALID_PARAMETER);
    // Asked for writing, a disk whose medium takes no writes (or whose
    // backing we may only read) was opened for reading: there is nothing
    // to hold, and the reason is the medium, not another program.
    if (s->write_share.empty()) {
        const device::DiskInfo* disk = Registry::instance().snapshot()->disk(s->disk);
        return Fail(disk && disk->media_read_only ? ERROR_WRITE_PROTECT : ERROR_ACCESS_DENIED);
    }
    if (s->held) return true;
    auto snap = s->registry->snapshot();
    const device::DiskInfo* disk = snap->disk(s->disk);
    if (!disk || disk->backing != s->write_share) return Fail(ERROR_DEV_NOT_EXIST);
    if (!s->registry->hold_disk(*disk)) return false;
    s->held = true;
    s->held_write_protected = WriteProtected(*disk);
    return true;
}

void ReleaseDiskHold(Handle& handle) {
    Handle::State* s = handle.state();
    if (!s || !s->held) return;
    s->held = false;
    s->registry->release_disk(s->write_share);
}

bool DiskHeld(const Handle& handle) { return handle.state() && handle.state()->held; }

bool ProcessHoldsDisk(const Handle& handle) {
    const Handle::State* s = handle.state();
    return s && !s->write_share.empty() && s->registry->disk_held(s->write_share);
}

bool SetFilePointerEx(Handle& handle, std::int64_t distance, std::int64_t* new_position, DWORD method) {
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    std::int64_t origin = 0;
    switch (method) {
    case FILE_BEGIN: break;
    case FILE_CURRENT: origin = s->position; break;
    case FILE_END:
        if (s->is_device()) {
            origin = s->length;
        } else {
            struct stat st {};
            if (::fstat(s->fd.get(), &st) != 0) return SetLastErrorFromErrno(errno), false;
            origin = st.st_size;
        }
        break;
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
    std::int64_t target = origin + distance;
    if (target < 0) return Fail(ERROR_NEGATIVE_SEEK);
    s->position = target;
    if (new_position) *new_position = target;
    return true;
}

bool SetEndOfFile(Handle& handle) {
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (s->is_device()) return Fail(ERROR_INVALID_PARAMETER);
    if (!s->can_write) return Fail(ERROR_ACCESS_DENIED);
    if (::ftruncate(s->fd.get(), s->position) != 0) return SetLastErrorFromErrno(errno), false;
    return true;
}

bool FlushFileBuffers(Handle& handle) {
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (s->io) return s->io->flush();
    if (!s->backing_open.load(std::memory_order_acquire)) return true;  // nothing written through it
    if (::fdatasync(s->fd.get()) != 0 && errno != EINVAL) return SetLastErrorFromErrno(errno), false;
    return true;
}

bool GetFileSizeEx(Handle& handle, std::int64_t* size) {
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (s->is_device()) return Fail(ERROR_INVALID_FUNCTION);
    struct stat st {};
    if (::fstat(s->fd.get(), &st) != 0) return SetLastErrorFromErrno(errno), false;
    if (size) *size = st.st_size;
    return true;
}

bool SetFileInformationByHandle(Handle& handle, int information_class, const void* buffer, DWORD size) {
    Handle::State* s = handle.state();
    if (!s) return Fail(ERROR_INVALID_HANDLE);
    if (s->is_device()) return Fail(ERROR_INVALID_PARAMETER);
    if (!s->can_write) return Fail(ERROR_ACCESS_DENIED);
    if (!buffer || size < sizeof(std::int64_t)) return Fail(ERROR_INVALID_PARAMETER);
    std::int64_t value = 0;
    std::memcpy(&value, buffer, sizeof value);
    if (value < 0) return Fail(ERROR_INVALID_PARAMETER);
    switch (information_class) {
    case FileAllocationInfo:
        if (value == 0) return true;
        if (::fallocate(s->fd.get(), FALLOC_FL_KEEP_SIZE, 0, value) != 0) {
            // Not every file system reserves space; the file still works without it.
            if (errno == EOPNOTSUPP) return true;
            return SetLastErrorFromErrno(errno), false;
        }
        return true;
    case FileEndOfFileInfo:
        if (::ftruncate(s->fd.get(), value) != 0) return SetLastErrorFromErrno(errno), false;
        return true;
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
}

Handle OpenStandardOutputPipe() {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0 || !S_ISFIFO(st.st_mode)) return FailHandle(ERROR_INVALID_HANDLE);
    auto s = std::make_unique<Handle::State>();
    s->kind = HandleKind::File;
    s->path = "/dev/stdout";
    s->backing_path = s->path;
    s->fd.reset(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0));
    if (!s->fd) return SetLastErrorFromErrno(errno), Handle();
    s->can_write = true;
    s->stream = true;
    return Handle(std::move(s));
}

bool DeleteRegularFile(const std::string& path) {
    std::string resolved = ResolveFilePath(path);
    if (resolved.empty()) return false;
    struct stat st {};
    if (::lstat(resolved.c_str(), &st) != 0) return SetLastErrorFromErrno(errno), false;
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    if (S_ISREG(st.st_mode) && device::FileBacksADisk(resolved)) return Fail(ERROR_SHARING_VIOLATION);
    if (::unlink(resolved.c_str()) != 0) return SetLastErrorFromErrno(errno), false;
    return true;
}

std::string ResolveFilePath(const std::string& path) {
    device::DevicePath parsed = device::ParseDevicePath(path);
    if (parsed.kind == PathKind::File) return path;
    if (parsed.kind != PathKind::DriveFile) {
        SetLastError(ERROR_INVALID_NAME);
        return "";
    }
    auto snap = Registry::instance().snapshot();
    const device::VolumeInfo* volume = snap->volume_by_letter(parsed.letter);
    // Only a mount of the whole file system is the drive's root; a bind of
    // a folder inside it would put every path one level off.
    std::string folder = volume ? volume->root_mount_point() : "";
    if (folder.empty()) {
        SetLastError(volume ? ERROR_NOT_READY : ERROR_PATH_NOT_FOUND);
        return "";
    }
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder + parsed.rest;
}

std::string LinuxPathOf(const std::string& path) {
    const std::string resolved = ResolveFilePath(path);
    return resolved.empty() ? path : resolved;
}

bool IsRegularFileAt(const std::string& path) {
    if (device::IsDevicePath(path)) return false;
    const std::optional<FileFacts> facts = FileFactsOf(LinuxPathOf(path));
    return facts && facts->is_regular();
}

}  // namespace platform
