#include "main/operations/vhd_copy.h"

#include <chrono>
#include <thread>

#include "disk/engines/rawvhd.h"

namespace tarnovell {

platform::DWORD MainVhdCopyThread(const VhdCopyJob& job, const disk::OperationContext& context) {
    return disk::rawvhd(context, job.source, job.target, job.mode) ? 0 : 1;
}

int VhdModeOfFilter(int filter_index) { return filter_index == 2 || filter_index == 4 ? kDeviceToDynamicVhd : kDeviceToFixedVhd; }

std::string VhdCopyStatus(const WorkerOutcome& outcome) {
    // A worker that left no exit code did not finish its copy.
    const platform::DWORD code = outcome.exit_code.value_or(platform::ERROR_INVALID_FUNCTION);
    const std::string id = std::to_string(outcome.thread_id);
    if (code == 0) return id + " terminated with sucess";
    // The code alone says nothing: what failed, and why, follows it.
    std::string status = id + " terminated with failure:" + std::to_string(code);
    return outcome.failure.empty() ? status : status + " - " + outcome.failure;
}

WorkerOutcome RunVhdCopy(MainState& state, const std::string& source, const std::string& target_path, int mode,
                         platform::OperationTarget* target, platform::ProgressBar* bar) {
    return RunVhdCopy(state.cancel, source, target_path, mode, target, bar);
}

WorkerOutcome RunVhdCopy(std::atomic<bool>& cancel, const std::string& source, const std::string& target_path,
                         int mode, platform::OperationTarget* target, platform::ProgressBar* bar) {
    const VhdCopyJob job{source, target_path, mode};
    // The worker posts its percentages; it never touches the bar itself.
    disk::OperationContext context;
    context.status = target;
    context.cancel = &cancel;
    if (bar) bar->set_max(100);
    WorkerOutcome outcome = RunWorker([&job, &context] { return MainVhdCopyThread(job, context); }, target);
    // The last progress posts settle before the status is set.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    platform::pump();
    if (target) target->post(platform::WM_OPERATION, platform::OperationKind::Status, 0, VhdCopyStatus(outcome));
    return outcome;
}

}  // namespace tarnovell
