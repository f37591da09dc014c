#include "main/operations/clone.h"

#include <algorithm>
#include <chrono>
#include <ostream>
#include <thread>

#include "disk/copy/copy_loop.h"
#include "disk/copy/destination_hold.h"
#include "disk/device/endpoint_overlap.h"
#include "disk/device/handle_ops.h"
#include "platform/device/device_naming.h"
#include "platform/device/records/winioctl.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/device/path.h"

namespace tarnovell {

using namespace platform;

namespace {

constexpr std::int64_t kProgressUnit = 16 << 20;

bool IsPhysical(const std::string& path) { return device::IsWholeDiskPath(path); }

std::int64_t SizeOf(Handle& h, const std::string& path) {
    return IsPhysical(path) ? disk::GetDiskLength(h) : disk::GetPartitionLength(h);
}

Handle Open(const std::string& path, DWORD access) {
    return CreateFile(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
}

}  // namespace

CloneResult CloneDevice(const std::string& source, const std::string& destination,
                        const disk::OperationContext& context, bool quiet) {
    if (source.empty() || destination.empty()) return CloneResult::Declined;
    Interaction& ui = context.ui();
    // Copying between overlapping devices reads what it has just written.
    if (ToLower(source) == ToLower(destination)) {
        ui.inform("Source and Destination cannot be the same", platform::kProgramCaption);
        return CloneResult::Refused;
    }
    if (disk::EndpointsOverlap(source, destination)) {
        ui.inform("Source " + source + " and destination " + destination + " are the same or one holds the other",
                  platform::kProgramCaption);
        return CloneResult::Refused;
    }

    // Both ends are opened before anything is asked: a question about a
    // device that is not there would be answered for nothing.
    Handle src = Open(source, GENERIC_READ);
    if (!src) {
        ui.inform_failure("could not createfile", platform::kProgramCaption, source, GetLastError());
        return CloneResult::Aborted;
    }
    std::int64_t source_size = SizeOf(src, source);
    // Measured before anything is locked: a No here costs the destination nothing.
    Handle measured = CreateFile(destination, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!measured) {
        ui.inform_failure("could not createfile", platform::kProgramCaption, destination, GetLastError());
        return CloneResult::Aborted;
    }
    std::int64_t destination_size = SizeOf(measured, destination);
    measured.close();
    if (!quiet && !ui.confirm_about("Clone " + source + " to " + destination + "?", platform::kProgramCaption,
                                    platform::device::AboutDevices({source, destination})))
        return CloneResult::Declined;
    if (destination_size < source_size && !quiet &&
        !ui.confirm("Source is bigger than Destination! Continue?", platform::kProgramCaption))
        return CloneResult::Declined;

    // Every volume of a destination disk, and a destination volume itself,
    // is locked and dismounted (both tried, whatever the lock gives) before
    // the first byte is written, or the person says to go on; a disk is
    // held whole until the system knows its new table. The hold gives it
    // all back however the clone ends.
    disk::DestinationOptions where;
    where.open_failure = "could not createfile";
    where.length = std::min(source_size, destination_size);
    bool declined = false;
    std::unique_ptr<disk::DestinationHold> hold = disk::PrepareDestination(context, destination, where, &declined);
    if (!hold) return declined ? CloneResult::Declined : CloneResult::Aborted;
    Handle& dst = hold->handle();
    DWORD returned = 0;
    if (!IsPhysical(source)) DeviceIoControl(dst, FSCTL_ALLOW_EXTENDED_DASD_IO, nullptr, 0, nullptr, 0, &returned);
    // File systems mounted on the source write out what they hold, or the
    // copy would read blocks older than they are.
    if (!SyncForReading(src)) {
        ui.inform("could not flush (src)," + std::to_string(GetLastError()), platform::kProgramCaption);
        return CloneResult::Aborted;
    }

    // Only now, with every question answered and the volumes locked, does
    // the old layout go: a No or a failed lock leaves the destination as it
    // was, and so does a layout the system cannot let go of.
    if (hold->is_disk()) {
        disk::DeleteDriveLayout(destination);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    context.post_status("Source total_size:" + std::to_string(source_size) + ", cloning...");
    disk::RawSource reader(src, 0, source_size);
    disk::RawSink writer(dst, 0, hold->zeros());
    disk::CopyLoopSettings settings;
    settings.limit = source_size;
    settings.progress.every_bytes = kProgressUnit;
    settings.read_errors = disk::ReadErrorPolicy::Stop;
    settings.read_error_prefix = "readfile error:";
    settings.write_error_prefix = "writefile error:";
    settings.quiet_write_errors = quiet;
    settings.done_text = "clone done in ";
    disk::CopyOutcome outcome = disk::RunCopyLoop(reader, writer, settings, context);

    // The system learns the new layout, the disk still held; one that keeps
    // the old partitions would mount and check them in place of the new ones.
    const bool table_learnt = hold->complete();
    return outcome.completed() && table_learnt ? CloneResult::Completed : CloneResult::Aborted;
}

}  // namespace tarnovell
