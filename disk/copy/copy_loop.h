// The one copy loop. Whatever is copied (disk, volume, file, packed image,
// virtual disk), this loop moves it in blocks from a CopySource to a CopySink
// and owns everything a copy has to do alike: the buffers, reading ahead,
// read and write errors, the cancel flag, progress and rate texts, the final
// sync and the closing status line. What differs between copies (block size,
// how progress is shown, how errors end a copy) are its settings; who is
// told and who may stop it is the operation context.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "disk/copy/copy_endpoints.h"
#include "disk/copy/operation_context.h"
#include "platform/base/progress.h"

namespace disk {

// The block of the raw and LZ4 copies, and the default of every copy.
constexpr std::size_t kCopyBlockSize = 524288;

// The cancel flag, one for the process: the copies that stop on it
// (BackupRaw, RestoreRaw, rawvhd) clear it as they start and hand it to the
// loop in their context; a window that offers to stop a running operation
// sets it. The main window's cancel flag (MainState::cancel) is this one.
extern std::atomic<bool> copy_cancel;

enum class CopyEnd {
    Completed,
    Cancelled,     // the cancel flag was set
    ReadDeclined,  // No to the read-error question
    ReadFailed,    // a read failed and the settings stop there
    SourceEnded,   // the source ended before the limit it had to reach
    WriteFailed,   // the sink's start, a write or the final sync failed or raised
    FormatError,   // the source's data is malformed, or the source raised what was no medium's refusal
};

enum class ProgressShows {
    BarAndRate,  // the bar moves and the rate is posted as the status text
    Percent,     // the percentage is posted (WM_OPERATION kind 1), nothing else
};

struct ProgressPolicy {
    // A step every so many bytes copied; 0: at most once a second (strictly
    // more than 1000 ms apart). Each step writes a "." to the console if the
    // context has one.
    std::int64_t every_bytes = 0;
    ProgressShows shows = ProgressShows::BarAndRate;
    // Let the window's messages run at each step; only for a copy on the
    // window's own thread.
    bool pump = true;
    // Reading waits at each step of `every_bytes` until the step has been
    // reported: whoever watches the copy sees the source read up to there
    // and no further, as in a copy that reads and writes in turn.
    bool reading_waits_for_steps = false;
};

enum class ReadErrorPolicy {
    // Ask whether to go on with zeros, then ignore further errors. A block
    // that cannot be read is read again piece by piece (the source's retry
    // unit, a sector), and only the pieces that still fail become zeros;
    // they are counted, and the closing line and a message say which bytes
    // they were.
    AskThenZeroFill,
    // Stop the copy; with a prefix the message prefix + system text is shown.
    Stop,
};

struct CopyLoopSettings {
    // Bytes to copy; 0 copies until the source ends. A source that ends
    // before the limit is a read error there (a device read past its end),
    // unless `source_must_reach_limit` makes it end the copy as SourceEnded.
    std::int64_t limit = 0;
    bool source_must_reach_limit = false;
    std::size_t block_size = kCopyBlockSize;
    std::size_t read_ahead = 8;  // blocks read ahead of the writing, at least 1
    // Threads that read blocks at once, for a source that reads by offset
    // from any thread (others have one): a sink that keeps every core busy
    // (packing) needs its bytes faster than one thread copies them out of
    // the system's cache. At least twice as many blocks are read ahead.
    unsigned readers = 1;
    ProgressPolicy progress;
    ReadErrorPolicy read_errors = ReadErrorPolicy::AskThenZeroFill;
    std::string read_error_prefix;
    // With a prefix, a write error is shown as prefix + system text instead
    // of the "pos:" line; quiet shows nothing at all.
    std::string write_error_prefix;
    bool quiet_write_errors = false;
    // The start of the closing status line ("Done in "); with progress shown
    // as percentages, or an empty text (the caller posts a line of its own),
    // there is no status line at all.
    std::string done_text = "Done in ";
};

// Bytes of the source that could not be read and were stored as zeros.
struct UnreadableRange {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::int64_t end() const { return offset + length; }
    bool operator==(const UnreadableRange&) const = default;
};

struct CopyOutcome {
    CopyEnd end = CopyEnd::Completed;
    // Bytes handed to the sink; of a copy that did not complete, those the
    // sink has on its medium.
    std::int64_t position = 0;
    platform::DWORD error = 0;  // the system's error of a failed read or write
    // Why a copy that failed ended, in the words the person was (or, with
    // quiet write errors, would have been) told; empty for a cancel.
    std::string failure;
    std::vector<UnreadableRange> unreadable;  // in source order, adjacent ones joined
    std::int64_t unreadable_bytes = 0;
    bool completed() const { return end == CopyEnd::Completed; }
};

// Starts the sink, copies from byte 0 of `source` to byte 0 of `sink` until
// the limit or the end of the source, then finishes the sink. Posts
// `done_text` + elapsed time and rate when everything is stored, "Aborted
// at " + the bytes stored otherwise (neither when progress is shown as percentages).
// When bytes had to be stored as zeros, the closing line says how many and
// a message says where.
CopyOutcome RunCopyLoop(CopySource& source, CopySink& sink, const CopyLoopSettings& settings,
                        const OperationContext& context);

// The text of a rate: ((bytes div ms) * 1000) div 1024, in KiB per second.
std::string KBytesPerSecond(std::int64_t bytes, std::int64_t milliseconds);

// ", 4096 unreadable bytes replaced by zeros", the tail of a closing line.
std::string UnreadableTail(std::int64_t bytes);
// "4096 unreadable bytes replaced by zeros at 1048576-1052671, ...": the
// message that says where (the first ranges, then how many more).
std::string UnreadableMessage(const CopyOutcome& outcome);

}  // namespace disk
