// The two ends of every copy: a source that yields bytes by offset and a sink
// that stores them by offset. Each kind of disk, file or image is one small
// class of this shape; the copy loop (disk/copy/copy_loop.h) is written once over
// them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>

#include "platform/device/handle.h"

namespace disk {

class CopySource {
public:
    virtual ~CopySource() = default;
    // The bytes the source will yield. A source that can only tell at its end
    // (a packed image) gives its best estimate so far.
    virtual std::int64_t size() = 0;
    // Reads the bytes from `offset` on into `buffer`, filling it unless the
    // source ends first; `done` is the count read, 0 at the end. False (with
    // the thread's last error) when the read failed.
    virtual bool read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) = 0;
};

class CopySink {
public:
    virtual ~CopySink() = default;
    // Stores all of `data` at `offset`. False (with the last error) on failure.
    virtual bool write(std::int64_t offset, std::span<const std::byte> data) = 0;
    // Everything written is on the medium. False (with the last error) when
    // it is not: write errors of buffered data surface only here.
    virtual bool finish() = 0;
};

// A disk, volume or file read from byte `base` on.
class RawSource : public CopySource {
public:
    RawSource(platform::Handle& handle, std::int64_t base, std::int64_t size)
        : handle_(handle), base_(base), size_(size) {}
    std::int64_t size() override { return size_; }
    bool read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) override;

private:
    platform::Handle& handle_;
    std::int64_t base_;
    std::int64_t size_;
};

// A disk, volume or file written from byte `base` on.
//
// What has been written is synced in the background every 64 MiB, so the
// medium is busy while the copy runs and finish has only the tail to wait
// for. With `leave_holes` (only for a file made empty for this copy) blocks
// of zeros are not written: the file keeps holes there, which read as zeros.
class RawSink : public CopySink {
public:
    RawSink(platform::Handle& handle, std::int64_t base, bool leave_holes = false);
    ~RawSink() override;
    RawSink(const RawSink&) = delete;
    RawSink& operator=(const RawSink&) = delete;

    bool write(std::int64_t offset, std::span<const std::byte> data) override;
    bool finish() override;

private:
    void sync_behind(std::stop_token stop);
    bool stop_syncing();  // false (with the last error) when a background sync failed

    platform::Handle& handle_;
    std::int64_t base_;
    bool leave_holes_;
    std::int64_t end_ = 0;  // furthest byte written or left as a hole
    std::int64_t unsynced_ = 0;
    std::mutex mutex_;
    std::condition_variable sync_due_;
    bool due_ = false;
    platform::DWORD sync_error_ = 0;
    std::jthread syncer_;
};

// True when every byte of `data` is zero.
bool IsAllZero(std::span<const std::byte> data);

// Test seam: raw-source reads that touch bytes [offset, offset + length) of
// any source handle fail with `error`, as a bad sector would. Length 0
// removes the fault.
void InjectReadFaultForTesting(std::int64_t offset, std::int64_t length, platform::DWORD error);

}  // namespace disk
