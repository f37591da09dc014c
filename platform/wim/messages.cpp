#include "platform/wim/messages.h"

#include <sys/stat.h>

#include "platform/wim/library.h"
#include "platform/base/wide_text.h"

namespace platform::wim {

namespace {

// How many scanned entries between two WIM_MSG_SCANNING reports.
constexpr std::uint64_t kScanReportEvery = 1000;

std::u16string Wide(const char* text) { return Utf8ToUtf16(text ? text : ""); }

}  // namespace

MessageRelay::MessageRelay(std::vector<RegisteredCallback> callbacks) : callbacks_(std::move(callbacks)) {}

void MessageRelay::set_capture_root(const std::string& root, std::u16string drive, bool ntfs) {
    root_ = root;
    drive_ = std::move(drive);
    ntfs_ = ntfs;
    struct stat st {};
    root_known_ = !ntfs && ::stat(root.c_str(), &st) == 0;
    root_device_ = root_known_ ? st.st_dev : 0;
}

bool MessageRelay::is_other_file_system(const std::string& path) const {
    struct stat st {};
    return root_known_ && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev != root_device_;
}

void MessageRelay::exclude_own_file(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return;
    own_name_ = path.substr(path.find_last_of('/') + 1);
    own_device_ = st.st_dev;
    own_inode_ = st.st_ino;
}

bool MessageRelay::is_own_file(const std::string& path) const {
    if (own_name_.empty() || ntfs_) return false;
    const std::size_t slash = path.find_last_of('/');
    if (path.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, own_name_) != 0) return false;
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == own_device_ && st.st_ino == own_inode_;
}

DWORD MessageRelay::send(DWORD message, WPARAM wparam, LPARAM lparam) {
    if (aborted_) return WIM_MSG_ABORT_IMAGE;
    DWORD answer = WIM_MSG_SUCCESS;
    for (const RegisteredCallback& entry : callbacks_) {
        const DWORD result = entry.callback(message, wparam, lparam, entry.user_data);
        if (result == WIM_MSG_ABORT_IMAGE) {
            aborted_ = true;
            return WIM_MSG_ABORT_IMAGE;
        }
        if (result == WIM_MSG_SKIP_ERROR) answer = result;
    }
    return answer;
}

DWORD MessageRelay::send_path(DWORD message, const std::string& path, DWORD code) {
    const std::u16string wide = Utf8ToUtf16(path);
    return send(message, reinterpret_cast<WPARAM>(wide.c_str()), static_cast<LPARAM>(code));
}

void MessageRelay::progress(std::uint64_t done, std::uint64_t total) {
    if (total == 0) return;
    const int percent = done >= total ? 100 : static_cast<int>(done * 100 / total);
    if (percent <= percent_) return;
    percent_ = percent;
    using namespace std::chrono;
    const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - started_).count();
    const std::int64_t left = percent > 0 ? elapsed * (100 - percent) / percent : 0;
    send(WIM_MSG_PROGRESS, static_cast<WPARAM>(percent), static_cast<LPARAM>(left));
}

void MessageRelay::finish() {
    if (percent_ < 100) progress(1, 1);
}

std::u16string MessageRelay::capture_path(const std::string& path) const {
    std::string below = path;
    if (!ntfs_ && below.compare(0, root_.size(), root_) == 0) below.erase(0, root_.size());
    std::u16string wide = drive_;
    if (below.empty() || below.front() != '/') wide += u'\\';
    for (char16_t c : Utf8ToUtf16(below)) wide += c == u'/' ? u'\\' : c;
    return wide;
}

wimlib_progress_status MessageRelay::test_exclusion(
    wimlib_progress_info::wimlib_progress_info_test_file_exclusion& test) {
    const std::string path = test.path ? test.path : "";
    const bool is_root = ntfs_ ? (path.empty() || path == "/") : path == root_;
    if (is_root) return WIMLIB_PROGRESS_STATUS_CONTINUE;
    if (is_own_file(path) || is_other_file_system(path)) {
        test.will_exclude = true;
        return WIMLIB_PROGRESS_STATUS_CONTINUE;
    }
    const std::u16string wide = capture_path(path);
    BOOL include = 1;
    if (send(WIM_MSG_PROCESS, reinterpret_cast<WPARAM>(wide.c_str()), reinterpret_cast<LPARAM>(&include)) ==
        WIM_MSG_ABORT_IMAGE)
        return WIMLIB_PROGRESS_STATUS_ABORT;
    if (!include) test.will_exclude = true;
    return WIMLIB_PROGRESS_STATUS_CONTINUE;
}

wimlib_progress_status MessageRelay::handle(wimlib_progress_msg message, wimlib_progress_info& info) {
    switch (message) {
    case WIMLIB_PROGRESS_MSG_SCAN_BEGIN:
        send(WIM_MSG_SCANNING, 0, 0);
        break;
    case WIMLIB_PROGRESS_MSG_SCAN_DENTRY:
        if (info.scan.status == wimlib_progress_info::wimlib_progress_info_scan::WIMLIB_SCAN_DENTRY_UNSUPPORTED)
            send_path(WIM_MSG_WARNING, info.scan.cur_path ? info.scan.cur_path : "", ERROR_NOT_SUPPORTED);
        if (++scanned_ % kScanReportEvery == 0) send(WIM_MSG_SCANNING, 0, static_cast<LPARAM>(scanned_));
        break;
    case WIMLIB_PROGRESS_MSG_TEST_FILE_EXCLUSION:
        return test_exclusion(info.test_file_exclusion);
    case WIMLIB_PROGRESS_MSG_WRITE_STREAMS:
        progress(info.write_streams.completed_bytes, info.write_streams.total_bytes);
        break;
    case WIMLIB_PROGRESS_MSG_EXTRACT_STREAMS:
        progress(info.extract.completed_bytes, info.extract.total_bytes);
        break;
    case WIMLIB_PROGRESS_MSG_HANDLE_ERROR: {
        const std::u16string path = Wide(info.handle_error.path);
        const DWORD code = WindowsErrorOf(info.handle_error.error_code);
        if (send(WIM_MSG_ERROR, reinterpret_cast<WPARAM>(path.c_str()), static_cast<LPARAM>(code)) ==
            WIM_MSG_SKIP_ERROR)
            info.handle_error.will_ignore = true;
        break;
    }
    case WIMLIB_PROGRESS_MSG_REPLACE_FILE_IN_WIM:
        send_path(WIM_MSG_WARNING, info.replace.path_in_wim ? info.replace.path_in_wim : "", ERROR_ALREADY_EXISTS);
        break;
    case WIMLIB_PROGRESS_MSG_WIMBOOT_EXCLUDE:
        send_path(WIM_MSG_INFO, info.wimboot_exclude.path_in_wim ? info.wimboot_exclude.path_in_wim : "",
                  ERROR_SUCCESS);
        break;
    default:
        break;
    }
    return aborted_ ? WIMLIB_PROGRESS_STATUS_ABORT : WIMLIB_PROGRESS_STATUS_CONTINUE;
}

wimlib_progress_status MessageRelay::Progress(wimlib_progress_msg message, wimlib_progress_info* info,
                                              void* context) {
    auto* relay = static_cast<MessageRelay*>(context);
    if (!relay || !info) return WIMLIB_PROGRESS_STATUS_CONTINUE;
    return relay->handle(message, *info);
}

}  // namespace platform::wim
