#include "main/operations/worker.h"

#include <chrono>
#include <exception>

#include "platform/os/thread.h"

namespace tarnovell {

namespace {
constexpr std::chrono::milliseconds kWaitSlice{500};
}  // namespace

platform::DWORD FailureExitCode() {
    platform::DWORD code = platform::GetLastError();
    return code == platform::ERROR_SUCCESS ? platform::ERROR_INVALID_FUNCTION : code;
}

WorkerOutcome RunWorker(const std::function<platform::DWORD()>& body, platform::OperationTarget* target,
                        int channel) {
    disk::OperationContext context;
    context.status = target;
    context.channel = channel;
    return RunWorker(body, context);
}

WorkerOutcome RunWorker(const std::function<platform::DWORD()>& body, const disk::OperationContext& context) {
    // Said before the thread starts: a worker that fails at once must not
    // have its message followed by "in progress...".
    context.post_status("in progress...");
    std::string failure;  // written by the worker, read once it has ended
    platform::WorkerThread worker([&body, &context, &failure]() -> platform::DWORD {
        try {
            return body();
        } catch (const std::exception& e) {
            failure = e.what();
        } catch (...) {
            failure = "unknown error";
        }
        context.post_message(failure);
        return FailureExitCode();
    });
    while (!worker.wait_for(kWaitSlice)) platform::pump();
    // What the worker posted last is delivered before the launcher goes on.
    platform::pump();
    return WorkerOutcome{worker.id(), worker.exit_code(), failure};
}

std::string TerminationStatus(const WorkerOutcome& outcome) {
    std::string id = std::to_string(outcome.thread_id);
    if (!outcome.exit_code) return id + " terminated without exitcode";
    return id + " terminated with code:" + std::to_string(*outcome.exit_code);
}

}  // namespace tarnovell
