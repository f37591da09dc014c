// The bridge from wimlib's progress reports to the message callbacks the
// callers registered: scanning, each file considered for capture (with the
// caller's chance to leave it out), percent done, errors, warnings. One relay
// serves one operation.
#pragma once

#include <wimlib.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wim/wimgapi.h"

namespace platform::wim {

struct RegisteredCallback {
    WIMMessageCallback callback = nullptr;
    void* user_data = nullptr;
};

class MessageRelay {
public:
    explicit MessageRelay(std::vector<RegisteredCallback> callbacks);

    // Capture paths are reported as `drive` + "\" + the path below `root`
    // with backslashes; in NTFS mode wimlib already gives them from the root.
    // A capture stays on the root's file system: a file system mounted below
    // it is left out, as Windows leaves out the contents of a mounted folder
    // (and as /proc and /sys must be when a root volume is captured).
    void set_capture_root(const std::string& root, std::u16string drive, bool ntfs);
    // Leaves the WIM being written out of its own capture (a volume captured
    // into a file on itself); the file is known by name and identity.
    void exclude_own_file(const std::string& path);

    // Delivers one message to every callback; WIM_MSG_ABORT_IMAGE when any of
    // them answered it (the relay then stays aborted), else the strongest
    // other answer (WIM_MSG_SKIP_ERROR over WIM_MSG_SUCCESS).
    DWORD send(DWORD message, WPARAM wparam, LPARAM lparam);
    // A message about a path, with a Windows error code.
    DWORD send_path(DWORD message, const std::string& path, DWORD code);
    bool aborted() const { return aborted_; }

    // WIM_MSG_PROGRESS when the whole percent moved; never goes back.
    void progress(std::uint64_t done, std::uint64_t total);
    // The last report of a successful operation: 100 percent.
    void finish();

    // wimlib's progress function; `context` is a MessageRelay.
    static wimlib_progress_status Progress(wimlib_progress_msg message, wimlib_progress_info* info, void* context);

private:
    wimlib_progress_status handle(wimlib_progress_msg message, wimlib_progress_info& info);
    wimlib_progress_status test_exclusion(wimlib_progress_info::wimlib_progress_info_test_file_exclusion& test);
    std::u16string capture_path(const std::string& path) const;

    bool is_own_file(const std::string& path) const;
    bool is_other_file_system(const std::string& path) const;

    std::vector<RegisteredCallback> callbacks_;
    std::string own_name_;
    unsigned long long own_device_ = 0, own_inode_ = 0;
    unsigned long long root_device_ = 0;
    bool root_known_ = false;
    std::string root_;
    std::u16string drive_ = u"?:";
    bool ntfs_ = false;
    bool aborted_ = false;
    int percent_ = -1;
    std::uint64_t scanned_ = 0;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace platform::wim
