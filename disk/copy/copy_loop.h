// The one copy loop. Whatever is copied (disk, volume, file, packed image),
// this loop moves it in blocks of 512 KiB from a CopySource to a CopySink and
// owns everything a copy has to do alike: the buffers, reading ahead, the
// read-error question, the copy cancel flag, progress and rate texts, the
// final sync and the closing status line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <stdexcept>
#include <string>

#include "disk/copy/copy_endpoints.h"
#include "platform/base/progress.h"

namespace disk {

constexpr std::size_t kCopyBlockSize = 524288;
constexpr const char* kCopyCaption = "Tarnovell";

// The copy cancel flag, one for the process. Copies clear it as they start
// and look at it after every block; a window that offers to stop a running
// copy sets it (during the pump, on the copy's own thread, or from any other).
extern std::atomic<bool> copy_cancel;

// Posts the status text to `window` as WM_OPERATION kind 3 and returns at
// once. A null window (the command line) gets nothing.
void PostStatus(platform::OperationTarget* window, const std::string& text);

// Raised by a source whose stored bytes break their own format (a truncated
// or oversized packed block). The loop shows the text and stops the copy.
class CopyFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class CopyEnd {
    Completed,
    Cancelled,     // the copy cancel flag was set
    ReadDeclined,  // No to the read-error question
    WriteFailed,   // a write or the final sync failed
    FormatError,   // the source's data is malformed
};

struct CopyLoopSettings {
    std::int64_t limit = 0;  // bytes to copy; 0 copies until the source ends
    platform::ProgressBar* progress = nullptr;
    platform::OperationTarget* window = nullptr;
    std::string done_text = "Done in ";  // the start of the closing status line
    // The flag that stops the copy; the copy cancel flag unless the caller
    // (the main window's clone) has its own.
    std::atomic<bool>* cancel = nullptr;
    // Progress every so many bytes copied instead of once a second (the
    // clone's 16 MiB steps); each step writes a "." to the console if any.
    std::int64_t progress_every_bytes = 0;
    std::ostream* console = nullptr;
    // With a prefix, a read error is shown as prefix + system text and ends
    // the copy, instead of asking whether to go on with zeros.
    std::string read_error_prefix;
    // With a prefix, a write error is shown as prefix + system text instead
    // of the "pos:" line; quiet shows nothing at all.
    std::string write_error_prefix;
    bool quiet_write_errors = false;
};

struct CopyOutcome {
    CopyEnd end = CopyEnd::Completed;
    std::int64_t position = 0;  // bytes handed to the sink
    bool completed() const { return end == CopyEnd::Completed; }
};

// Copies from byte 0 of `source` to byte 0 of `sink` until the limit or the
// end of the source, then syncs the sink. Posts `done_text` + elapsed time
// and rate when everything is stored, "Aborted at " + position otherwise.
CopyOutcome RunCopyLoop(CopySource& source, CopySink& sink, const CopyLoopSettings& settings);

// The text of a rate: ((bytes div ms) * 1000) div 1024, in KiB per second.
std::string KBytesPerSecond(std::int64_t bytes, std::int64_t milliseconds);

}  // namespace disk
