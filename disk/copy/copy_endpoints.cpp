#include "disk/copy/copy_endpoints.h"
#include "disk/device/handle_ops.h"
#include "platform/os/thread.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace disk {

using namespace platform;

namespace {

struct ReadFault {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    DWORD error = 0;
};

std::atomic<bool> fault_armed{false};
std::mutex fault_mutex;
ReadFault fault;

bool HitsInjectedFault(std::int64_t offset, std::size_t length) {
    if (!fault_armed.load(std::memory_order_relaxed)) return false;
    std::lock_guard guard(fault_mutex);
    if (fault.length == 0 || offset >= fault.offset + fault.length ||
        offset + static_cast<std::int64_t>(length) <= fault.offset)
        return false;
    SetLastError(fault.error);
    return true;
}

}  // namespace

MediumError::MediumError(DWORD code, std::size_t done)
    : std::runtime_error(SysErrorMessage(code)), code_(code), done_(done) {}

void RaiseMediumError(std::size_t done) { throw MediumError(GetLastError(), done); }

void InjectReadFaultForTesting(std::int64_t offset, std::int64_t length, DWORD error) {
    std::lock_guard guard(fault_mutex);
    fault = {offset, length, error};
    fault_armed = length > 0;
}

std::size_t RawSource::read(std::int64_t offset, std::span<std::byte> buffer) {
    if (HitsInjectedFault(base_ + offset, buffer.size())) RaiseMediumError();
    std::size_t done = 0;
    if (!ReadAt(handle_, base_ + offset, buffer.data(), buffer.size(), &done)) RaiseMediumError(done);
    return done;
}

FileSource::FileSource(platform::Handle handle) : handle_(std::move(handle)), raw_(handle_, 0, 0) {
    if (!platform::GetFileSizeEx(handle_, &size_)) size_ = 0;
}

std::unique_ptr<FileSource> OpenFileSource(const std::string& path) {
    platform::Handle handle = platform::CreateFile(path, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                   platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL);
    if (!handle) return nullptr;
    return std::make_unique<FileSource>(std::move(handle));
}

std::size_t ZeroSource::read(std::int64_t offset, std::span<std::byte> buffer) {
    const auto done =
        static_cast<std::size_t>(std::clamp<std::int64_t>(size_ - offset, 0, static_cast<std::int64_t>(buffer.size())));
    std::memset(buffer.data(), 0, done);
    return done;
}

bool IsAllZero(std::span<const std::byte> data) {
    static const std::byte zeros[4096] = {};
    std::size_t at = 0;
    for (; at + sizeof zeros <= data.size(); at += sizeof zeros)
        if (std::memcmp(data.data() + at, zeros, sizeof zeros) != 0) return false;
    return std::memcmp(data.data() + at, zeros, data.size() - at) == 0;
}

namespace {
constexpr std::int64_t kSyncBehind = 128 << 20;
}  // namespace

void SyncBehind::wrote(std::int64_t bytes) {
    unsynced_ += bytes;
    if (unsynced_ < kSyncBehind) return;
    unsynced_ = 0;
    if (!thread_.joinable()) thread_ = platform::StartThread([this](std::stop_token stop) { run(stop); });
    std::lock_guard lock(mutex_);
    if (failure_) std::rethrow_exception(failure_);
    due_ = true;
    due_signal_.notify_one();
}

void SyncBehind::run(std::stop_token stop) {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            due_signal_.wait(lock, [&] { return due_ || stop.stop_requested(); });
            if (stop.stop_requested()) return;
            due_ = false;
        }
        try {
            sync_();
        } catch (...) {
            std::lock_guard lock(mutex_);
            failure_ = std::current_exception();
        }
    }
}

void SyncBehind::halt() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    {
        std::lock_guard lock(mutex_);
        due_signal_.notify_one();
    }
    thread_.join();
}

void SyncBehind::stop() {
    halt();
    if (failure_) std::rethrow_exception(failure_);
}

RawSink::RawSink(Handle& handle, std::int64_t base, ZeroBlocks zeros)
    : handle_(handle), base_(base), zeros_(zeros), sync_behind_([this] {
          if (!FlushFileBuffers(handle_)) RaiseMediumError();
      }) {
    if (handle_.kind() == HandleKind::File) return;
    if (const std::int64_t length = GetDiskLength(handle_); length > 0) limit_ = std::max<std::int64_t>(0, length - base_);
}

namespace {

// The longest run of zeros gathered before it is zeroed: the sync behind
// the copy and a medium that turns out unable to zero in place both see it
// in pieces of this size.
constexpr std::int64_t kLongestZeroRun = std::int64_t{256} << 20;

}  // namespace

void RawSink::write(std::int64_t offset, std::span<const std::byte> data) {
    const auto size = static_cast<std::int64_t>(data.size());
    if (limit_ >= 0 && offset + size > limit_) {
        // A destination smaller than the source: what fits goes on it,
        // zeros gathered before included, so that it holds the source's
        // first bytes exactly; the rest is handed to the medium, which
        // refuses it in its own words.
        const auto fits = static_cast<std::size_t>(std::clamp<std::int64_t>(limit_ - offset, 0, size));
        if (fits > 0) write(offset, data.first(fits));
        zero_pending();
        write_through(offset + static_cast<std::int64_t>(fits), data.subspan(fits));
        return;
    }
    end_ = std::max(end_, offset + size);
    if (zeros_ != ZeroBlocks::Written && IsAllZero(data)) {
        if (zeros_ != ZeroBlocks::ZeroedInPlace) return stored_up_to(offset, offset + size);
        const bool follows = pending_length_ > 0 && pending_start_ + pending_length_ == offset &&
                             pending_length_ + static_cast<std::int64_t>(data.size()) <= kLongestZeroRun;
        if (!follows) {
            zero_pending();
            pending_start_ = offset;
        }
        pending_length_ += static_cast<std::int64_t>(data.size());
        return;
    }
    zero_pending();
    write_through(offset, data);
}

void RawSink::zero_pending() {
    const std::int64_t start = pending_start_, length = pending_length_;
    pending_length_ = 0;
    if (length == 0) return;
    if (zeros_ == ZeroBlocks::ZeroedInPlace) {
        // Zeroed in place leaves no pages to write back: the finish's flush
        // makes it lasting, so it does not count towards the sync behind.
        if (ZeroFill(handle_, base_ + start, static_cast<std::size_t>(length))) return stored_up_to(start, start + length);
        if (GetLastError() != ERROR_NOT_SUPPORTED) RaiseMediumError();
        zeros_ = ZeroBlocks::Written;  // a medium that cannot once cannot again
    }
    static const std::vector<std::byte> zeros(1 << 20);
    for (std::int64_t done = 0; done < length;) {
        const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(length - done, zeros.size()));
        write_through(start + done, {zeros.data(), piece});
        done += static_cast<std::int64_t>(piece);
    }
}

void RawSink::write_through(std::int64_t offset, std::span<const std::byte> data) {
    for (std::size_t at = 0; at < data.size(); at += kLongestWrite) {
        const std::span<const std::byte> piece = data.subspan(at, std::min(kLongestWrite, data.size() - at));
        const std::int64_t piece_offset = offset + static_cast<std::int64_t>(at);
        std::size_t done = 0;
        if (!WriteAt(handle_, base_ + piece_offset, piece.data(), piece.size(), &done)) RaiseMediumError();
        stored_up_to(piece_offset, piece_offset + static_cast<std::int64_t>(done));
        if (done != piece.size()) throw MediumError(ERROR_WRITE_FAULT);
        sync_behind_.wrote(static_cast<std::int64_t>(done));
    }
}

void RawSink::stored_up_to(std::int64_t from, std::int64_t end) {
    if (from <= stored_) stored_ = std::max(stored_, end);
}

void RawSink::finish() {
    zero_pending();
    sync_behind_.stop();
    if (zeros_ == ZeroBlocks::LeftAsHoles) {
        // Holes at the end are not part of a file until its end is set.
        std::int64_t size = 0;
        if (!GetFileSizeEx(handle_, &size)) RaiseMediumError();
        std::int64_t end = base_ + end_;
        if (end > size && !SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end)) RaiseMediumError();
    }
    if (!FlushFileBuffers(handle_)) RaiseMediumError();
}

}  // namespace disk
