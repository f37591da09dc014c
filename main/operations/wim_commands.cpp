#include "main/operations/wim_commands.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "disk/bindings/wimgapi.h"
#include "main/operations/selection.h"
#include "platform/device/handle.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/os/system.h"
#include "platform/base/wide_text.h"

namespace tarnovell {

namespace wim = platform::wim;
using platform::DWORD;

namespace {

void Post(const WimCallbackContext& context, platform::OperationKind kind, std::int64_t percent,
          const std::string& text) {
    if (context.target) context.target->post(context.channel, kind, percent, text);
}

std::string PathAt(wim::WPARAM wparam) { return platform::Utf16ToUtf8(reinterpret_cast<const char16_t*>(wparam)); }

// A WIM or image handle, closed through the library when it goes.
class WimObject {
public:
    WimObject(const disk::WimFunctionTable& table, wim::WimHandle handle) : table_(table), handle_(handle) {}
    ~WimObject() { close(); }
    WimObject(const WimObject&) = delete;
    WimObject& operator=(const WimObject&) = delete;

    bool valid() const { return handle_ != nullptr && handle_ != wim::INVALID_WIM_HANDLE; }
    wim::WimHandle get() const { return handle_; }
    // Closing a WIM opened for writing writes it; false when that fails.
    bool close() {
        if (!valid()) return true;
        wim::WimHandle handle = handle_;
        handle_ = nullptr;
        return table_.WIMCloseHandle(handle) != 0;
    }

private:
    const disk::WimFunctionTable& table_;
    wim::WimHandle handle_;
};

// The callback registration of one WIM handle, undone when it goes.
class CallbackRegistration {
public:
    CallbackRegistration(const disk::WimFunctionTable& table, const WimObject& file, WimCallbackContext& context)
        : table_(table), file_(file) {
        registered_ = table_.WIMRegisterMessageCallback(file.get(), &MainWimMessageCallback, &context) !=
                      wim::INVALID_CALLBACK_VALUE;
        if (!registered_) Post(context, platform::OperationKind::Message, 0, "WIMRegisterMessageCallback failed");
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

const disk::WimFunctionTable& LoadedWimgapi() {
    disk::LoadWimgapi("wimgapi.dll");
    if (!disk::WimgapiLoaded()) throw std::runtime_error("wimgapi not loaded");
    return disk::WimFunctions();
}

// TEMP when it is set, as the imaging library is told on Windows; else the
// program's temporary folder.
std::string TemporaryFolder() {
    bool exists = false;
    std::string value = platform::GetEnvironmentVariableA("TEMP", exists);
    return exists && !value.empty() ? value : GetTempDirectory();
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

}  // namespace

ExclusionList ReadExclusionList(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
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
    switch (message) {
    case wim::WIM_MSG_PROGRESS:
        Post(context, platform::OperationKind::Percent, static_cast<std::int64_t>(wparam), "");
        break;
    case wim::WIM_MSG_PROCESS:
        if (context.exclusions && *context.exclusions && lparam != 0 && IsExcluded(*context.exclusions, PathAt(wparam)))
            *reinterpret_cast<wim::BOOL*>(lparam) = 0;
        break;
    case wim::WIM_MSG_SCANNING:
        Post(context, platform::OperationKind::Status, 0, "WIM_MSG_SCANNING:in progress");
        break;
    case wim::WIM_MSG_ERROR:
        Post(context, platform::OperationKind::Message, 0,
             "WIM_MSG_ERROR\r\n" + std::to_string(lparam) + "\r\n" + PathAt(wparam));
        break;
    case wim::WIM_MSG_RETRY:
        Post(context, platform::OperationKind::Status, 0, "WIM_MSG_RETRY;" + std::to_string(lparam) + ";" + PathAt(wparam));
        break;
    case wim::WIM_MSG_INFO:
        Post(context, platform::OperationKind::Status, 0, "WIM_MSG_INFO;" + std::to_string(lparam) + ";" + PathAt(wparam));
        break;
    case wim::WIM_MSG_WARNING:
        Post(context, platform::OperationKind::Status, 0,
             "WIM_MSG_WARNING;" + std::to_string(lparam) + ";" + PathAt(wparam));
        break;
    default: break;
    }
    return context.cancel && context.cancel->load() ? wim::WIM_MSG_ABORT_IMAGE : wim::WIM_MSG_SUCCESS;
}

std::string WimVolumeRoot(const std::string& device) {
    std::string root = device;
    // Only "\\.\C:" names its volume by a letter the library takes as "C:\";
    // any other device path ("\\.\PhysicalDrive2", "\\.\HarddiskVolume3")
    // stays whole, where it is taken as the device it is, never as a folder
    // named like it.
    if (root.rfind("\\\\.\\", 0) == 0 && root.size() >= 6 && root[5] == ':') root.erase(0, 4);
    const bool drive = root.size() == 2 && root[1] == ':';
    if (drive) root += "\\";
    return root;
}

std::string SolidFileName(const std::string& file) {
    std::filesystem::path path(file);
    if (!platform::EqualsNoCase(path.extension().string(), ".wim")) return file;
    return file.substr(0, file.size() - 4) + ".esd";
}

namespace {

// The callback's view of a worker's context.
WimCallbackContext CallbackContext(const ExclusionList* exclusions, const disk::OperationContext& context) {
    return WimCallbackContext{exclusions, context.cancel, context.status, context.channel};
}

}  // namespace

DWORD MainWimCaptureThread(const WimCaptureJob& job, const disk::OperationContext& context) {
    const disk::WimFunctionTable& table = LoadedWimgapi();
    const int compression = job.compression == 3 || job.compression == 2 ? job.compression : 1;
    const DWORD access = job.append ? wim::WIM_GENERIC_READ | wim::WIM_GENERIC_WRITE : wim::WIM_GENERIC_WRITE;
    const DWORD disposition = job.append ? wim::WIM_OPEN_EXISTING : wim::WIM_CREATE_ALWAYS;
    const DWORD capture_flags = job.wimboot ? DWORD{wim::WIM_FLAG_WIM_BOOT} : DWORD{0};

    std::string file = job.wim_file;
    DWORD create_flags = capture_flags;
    if (compression == 3) {
        file = SolidFileName(file);
        create_flags = wim::WIM_FLAG_SOLID | wim::WIM_FLAG_SHARE_WRITE;
    }
    DWORD created = 0;
    WimObject wim_file(table, table.WIMCreateFile(platform::Utf8ToUtf16(file).c_str(), access, disposition,
                                                  create_flags, static_cast<DWORD>(compression), &created));
    if (!wim_file.valid()) return FailureExitCode();

    WimCallbackContext callback = CallbackContext(&job.exclusions, context);
    CallbackRegistration registration(table, wim_file, callback);
    table.WIMSetTemporaryPath(wim_file.get(), platform::Utf8ToUtf16(TemporaryFolder()).c_str());

    WimObject image(table, table.WIMCaptureImage(wim_file.get(), platform::Utf8ToUtf16(job.source).c_str(),
                                                 capture_flags));
    if (!image.valid()) return FailureExitCode();
    if (!image.close() || !wim_file.close()) return FailureExitCode();
    return platform::ERROR_SUCCESS;
}

DWORD MainWimApplyThread(const WimApplyJob& job, const disk::OperationContext& context) {
    const disk::WimFunctionTable& table = LoadedWimgapi();
    DWORD created = 0;
    WimObject wim_file(table, table.WIMCreateFile(platform::Utf8ToUtf16(job.wim_file).c_str(),
                                                  wim::WIM_GENERIC_READ, wim::WIM_OPEN_EXISTING, wim::WIM_FLAG_VERIFY,
                                                  wim::WIM_COMPRESS_NONE, &created));
    if (!wim_file.valid()) return FailureExitCode();

    WimCallbackContext callback = CallbackContext(nullptr, context);
    CallbackRegistration registration(table, wim_file, callback);
    table.WIMSetTemporaryPath(wim_file.get(), platform::Utf8ToUtf16(TemporaryFolder()).c_str());

    WimObject image(table, table.WIMLoadImage(wim_file.get(), static_cast<DWORD>(job.index)));
    if (!image.valid()) return FailureExitCode();
    const DWORD apply_flags = job.wimboot ? DWORD{wim::WIM_FLAG_WIM_BOOT} : DWORD{0};
    if (!table.WIMApplyImage(image.get(), platform::Utf8ToUtf16(job.target).c_str(), apply_flags))
        return FailureExitCode();
    return platform::ERROR_SUCCESS;
}

namespace {

WorkerOutcome RunAndReport(const std::function<DWORD()>& body, const disk::OperationContext& context) {
    WorkerOutcome outcome = RunWorker(body, context.status, context.channel);
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

}  // namespace

std::optional<WorkerOutcome> WimCapture(MainState& state, const std::string& source, const std::string& wim_file,
                                        bool wimboot, int compression, platform::OperationTarget* target,
                                        platform::ProgressBar* bar) {
    std::uint8_t append = 0;
    const std::string written = compression == 3 ? SolidFileName(wim_file) : wim_file;
    if (FileExists(written)) {
        if (platform::interaction().confirm("File exists! Delete?\r\n(No=Append)", "Tarnovell")) {
            if (!platform::DeleteRegularFile(written)) {
                platform::interaction().inform(written + ": " + platform::SysErrorMessage(platform::GetLastError()),
                                               "Tarnovell");
                return std::nullopt;
            }
        } else {
            append = 1;
        }
    }
    if (bar) bar->set_max(100);
    WimCaptureJob job;
    job.source = WimVolumeRoot(source);
    job.wim_file = wim_file;
    job.wimboot = wimboot;
    job.compression = compression;
    job.append = append != 0;
    job.exclusions = ReadExclusionList(FindInProgramFolder(state.program_folder, "Wimscript.ini"));
    const disk::OperationContext context = WorkerContext(state, target);
    return RunAndReport([&job, &context] { return MainWimCaptureThread(job, context); }, context);
}

WorkerOutcome WimApply(MainState& state, const std::string& wim_file, const std::string& target_volume, int index,
                       bool wimboot, platform::OperationTarget* target, platform::ProgressBar* bar) {
    if (bar) bar->set_max(100);
    const WimApplyJob job{wim_file, WimVolumeRoot(target_volume), index, wimboot};
    const disk::OperationContext context = WorkerContext(state, target);
    return RunAndReport([&job, &context] { return MainWimApplyThread(job, context); }, context);
}

}  // namespace tarnovell
