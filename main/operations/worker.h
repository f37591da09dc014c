// The worker pattern of the main window and the WIM windows: a long
// operation of an outside library runs in a worker thread while the calling
// thread waits in slices of 500 ms and lets the window's messages through,
// so posted progress arrives and Cancel buttons work.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "disk/copy/operation_context.h"
#include "platform/base/progress.h"
#include "platform/base/win_error.h"

namespace tarnovell {

struct WorkerOutcome {
    std::uint64_t thread_id = 0;
    std::optional<platform::DWORD> exit_code;  // empty when the thread left none
    std::string failure;                       // the text of the exception that ended it, if one did
    bool succeeded() const { return exit_code && *exit_code == 0; }
};

// Runs `body` as a worker inside the exception guard: an exception becomes a
// kind 2 message to `target` on `channel` and the exit code is the thread's
// last error (never 0 after a failure). Posts "in progress..." first and
// waits with the pump between slices.
WorkerOutcome RunWorker(const std::function<platform::DWORD()>& body, platform::OperationTarget* target,
                        int channel = platform::WM_OPERATION);
// The same, posting to the context's status target on its channel.
WorkerOutcome RunWorker(const std::function<platform::DWORD()>& body, const disk::OperationContext& context);

// The launchers' status line for an ended worker: id + " terminated with
// code:" + code, or id + " terminated without exitcode".
std::string TerminationStatus(const WorkerOutcome& outcome);

// The exit code a guarded body leaves after a failure: the last error, or
// ERROR_INVALID_FUNCTION when the failure left none.
platform::DWORD FailureExitCode();

}  // namespace tarnovell
