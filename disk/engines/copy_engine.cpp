#include "disk/engines/copy_engine.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "disk/bindings/liblz4.h"
#include "disk/device/device_query.h"
#include "disk/device/endpoint_overlap.h"
#include "disk/device/handle_ops.h"
#include "disk/util/lib_helpers.h"
#include "platform/base/scope_guard.h"
#include "disk/formats/lz4/lz4_frame.h"
#include "disk/copy/destination_hold.h"
#include "disk/engines/stored_format.h"
#include "platform/device/device_naming.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"
#include "platform/device/records/winioctl.h"
#include "platform/base/ascii.h"
#include "platform/base/byte_order.h"
#include "platform/base/interaction.h"
#include "platform/device/volume_api.h"
#include "platform/base/replace_file.h"
#include "platform/os/file_facts.h"

namespace disk {

using namespace platform;

namespace {

// ---- endpoints -------------------------------------------------------------

bool IsFile(const std::string& path) { return !device::IsDevicePath(path); }

bool IsWholeDisk(const std::string& path) { return device::IsWholeDiskPath(path); }

// The questions and messages of one copy, through its context's interaction.
class Dialogue {
public:
    explicit Dialogue(const OperationContext& context) : ui_(context.ui()) {}
    bool ask(const std::string& question) const { return ui_.confirm(question, kProgramCaption); }
    // A question about a disk or volume, with what it is on this machine.
    bool ask_about(const std::string& question, const std::string& path) const {
        return ui_.confirm_about(question, kProgramCaption, device::AboutDevices({path}));
    }
    void tell(const std::string& message) const { ui_.inform(message, kProgramCaption); }
    // "could not createfile (src),2": the code of the open that failed, and
    // the path where the person reads it on a console.
    void cannot_open(const char* which, const std::string& path, DWORD code) const {
        ui_.inform_failure(std::string("could not createfile (") + which + ")," + std::to_string(code), kProgramCaption,
                           path, code);
    }

private:
    Interaction& ui_;
};

bool RefuseOverlap(const Dialogue& dialogue, const std::string& src, const std::string& dst) {
    if (!EndpointsOverlap(src, dst)) return false;
    dialogue.tell("Source " + src + " and destination " + dst + " are the same or one holds the other");
    return true;
}

// A disk source may have file systems mounted on its volumes, which write
// through caches of their own: what they hold goes to the disk first.
bool SyncSource(const Dialogue& dialogue, Handle& source, const std::string& path) {
    if (IsFile(path) || SyncForReading(source)) return true;
    dialogue.tell("could not flush (src)," + std::to_string(GetLastError()));
    return false;
}

// The bytes a disk or volume destination has room for from where the copy
// writes (`length` when given); nothing for a file, which grows, or a
// device that cannot be looked at (its hold says why).
std::optional<std::int64_t> DeviceRoom(const std::string& dst, std::int64_t start, std::int64_t length) {
    if (IsFile(dst)) return std::nullopt;
    if (length > 0) return length;
    Handle device = CreateFile(dst, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!device) return std::nullopt;
    const std::int64_t size = EndpointSize(device, dst, false);
    if (size <= 0) return std::nullopt;
    return std::max<std::int64_t>(0, IsWholeDisk(dst) ? size - start : size);
}

// A device smaller than the data takes what fits, and only when the person
// says so; asked before the destination is held, so that No costs nothing
// and Yes holds only the device's own bytes. The bytes to copy, or nothing
// after No.
std::optional<std::int64_t> FittedToDestination(const Dialogue& dialogue, const std::string& dst,
                                                std::int64_t start, std::int64_t length, std::int64_t source_size) {
    const std::optional<std::int64_t> room = DeviceRoom(dst, start, length);
    if (!room || source_size <= *room) return source_size;
    if (!dialogue.ask("Source (" + std::to_string(source_size) + ") bigger than destination (" +
                      std::to_string(*room) + ")!, Continue?"))
        return std::nullopt;
    return *room;
}

}  // namespace

// ---- what every copy of this library shares ----------------------------------------

OperationContext CopyContext(ProgressBar* progress, OperationTarget* window) {
    copy_cancel = false;
    OperationContext context;
    context.progress = progress;
    context.status = window;
    context.cancel = &copy_cancel;
    return context;
}

CopyResult ResultOf(const CopyOutcome& outcome) {
    switch (outcome.end) {
    case CopyEnd::Completed:
        return outcome.unreadable_bytes > 0 ? CopyResult::CompletedWithUnreadableSectors : CopyResult::Completed;
    case CopyEnd::Cancelled: return CopyResult::Cancelled;
    default: return CopyResult::Failed;
    }
}

// ---- endpoints ------------------------------------------------------------------

std::int64_t EndpointSize(Handle& handle, const std::string& path, bool file_fallback) {
    std::int64_t size = IsWholeDisk(path) ? GetDiskLength(handle) : GetPartitionLength(handle);
    if (size == 0 && file_fallback && IsFile(path)) FileSizeByFind(ResolveFilePath(path), size);
    return size;
}

ZeroBlocks ZerosFor(Handle& handle, const std::string& path) {
    std::int64_t size = -1;
    return IsFile(path) && GetFileSizeEx(handle, &size) && size == 0 ? ZeroBlocks::LeftAsHoles : ZeroBlocks::Written;
}

std::string CreateFileError(const char* which, const std::string& path) {
    const DWORD code = GetLastError();
    return FailureLine(std::string("could not createfile (") + which + ")," + std::to_string(code), path, code);
}


// ---- preparing endpoints -----------------------------------------------------

namespace {

bool PrepareEndpoint(const Dialogue& dialogue, Handle& handle, const std::string& path) {
    if (IsFile(path)) return true;
    if (!handle) {
        dialogue.cannot_open("src", path, GetLastError());
        return false;
    }
    if (IsWholeDisk(path)) return true;  // a whole-disk source is read as it is
    // Both, in this order, whatever the lock gives: a volume that cannot be
    // locked may still let go of its file system.
    const bool locked = LockVolumeHandle(handle);
    const bool dismounted = DismountVolumeHandle(handle);
    if (!(locked && dismounted) && dialogue.ask_about("Lock and/or Dismount failed! Abort?", path)) {
        handle.close();
        return false;
    }
    DWORD returned = 0;
    DeviceIoControl(handle, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned);
    return true;
}

}  // namespace

bool PrepareSource(Handle& handle, const std::string& path) { return PrepareSource(OperationContext{}, handle, path); }

bool PrepareSource(const OperationContext& context, Handle& handle, const std::string& path) {
    return PrepareEndpoint(Dialogue(context), handle, path);
}

bool RefuseSameEndpoints(const OperationContext& context, const std::string& src, const std::string& dst) {
    return RefuseOverlap(Dialogue(context), src, dst);
}

std::size_t LockedVolumeCount() { return device::Registry::instance().locked_volume_count(); }

// ---- the copies ----------------------------------------------------------------

namespace {

// Threads that read the source of an LZ4 backup.
constexpr unsigned kLz4Readers = 4;

// What an LZ4 file in the frame format (lz4's default) is told: images are
// in the legacy frame, and the person needs to know how to make one.
std::string Lz4FrameRefusal(const std::string& src) {
    return "improper LZ4 file - " + src +
           ": it is in the LZ4 frame format, which lz4 writes by default; an image is in the legacy format that "
           "lz4 -l writes (lz4 -d, then lz4 -l, makes one of it)";
}

}  // namespace

CopyResult BackupRaw(const std::string& src, const std::string& dst, ProgressBar* progress, std::int64_t length,
                     std::int64_t start, bool lz4, OperationTarget* window) {
    return BackupRaw(CopyContext(progress, window), src, dst, length, start, lz4);
}

CopyResult RestoreRaw(const std::string& src, const std::string& dst, ProgressBar* progress, std::int64_t length,
                      std::int64_t start, bool lz4, OperationTarget* window) {
    return RestoreRaw(CopyContext(progress, window), src, dst, length, start, lz4);
}

CopyResult BackupRaw(const OperationContext& context, const std::string& src, const std::string& dst,
                     std::int64_t length, std::int64_t start, bool lz4) {
    if (lz4) LoadLZ4();
    Dialogue dialogue(context);
    if (RefuseOverlap(dialogue, src, dst)) return CopyResult::Failed;

    // A source that is not there is said before anything is asked.
    Handle source = CreateFile(src, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    if (!source) {
        dialogue.cannot_open("src", src, GetLastError());
        return CopyResult::Failed;
    }
    if (!dialogue.ask_about("Overwrite " + dst + "?", dst)) return CopyResult::Declined;
    // Yes replaces the file; it stays as it is until its replacement is complete.
    if (IsRegularFileAt(dst) && !dialogue.ask("File exists! Delete?")) return CopyResult::Declined;
    if (!PrepareEndpoint(dialogue, source, src)) return CopyResult::Failed;
    ScopeGuard unlock_source([&] {
        if (!IsFile(src) && !IsWholeDisk(src) && source) UnlockVolumeHandle(source);
    });

    std::int64_t total = length > 0 ? length : EndpointSize(source, src, true);
    if (total == 0) {
        dialogue.tell("could not retrieve source size");
        return CopyResult::Failed;
    }
    // A file has what it has: a range past its end stops there. Of a device
    // all of `total` is asked for, and what cannot be read is a read error.
    std::int64_t limit = total;
    if (IsFile(src)) limit = std::min(total, std::max<std::int64_t>(0, EndpointSize(source, src, true) - start));
    const std::optional<std::int64_t> fitted = FittedToDestination(dialogue, dst, start, 0, limit);
    if (!fitted) return CopyResult::Declined;
    limit = *fitted;
    if (!SyncSource(dialogue, source, src)) return CopyResult::Failed;

    DestinationOptions where;
    where.flags = FILE_FLAG_SEQUENTIAL_SCAN;
    where.offset = IsWholeDisk(dst) ? start : 0;
    where.length = limit;
    std::unique_ptr<DestinationHold> destination = PrepareDestination(context, dst, where);
    if (!destination) return CopyResult::Failed;

    context.post_status("Source total_size:" + std::to_string(total) + ", backuping...");
    RawSource reader(source, start, total);
    RawSink writer(destination->handle(), destination->is_disk() ? start : 0, destination->zeros());
    CopyLoopSettings settings;
    settings.limit = limit;
    CopyOutcome outcome;
    if (!lz4) {
        outcome = RunCopyLoop(reader, writer, settings, context);
    } else {
        // The packers take blocks faster than one thread copies them out of
        // the system's cache.
        settings.readers = kLz4Readers;
        Lz4FrameSink packer(writer);
        outcome = RunCopyLoop(reader, packer, settings, context);
    }
    // A disk learns its table however the copy ended; only a complete image
    // takes a file's name.
    if (!outcome.completed()) return ResultOf(outcome);
    return destination->complete() ? ResultOf(outcome) : CopyResult::Failed;
}

namespace {

// The image a restore reads: the file as it is stored, and the disk it
// unpacks to when it is an LZ4 image. Its parts refer to each other, so it
// stays where it was made.
struct RestoreImage {
    Handle file;
    std::int64_t stored_size = 0;
    std::optional<RawSource> stored;
    std::optional<Lz4FrameSource> unpacker;
    std::optional<std::int64_t> unpacked;  // what the data gives, when known
    std::size_t block = kCopyBlockSize;      // the copy's block: an unpacked block of an LZ4 image

    RestoreImage() = default;
    RestoreImage(const RestoreImage&) = delete;
    RestoreImage& operator=(const RestoreImage&) = delete;

    CopySource& data() { return unpacker ? static_cast<CopySource&>(*unpacker) : *stored; }
    std::int64_t size() const { return unpacked.value_or(stored_size); }
};

// Opens and measures the source, and syncs a disk's file systems, before
// the destination is touched: a wrong or damaged file must cost it nothing.
bool OpenRestoreImage(const Dialogue& dialogue, const std::string& src, RestoreImage& image) {
    image.file = CreateFile(src, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!image.file) {
        dialogue.cannot_open("src", src, GetLastError());
        return false;
    }
    image.stored_size = EndpointSize(image.file, src, true);
    if (image.stored_size == 0) {
        dialogue.tell("could not retrieve source size");
        return false;
    }
    if (!SyncSource(dialogue, image.file, src)) return false;
    image.stored.emplace(image.file, 0, image.stored_size);
    return true;
}

// What the file is decides how it is read, whatever was chosen: the packed
// bytes of an LZ4 image written as they are would be no disk. Told before
// the question: a file that can never be restored is refused at once. False
// (said) for a file in the LZ4 frame format, or one chosen as LZ4 that is
// none; `lz4` set for an LZ4 image.
bool ChooseFormat(const Dialogue& dialogue, const std::string& src, RestoreImage& image, bool& lz4) {
    switch (StoredFormatOf(*image.stored)) {
    case StoredFormat::Lz4Legacy:
        if (!lz4) LoadLZ4();
        lz4 = true;
        return true;
    case StoredFormat::Lz4Frame: dialogue.tell(Lz4FrameRefusal(src)); return false;
    default:
        // Chosen as LZ4, it must be one.
        if (lz4) dialogue.tell("improper LZ4 file");
        return !lz4;
    }
}

// An LZ4 image is read through once to learn its size and meet any damage
// before a byte is written. The result to end the restore with, or nothing
// to go on.
std::optional<CopyResult> MeasureUnpacking(const OperationContext& context, const Dialogue& dialogue,
                                           RestoreImage& image, bool lz4) {
    if (!lz4) {
        image.unpacked = image.stored_size;
        return std::nullopt;
    }
    image.unpacker.emplace(*image.stored, image.stored_size);
    try {
        std::size_t largest = 0;
        image.unpacked = Lz4UnpackedSize(
            *image.stored, image.stored_size,
            [&] {
                pump();
                return !context.cancelled();
            },
            &largest);
        // Each unpacked block is written from the buffer it was unpacked
        // into, none copied on the way.
        image.block = std::clamp(largest, kLz4BlockInput, kLz4MaxBlockOutput);
        image.unpacker->expect_blocks_of(image.block);
    } catch (const CopyFormatError& e) {
        dialogue.tell(e.what());
        return CopyResult::Failed;
    }
    if (context.cancelled()) {
        context.post_status("Aborted at 0");
        return CopyResult::Cancelled;
    }
    return std::nullopt;
}

// Where the restore writes. A range of an image file (a partition of a disk
// image) is written in place: the file is a disk then, and the rest of it
// must stay. Any other file is written beside its name and takes it once
// complete.
struct RestoreTarget {
    std::unique_ptr<DestinationHold> hold;
    bool into_file = false;
    std::int64_t base = 0;  // where the data starts in what is held
};

std::optional<RestoreTarget> HoldRestoreTarget(const OperationContext& context, const std::string& dst,
                                               std::int64_t start, std::int64_t source_size) {
    RestoreTarget target;
    target.into_file = start > 0 && IsRegularFileAt(dst);
    DestinationOptions where;
    where.file_in_place = target.into_file;
    where.offset = IsWholeDisk(dst) || target.into_file ? start : 0;
    where.length = source_size;
    target.hold = PrepareDestination(context, dst, where);
    if (!target.hold) return std::nullopt;
    target.base = target.hold->is_disk() || target.into_file ? start : 0;
    return target;
}

}  // namespace

CopyResult RestoreRaw(const OperationContext& context, const std::string& src, const std::string& dst,
                      std::int64_t length, std::int64_t start, bool lz4) {
    if (lz4) LoadLZ4();
    Dialogue dialogue(context);
    if (RefuseOverlap(dialogue, src, dst)) return CopyResult::Failed;

    // A source that is not there, or can never be restored, is said before
    // anything is asked.
    RestoreImage image;
    if (!OpenRestoreImage(dialogue, src, image)) return CopyResult::Failed;
    if (!ChooseFormat(dialogue, src, image, lz4)) return CopyResult::Failed;
    if (!dialogue.ask_about("Overwrite " + dst + "?", dst)) return CopyResult::Declined;
    if (std::optional<CopyResult> ended = MeasureUnpacking(context, dialogue, image, lz4)) return *ended;
    const std::int64_t source_size = image.size();
    const std::optional<std::int64_t> fitted = FittedToDestination(dialogue, dst, start, length, source_size);
    if (!fitted) return CopyResult::Declined;

    std::optional<RestoreTarget> target = HoldRestoreTarget(context, dst, start, *fitted);
    if (!target) return CopyResult::Failed;
    DestinationHold& destination = *target->hold;

    context.post_status("Source total_size:" + std::to_string(source_size) + ", restoring...");
    RawSink writer(destination.handle(), target->base, destination.zeros());
    CopyLoopSettings settings;
    settings.limit = image.unpacked ? std::min(*image.unpacked, *fitted) : 0;
    settings.done_text = "restore done in ";
    settings.block_size = image.block;
    // Unpacking runs ahead already: a block read long before it is written
    // would only have left the cache in between.
    if (image.unpacker) settings.read_ahead = 2;
    CopyOutcome outcome = RunCopyLoop(image.data(), writer, settings, context);
    // A disk learns its new table however the copy ended (the hold tells it
    // when it goes); only a complete restore makes a file of it.
    if (!outcome.completed()) return ResultOf(outcome);
    return destination.complete() ? ResultOf(outcome) : CopyResult::Failed;
}

}  // namespace disk
