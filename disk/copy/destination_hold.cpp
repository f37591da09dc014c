#include "disk/copy/destination_hold.h"

#include <vector>

#include "disk/device/device_query.h"
#include "disk/device/handle_ops.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"
#include "platform/device/records/winioctl.h"
#include "platform/device/registry.h"
#include "platform/os/file_facts.h"
#include "platform/os/folders.h"

namespace disk {

using namespace platform;

namespace {


// The file a new one takes the place of: the Linux path of `path`, or what
// a link there points to. Empty when the destination is no file to replace
// (a pipe, a device node), which is then written as it is.
std::string ReplacedFile(const std::string& path) {
    std::string resolved = ResolveFilePath(path);
    if (resolved.empty()) return "";
    const auto facts = FileFactsOf(resolved);
    if (facts && facts->is_regular()) return ResolvedPath(resolved).value_or(resolved);
    return facts ? "" : resolved;
}

// The mounted volumes of the disk in [at, at + length): what may be in the
// way of a write there ("/dev/loop3p1 mounted at /mnt/data, partition 1 of ...").
std::vector<std::string> MountedVolumes(int disk, std::int64_t at, std::int64_t length) {
    // As they are now, after the locks that did unmount.
    const auto snap = device::Registry::instance().refresh();
    std::vector<std::string> mounted;
    for (const device::VolumeInfo* volume : snap->volumes_of(disk))
        if (!volume->mount_points.empty() && device::ByteRange{volume->start, volume->length}.overlaps(at, length))
            mounted.push_back(device::DescribeVolume(*snap, *volume));
    return mounted;
}

// " (" + the volumes in the way + ")", "" when none can be told.
std::string VolumesInUse(int disk, std::int64_t at, std::int64_t length) {
    std::string named;
    for (const std::string& volume : MountedVolumes(disk, at, length)) named += (named.empty() ? "" : "; ") + volume;
    return named.empty() ? "" : " (" + named + ")";
}

}  // namespace

DestinationHold::DestinationHold(const OperationContext& context, std::string path)
    : context_(context), path_(std::move(path)), parsed_(device::ParseDevicePath(path_)) {}

DestinationHold::~DestinationHold() {
    // Handing back must not change the error its caller reads next.
    const DWORD error = GetLastError();
    // A disk written even in part shows its new table, right or wrong, and
    // is let go only then: nobody reads the table in between.
    if (prepared_ && is_disk() && !table_told_) IoctlUpdateProperties(handle_);
    if (prepared_ && is_volume()) LockDismountUnlock(handle_);
    const bool held = DiskHeld(handle_);
    ReleaseDiskHold(handle_);
    handle_.close();
    // Mounted again once the disk is no longer held whole, which keeps
    // every partition from being mounted.
    volumes_.unlock_all();
    volumes_.release();
    replacement_.reset();  // a file that did not take its name goes
    if (held) device::Registry::instance().refresh();
    SetLastError(error);
}

bool DestinationHold::prepare(const DestinationOptions& options) {
    if (!(is_file() ? open_file(options) : open_device(options))) return false;
    prepared_ = true;
    return true;
}

bool DestinationHold::open_file(const DestinationOptions& options) {
    Interaction& ui = context_.ui();
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const std::string replaced = options.file_in_place ? std::string() : ReplacedFile(path_);
    DWORD error = 0;
    if (!replaced.empty()) {
        // (The image behind a disk is refused: it is written only through its disk.)
        replacement_.emplace(replaced, FileReplacement::Start::NameOnly);
        if (*replacement_) handle_ = CreateFile(replacement_->path(), access, share, CREATE_NEW, options.flags);
        if (!handle_) error = GetLastError();
    } else {
        handle_ = CreateFile(path_, access, share, OPEN_EXISTING, options.flags);
        if (!handle_) handle_ = CreateFile(path_, GENERIC_WRITE, 0, CREATE_NEW, options.flags);
        if (!handle_) error = GetLastError();
        if (handle_ && !GetFileSizeEx(handle_, &size_)) size_ = 0;
    }
    if (handle_) return true;
    const std::string text =
        options.open_failure.empty() ? "could not createfile (dst)," + std::to_string(error) : options.open_failure;
    ui.inform_failure(text, platform::kProgramCaption, path_, error);
    return false;
}

bool DestinationHold::open_device(const DestinationOptions& options) {
    Interaction& ui = context_.ui();
    // Why the disk could not be held: another program has it, or (a
    // write-protected medium, a backing we may only read) it takes no writes.
    auto in_use = [&](DWORD code) {
        const std::string text = code == ERROR_WRITE_PROTECT || code == ERROR_ACCESS_DENIED
                                     ? path_ + " cannot be written: nothing was written"
                                     : path_ + " is in use by another program: nothing was written";
        ui.inform_failure(text, platform::kProgramCaption, path_, code);
        return false;
    };
    handle_ = CreateFile(path_, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                         options.flags);
    if (!handle_) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) return in_use(error);
        const std::string text =
            options.open_failure.empty() ? "could not createfile (dst)," + std::to_string(error) : options.open_failure;
        ui.inform_failure(device::OpenFailureText(text, path_, error), platform::kProgramCaption, path_, error);
        return false;
    }
    size_ = is_disk() ? GetDiskLength(handle_) : GetPartitionLength(handle_);
    // Inside an operation that holds the disk already, everything was made
    // ready and asked for: the disk is held once more.
    if (is_disk() && ProcessHoldsDisk(handle_)) return HoldDisk(handle_) || in_use(GetLastError());

    bool ready = true;
    if (is_disk()) {
        ready = volumes_.lock_volumes_of(path_);
    } else {
        // Both, in this order, whatever the lock gives: a volume that cannot
        // be locked may still let go of its file system.
        const bool locked = LockVolumeHandle(handle_);
        const bool dismounted = DismountVolumeHandle(handle_);
        ready = locked && dismounted;
    }
    if (!ready && ui.confirm_about("Lock and/or Dismount failed! Abort?", platform::kProgramCaption, about_locks())) {
        declined_ = true;
        return false;
    }
    if (!nothing_in_the_way(options)) return false;
    if (is_disk() && !HoldDisk(handle_)) return in_use(GetLastError());
    if (is_volume()) {
        DWORD returned = 0;
        DeviceIoControl(handle_, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned);
    }
    return true;
}

std::string DestinationHold::about_locks() {
    std::string about = device::AboutDevices({path_});
    if (is_disk())
        for (const std::string& volume : MountedVolumes(handle_.disk_number(), 0, size_))
            about += "\nmounted: " + volume;
    return about;
}

bool DestinationHold::nothing_in_the_way(const DestinationOptions& options) {
    // Going on past a volume that would not let go helps only where writing
    // it is allowed after all (a file system that let go without a lock);
    // a volume still in use would refuse the copy half-way, after the table
    // and the first bytes were gone.
    std::int64_t at = options.offset;
    if (is_volume()) {
        PARTITION_INFORMATION_EX info{};
        if (GetPartitionInfoEx(handle_, info)) at += info.StartingOffset;
    }
    const std::int64_t length = options.length > 0 ? options.length : size_ - options.offset;
    if (length <= 0 || device::Registry::instance().write_allowed(handle_.disk_number(), at, length)) return true;
    context_.ui().inform_failure("a volume of " + path_ + " is still in use: nothing was written" +
                                     VolumesInUse(handle_.disk_number(), at, length),
                                 platform::kProgramCaption, path_, ERROR_ACCESS_DENIED);
    return false;
}

bool DestinationHold::tell_table() {
    table_told_ = true;
    if (IoctlUpdateProperties(handle_)) return true;
    // A system that keeps the old partitions would mount and check them in
    // place of the new ones.
    const std::string text = "IOCTL_DISK_UPDATE_PROPERTIES failed:" + SysErrorMessage(GetLastError());
    context_.ui().inform(text, platform::kProgramCaption);
    context_.post_status(text);
    return false;
}

bool DestinationHold::complete() {
    if (is_disk()) return tell_table();
    if (!replacement_) return true;
    // Only a complete file takes the name; the old one stays until then.
    if (handle_.close() && replacement_->commit()) return true;
    context_.ui().inform("could not replace " + path_ + ": " + SysErrorMessage(GetLastError()),
                         platform::kProgramCaption);
    return false;
}

std::unique_ptr<DestinationHold> PrepareDestination(const OperationContext& context, const std::string& path,
                                                    const DestinationOptions& options, bool* declined) {
    std::unique_ptr<DestinationHold> hold(new DestinationHold(context, path));
    const bool ready = hold->prepare(options);
    if (declined) *declined = hold->declined_;
    if (!ready) return nullptr;
    return hold;
}

}  // namespace disk
