#include "platform/device/filesystems/resize.h"

#include "platform/base/win_error.h"
#include "platform/os/child_process.h"

namespace platform::device {

namespace {

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

// Runs a resizer step; a failed step leaves its last words in `detail`.
bool Step(const std::vector<std::string>& argv, std::string* detail, int highest_good_exit = 0,
          const std::string& input = {}) {
    ChildOptions options;
    options.input = input;
    ChildResult result = RunChild(argv, options);
    if (!result.started) return false;  // the runner said why
    if (result.exit_code >= 0 && result.exit_code <= highest_good_exit) return true;
    const std::string said = result.error.empty() ? result.output : result.error;
    if (detail) *detail = argv[0] + ": " + said;
    // The kernel's refusal (an online resize without the right to it) is
    // told as such, not as a failing device.
    return Fail(said.find("Permission denied") != std::string::npos ? ERROR_ACCESS_DENIED : ERROR_IO_DEVICE);
}

bool IsExt(const std::string& name) { return name == "ext2" || name == "ext3" || name == "ext4"; }

}  // namespace

bool ResizeFileSystem(const std::string& node, const std::string& name, std::int64_t current_bytes,
                      std::int64_t new_bytes, bool mounted, std::string* detail) {
    if (new_bytes <= 0 || new_bytes % 512 != 0) return Fail(ERROR_INVALID_PARAMETER);
    const bool shrinking = new_bytes < current_bytes;
    if (IsExt(name)) {
        if (mounted && shrinking) return Fail(ERROR_ACCESS_DENIED);
        // resize2fs insists on a freshly checked file system when it works
        // offline; the preen mode repairs only what is safe to repair
        // (exit 1: errors corrected).
        if (!mounted && !Step({"e2fsck", "-f", "-p", node}, detail, 1)) return false;
        return Step({"resize2fs", node, std::to_string(new_bytes / 512) + "s"}, detail);
    }
    if (name == "NTFS") {
        if (mounted) return Fail(ERROR_ACCESS_DENIED);
        // It asks before it writes: the answer is given up front.
        return Step({"ntfsresize", "--force", "--no-progress-bar", "--size", std::to_string(new_bytes), node}, detail,
                    0, "y\n");
    }
    return Fail(ERROR_INVALID_FUNCTION);
}

}  // namespace platform::device
