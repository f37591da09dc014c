// WIM capture, apply and export as the main window, the command line and
// the WIM windows run them: the exclusion list of Wimscript.ini, the imaging
// library's message callback, the worker bodies and their launchers.
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

// What the message callback needs while a WIM worker runs: it reaches the
// window that started the worker only through this, never through a global,
// so windows of one kind can run side by side.
struct WimCallbackContext {
    const ExclusionList* exclusions = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    platform::OperationTarget* target = nullptr;
    int channel = platform::WM_OPERATION;
};

// The message callback of every WIM worker (the main window's and those of
// the capture, apply and export windows, which differ only in the context);
// `user_data` is a WimCallbackContext. Answers WIM_MSG_ABORT_IMAGE once the
// cancel flag is set.
platform::DWORD MainWimMessageCallback(platform::DWORD message, platform::wim::WPARAM wparam,
                                       platform::wim::LPARAM lparam, void* user_data);

// A volume path as the imaging library takes it: "\\.\C:" and "C:" become
// "C:\"; a path that already ends in a separator, a folder, and any other
// device path stay as they are.
std::string WimVolumeRoot(const std::string& device);
// The file an LZMS capture writes: a ".wim" extension becomes ".esd".
std::string SolidFileName(const std::string& file);
// True for a file named "*.esd", in any case.
bool IsEsdFile(const std::string& file);

// An image index as the user typed it (a number as ParseUserInteger reads
// it): images are counted from 1. Empty, with `problem` saying why, for a
// text that is no number or a number below 1.
std::optional<int> ParseImageIndex(const std::string& text, std::string& problem);

// What a capture worker is to do.
struct WimCaptureJob {
    std::string source;     // the volume's root as the library takes it ("C:\") or a folder
    std::string wim_file;   // the file written (an LZMS capture's name already ends in ".esd")
    std::string reference;  // a reference file, or ""
    ExclusionList exclusions;
    int compression = 1;    // 0 none, 1 XPRESS, 2 LZX, 3 LZMS
    bool append = false;    // add an image to the existing file
    bool wimboot = false;
};

// What an apply worker is to do.
struct WimApplyJob {
    std::string wim_file;
    std::string target;     // the volume's root as the library takes it, or a folder
    std::string reference;  // a reference file, or ""
    int index = 1;
    bool wimboot = false;
};

// What an export worker is to do.
struct WimExportJob {
    std::string source;  // the WIM or ESD file the image comes from
    std::string target;  // the WIM it is added to; made when it does not exist
    int index = 1;
};

// The worker bodies. They post to the context's status target on its
// channel, and the library's callback aborts once its cancel flag is set.
// A failure is never exit code 0: it is the library's last error.
platform::DWORD WimCaptureThread(const WimCaptureJob& job, const disk::OperationContext& context);
platform::DWORD WimApplyThread(const WimApplyJob& job, const disk::OperationContext& context);
platform::DWORD WimExportThread(const WimExportJob& job, const disk::OperationContext& context);

// The launchers of the WIM windows. Each sets the bar's maximum to 100, runs
// its worker by the worker pattern (status "in progress...", the wait loop)
// and posts the end status to the context.
//
// The capture first settles the name of the file written (an LZMS capture's
// ".esd") and asks about that file when it exists: "File exists!
// Delete?\r\n(No=Append)". Yes replaces it, once the new capture is
// complete; No appends. It reads the exclusion list of Wimscript.ini in
// `program_folder`. Empty when the capture did not start (declined, or the
// existing name is not a file).
std::optional<WorkerOutcome> StartWimCapture(WimCaptureJob job, const std::string& program_folder,
                                             const disk::OperationContext& context, platform::ProgressBar* bar);
WorkerOutcome StartWimApply(const WimApplyJob& job, const disk::OperationContext& context, platform::ProgressBar* bar);
WorkerOutcome StartWimExport(const WimExportJob& job, const disk::OperationContext& context,
                             platform::ProgressBar* bar);

// The main window's launchers, stopped by its cancel flag in `state`. Its
// capture knows XPRESS, LZX and LZMS only: any other compression is XPRESS.
// An empty outcome means the capture did not start.
std::optional<WorkerOutcome> WimCapture(MainState& state, const std::string& source, const std::string& wim_file,
                                        bool wimboot, int compression, platform::OperationTarget* target,
                                        platform::ProgressBar* bar);
WorkerOutcome WimApply(MainState& state, const std::string& wim_file, const std::string& target_volume, int index,
                       bool wimboot, platform::OperationTarget* target, platform::ProgressBar* bar);

}  // namespace tarnovell
