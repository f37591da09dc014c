// The two ends of every copy: a source that yields bytes by offset and a sink
// that stores them by offset. Each kind of disk, file or image is one small
// class of this shape; the copy loop (disk/copy/copy_loop.h) is written once over
// them.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/device/handle.h"

namespace disk {

class CopySource {
public:
    virtual ~CopySource() = default;
    // The bytes the source will yield. A source that can only tell at its end
    // (a packed image) gives its best estimate so far; one that cannot tell
    // at all (a stream from a peer) gives 0.
    virtual std::int64_t size() = 0;
    // Reads the bytes from `offset` on into `buffer`, filling it unless the
    // source ends first; `done` is the count read, 0 at the end. False (with
    // the thread's last error) when the read failed.
    virtual bool read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) = 0;
    // The smallest piece a failed read can be read again in, to tell the
    // bytes that cannot be read from those that can: the device's sector for
    // a source read by offset. 0 for a source that only goes forward (a
    // packed image, a stream from a peer): what it could not read is lost.
    virtual std::uint32_t retry_unit() const { return 0; }
    // The copy is over: a read that waits for data that may never come (a
    // peer's bytes) fails at once, and so does every later read. Called
    // from another thread than the reads.
    virtual void interrupt() {}
    // The files an image source reads (the image, its extents, segments and
    // parents), which its destination must not be; empty for other sources.
    virtual std::vector<std::string> files() const { return {}; }
};

class CopySink {
public:
    virtual ~CopySink() = default;
    // Called once before the first write: what the sink must store before any
    // data (a file's magic, a peer's greeting). False (with the last error)
    // stops the copy before it reads anything.
    virtual bool start() { return true; }
    // Stores all of `data` at `offset`; offsets come in order, each where the
    // previous write ended. False (with the last error) on failure.
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
    std::uint32_t retry_unit() const override { return handle_.sector_size(); }

private:
    platform::Handle& handle_;
    std::int64_t base_;
    std::int64_t size_;
};

// A file opened for reading, read as a whole: the source owns its handle.
class FileSource : public CopySource {
public:
    explicit FileSource(platform::Handle handle);
    std::int64_t size() override { return size_; }
    bool read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) override {
        return raw_.read(offset, buffer, done);
    }

private:
    platform::Handle handle_;
    std::int64_t size_ = 0;
    RawSource raw_;
};

// Opens the file at `path` (a Linux path) for reading, sharing it with
// readers only. Null, with the last error set, when it cannot be opened.
std::unique_ptr<FileSource> OpenFileSource(const std::string& path);

// `size` bytes of zeros: what a wipe copies onto a device.
class ZeroSource : public CopySource {
public:
    explicit ZeroSource(std::int64_t size) : size_(size) {}
    std::int64_t size() override { return size_; }
    bool read(std::int64_t offset, std::span<std::byte> buffer, std::size_t& done) override;

private:
    std::int64_t size_;
};

// Syncs what a sink has written on a thread of its own every 128 MiB, so
// the medium is busy while the copy runs and the sink's finish has only the
// tail to wait for. `sync` is the sink's own flush (false with the last
// error on failure).
class SyncBehind {
public:
    explicit SyncBehind(std::function<bool()> sync) : sync_(std::move(sync)) {}
    ~SyncBehind() { stop(); }
    SyncBehind(const SyncBehind&) = delete;
    SyncBehind& operator=(const SyncBehind&) = delete;

    // Counts `bytes` more written. False (with the last error) when an
    // earlier background sync failed.
    bool wrote(std::int64_t bytes);
    // Waits for the sync under way. False (with the last error) when a
    // background sync failed.
    bool stop();

private:
    void run(std::stop_token stop);

    std::function<bool()> sync_;
    std::int64_t unsynced_ = 0;
    std::mutex mutex_;
    std::condition_variable due_signal_;
    bool due_ = false;
    platform::DWORD error_ = 0;
    std::jthread thread_;  // last: stopped and joined first
};

// What a sink does with a block of zeros.
enum class ZeroBlocks {
    Written,
    // Not written: the file (made empty for this copy) keeps a hole there,
    // and its end is set at finish.
    LeftAsHoles,
    // Not written: the medium (made blank for this copy) reads zeros there.
    Skipped,
    // Not written but zeroed in place, where the medium can (a hole punched
    // in an image file, a disk's own zeroing), which costs a fraction of
    // writing them; written where it cannot.
    ZeroedInPlace,
};

// A disk, volume or file written from byte `base` on, synced behind the
// writing.
class RawSink : public CopySink {
public:
    RawSink(platform::Handle& handle, std::int64_t base, ZeroBlocks zeros = ZeroBlocks::Written);

    bool write(std::int64_t offset, std::span<const std::byte> data) override;
    bool finish() override;

private:
    // Zeroes the run of zero blocks gathered so far; where the medium
    // cannot zero in place, writes them.
    bool zero_pending();
    bool write_through(std::int64_t offset, std::span<const std::byte> data);

    platform::Handle& handle_;
    std::int64_t base_;
    ZeroBlocks zeros_;
    std::int64_t end_ = 0;  // furthest byte written or left as a hole
    // Zero blocks next to each other are zeroed in place as one run: one
    // call for a run costs what one call for a block does.
    std::int64_t pending_start_ = 0;
    std::int64_t pending_length_ = 0;
    SyncBehind sync_behind_;
};

// True when every byte of `data` is zero.
bool IsAllZero(std::span<const std::byte> data);

// Test seam: raw-source reads that touch bytes [offset, offset + length) of
// any source handle fail with `error`, as a bad sector would. Length 0
// removes the fault.
void InjectReadFaultForTesting(std::int64_t offset, std::int64_t length, platform::DWORD error);

}  // namespace disk
