#include "disk/copy/copy_endpoints.h"
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

void InjectReadFaultForTesting(std::int64_t offset, std::int64_t length, DWORD error) {
    std::lock_guard guard(fault_mutex);
    fault = {offset, length, error};
    fault_armed = length > 0;
}

bool RawSource::read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) {
    done = 0;
    if (HitsInjectedFault(base_ + offset, buffer.size())) return false;
    return ReadAt(handle_, base_ + offset, buffer.data(), buffer.size(), &done);
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

bool ZeroSource::read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) {
    done = static_cast<std::size_t>(std::clamp<std::int64_t>(size_ - offset, 0, static_cast<std::int64_t>(buffer.size())));
    std::memset(buffer.data(), 0, done);
    return true;
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

bool SyncBehind::wrote(std::int64_t bytes) {
    unsynced_ += bytes;
    if (unsynced_ < kSyncBehind) return true;
    unsynced_ = 0;
    if (!thread_.joinable()) thread_ = platform::StartThread([this](std::stop_token stop) { run(stop); });
    std::lock_guard lock(mutex_);
    if (error_) {
        SetLastError(error_);
        return false;
    }
    due_ = true;
    due_signal_.notify_one();
    return true;
}

void SyncBehind::run(std::stop_token stop) {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            due_signal_.wait(lock, [&] { return due_ || stop.stop_requested(); });
            if (stop.stop_requested()) return;
            due_ = false;
        }
        if (!sync_()) {
            std::lock_guard lock(mutex_);
            error_ = GetLastError();
        }
    }
}

bool SyncBehind::stop() {
    if (thread_.joinable()) {
        thread_.request_stop();
        {
            std::lock_guard lock(mutex_);
            due_signal_.notify_one();
        }
        thread_.join();
    }
    if (error_) {
        SetLastError(error_);
        return false;
    }
    return true;
}

RawSink::RawSink(Handle& handle, std::int64_t base, ZeroBlocks zeros)
    : handle_(handle), base_(base), zeros_(zeros), sync_behind_([this] { return FlushFileBuffers(handle_); }) {}

namespace {

// The longest run of zeros gathered before it is zeroed: the sync behind
// the copy and a medium that turns out unable to zero in place both see it
// in pieces of this size.
constexpr std::int64_t kLongestZeroRun = std::int64_t{256} << 20;

}  // namespace

bool RawSink::write(std::int64_t offset, std::span<const std::byte> data) {
    end_ = std::max(end_, offset + static_cast<std::int64_t>(data.size()));
    if (zeros_ != ZeroBlocks::Written && IsAllZero(data)) {
        if (zeros_ != ZeroBlocks::ZeroedInPlace) return true;
        const bool follows = pending_length_ > 0 && pending_start_ + pending_length_ == offset &&
                             pending_length_ + static_cast<std::int64_t>(data.size()) <= kLongestZeroRun;
        if (!follows) {
            if (!zero_pending()) return false;
            pending_start_ = offset;
        }
        pending_length_ += static_cast<std::int64_t>(data.size());
        return true;
    }
    return zero_pending() && write_through(offset, data);
}

bool RawSink::zero_pending() {
    const std::int64_t start = pending_start_, length = pending_length_;
    pending_length_ = 0;
    if (length == 0) return true;
    if (zeros_ == ZeroBlocks::ZeroedInPlace) {
        if (ZeroFill(handle_, base_ + start, static_cast<std::size_t>(length))) return sync_behind_.wrote(length);
        if (GetLastError() != ERROR_NOT_SUPPORTED) return false;
        zeros_ = ZeroBlocks::Written;  // a medium that cannot once cannot again
    }
    static const std::vector<std::byte> zeros(1 << 20);
    for (std::int64_t done = 0; done < length;) {
        const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(length - done, zeros.size()));
        if (!write_through(start + done, {zeros.data(), piece})) return false;
        done += static_cast<std::int64_t>(piece);
    }
    return true;
}

bool RawSink::write_through(std::int64_t offset, std::span<const std::byte> data) {
    std::size_t done = 0;
    if (!WriteAt(handle_, base_ + offset, data.data(), data.size(), &done)) return false;
    if (done != data.size()) {
        SetLastError(ERROR_WRITE_FAULT);
        return false;
    }
    return sync_behind_.wrote(static_cast<std::int64_t>(done));
}

bool RawSink::finish() {
    if (!zero_pending() || !sync_behind_.stop()) return false;
    if (zeros_ == ZeroBlocks::LeftAsHoles) {
        // Holes at the end are not part of a file until its end is set.
        std::int64_t size = 0;
        if (!GetFileSizeEx(handle_, &size)) return false;
        std::int64_t end = base_ + end_;
        if (end > size && !SetFileInformationByHandle(handle_, FileEndOfFileInfo, &end, sizeof end)) return false;
    }
    return FlushFileBuffers(handle_);
}

}  // namespace disk
