// The two ends of every copy: a source that yields bytes by offset and a sink
// that stores them by offset. Each kind of disk, file or image is one small
// class of this shape; the copy loop (disk/copy/copy_loop.h) is written once over
// them.
//
// Sources and sinks fail one way: they raise. The copy loop turns whatever
// they raise into the copy's outcome, with its text:
//  - MediumError: the medium (a disk, a file, a peer's connection) refused a
//    read or a write with the system's error code. The loop's read- and
//    write-error policies decide what follows by that code: ask, read again
//    sector by sector, stop.
//  - CopyFormatError: the stored bytes break their own format, or a peer
//    its protocol.
//  - any other exception: the copy ends, and its text says why.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "disk/copy/copy_buffer.h"
#include "platform/base/win_error.h"
#include "platform/device/handle.h"

namespace disk {

// A read or a write the medium refused. `done`: the bytes a read gave
// before it failed, which the loop keeps. The text is the system's text for
// the code.
class MediumError : public std::runtime_error {
public:
    explicit MediumError(platform::DWORD code, std::size_t done = 0);
    platform::DWORD code() const { return code_; }
    std::size_t done() const { return done_; }

private:
    platform::DWORD code_;
    std::size_t done_;
};

// Raises MediumError with the thread's last error: the end of a source or
// sink built over a call that reports as the system does.
[[noreturn]] void RaiseMediumError(std::size_t done = 0);

// Raised by a source whose stored bytes break their own format (a truncated
// or oversized packed block), or by a source or sink whose peer broke its
// protocol. The loop shows the text and stops the copy.
class CopyFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Raised where an operation waited for something and the person stopped it
// meanwhile (the cancel flag): not a failure, nothing to tell.
class CopyCancelled : public std::runtime_error {
public:
    CopyCancelled() : std::runtime_error("cancelled") {}
};

class CopySource {
public:
    virtual ~CopySource() = default;
    // The bytes the source will yield. A source that can only tell at its end
    // (a packed image) gives its best estimate so far; one that cannot tell
    // at all (a stream from a peer) gives 0.
    virtual std::int64_t size() = 0;
    // Reads the bytes from `offset` on into `buffer`, filling it unless the
    // source ends first, and gives the count read, 0 at the end. Raises when
    // the read fails.
    virtual std::size_t read(std::int64_t offset, std::span<std::byte> buffer) = 0;
    // Reads as read() does into the first `size` bytes of `block`, or gives
    // a buffer of its own of the same size that holds them, taking `block`
    // in exchange, rather than copy them over.
    virtual std::size_t read_into(std::int64_t offset, AlignedBuffer& block, std::size_t size) {
        return read(offset, block.first(size));
    }
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
    // Whether reads may come from several threads at once, each at its own
    // offset, and a read comes back short only at the source's end.
    virtual bool reads_by_offset() const { return false; }
};

class CopySink {
public:
    virtual ~CopySink() = default;
    // Called once before the first write: what the sink must store before any
    // data (a file's magic, a peer's greeting). Raising stops the copy before
    // it reads anything.
    virtual void start() {}
    // Stores all of `data` at `offset`; offsets come in order, each where the
    // previous write ended. Raises on failure.
    virtual void write(std::int64_t offset, std::span<const std::byte> data) = 0;
    // Everything written is on the medium. Raises when it is not: write
    // errors of buffered data surface only here.
    virtual void finish() = 0;
    // The copy ends without its finish (cancelled, or its source failed):
    // what the sink keeps back to store together is stored now, so that
    // the medium holds what was written. Raises as a write does.
    virtual void store_held() {}
    // How many bytes from byte 0 on are on the medium, where the sink can
    // tell better than the count of what it was handed: a sink that keeps
    // some back to store them together, and has not stored them when the
    // copy ends without its finish (or a write or the finish raised), or
    // one that stored part of a write it then refused. Nothing: the count
    // of the writes that went through is the answer.
    virtual std::optional<std::int64_t> stored() const { return std::nullopt; }
    // Stores the first `size` bytes of `block` at `offset` as write() does,
    // but may take the buffer itself, leaving one of its own of the same
    // size in its place, rather than copy the bytes out: true when it did.
    virtual bool take(std::int64_t offset, AlignedBuffer& block, std::size_t size) {
        (void)offset, (void)block, (void)size;
        return false;
    }
};

// A disk, volume or file read from byte `base` on.
class RawSource : public CopySource {
public:
    RawSource(platform::Handle& handle, std::int64_t base, std::int64_t size)
        : handle_(handle), base_(base), size_(size) {}
    std::int64_t size() override { return size_; }
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override;
    std::uint32_t retry_unit() const override { return handle_.sector_size(); }
    bool reads_by_offset() const override { return platform::ReadsByOffsetFromAnyThread(handle_); }

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
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override { return raw_.read(offset, buffer); }

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
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override;

private:
    std::int64_t size_;
};

// Syncs what a sink has written on a thread of its own every 128 MiB, so
// the medium is busy while the copy runs and the sink's finish has only the
// tail to wait for. `sync` is the sink's own flush, which raises on failure.
class SyncBehind {
public:
    explicit SyncBehind(std::function<void()> sync) : sync_(std::move(sync)) {}
    ~SyncBehind() { halt(); }
    SyncBehind(const SyncBehind&) = delete;
    SyncBehind& operator=(const SyncBehind&) = delete;

    // Counts `bytes` more written. Raises what an earlier background sync raised.
    void wrote(std::int64_t bytes);
    // Waits for the sync under way. Raises what a background sync raised.
    void stop();

private:
    void run(std::stop_token stop);
    void halt();

    std::function<void()> sync_;
    std::int64_t unsynced_ = 0;
    std::mutex mutex_;
    std::condition_variable due_signal_;
    bool due_ = false;
    std::exception_ptr failure_;
    std::jthread thread_;  // last: stopped and joined first
};

// The most bytes a sink gives the system in one write: the system's cache
// has been seen to take a write of 1 MiB or more several times more slowly
// than the same bytes in pieces of 512 KiB, so a larger block goes in
// pieces.
constexpr std::size_t kLongestWrite = 512 << 10;

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
// writing. A disk or volume ends where it ends: a write that runs past it
// stores what fits (zeros gathered before it included) and is refused
// there as the medium refuses it.
class RawSink : public CopySink {
public:
    RawSink(platform::Handle& handle, std::int64_t base, ZeroBlocks zeros = ZeroBlocks::Written);

    void write(std::int64_t offset, std::span<const std::byte> data) override;
    void finish() override;
    void store_held() override { zero_pending(); }
    std::optional<std::int64_t> stored() const override { return stored_; }

private:
    // Zeroes the run of zero blocks gathered so far; where the medium
    // cannot zero in place, writes them.
    void zero_pending();
    void write_through(std::int64_t offset, std::span<const std::byte> data);
    // Bytes up to `end` are on the medium, when all before `from` are.
    void stored_up_to(std::int64_t from, std::int64_t end);

    platform::Handle& handle_;
    std::int64_t base_;
    ZeroBlocks zeros_;
    std::int64_t limit_ = -1;  // the device's bytes from `base` on; -1: a file, which grows
    std::int64_t end_ = 0;     // furthest byte written or left as a hole
    std::int64_t stored_ = 0;  // every byte before it is on the medium
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
