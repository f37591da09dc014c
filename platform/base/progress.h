// The reporting seams of long operations: a progress bar to move, a target
// for the WM_OPERATION messages, and the pump that lets a window stay alive
// while the operation runs on its thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace platform {

class ProgressBar {
public:
    virtual ~ProgressBar() = default;
    virtual void set_max(std::int64_t max) = 0;
    virtual void set_position(std::int64_t position) = 0;
};

// The progress message and its kinds.
constexpr int WM_USER = 0x0400;
constexpr int WM_OPERATION = WM_USER + 101;  // 1125, the main window
constexpr int WM_OPERATION_CAPTURE = 1126;
constexpr int WM_OPERATION_APPLY = 1127;
constexpr int WM_OPERATION_EXPORT = 1128;

enum class OperationKind : int {
    Percent = 1,  // the value is a percentage for the progress bar
    Message = 2,  // the text is for a message box
    Status = 3,   // the text is for the status line
};

// Receives WM_OPERATION posts. Implementations must be safe to call from any
// thread; the text is copied, so the poster may drop it at once.
class OperationTarget {
public:
    virtual ~OperationTarget() = default;
    virtual void post(int channel, OperationKind kind, std::int64_t percent, const std::string& text) = 0;
};

// Lets the window's message loop run between blocks of a long operation.
void pump();
// Installs the pump (the window's processEvents); an empty function removes it.
void set_pump(std::function<void()> pump);

}  // namespace platform
