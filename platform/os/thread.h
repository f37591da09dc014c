// Every thread of the program is started here, so that whatever must wrap a
// thread's body (the crash reporter's frame) wraps all of them. A thread
// runs with the default stack: the small "initial stack" Windows callers ask
// for is only what Windows commits up front, not a limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/base/win_error.h"

namespace platform {

// A thread whose body returns an exit code, as a Windows thread does. The
// object joins the thread when it is destroyed.
class WorkerThread {
public:
    using Body = std::function<DWORD()>;

    WorkerThread() = default;
    explicit WorkerThread(Body body);
    ~WorkerThread();
    WorkerThread(WorkerThread&&) noexcept = default;
    WorkerThread& operator=(WorkerThread&&) noexcept;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool started() const { return static_cast<bool>(shared_); }
    // True when the body has returned (or was never started) within `timeout`.
    bool wait_for(std::chrono::milliseconds timeout);
    // The body's result once it has returned; empty while it runs or when it
    // ended by an exception that escaped it.
    std::optional<DWORD> exit_code() const;
    // The kernel's id of the thread (0 before it has started running).
    std::uint64_t id() const;

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable ended_signal;
        bool ended = false;
        std::optional<DWORD> exit_code;
        std::uint64_t id = 0;
    };
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// Starts a plain thread through the same wrapper (for threads that return
// nothing, such as read-ahead and packing threads of the copy loop).
std::jthread StartThread(std::function<void(std::stop_token)> body);

// Installs the wrapper every thread body runs inside; empty restores the
// plain call. Set once at start-up, before any thread is started.
using ThreadFrame = std::function<void(const std::function<void()>& body)>;
void SetThreadFrame(ThreadFrame frame);

}  // namespace platform
