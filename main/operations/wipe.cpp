#include "main/operations/wipe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "disk/copy/copy_buffer.h"
#include "disk/copy/copy_endpoints.h"
#include "disk/copy/copy_loop.h"
#include "disk/copy/destination_hold.h"
#include "disk/device/handle_ops.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/device/records/winioctl.h"

namespace tarnovell {

using namespace platform;

namespace {

// Bitmap bytes asked for at once: 8 Mi clusters.
constexpr std::size_t kBitmapPiece = 1 << 20;

using Clock = std::chrono::steady_clock;

// Closes the volume lock and the handle however the operation ends.
class HeldVolume {
public:
    explicit HeldVolume(Handle& handle) : handle_(handle) {}
    ~HeldVolume() {
        if (locked_) disk::UnlockVolumeHandle(handle_);
    }
    HeldVolume(const HeldVolume&) = delete;
    HeldVolume& operator=(const HeldVolume&) = delete;
    void locked() { locked_ = true; }

private:
    Handle& handle_;
    bool locked_ = false;
};

bool GetNtfsData(Handle& h, NTFS_VOLUME_DATA_BUFFER& data) {
    DWORD returned = 0;
    return DeviceIoControl(h, FSCTL_GET_NTFS_VOLUME_DATA, nullptr, 0, &data, sizeof data, &returned);
}

// Collects free clusters into writes of up to 1 MiB of zeros.
class ZeroWriter {
public:
    ZeroWriter(Handle& h, std::uint64_t cluster_size, std::uint64_t total_clusters, std::int64_t volume_length)
        : handle_(h), cluster_(cluster_size), total_(total_clusters), volume_length_(volume_length),
          zeros_(static_cast<std::size_t>(kMostZeroedAtOnce)) {
        zeros_.zero(zeros_.size());
    }

    // A free cluster run; adjacent runs join the pending write.
    void free_run(std::uint64_t first, std::uint64_t count) {
        if (first >= total_) return;
        count = std::min(count, total_ - first);  // never past the last cluster
        if (pending_count_ > 0 && pending_first_ + pending_count_ == first) {
            pending_count_ += count;
        } else {
            flush();
            pending_first_ = first;
            pending_count_ = count;
        }
        const std::uint64_t per_write = static_cast<std::uint64_t>(kMostZeroedAtOnce) / cluster_;
        while (pending_count_ >= per_write && per_write > 0) write(per_write);
    }

    void flush() {
        while (pending_count_ > 0) write(std::min<std::uint64_t>(pending_count_, std::max<std::uint64_t>(1, kMostZeroedAtOnce / cluster_)));
    }

    std::uint64_t zeroed() const { return zeroed_; }

private:
    void write(std::uint64_t clusters) {
        const std::int64_t at = static_cast<std::int64_t>(pending_first_ * cluster_);
        std::uint64_t bytes = clusters * cluster_;
        if (at < 0 || static_cast<std::uint64_t>(at) + bytes > static_cast<std::uint64_t>(volume_length_))
            throw std::runtime_error("writefile failed," + std::to_string(ERROR_SECTOR_NOT_FOUND));
        // A cluster larger than the zero buffer is written in pieces.
        for (std::uint64_t done = 0; done < bytes;) {
            std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(bytes - done, zeros_.size()));
            std::size_t written = 0;
            if (!WriteAt(handle_, at + static_cast<std::int64_t>(done), zeros_.data(), piece, &written) || written != piece)
                throw std::runtime_error("writefile failed," + std::to_string(GetLastError() ? GetLastError() : ERROR_WRITE_FAULT));
            done += piece;
        }
        zeroed_ += clusters;
        pending_first_ += clusters;
        pending_count_ -= clusters;
    }

    Handle& handle_;
    std::uint64_t cluster_;
    std::uint64_t total_;
    std::int64_t volume_length_;
    disk::AlignedBuffer zeros_;
    std::uint64_t pending_first_ = 0, pending_count_ = 0;
    std::uint64_t zeroed_ = 0;
};

}  // namespace

WipeResult WipeDevice(const std::string& path, const disk::OperationContext& context) {
    Interaction& ui = context.ui();
    if (!ui.confirm_about("Wipe " + path + "?", platform::kProgramCaption, platform::device::AboutDevices({path})))
        return WipeResult::Declined;
    // A disk with its volumes locked and the disk held whole, a volume
    // locked and dismounted; one that stays in use gets nothing written.
    disk::DestinationOptions where;
    where.open_failure = "could not createfile";
    bool declined = false;
    std::unique_ptr<disk::DestinationHold> hold = disk::PrepareDestination(context, path, where, &declined);
    if (!hold) return declined ? WipeResult::Declined : WipeResult::Failed;
    const std::int64_t size = hold->size();
    if (size == 0) {
        ui.inform("cannot get total size", platform::kProgramCaption);
        return WipeResult::Failed;
    }

    context.post_status("in progress...you may press cancel during operation...");
    disk::ZeroSource zeros(size);
    disk::RawSink sink(hold->handle(), 0, hold->zeros());
    disk::CopyLoopSettings settings;
    settings.limit = size;
    settings.source_must_reach_limit = true;
    settings.write_error_prefix = "writefile error:";
    settings.done_text = "done in ";
    disk::CopyOutcome outcome = disk::RunCopyLoop(zeros, sink, settings, context);
    if (outcome.completed()) return hold->complete() ? WipeResult::Completed : WipeResult::Failed;
    return outcome.end == disk::CopyEnd::Cancelled ? WipeResult::Cancelled : WipeResult::Failed;
}

WipeResult ZeroFreeClusters(const std::string& volume, const disk::OperationContext& context) {
    Interaction& ui = context.ui();
    if (!ui.confirm_about("zero all unused clusters for " + volume + "?", platform::kProgramCaption,
                          platform::device::AboutDevices({volume})))
        return WipeResult::Declined;
    Handle h = CreateFile(volume, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!h) {
        ui.inform(platform::device::OpenFailureText("INVALID_HANDLE_VALUE for" + volume, volume, GetLastError()),
                  platform::kProgramCaption);
        return WipeResult::Failed;
    }
    NTFS_VOLUME_DATA_BUFFER data{};
    if (!GetNtfsData(h, data)) {
        ui.inform("could not get ntfs data, not a NTFS volume?\r\n" + SysErrorMessage(GetLastError()),
                  platform::kProgramCaption);
        return WipeResult::Failed;
    }
    // Nothing may allocate a cluster between reading the bitmap and zeroing
    // what it calls free: the volume is ours alone before it is read.
    HeldVolume held(h);
    if (!disk::LockVolumeHandle(h)) {
        ui.inform("lock failed," + std::to_string(GetLastError()), platform::kProgramCaption);
        return WipeResult::Failed;
    }
    held.locked();
    if (!disk::DismountVolumeHandle(h)) {
        ui.inform("dismount failed," + std::to_string(GetLastError()), platform::kProgramCaption);
        return WipeResult::Failed;
    }
    if (!GetNtfsData(h, data)) {
        ui.inform("could not get ntfs data, not a NTFS volume?\r\n" + SysErrorMessage(GetLastError()),
                  platform::kProgramCaption);
        return WipeResult::Failed;
    }
    const std::uint64_t cluster = data.BytesPerCluster;
    const std::uint64_t total = static_cast<std::uint64_t>(data.TotalClusters);
    const std::uint64_t bitmap_bytes = (total + 7) / 8;
    if (context.progress) context.progress->set_max(static_cast<std::int64_t>(bitmap_bytes));

    const Clock::time_point start = Clock::now();
    Clock::time_point last = start;
    ZeroWriter writer(h, cluster, total, disk::GetPartitionLength(h));
    std::vector<std::uint8_t> reply(sizeof(VOLUME_BITMAP_BUFFER_HEADER) + kBitmapPiece);
    bool stopped = false;
    try {
        for (std::uint64_t lcn = 0; lcn < total && !stopped;) {
            STARTING_LCN_INPUT_BUFFER from{static_cast<std::int64_t>(lcn)};
            DWORD returned = 0;
            if (!DeviceIoControl(h, FSCTL_GET_VOLUME_BITMAP, &from, sizeof from, reply.data(),
                                 static_cast<DWORD>(reply.size()), &returned) &&
                GetLastError() != ERROR_MORE_DATA)
                throw std::runtime_error("FSCTL_GET_VOLUME_BITMAP failed:" + SysErrorMessage(GetLastError()));
            VOLUME_BITMAP_BUFFER_HEADER header{};
            std::memcpy(&header, reply.data(), sizeof header);
            const std::uint8_t* bits = reply.data() + sizeof header;
            const std::size_t bytes = returned - sizeof header;
            if (bytes == 0 || static_cast<std::uint64_t>(header.StartingLcn) != lcn)
                throw std::runtime_error("FSCTL_GET_VOLUME_BITMAP failed:" + SysErrorMessage(ERROR_INVALID_DATA));
            for (std::size_t i = 0; i < bytes; ++i) {
                if (context.cancelled()) {
                    stopped = true;
                    break;
                }
                const std::uint64_t first = lcn + 8 * i;
                const std::uint8_t b = bits[i];
                if (b == 0) {
                    writer.free_run(first, 8);
                } else if (b != 0xFF) {
                    for (unsigned bit = 0; bit < 8; ++bit)
                        if (!(b & (1u << bit))) writer.free_run(first + bit, 1);
                }
                if (Clock::now() - last > std::chrono::milliseconds(1000)) {
                    if (context.progress) context.progress->set_position(static_cast<std::int64_t>(first / 8));
                    pump();
                    last = Clock::now();
                }
            }
            lcn += 8 * static_cast<std::uint64_t>(bytes);
        }
        if (!stopped) writer.flush();
    } catch (const std::exception& e) {
        ui.inform(e.what(), platform::kProgramCaption);
        stopped = true;
    }
    if (context.progress) context.progress->set_position(static_cast<std::int64_t>(bitmap_bytes));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
    context.post_status("zeroed clusters : " + std::to_string(writer.zeroed()) + " (" +
                        std::to_string(writer.zeroed() * cluster / 1024 / 1024) + "MB) in " + std::to_string(seconds) +
                        " secs.");
    if (!FlushFileBuffers(h)) {
        ui.inform("writefile failed," + std::to_string(GetLastError()), platform::kProgramCaption);
        return WipeResult::Failed;
    }
    if (context.cancelled()) return WipeResult::Cancelled;
    return stopped ? WipeResult::Failed : WipeResult::Completed;
}

}  // namespace tarnovell
