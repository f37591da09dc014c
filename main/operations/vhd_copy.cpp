#include "main/operations/vhd_copy.h"

#include <chrono>
#include <memory>
#include <thread>

#include "disk/copy/destination_hold.h"
#include "disk/engines/rawvhd.h"
#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/os/file_facts.h"

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

std::optional<WorkerOutcome> RunVhdCopy(MainState& state, const std::string& source, const std::string& target_path,
                                        int mode, platform::OperationTarget* target, platform::ProgressBar* bar) {
    return RunVhdCopy(state.cancel, source, target_path, mode, target, bar);
}

std::optional<WorkerOutcome> RunVhdCopy(std::atomic<bool>& cancel, const std::string& source,
                                        const std::string& target_path, int mode, platform::OperationTarget* target,
                                        platform::ProgressBar* bar) {
    disk::OperationContext context;
    context.status = target;
    context.cancel = &cancel;
    // As the raw copies ask before they write over something: a disk, or
    // a file that is there already.
    const bool onto_device = platform::device::IsDevicePath(target_path);
    const std::string target_file = onto_device ? std::string() : platform::ResolveFilePath(target_path);
    const bool onto_existing = onto_device || (!target_file.empty() && platform::FileFactsOf(target_file));
    if (onto_existing && !context.ui().confirm_about("Overwrite " + target_path + "?", platform::kProgramCaption,
                                                     platform::device::AboutDevices({target_path})))
        return std::nullopt;
    // A disk is held here, on the caller's thread, for the whole copy: its
    // volumes locked and the disk held whole before the worker writes, and
    // the system told of the table the image brought once it is done.
    std::unique_ptr<disk::DestinationHold> hold;
    if (onto_device && !(hold = disk::PrepareDestination(context, target_path))) return std::nullopt;

    const VhdCopyJob job{source, target_path, mode};
    // The worker posts its percentages; it never touches the bar itself.
    if (bar) bar->set_max(100);
    WorkerOutcome outcome = RunWorker([&job, &context] { return MainVhdCopyThread(job, context); }, context);
    if (hold && outcome.succeeded() && !hold->complete()) outcome.exit_code = platform::ERROR_INVALID_FUNCTION;
    hold.reset();
    // The worker posts a percentage every so many blocks: a copy that
    // completed ends its bar at the end whatever it posted last (posted
    // too, so that it comes after them).
    if (outcome.succeeded()) context.post_percent(100);
    // The last progress posts settle before the status is set.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    platform::pump();
    context.post_status(VhdCopyStatus(outcome));
    return outcome;
}

}  // namespace tarnovell
