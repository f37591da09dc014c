// Raw copies of disks, volumes and files, plain or as LZ4 image files:
// BackupRaw and its inverse RestoreRaw, and the device preparation the
// converters and network transfers share with them.
//
// Both copies run on the caller's thread and pump its messages while they
// work. They report through the progress bar and the status target they are
// given (either may be null) and ask their questions through
// platform::interaction(); the copy cancel flag stops them. The same copies
// taking an operation context report, ask and stop as the context says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "disk/copy/copy_loop.h"
#include "platform/device/handle.h"
#include "platform/base/progress.h"

namespace disk {

enum class CopyResult {
    Completed,  // every byte is stored and synced; "Done in" was posted
    // Every byte is stored and synced, but some of the source could not be
    // read and was stored as zeros; the closing line and a message say so.
    CompletedWithUnreadableSectors,
    Declined,   // the person said No before anything was written
    Cancelled,  // the copy cancel flag stopped it
    Failed,     // an error was shown; the copy, if it started, is incomplete
};

// Copies `length` bytes of `src` from byte `start` (length 0: all of it) to
// `dst`, packed as an LZ4 image when `lz4` is set. A whole-disk destination
// is written from byte `start` too, so that a range lands where it was; a
// file or volume destination from its beginning. A file destination is
// written beside its name and takes it only once complete: a backup that
// fails, is cancelled or interrupted leaves an existing file as it was.
CopyResult BackupRaw(const std::string& src, const std::string& dst, platform::ProgressBar* progress,
                     std::int64_t length, std::int64_t start, bool lz4, platform::OperationTarget* window = nullptr);

// Copies all of `src` to `dst`. An LZ4 image is unpacked whether or not
// `lz4` is set (its first bytes tell it); with `lz4` set a file that is none
// is refused, as is a file in the LZ4 frame format either way.
// `length` > 0 stands for the destination size in the size question and
// messages; `start` is where a whole-disk destination is written from, and
// where an existing file is written into in place when it is above 0. An LZ4
// image is read through once before anything is written: a truncated or
// malformed one is refused, and the size it unpacks to is what the
// destination is measured against. After a whole disk is written the system's partitions are made
// those of its new table; when they cannot be, the restore fails.
CopyResult RestoreRaw(const std::string& src, const std::string& dst, platform::ProgressBar* progress,
                      std::int64_t length, std::int64_t start, bool lz4, platform::OperationTarget* window = nullptr);

CopyResult BackupRaw(const OperationContext& context, const std::string& src, const std::string& dst,
                     std::int64_t length, std::int64_t start, bool lz4);
CopyResult RestoreRaw(const OperationContext& context, const std::string& src, const std::string& dst,
                      std::int64_t length, std::int64_t start, bool lz4);

// The context the routines with the callers' signatures give their copy:
// the process's interaction and the copy cancel flag, cleared as it starts.
OperationContext CopyContext(platform::ProgressBar* progress, platform::OperationTarget* window);
CopyResult ResultOf(const CopyOutcome& outcome);

// Makes an opened source ready for sector access: a volume is locked and
// dismounted. When it cannot be, the person is asked "Lock and/or Dismount
// failed! Abort?". False means stop (the message was shown). A destination
// is made ready by its hold (disk/copy/destination_hold.h).
bool PrepareSource(platform::Handle& handle, const std::string& path);
// The same, asking and telling through the context's interaction.
bool PrepareSource(const OperationContext& context, platform::Handle& handle, const std::string& path);

// The size of an opened endpoint: a disk's length, a volume's partition
// length; a file's size only with `file_fallback` (else 0).
std::int64_t EndpointSize(platform::Handle& handle, const std::string& path, bool file_fallback);
// A file destination made empty for this copy may keep holes where the
// source has zeros; anything else must have every byte written.
ZeroBlocks ZerosFor(platform::Handle& handle, const std::string& path);
// "could not createfile (src)," or "(dst)," with the last error's code,
// then " - " + path + ": " + the system's text for that code.
std::string CreateFileError(const char* which, const std::string& path);
// True (after telling the person) when `src` and `dst` share bytes: the same
// file, disk or volume, or one holding the other.
bool RefuseSameEndpoints(const OperationContext& context, const std::string& src, const std::string& dst);

// The volumes this process holds locked now, through any handle: none once
// the operations that locked them are over.
std::size_t LockedVolumeCount();

}  // namespace disk
