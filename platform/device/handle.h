// Device and file handles with the calling conventions of the Windows file
// API, so that the disk library reads like the program it is: CreateFile,
// ReadFile, WriteFile, SetFilePointerEx, DeviceIoControl. A Handle owns its
// descriptor and whatever it holds on a volume; it closes when it goes out of
// scope. Failures set the thread's last error (platform/base/win_error.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/base/win_error.h"

namespace platform {

enum : DWORD {
    GENERIC_READ = 0x80000000u,
    GENERIC_WRITE = 0x40000000u,
    GENERIC_ALL = 0x10000000u,

    FILE_SHARE_READ = 1,
    FILE_SHARE_WRITE = 2,
    FILE_SHARE_DELETE = 4,

    CREATE_NEW = 1,
    CREATE_ALWAYS = 2,
    OPEN_EXISTING = 3,
    OPEN_ALWAYS = 4,
    TRUNCATE_EXISTING = 5,

    FILE_ATTRIBUTE_NORMAL = 0x80,
    FILE_FLAG_WRITE_THROUGH = 0x80000000u,
    FILE_FLAG_OVERLAPPED = 0x40000000u,
    FILE_FLAG_NO_BUFFERING = 0x20000000u,
    FILE_FLAG_RANDOM_ACCESS = 0x10000000u,
    FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u,
    FILE_FLAG_BACKUP_SEMANTICS = 0x02000000u,

    FILE_BEGIN = 0,
    FILE_CURRENT = 1,
    FILE_END = 2,
};

// A VirtualDisk handle comes from OpenVirtualDisk/CreateVirtualDisk
// (platform/virtdisk/virtdisk.h); once attached it reads and writes the virtual
// disk's bytes.
enum class HandleKind { File, Disk, Volume, VirtualDisk };

class Handle {
public:
    struct State;

    Handle();
    explicit Handle(std::unique_ptr<State> state);
    ~Handle();
    Handle(Handle&&) noexcept;
    Handle& operator=(Handle&&) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    bool valid() const { return state_ != nullptr; }
    explicit operator bool() const { return valid(); }

    // Closes now. Written data that the handle promised to put on the medium
    // is synced first; false (with the last error) when that fails.
    bool close();

    HandleKind kind() const;
    // The disk this handle reaches (disk and volume handles), else -1.
    int disk_number() const;
    // Bytes per logical sector of the device, 512 for files.
    std::uint32_t sector_size() const;

    State* state() const { return state_.get(); }

private:
    std::unique_ptr<State> state_;
};

// Opens a file, a disk (\\.\PhysicalDriveN) or a volume (\\.\X:,
// \\?\Volume{GUID}\, \\.\HarddiskVolumeK). An invalid Handle on failure.
Handle CreateFile(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags);

// Makes [offset, offset + length) of what the handle reaches read as zeros
// without writing them, where the medium can: a hole punched in an image
// file, a disk's own zeroing (BLKZEROOUT). Checked as a write is. False
// with ERROR_NOT_SUPPORTED where it cannot (the caller writes the zeros).
bool ZeroFill(Handle& handle, std::int64_t offset, std::size_t length);

bool ReadFile(Handle& handle, void* buffer, DWORD length, DWORD* read);
bool WriteFile(Handle& handle, const void* buffer, DWORD length, DWORD* written);

// Positioned reads and writes that leave the file pointer alone. A read stops
// short only at the end of the file or device; `done` says how far it got.
bool ReadAt(Handle& handle, std::int64_t offset, void* buffer, std::size_t length, std::size_t* done);
// Whether ReadAt may be called from several threads at once: a buffered
// descriptor read by offset (not a pipe, not an image served in-process,
// not one whose unbuffered reads may yet fall back to buffered ones).
bool ReadsByOffsetFromAnyThread(const Handle& handle);
bool WriteAt(Handle& handle, std::int64_t offset, const void* buffer, std::size_t length, std::size_t* done);

// Before a disk or volume that may have file systems mounted on it is read
// as a copy's source: every file system mounted in the handle's window
// writes what it holds to the medium, and the blocks the handle's device
// had cached before are dropped. The kernel caches a disk and each of its
// partitions apart: without this a read of the disk can return blocks older
// than what a mounted partition's file system has written. Nothing to do
// for files. False (with the last error) when a file system could not write.
bool SyncForReading(Handle& handle);

// A reader of the bytes the handle reaches, at any offset and length, also
// through an unbuffered handle (by way of an aligned buffer of its own): how
// the on-disk record parsers read a device this process holds open. A read
// is true only when every byte came. The handle must outlive the reader.
std::function<bool(std::int64_t offset, void* buffer, std::size_t length)> ReaderOfHandle(Handle& handle);

// Holds the whole disk of a disk handle opened for writing, for this
// process, until ReleaseDiskHold or the handle closes: no other program can
// write the disk or hold it meanwhile, nor (on the Linux host) mount or
// claim a partition of it, and the system's own re-reading of its table
// waits. The disk's picture stays as it was and its writes are no longer
// checked against its volumes, which must all be locked (or in nobody's
// way) before: see device::Registry::hold_disk. False with the last error
// set (ERROR_SHARING_VIOLATION when another program writes or holds the
// disk or uses one of its partitions; ERROR_WRITE_PROTECT when its medium
// takes no writes, ERROR_ACCESS_DENIED when its backing may only be read).
bool HoldDisk(Handle& disk);
void ReleaseDiskHold(Handle& disk);
bool DiskHeld(const Handle& disk);
// Whether an operation of this process holds the disk that a disk or
// volume handle opened for writing writes to (through any handle).
bool ProcessHoldsDisk(const Handle& handle);

bool SetFilePointerEx(Handle& handle, std::int64_t distance, std::int64_t* new_position, DWORD method);
bool SetEndOfFile(Handle& handle);
bool FlushFileBuffers(Handle& handle);
bool GetFileSizeEx(Handle& handle, std::int64_t* size);

bool DeviceIoControl(Handle& handle, DWORD code, const void* in, DWORD in_size, void* out, DWORD out_size,
                     DWORD* returned);

// The two classes of SetFileInformationByHandle the program uses: the space
// reserved for a file (fallocate, size unchanged) and its end (ftruncate).
enum : int { FileAllocationInfo = 5, FileEndOfFileInfo = 6 };
bool SetFileInformationByHandle(Handle& handle, int information_class, const void* buffer, DWORD size);

// The process's standard output as a handle of its own when it is a pipe:
// a stream, so writes go out in order and their offsets are ignored.
// Invalid (with ERROR_INVALID_HANDLE) when standard output is no pipe.
Handle OpenStandardOutputPipe();

// Deletes a regular file; never a device node, folder or anything else.
bool DeleteRegularFile(const std::string& path);

// The Linux path a file path names: "X:\rest" inside the mount folder of the
// volume with letter X, any other path as it is. Empty (with the last error)
// when the volume has no folder.
std::string ResolveFilePath(const std::string& path);

// ResolveFilePath's answer, or the path as it stands where it has none (an
// open of it then says what is wrong).
std::string LinuxPathOf(const std::string& path);

// Whether `path` is a file path (no device path) naming a regular file.
bool IsRegularFileAt(const std::string& path);

}  // namespace platform
