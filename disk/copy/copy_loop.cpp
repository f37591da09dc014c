#include "disk/copy/copy_loop.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <ostream>
#include <stop_token>
#include <thread>
#include <vector>

#include "disk/copy/copy_buffer.h"
#include "platform/base/interaction.h"
#include "platform/os/thread.h"

namespace disk {

using namespace platform;

std::atomic<bool> copy_cancel{false};

std::string KBytesPerSecond(std::int64_t bytes, std::int64_t milliseconds) {
    if (milliseconds <= 0) milliseconds = 1;
    return std::to_string(((bytes / milliseconds) * 1000) / 1024) + " KBytes/sec";
}

std::string UnreadableTail(std::int64_t bytes) {
    return ", " + std::to_string(bytes) + " unreadable bytes replaced by zeros";
}

std::string UnreadableMessage(const CopyOutcome& outcome) {
    constexpr std::size_t kShown = 20;
    std::string text = std::to_string(outcome.unreadable_bytes) + " unreadable bytes replaced by zeros at ";
    for (std::size_t i = 0; i < outcome.unreadable.size() && i < kShown; ++i) {
        const UnreadableRange& r = outcome.unreadable[i];
        text += (i ? ", " : "") + std::to_string(r.offset) + "-" + std::to_string(r.end() - 1);
    }
    if (outcome.unreadable.size() > kShown)
        text += " and " + std::to_string(outcome.unreadable.size() - kShown) + " more ranges";
    return text;
}

namespace {

using Clock = std::chrono::steady_clock;

// How long the loop waits for a block before it lets the window's messages
// run and looks at the cancel flag.
constexpr std::chrono::milliseconds kIdleSlice{100};

std::int64_t MillisecondsSince(Clock::time_point then) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - then).count();
}

// Reads the source on a thread of its own, a few blocks ahead of the loop, so
// that reading the next block overlaps writing this one. Blocks come out in
// source order; a failed read is handed on as it is, for the loop to decide.
// When the loop holds it, the reading stops at the position the loop allows.
// A source that reads by offset from any thread may be read by several
// threads at once, each block by one of them.
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
        bool ready = false;  // read, and not yet released by the loop
    };

    // `allowed` < 0: the reading never waits for the loop. With
    // `short_is_error`, a read that comes back short of the limit failed:
    // the bytes it did give are kept, the rest goes to the loop to decide.
    BlockPrefetcher(CopySource& source, std::int64_t limit, std::size_t block_size, std::size_t depth,
                    std::int64_t allowed, bool short_is_error, unsigned readers)
        : source_(source), limit_(limit), block_size_(block_size),
          readers_(source.reads_by_offset() ? std::max(1u, readers) : 1u),
          blocks_(std::max<std::size_t>({1, depth, 2 * std::size_t{readers_}})), allowed_(allowed),
          short_is_error_(short_is_error) {
        for (auto& block : blocks_) block.buffer = AlignedBuffer(block_size_);
        for (unsigned i = 0; i < readers_; ++i)
            readers_threads_.push_back(platform::StartThread([this](std::stop_token stop) { run(stop); }));
    }

    ~BlockPrefetcher() {
        for (auto& thread : readers_threads_) thread.request_stop();
        {
            std::lock_guard lock(mutex_);
            room_.notify_all();
        }
        source_.interrupt();
    }

    BlockPrefetcher(const BlockPrefetcher&) = delete;
    BlockPrefetcher& operator=(const BlockPrefetcher&) = delete;

    // The next block in order; waits until it is read. A source can keep
    // it waiting for long (a stalled peer): every so often `idle` runs, and
    // when it answers false the wait ends without a block.
    template <typename Idle>
    Block* next(Idle&& idle) {
        std::unique_lock lock(mutex_);
        Block& block = blocks_[consumed_ % blocks_.size()];
        while (!ready_.wait_for(lock, kIdleSlice, [&] { return block.ready; })) {
            lock.unlock();
            bool go_on = idle();
            lock.lock();
            if (!go_on) return nullptr;
        }
        if (block.offset != expected_) {
            // Read by several threads, the source came back short inside
            // the block before: it ended there, and the block that follows
            // begins there and finds nothing, as with one reader.
            block.offset = expected_;
            block.requested = block_size_;
            if (limit_ > 0) block.requested = static_cast<std::size_t>(std::min<std::int64_t>(
                                static_cast<std::int64_t>(block_size_), limit_ - expected_));
            block.done = 0;
            block.ok = true;
            block.error = 0;
            block.exception = nullptr;
        }
        return &block;
    }

    // The block from next() is used up; its buffer may take another read.
    void release() {
        {
            std::lock_guard lock(mutex_);
            Block& block = blocks_[consumed_ % blocks_.size()];
            expected_ = block.offset + static_cast<std::int64_t>(block.ok ? block.done : block.requested);
            block.ready = false;
            ++consumed_;
        }
        room_.notify_all();
    }

    // The reading may go on up to `position`.
    void allow(std::int64_t position) {
        {
            std::lock_guard lock(mutex_);
            allowed_ = position;
        }
        room_.notify_all();
    }

private:
    void run(std::stop_token stop) {
        for (;;) {
            Block* claimed = nullptr;
            {
                std::unique_lock lock(mutex_);
                room_.wait(lock, [&] {
                    return stop.stop_requested() || ended_ ||
                           (claimed_ - consumed_ < blocks_.size() && (allowed_ < 0 || offset_ < allowed_));
                });
                if (stop.stop_requested() || ended_) return;
                claimed = &blocks_[claimed_++ % blocks_.size()];
                claim(*claimed);
            }
            Block& block = *claimed;
            fill(block);
            // After a block that ends the source, there is nothing more to
            // read. One reader alone goes on where the block ended: a block
            // the loop zero-fills after a failed read still takes its place,
            // so everything after it stays where it belongs. Several readers
            // have each taken their offsets already, which a source read by
            // offset makes right: its reads come back short only at its end.
            const bool last = block.exception || (block.ok && block.done == 0);
            {
                std::lock_guard lock(mutex_);
                if (readers_ == 1)
                    offset_ = block.offset + static_cast<std::int64_t>(block.ok ? block.done : block.requested);
                if (last) ended_ = true;
                block.ready = true;
            }
            ready_.notify_all();
            if (last) room_.notify_all();
        }
    }

    // Gives the block its offset and length; under the lock.
    void claim(Block& block) {
        block.offset = offset_;
        std::int64_t wanted = static_cast<std::int64_t>(block_size_);
        if (limit_ > 0) wanted = std::min(wanted, limit_ - offset_);
        if (allowed_ >= 0) wanted = std::min(wanted, allowed_ - offset_);
        block.requested = static_cast<std::size_t>(wanted);
        offset_ += wanted;
    }

    void fill(Block& block) {
        block.done = 0;
        block.ok = true;
        block.error = 0;
        block.exception = nullptr;
        if (block.requested == 0) return;
        try {
            block.done = std::min(source_.read_into(block.offset, block.buffer, block.requested), block.requested);
            if (short_is_error_ && block.done < block.requested) {
                block.ok = false;
                block.error = ERROR_SECTOR_NOT_FOUND;
            }
        } catch (const MediumError& e) {
            block.ok = false;
            block.error = e.code();
            block.done = std::min(e.done(), block.requested);
        } catch (...) {
            block.exception = std::current_exception();
        }
    }

    CopySource& source_;
    std::int64_t limit_;
    std::size_t block_size_;
    unsigned readers_;
    std::vector<Block> blocks_;
    std::mutex mutex_;
    std::condition_variable room_;
    std::condition_variable ready_;
    std::size_t claimed_ = 0;   // blocks a reader has taken
    std::size_t consumed_ = 0;  // blocks the loop has released
    std::int64_t offset_ = 0;   // where the next block to be taken starts
    std::int64_t expected_ = 0; // where the next block the loop takes must start
    bool ended_ = false;        // a block ended the source: nothing more to take
    std::int64_t allowed_;
    bool short_is_error_;
    std::vector<std::jthread> readers_threads_;  // last: they stop and join before the blocks go
};

// Keeps what could not be read, joining a range to the one before it.
void NoteUnreadable(CopyOutcome& outcome, std::int64_t offset, std::int64_t length) {
    if (length <= 0) return;
    outcome.unreadable_bytes += length;
    if (!outcome.unreadable.empty() && outcome.unreadable.back().end() == offset) {
        outcome.unreadable.back().length += length;
        return;
    }
    outcome.unreadable.push_back({offset, length});
}

// A block whose read failed: the bytes it gave are kept; the rest is read
// again a retry unit at a time, as rescue tools do, so that one bad sector
// costs that sector and not the block. What still cannot be read becomes
// zeros and is noted.
void RescueBlock(CopySource& source, BlockPrefetcher::Block& block, CopyOutcome& outcome) {
    const std::uint32_t unit = source.retry_unit();
    std::size_t from = std::min(block.done, block.requested);
    if (unit == 0) {
        std::memset(block.buffer.data() + from, 0, block.requested - from);
        NoteUnreadable(outcome, block.offset + static_cast<std::int64_t>(from),
                       static_cast<std::int64_t>(block.requested - from));
        block.done = block.requested;
        return;
    }
    from -= from % unit;
    const std::span<std::byte> bytes = block.buffer.first(block.requested);
    for (std::size_t at = from; at < block.requested; at += unit) {
        const std::size_t n = std::min<std::size_t>(unit, block.requested - at);
        const std::int64_t where = block.offset + static_cast<std::int64_t>(at);
        std::size_t got = 0;
        try {
            got = std::min(source.read(where, bytes.subspan(at, n)), n);
        } catch (...) {
            got = 0;  // this piece is lost, whatever the reason
        }
        if (got == n) continue;
        std::memset(bytes.data() + at + got, 0, n - got);
        NoteUnreadable(outcome, where + static_cast<std::int64_t>(got), static_cast<std::int64_t>(n - got));
    }
    block.done = block.requested;
}

std::string WriteErrorText(std::int64_t position, std::size_t size, DWORD error) {
    return "pos:" + std::to_string(position) + " - buffersize:" + std::to_string(size) +
           " ,writefile error:" + SysErrorMessage(error);
}

// Shows progress by the settings' policy: every so many bytes, or at most
// once a second; as bar and rate, or as a posted percentage.
class ProgressCadence {
public:
    ProgressCadence(const CopyLoopSettings& settings, const OperationContext& context, CopySource& source)
        : policy_(settings.progress), limit_(settings.limit), context_(context), source_(source),
          start_(Clock::now()), last_(start_), next_step_(policy_.every_bytes) {}

    void step(std::int64_t position) {
        Clock::time_point now = Clock::now();
        if (policy_.every_bytes > 0) {
            if (position < next_step_) return;
            next_step_ = (position / policy_.every_bytes + 1) * policy_.every_bytes;
        } else if (now - last_ <= std::chrono::milliseconds(1000)) {
            return;
        }
        std::int64_t total = limit_ > 0 ? limit_ : source_.size();
        if (policy_.shows == ProgressShows::Percent) {
            if (total > 0) context_.post_percent(position * 100 / total);
        } else {
            if (context_.progress && total > 0)
                context_.progress->set_position(std::min<std::int64_t>(100, position * 100 / total));
            std::int64_t elapsed = MillisecondsSince(start_);
            if (elapsed > 0) context_.post_status(KBytesPerSecond(position, elapsed));
        }
        if (context_.console) *context_.console << "." << std::flush;
        if (policy_.pump) pump();
        last_ = Clock::now();
    }

    // Where the reading may go before the next step is reported; -1: anywhere.
    std::int64_t reading_allowed() const {
        return policy_.reading_waits_for_steps && policy_.every_bytes > 0 ? next_step_ : -1;
    }

    std::int64_t elapsed() const { return std::max<std::int64_t>(1, MillisecondsSince(start_)); }

private:
    const ProgressPolicy& policy_;
    std::int64_t limit_;
    const OperationContext& context_;
    CopySource& source_;
    Clock::time_point start_;
    Clock::time_point last_;
    std::int64_t next_step_;
};

}  // namespace

namespace {

// The text of what a source or sink raised.
std::string TextOf(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// How a copy ends when something fails: the outcome says why, in the
// program's words, and the person is told (unless the settings keep a write
// error quiet for the caller to word).
class Failures {
public:
    Failures(const CopyLoopSettings& settings, const OperationContext& context, CopyOutcome& outcome)
        : settings_(settings), context_(context), outcome_(outcome) {}

    // The medium refused a write (at `position`, of `size` bytes).
    void write_refused(std::int64_t position, std::size_t size, DWORD error) {
        outcome_.end = CopyEnd::WriteFailed;
        outcome_.error = error;
        outcome_.failure = settings_.write_error_prefix.empty() ? WriteErrorText(position, size, error)
                                                                : settings_.write_error_prefix + SysErrorMessage(error);
        if (!settings_.quiet_write_errors) context_.ui().inform(outcome_.failure, kProgramCaption);
    }

    // The medium refused a read and the settings stop there.
    void read_refused(DWORD error) {
        outcome_.end = CopyEnd::ReadFailed;
        outcome_.error = error;
        outcome_.failure = settings_.read_error_prefix + SysErrorMessage(error);
        if (!settings_.read_error_prefix.empty()) context_.ui().inform(outcome_.failure, kProgramCaption);
    }

    // A source or sink raised something other than the medium's refusal.
    void raised(CopyEnd end, const std::exception_ptr& failure) {
        outcome_.end = end;
        outcome_.failure = TextOf(failure);
        context_.ui().inform(outcome_.failure, kProgramCaption);
    }

    // Runs one step of `sink` (its start, a write at `position`, its
    // finish); false, with the outcome set, when it raised. A sink that
    // waits (for a peer) gives up when the copy is cancelled, and that is
    // the cancel. A refusal is told where the sink's bytes end, which may
    // be before the step's own.
    template <typename Step>
    bool sink_step(const CopySink& sink, std::int64_t position, std::size_t size, Step&& step) {
        try {
            step();
            return true;
        } catch (const MediumError& e) {
            if (e.code() == ERROR_CANCELLED && context_.cancelled()) {
                outcome_.end = CopyEnd::Cancelled;
                return false;
            }
            write_refused(sink.stored().value_or(position), size, e.code());
        } catch (...) {
            raised(CopyEnd::WriteFailed, std::current_exception());
        }
        return false;
    }

private:
    const CopyLoopSettings& settings_;
    const OperationContext& context_;
    CopyOutcome& outcome_;
};

}  // namespace

CopyOutcome RunCopyLoop(CopySource& source, CopySink& sink, const CopyLoopSettings& settings,
                        const OperationContext& context) {
    const bool texts = settings.progress.shows == ProgressShows::BarAndRate;
    if (texts && context.progress) context.progress->set_max(100);
    ProgressCadence cadence(settings, context, source);
    CopyOutcome outcome;
    Failures failures(settings, context, outcome);
    bool ignoring_read_errors = false;
    if (failures.sink_step(sink, 0, 0, [&] { sink.start(); })) {
        BlockPrefetcher prefetcher(source, settings.limit, std::max<std::size_t>(1, settings.block_size),
                                   settings.read_ahead, cadence.reading_allowed(),
                                   settings.limit > 0 && !settings.source_must_reach_limit, settings.readers);
        for (;;) {
            if (context.cancelled()) {
                outcome.end = CopyEnd::Cancelled;
                break;
            }
            BlockPrefetcher::Block* waited = prefetcher.next([&] {
                if (settings.progress.pump) pump();
                return !context.cancelled();
            });
            if (!waited) {
                outcome.end = CopyEnd::Cancelled;
                break;
            }
            BlockPrefetcher::Block& block = *waited;
            if (block.exception) {
                failures.raised(CopyEnd::FormatError, block.exception);
                break;
            }
            if (!block.ok && settings.read_errors == ReadErrorPolicy::Stop) {
                failures.read_refused(block.error);
                break;
            }
            if (!block.ok) {
                if (!ignoring_read_errors) {
                    std::string question = "readfile error @" +
                                           std::to_string(block.offset + static_cast<std::int64_t>(block.done)) +
                                           ":" + SysErrorMessage(block.error) + ", Continue and ignore next errors?";
                    if (!context.ui().confirm(question, kProgramCaption)) {
                        outcome.end = CopyEnd::ReadDeclined;
                        outcome.error = block.error;
                        outcome.failure = SysErrorMessage(block.error);
                        break;
                    }
                    ignoring_read_errors = true;
                }
                RescueBlock(source, block, outcome);
            }
            if (block.done == 0) {  // the limit or the end of the source
                if (block.requested > 0 && settings.source_must_reach_limit && settings.limit > 0)
                    outcome.end = CopyEnd::SourceEnded;
                break;
            }
            if (!failures.sink_step(sink, block.offset, block.requested, [&] {
                    if (!sink.take(block.offset, block.buffer, block.done))
                        sink.write(block.offset, block.buffer.first(block.done));
                }))
                break;
            outcome.position = block.offset + static_cast<std::int64_t>(block.done);
            prefetcher.release();
            cadence.step(outcome.position);
            if (std::int64_t allowed = cadence.reading_allowed(); allowed >= 0) prefetcher.allow(allowed);
        }
    }
    if (outcome.completed()) {
        failures.sink_step(sink, outcome.position, 0, [&] { sink.finish(); });
    } else if (outcome.end != CopyEnd::WriteFailed) {
        // What was written before the copy stopped goes on the medium; if
        // the medium refuses it now, the position below says so.
        try {
            sink.store_held();
        } catch (...) {
        }
    }
    // A copy that ends early says how far the medium holds it, not how far
    // the sink was handed it.
    if (!outcome.completed()) outcome.position = sink.stored().value_or(outcome.position);
    // Whatever the end, the bytes stored as zeros must be known.
    if (outcome.unreadable_bytes > 0) context.ui().inform(UnreadableMessage(outcome), kProgramCaption);
    if (!outcome.completed()) {
        if (texts) context.post_status("Aborted at " + std::to_string(outcome.position));
        return outcome;
    }
    std::int64_t elapsed = cadence.elapsed();
    if (texts) {
        if (context.progress) context.progress->set_position(100);
        if (!settings.done_text.empty())
            context.post_status(settings.done_text + std::to_string(elapsed) + " ms, " +
                                KBytesPerSecond(outcome.position, elapsed) +
                                (outcome.unreadable_bytes > 0 ? UnreadableTail(outcome.unreadable_bytes) : ""));
    }
    return outcome;
}

}  // namespace disk
