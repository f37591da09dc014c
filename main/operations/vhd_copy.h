// The copies between a disk and a VHD or VHDX file, run as workers: the
// virtual-disk service attaches the image and the block copy runs in a
// worker thread while the window waits.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "disk/copy/operation_context.h"
#include "main/operations/main_state.h"
#include "main/operations/worker.h"
#include "platform/base/progress.h"

namespace tarnovell {

// VHD copy modes.
enum VhdCopyMode : int { kVhdToDevice = 0, kDeviceToFixedVhd = 1, kDeviceToDynamicVhd = 2 };

// What the VHD copy worker is to do.
struct VhdCopyJob {
    std::string source;
    std::string target;
    int mode = kVhdToDevice;
};

// The worker body: copies the job's source to its target in its mode,
// posting to the context's status target and stopping on its cancel flag;
// 0 when the copy succeeded, else 1.
platform::DWORD MainVhdCopyThread(const VhdCopyJob& job, const disk::OperationContext& context);

// The mode a backup's chosen filter gives: the first and third (fixed VHD,
// fixed VHDX) make fixed images, the second and fourth dynamic ones.
int VhdModeOfFilter(int filter_index);

// Runs MainVhdCopyThread with the wait loop and posts the outcome:
// id + " terminated with sucess" or id + " terminated with failure:" + code,
// followed by " - " and the failure's own text (the step, the path and the
// system's text) when the copy ended with one.
// The main window's cancel flag in `state` stops the copy. A copy onto a
// disk, or onto a file that exists, asks "Overwrite ...?" first; a disk is
// held for the copy (its volumes locked, the disk held whole, the system
// told of its new table at the end). Nothing when the person said No or
// the disk could not be held (which was said), and nothing was written.
std::optional<WorkerOutcome> RunVhdCopy(MainState& state, const std::string& source, const std::string& target_path,
                                        int mode, platform::OperationTarget* target, platform::ProgressBar* bar);
// The same, stopped by `cancel`: for a window that shares another's flag.
std::optional<WorkerOutcome> RunVhdCopy(std::atomic<bool>& cancel, const std::string& source,
                                        const std::string& target_path, int mode, platform::OperationTarget* target,
                                        platform::ProgressBar* bar);

// The status text of an ended VHD copy.
std::string VhdCopyStatus(const WorkerOutcome& outcome);

}  // namespace tarnovell
