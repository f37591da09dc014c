// The destination of an operation that writes, held for as long as the
// operation lasts: opened once, made ready once, handed back once.
//
// A disk has every volume locked and dismounted (or the person has said to
// go on), nothing that stays in the way of the bytes to be written, and the
// whole disk held for this process alone from before its first byte is
// written until the system's partitions are those of the table now on it.
// A volume is locked and dismounted itself. A file is written beside its
// name and takes the name only once it is complete. Whatever way the
// operation ends, the hold hands the destination back when it goes: a new
// file that did not complete is removed (the old one stays byte for byte),
// a disk's table is told to the system and its volumes are unlocked and
// mounted again, a volume is let go by its file system.
//
// Nothing here lives longer than the operation: a hold kept in a static
// would end at exit, after what it reports to.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "disk/copy/copy_endpoints.h"
#include "disk/copy/operation_context.h"
#include "disk/device/volume_lock_set.h"
#include "platform/base/replace_file.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"

namespace disk {

struct DestinationOptions {
    platform::DWORD flags = 0;  // CreateFile flags of the destination's handle
    // An existing file written into as it stands (a range of an image file
    // that is a disk), rather than replaced.
    bool file_in_place = false;
    // The bytes of the destination the operation writes: from `offset`,
    // `length` of them (0: to its end). Nothing may stay in their way.
    std::int64_t offset = 0;
    std::int64_t length = 0;
    // What a failed open says ("could not createfile (dst)," + the code when empty).
    std::string open_failure;
};

class DestinationHold {
public:
    ~DestinationHold();
    DestinationHold(const DestinationHold&) = delete;
    DestinationHold& operator=(const DestinationHold&) = delete;

    const std::string& path() const { return path_; }
    const platform::device::DevicePath& parsed() const { return parsed_; }
    bool is_disk() const { return parsed_.kind == platform::device::PathKind::Disk; }
    bool is_volume() const { return platform::device::IsDevicePath(path_) && !is_disk(); }
    bool is_file() const { return !platform::device::IsDevicePath(path_); }
    platform::Handle& handle() { return handle_; }
    // A disk's or volume's length; a file's size (0 for one made anew).
    std::int64_t size() const { return size_; }
    // A file made anew for this operation may keep holes where the source
    // has zeros; a disk or volume is made zeros there in place where it can
    // be; a file written into has every byte written.
    ZeroBlocks zeros() const {
        return replacement_ ? ZeroBlocks::LeftAsHoles : is_file() ? ZeroBlocks::Written : ZeroBlocks::ZeroedInPlace;
    }

    // The operation wrote everything: the system learns a disk's new table
    // (its partitions are made those of the table, the hold still taken), a
    // new file takes its name. False after telling why; the hold hands the
    // destination back as after a failure.
    bool complete();

private:
    friend std::unique_ptr<DestinationHold> PrepareDestination(const OperationContext& context,
                                                                const std::string& path,
                                                                const DestinationOptions& options, bool* declined);
    DestinationHold(const OperationContext& context, std::string path);
    bool prepare(const DestinationOptions& options);
    bool open_file(const DestinationOptions& options);
    bool open_device(const DestinationOptions& options);
    bool declined_ = false;
    bool nothing_in_the_way(const DestinationOptions& options);
    // What the lock question is about: the destination, and a disk's
    // volumes that are mounted.
    std::string about_locks();
    bool tell_table();

    OperationContext context_;  // a copy: a few pointers, valid for the operation
    std::string path_;
    platform::device::DevicePath parsed_;
    std::optional<platform::FileReplacement> replacement_;  // before the handle: the handle closes first
    platform::Handle handle_;
    VolumeLockSet volumes_;  // a disk's volumes, locked and dismounted
    std::int64_t size_ = 0;
    bool prepared_ = false;
    bool table_told_ = false;
};

// Opens `path` for writing and makes it ready as the hold says (the
// destination's preparation of the copies): a disk's volumes, or the volume
// itself, locked and dismounted; when one will not be, the person is asked
// "Lock and/or Dismount failed! Abort?". Yes, a volume that stays in use in
// the bytes to be written, a disk that another program uses, or a file that
// cannot be made: null after telling why, and nothing has been written. A
// disk an operation of this process holds already (a copy inside a larger
// one) is held once more as it is, without asking again. `declined`, when
// given, tells whether the person chose to stop.
std::unique_ptr<DestinationHold> PrepareDestination(const OperationContext& context, const std::string& path,
                                                    const DestinationOptions& options = {},
                                                    bool* declined = nullptr);

}  // namespace disk
