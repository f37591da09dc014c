#include "main/operations/wim_commands.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "disk/bindings/wimgapi.h"
#include "main/operations/selection.h"
#include "main/operations/text_helpers.h"
#include "main/operations/wim_library.h"
#include "platform/device/device_naming.h"
#include "platform/device/handle.h"
#include "platform/device/path.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "platform/os/system.h"
#include "platform/base/wide_text.h"
#include "platform/os/file_facts.h"
#include "platform/os/folders.h"

namespace tarnovell {

namespace wim = platform::wim;
using platform::DWORD;

namespace {

// Where the callback's posts go: the worker's status target on its channel.
disk::OperationContext Reporting(const WimCallbackContext& context) {
    disk::OperationContext reporting;
    reporting.status = context.target;
    reporting.channel = context.channel;
    return reporting;
}

std::string PathAt(wim::WPARAM wparam) { return platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(wparam)); }

// The callback registration of one WIM handle, undone when it goes.
class CallbackRegistration {
public:
    CallbackRegistration(const disk::WimFunctionTable& table, const WimObject& file, WimCallbackContext& context)
        : table_(table), file_(file) {
        registered_ = table_.WIMRegisterMessageCallback(file.get(), &MainWimMessageCallback, &context) !=
                      wim::INVALID_CALLBACK_VALUE;
        if (!registered_) Reporting(context).post_message("WIMRegisterMessageCallback failed");
    }
    ~CallbackRegistration() {
        if (registered_ && file_.valid()) table_.WIMUnregisterMessageCallback(file_.get(), &MainWimMessageCallback);
    }
    CallbackRegistration(const CallbackRegistration&) = delete;
    CallbackRegistration& operator=(const CallbackRegistration&) = delete;

private:
    const disk::WimFunctionTable& table_;
    const WimObject& file_;
    bool registered_ = false;
};

}  // namespace

ExclusionList ReadExclusionList(const std::string& path) {
    const std::optional<std::string> text = platform::ReadWholeFile(path);
    if (!text) return std::nullopt;
    std::istringstream in(*text);
    std::vector<std::string> entries;
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        // A file written on Windows ends its lines in CR LF.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first) {
            first = false;
            continue;
        }
        line.erase(std::remove(line.begin(), line.end(), '"'), line.end());
        if (line.empty()) continue;
        entries.push_back(platform::ToLower(line));
    }
    if (entries.empty()) return std::nullopt;
    return entries;
}

bool IsExcluded(const ExclusionList& list, const std::string& path_with_drive) {
    if (!list || path_with_drive.size() < 2) return false;
    const std::string path = platform::ToLower(path_with_drive.substr(2));
    return std::find(list->begin(), list->end(), path) != list->end();
}

DWORD MainWimMessageCallback(DWORD message, wim::WPARAM wparam, wim::LPARAM lparam, void* user_data) {
    const auto& context = *static_cast<const WimCallbackContext*>(user_data);
    const disk::OperationContext reporting = Reporting(context);
    switch (message) {
    case wim::WIM_MSG_PROGRESS:
        reporting.post_percent(static_cast<std::int64_t>(wparam));
        break;
    case wim::WIM_MSG_PROCESS:
        if (context.exclusions && *context.exclusions && lparam != 0 && IsExcluded(*context.exclusions, PathAt(wparam)))
            *reinterpret_cast<wim::BOOL*>(lparam) = 0;
        break;
    case wim::WIM_MSG_SCANNING:
        reporting.post_status("WIM_MSG_SCANNING:in progress");
        break;
    case wim::WIM_MSG_ERROR:
        reporting.post_message("WIM_MSG_ERROR\r\n" + std::to_string(lparam) + "\r\n" + PathAt(wparam));
        break;
    case wim::WIM_MSG_RETRY:
        reporting.post_status("WIM_MSG_RETRY;" + std::to_string(lparam) + ";" + PathAt(wparam));
        break;
    case wim::WIM_MSG_INFO:
        reporting.post_status("WIM_MSG_INFO;" + std::to_string(lparam) + ";" + PathAt(wparam));
        break;
    case wim::WIM_MSG_WARNING:
        reporting.post_status("WIM_MSG_WARNING;" + std::to_string(lparam) + ";" + PathAt(wparam));
        break;
    default: break;
    }
    return context.cancel && context.cancel->load() ? wim::WIM_MSG_ABORT_IMAGE : wim::WIM_MSG_SUCCESS;
}

std::string WimVolumeRoot(const std::string& device) {
    // Only "\\.\C:" names its volume by a letter the library takes as "C:\";
    // any other device path ("\\.\PhysicalDrive2", "\\.\HarddiskVolume3")
    // stays whole, where it is taken as the device it is, never as a folder
    // named like it.
    std::string root = platform::device::LocalDeviceName(device);
    if (root.size() < 2 || root[1] != ':') root = device;
    const bool drive = root.size() == 2 && root[1] == ':';
    if (drive) root += "\\";
    return root;
}

std::string SolidFileName(const std::string& file) {
    if (!platform::EqualsNoCase(std::filesystem::path(file).extension().string(), ".wim")) return file;
    return file.substr(0, file.size() - 4) + ".esd";
}

bool IsEsdFile(const std::string& file) {
    return platform::EqualsNoCase(std::filesystem::path(file).extension().string(), ".esd");
}

std::optional<int> ParseImageIndex(const std::string& text, std::string& problem) {
    std::optional<int> index = ParseUserInteger(text);
    if (!index) {
        problem = NotAnIntegerText(text);
        return std::nullopt;
    }
    // The library would read 0 and below as "no image" or as a huge number.
    if (*index < 1) {
        problem = "Image Index must be 1 or more";
        return std::nullopt;
    }
    return index;
}

namespace {

// The callback's view of a worker's context.
WimCallbackContext CallbackContext(const ExclusionList* exclusions, const disk::OperationContext& context) {
    return WimCallbackContext{exclusions, context.cancel, context.status, context.channel};
}

// Says which call failed, with the library's error number, and ends the
// worker with that error.
DWORD Failed(const disk::OperationContext& context, const std::string& call) {
    const DWORD code = FailureExitCode();
    context.post_message(call + " failed," + std::to_string(code));
    return code;
}

// Reference files lend the image the data it shares with them; one that is
// refused is said, and the work goes on without it.
void AddReference(const disk::WimFunctionTable& table, const WimObject& file, const std::string& reference,
                  const disk::OperationContext& context) {
    if (reference.empty()) return;
    if (!table.WIMSetReferenceFile(file.get(), platform::Utf8ToUtf16(reference).c_str(),
                                   wim::WIM_REFERENCE_APPEND | wim::WIM_FLAG_SHARE_WRITE))
        context.post_message("WIMSetReferenceFile failed," + std::to_string(platform::GetLastError()));
}

void SetTemporaryPath(const disk::WimFunctionTable& table, const WimObject& file) {
    table.WIMSetTemporaryPath(file.get(), platform::Utf8ToUtf16(WimTemporaryFolder()).c_str());
}

}  // namespace

DWORD WimCaptureThread(const WimCaptureJob& job, const disk::OperationContext& context) {
    const disk::WimFunctionTable& table = LoadedWimgapi();
    const DWORD access = job.append ? wim::WIM_GENERIC_READ | wim::WIM_GENERIC_WRITE : wim::WIM_GENERIC_WRITE;
    const DWORD disposition = job.append ? wim::WIM_OPEN_EXISTING : wim::WIM_CREATE_ALWAYS;
    const DWORD capture_flags = job.wimboot ? DWORD{wim::WIM_FLAG_WIM_BOOT} : DWORD{0};
    // An ESD is one solid block, and LZMS is what makes one.
    const bool solid = job.compression == wim::WIM_COMPRESS_LZMS || IsEsdFile(job.wim_file);
    const DWORD create_flags = solid ? DWORD{wim::WIM_FLAG_SOLID | wim::WIM_FLAG_SHARE_WRITE} : capture_flags;
    DWORD created = 0;
    WimObject wim_file(table, table.WIMCreateFile(platform::Utf8ToUtf16(job.wim_file).c_str(), access, disposition,
                                                  create_flags, static_cast<DWORD>(job.compression), &created));
    if (!wim_file.valid()) return Failed(context, "WIMCreateFile");

    WimCallbackContext callback = CallbackContext(&job.exclusions, context);
    CallbackRegistration registration(table, wim_file, callback);
    SetTemporaryPath(table, wim_file);
    AddReference(table, wim_file, job.reference, context);

    // A new file is written under a name of its own and renamed into place
    // only once the capture is complete: a failed or cancelled capture
    // leaves nothing behind, and the file it was to replace as it was.
    WimObject image(table, table.WIMCaptureImage(wim_file.get(), platform::Utf8ToUtf16(job.source).c_str(),
                                                 capture_flags));
    if (!image.valid()) return FailureExitCode();
    if (!image.close() || !wim_file.close()) return FailureExitCode();
    return platform::ERROR_SUCCESS;
}

DWORD WimApplyThread(const WimApplyJob& job, const disk::OperationContext& context) {
    const disk::WimFunctionTable& table = LoadedWimgapi();
    const DWORD open_flags = wim::WIM_FLAG_VERIFY | (IsEsdFile(job.wim_file) ? DWORD{wim::WIM_FLAG_SOLID} : DWORD{0});
    DWORD created = 0;
    WimObject wim_file(table, table.WIMCreateFile(platform::Utf8ToUtf16(job.wim_file).c_str(),
                                                  wim::WIM_GENERIC_READ, wim::WIM_OPEN_EXISTING, open_flags,
                                                  wim::WIM_COMPRESS_NONE, &created));
    if (!wim_file.valid()) return Failed(context, "WIMCreateFile");

    WimCallbackContext callback = CallbackContext(nullptr, context);
    CallbackRegistration registration(table, wim_file, callback);
    SetTemporaryPath(table, wim_file);

    WimObject image(table, table.WIMLoadImage(wim_file.get(), static_cast<DWORD>(job.index)));
    if (!image.valid()) return Failed(context, "WIMLoadImage");
    AddReference(table, wim_file, job.reference, context);
    const DWORD apply_flags = job.wimboot ? DWORD{wim::WIM_FLAG_WIM_BOOT} : DWORD{0};
    if (!table.WIMApplyImage(image.get(), platform::Utf8ToUtf16(job.target).c_str(), apply_flags))
        return FailureExitCode();
    return platform::ERROR_SUCCESS;
}

DWORD WimExportThread(const WimExportJob& job, const disk::OperationContext& context) {
    const disk::WimFunctionTable& table = LoadedWimgapi();
    DWORD created = 0;
    WimObject source(table, table.WIMCreateFile(platform::Utf8ToUtf16(job.source).c_str(), wim::WIM_GENERIC_READ,
                                                wim::WIM_OPEN_EXISTING,
                                                IsEsdFile(job.source) ? DWORD{wim::WIM_FLAG_SOLID} : DWORD{0},
                                                wim::WIM_COMPRESS_NONE, &created));
    if (!source.valid()) return Failed(context, "WIMCreateFile");
    // Opened when it exists, made when it does not: a file of that name that
    // is no WIM fails here and is left as it is.
    WimObject target(table, table.WIMCreateFile(platform::Utf8ToUtf16(job.target).c_str(),
                                                wim::WIM_GENERIC_READ | wim::WIM_GENERIC_WRITE, wim::WIM_OPEN_ALWAYS,
                                                0, wim::WIM_COMPRESS_XPRESS, &created));
    if (!target.valid()) return Failed(context, "WIMCreateFile");
    SetTemporaryPath(table, source);
    SetTemporaryPath(table, target);

    WimObject image(table, table.WIMLoadImage(source.get(), static_cast<DWORD>(job.index)));
    if (!image.valid()) return Failed(context, "WIMLoadImage");
    WimCallbackContext callback = CallbackContext(nullptr, context);
    CallbackRegistration registration(table, target, callback);
    if (!table.WIMExportImage(image.get(), target.get(), wim::WIM_EXPORT_ALLOW_DUPLICATES)) return FailureExitCode();
    if (!image.close() || !source.close() || !target.close()) return FailureExitCode();
    return platform::ERROR_SUCCESS;
}

namespace {

WorkerOutcome RunAndReport(const std::function<DWORD()>& body, const disk::OperationContext& context) {
    WorkerOutcome outcome = RunWorker(body, context);
    context.post_status(TerminationStatus(outcome));
    return outcome;
}

// The context of a worker the main window starts: its status target, and
// its cancel flag, which the window's Cancel button sets.
disk::OperationContext WorkerContext(MainState& state, platform::OperationTarget* target) {
    disk::OperationContext context;
    context.status = target;
    context.cancel = &state.cancel;
    return context;
}

void SetPercentScale(platform::ProgressBar* bar) {
    if (bar) bar->set_max(100);
}

}  // namespace

std::optional<WorkerOutcome> StartWimCapture(WimCaptureJob job, const std::string& program_folder,
                                             const disk::OperationContext& context, platform::ProgressBar* bar) {
    SetPercentScale(bar);
    // The question is about the file the capture writes, so an LZMS
    // capture's ".esd" is named before it is asked.
    if (job.compression == wim::WIM_COMPRESS_LZMS) job.wim_file = SolidFileName(job.wim_file);
    job.append = false;
    if (const auto facts = platform::FileFactsOf(job.wim_file)) {
        if (!facts->is_regular()) {
            context.ui().inform(job.wim_file + " is not a file", platform::kProgramCaption);
            return std::nullopt;
        }
        // Yes: the capture makes a new file that takes the old one's place
        // once it is complete, so a capture that fails keeps the old one.
        job.append = !context.ui().confirm("File exists! Delete?\r\n(No=Append)", platform::kProgramCaption);
    }
    job.exclusions = ReadExclusionList(FindInProgramFolder(program_folder, "Wimscript.ini"));
    return RunAndReport([&job, &context] { return WimCaptureThread(job, context); }, context);
}

WorkerOutcome StartWimApply(const WimApplyJob& job, const disk::OperationContext& context, platform::ProgressBar* bar) {
    SetPercentScale(bar);
    return RunAndReport([&job, &context] { return WimApplyThread(job, context); }, context);
}

WorkerOutcome StartWimExport(const WimExportJob& job, const disk::OperationContext& context,
                             platform::ProgressBar* bar) {
    SetPercentScale(bar);
    if (bar) bar->set_position(0);
    return RunAndReport([&job, &context] { return WimExportThread(job, context); }, context);
}

std::optional<WorkerOutcome> WimCapture(MainState& state, const std::string& source, const std::string& wim_file,
                                        bool wimboot, int compression, platform::OperationTarget* target,
                                        platform::ProgressBar* bar) {
    WimCaptureJob job;
    job.source = WimVolumeRoot(source);
    job.wim_file = wim_file;
    job.wimboot = wimboot;
    job.compression = compression == wim::WIM_COMPRESS_LZX || compression == wim::WIM_COMPRESS_LZMS
                          ? compression
                          : int{wim::WIM_COMPRESS_XPRESS};
    return StartWimCapture(std::move(job), state.program_folder, WorkerContext(state, target), bar);
}

WorkerOutcome WimApply(MainState& state, const std::string& wim_file, const std::string& target_volume, int index,
                       bool wimboot, platform::OperationTarget* target, platform::ProgressBar* bar) {
    WimApplyJob job{wim_file, WimVolumeRoot(target_volume), "", index, wimboot};
    const disk::OperationContext context = WorkerContext(state, target);
    // The image goes into the volume's folder, not through a handle of it:
    // the volume's name is checked here as a handle that writes checks it.
    if (!platform::device::Registry::instance().still_chosen(target_volume)) {
        context.ui().inform(platform::device::ChoiceRefusal(target_volume), platform::kProgramCaption);
        return WorkerOutcome{0, platform::ERROR_MEDIA_CHANGED, ""};
    }
    return StartWimApply(job, context, bar);
}

}  // namespace tarnovell
