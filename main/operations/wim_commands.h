// WIM capture and apply from the main window and the command line: the
// exclusion list of Wimscript.ini, the imaging library's message callback,
// the two worker bodies and their launchers.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "disk/copy/operation_context.h"
#include "main/operations/main_state.h"
#include "main/operations/worker.h"
#include "platform/base/progress.h"
#include "platform/wim/wimgapi.h"

namespace tarnovell {

using ExclusionList = std::optional<std::vector<std::string>>;

// The exclusion list of a Wimscript.ini: every line after the first, without
// double quotes and lower-cased, is one path from the volume's root ("\dir\file").
// No list when the file is missing or yields no entry.
ExclusionList ReadExclusionList(const std::string& path);
// Entries are matched exactly, after the drive ("C:") is dropped from the
// path and the rest lower-cased.
bool IsExcluded(const ExclusionList& list, const std::string& path_with_drive);

// What the message callback needs while a WIM worker runs.
struct WimCallbackContext {
    const ExclusionList* exclusions = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    platform::OperationTarget* target = nullptr;
    int channel = platform::WM_OPERATION;
};

// The main window's message callback; `user_data` is a WimCallbackContext.
// Answers WIM_MSG_ABORT_IMAGE once the cancel flag is set.
platform::DWORD MainWimMessageCallback(platform::DWORD message, platform::wim::WPARAM wparam,
                                       platform::wim::LPARAM lparam, void* user_data);

// A volume path as the imaging library takes it: "\\.\C:" and "C:" become
// "C:\"; a path that already ends in a separator, a folder, and any other
// device path stay as they are.
std::string WimVolumeRoot(const std::string& device);
// The file an LZMS capture writes: a ".wim" extension becomes ".esd".
std::string SolidFileName(const std::string& file);

// What a capture worker is to do.
struct WimCaptureJob {
    std::string source;    // the volume's root as the library takes it ("C:\")
    std::string wim_file;  // as asked; an LZMS capture writes the ".esd" of it
    ExclusionList exclusions;
    int compression = 1;   // 1 XPRESS, 2 LZX, 3 LZMS
    bool append = false;   // add an image to the existing file
    bool wimboot = false;
};

// What an apply worker is to do.
struct WimApplyJob {
    std::string wim_file;
    std::string target;  // the volume's root as the library takes it
    int index = 1;
    bool wimboot = false;
};

// The worker bodies: they post to the context's status target (on its
// channel) and the library's callback aborts once its cancel flag is set.
platform::DWORD MainWimCaptureThread(const WimCaptureJob& job, const disk::OperationContext& context);
platform::DWORD MainWimApplyThread(const WimApplyJob& job, const disk::OperationContext& context);

// The launchers. They ask about an existing file, make the worker's job,
// run the worker with the wait loop and post its termination status. The
// main window's cancel flag in `state` stops the worker. An empty outcome
// means the user declined.
std::optional<WorkerOutcome> WimCapture(MainState& state, const std::string& source, const std::string& wim_file,
                                        bool wimboot, int compression, platform::OperationTarget* target,
                                        platform::ProgressBar* bar);
WorkerOutcome WimApply(MainState& state, const std::string& wim_file, const std::string& target_volume, int index,
                       bool wimboot, platform::OperationTarget* target, platform::ProgressBar* bar);

}  // namespace tarnovell
