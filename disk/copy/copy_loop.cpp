#include "disk/copy/copy_loop.h"
#include "platform/os/thread.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <ostream>
#include <stop_token>
#include <thread>
#include <vector>

#include "disk/copy/copy_buffer.h"
#include "platform/base/interaction.h"

namespace disk {

using namespace platform;

std::atomic<bool> copy_cancel{false};

void PostStatus(OperationTarget* window, const std::string& text) {
    if (window) window->post(WM_OPERATION, OperationKind::Status, 0, text);
}

std::string KBytesPerSecond(std::int64_t bytes, std::int64_t milliseconds) {
    if (milliseconds <= 0) milliseconds = 1;
    return std::to_string(((bytes / milliseconds) * 1000) / 1024) + " KBytes/sec";
}

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MillisecondsSince(Clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - then).count();
}

// Reads the source on a thread of its own, a few blocks ahead of the loop, so
// that reading the next block overlaps writing this one. Blocks come out in
// source order; a failed read is handed on as it is, for the loop to decide.
class BlockPrefetcher {
public:
    struct Block {
        AlignedBuffer buffer;
        std::int64_t offset = 0;
        std::size_t requested = 0;  // 0: the limit is reached
        std::size_t done = 0;       // 0 with ok: the source has ended
        bool ok = true;
        DWORD error = 0;
        std::exception_ptr exception;
    };

    BlockPrefetcher(CopySource& source, std::int64_t limit, std::size_t depth)
        : source_(source), limit_(limit), blocks_(depth) {
        for (auto& block : blocks_) block.buffer = AlignedBuffer(kCopyBlockSize);
        reader_ = platform::StartThread([this](std::stop_token stop) { run(stop); });
    }

    ~BlockPrefetcher() {
        reader_.request_stop();
        room_.notify_all();
    }

    BlockPrefetcher(const BlockPrefetcher&) = delete;
    BlockPrefetcher& operator=(const BlockPrefetcher&) = delete;

    // The next block in order; waits until it is read.
    Block& next() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return produced_ > consumed_; });
        return blocks_[consumed_ % blocks_.size()];
    }

    // The block from next() is used up; its buffer may take another read.
    void release() {
        {
            std::lock_guard lock(mutex_);
            ++consumed_;
        }
        room_.notify_one();
    }

private:
    void run(std::stop_token stop) {
        std::int64_t offset = 0;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                room_.wait(lock, [&] { return stop.stop_requested() || produced_ - consumed_ < blocks_.size(); });
                if (stop.stop_requested()) return;
            }
            Block& block = blocks_[produced_ % blocks_.size()];
            block.offset = offset;
            block.requested = kCopyBlockSize;
            if (limit_ > 0)
                block.requested = static_cast<std::size_t>(std::min<std::int64_t>(kCopyBlockSize, limit_ - offset));
            block.done = 0;
            block.ok = true;
            block.error = 0;
            block.exception = nullptr;
            if (block.requested > 0) {
                try {
                    block.ok = source_.read(offset, block.buffer.first(block.requested), block.done);
                    if (!block.ok) block.error = GetLastError();
                } catch (...) {
                    block.exception = std::current_exception();
                }
            }
            // A block the loop zero-fills after a failed read still takes its
            // place, so everything after it stays where it belongs.
            offset += static_cast<std::int64_t>(block.ok ? block.done : block.requested);
            bool last = block.exception || (block.ok && block.done == 0);
            {
                std::lock_guard lock(mutex_);
                ++produced_;
            }
            ready_.notify_one();
            if (last) return;
        }
    }

    CopySource& source_;
    std::int64_t limit_;
    std::vector<Block> blocks_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::condition_variable ready_;
    std::size_t produced_ = 0;
    std::size_t consumed_ = 0;
    std::jthread reader_;  // last: stops and joins before the blocks go
};

constexpr std::size_t kReadAhead = 8;

std::string WriteErrorText(std::int64_t position, std::size_t size, DWORD error) {
    return "pos:" + std::to_string(position) + " - buffersize:" + std::to_string(size) +
           " ,writefile error:" + SysErrorMessage(error);
}

// Moves the bar and posts the rate at most once a second (strictly more than
// 1000 ms apart), and lets the window's messages run then.
class ProgressCadence {
public:
    ProgressCadence(const CopyLoopSettings& settings, CopySource& source)
        : settings_(settings), source_(source), start_(Clock::now()), last_(start_) {}

    void step(std::int64_t position) {
        Clock::time_point now = Clock::now();
        if (settings_.progress_every_bytes > 0) {
            if (position < next_step_) return;
            next_step_ = (position / settings_.progress_every_bytes + 1) * settings_.progress_every_bytes;
            if (settings_.console) *settings_.console << "." << std::flush;
        } else if (now - last_ <= std::chrono::milliseconds(1000)) {
            return;
        }
        std::int64_t total = settings_.limit > 0 ? settings_.limit : source_.size();
        if (settings_.progress && total > 0)
            settings_.progress->set_position(std::min<std::int64_t>(100, position * 100 / total));
        std::int64_t elapsed = MillisecondsSince(start_);
        if (elapsed > 0) PostStatus(settings_.window, KBytesPerSecond(position, elapsed));
        pump();
        last_ = Clock::now();
    }

    std::int64_t elapsed() const { return std::max<std::int64_t>(1, MillisecondsSince(start_)); }

private:
    const CopyLoopSettings& settings_;
    CopySource& source_;
    Clock::time_point start_;
    Clock::time_point last_;
    std::int64_t next_step_ = settings_.progress_every_bytes;
};

}  // namespace

CopyOutcome RunCopyLoop(CopySource& source, CopySink& sink, const CopyLoopSettings& settings) {
    if (settings.progress) settings.progress->set_max(100);
    ProgressCadence cadence(settings, source);
    std::atomic<bool>& cancel = settings.cancel ? *settings.cancel : copy_cancel;
    auto write_error = [&](std::int64_t position, std::size_t size, DWORD error) {
        if (settings.quiet_write_errors) return;
        interaction().inform(settings.write_error_prefix.empty() ? WriteErrorText(position, size, error)
                                                                 : settings.write_error_prefix + SysErrorMessage(error),
                             kCopyCaption);
    };
    CopyOutcome outcome;
    bool ignoring_read_errors = false;
    {
        BlockPrefetcher prefetcher(source, settings.limit, kReadAhead);
        for (;;) {
            if (cancel.load()) {
                outcome.end = CopyEnd::Cancelled;
                break;
            }
            BlockPrefetcher::Block& block = prefetcher.next();
            if (block.exception) {
                try {
                    std::rethrow_exception(block.exception);
                } catch (const CopyFormatError& e) {
                    interaction().inform(e.what(), kCopyCaption);
                    outcome.end = CopyEnd::FormatError;
                    break;
                }
            }
            if (!block.ok && !settings.read_error_prefix.empty()) {
                interaction().inform(settings.read_error_prefix + SysErrorMessage(block.error), kCopyCaption);
                outcome.end = CopyEnd::ReadDeclined;
                break;
            }
            if (!block.ok) {
                if (!ignoring_read_errors) {
                    std::string question = "readfile error @" + std::to_string(block.offset) + ":" +
                                           SysErrorMessage(block.error) + ", Continue and ignore next errors?";
                    if (!interaction().confirm(question, kCopyCaption)) {
                        outcome.end = CopyEnd::ReadDeclined;
                        break;
                    }
                    ignoring_read_errors = true;
                }
                block.buffer.zero(block.requested);
                block.done = block.requested;
            }
            if (block.done == 0) break;  // the limit or the end of the source
            if (!sink.write(block.offset, block.buffer.first(block.done))) {
                write_error(block.offset, block.requested, GetLastError());
                outcome.end = CopyEnd::WriteFailed;
                break;
            }
            outcome.position = block.offset + static_cast<std::int64_t>(block.done);
            prefetcher.release();
            cadence.step(outcome.position);
        }
    }
    if (outcome.completed() && !sink.finish()) {
        write_error(outcome.position, 0, GetLastError());
        outcome.end = CopyEnd::WriteFailed;
    }
    if (!outcome.completed()) {
        PostStatus(settings.window, "Aborted at " + std::to_string(outcome.position));
        return outcome;
    }
    std::int64_t elapsed = cadence.elapsed();
    if (settings.progress) settings.progress->set_position(100);
    PostStatus(settings.window,
               settings.done_text + std::to_string(elapsed) + " ms, " + KBytesPerSecond(outcome.position, elapsed));
    return outcome;
}

}  // namespace disk
