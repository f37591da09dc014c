#include "platform/os/thread.h"
#include "platform/os/thread_id.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

ThreadFrame& Frame() {
    static ThreadFrame frame;
    return frame;
}

void RunInFrame(const std::function<void()>& body) {
    const ThreadFrame& frame = Frame();
    if (frame)
        frame(body);
    else
        body();
}

}  // namespace

std::uint64_t CurrentThreadId() { return static_cast<std::uint64_t>(::syscall(SYS_gettid)); }

void SetThreadFrame(ThreadFrame frame) { Frame() = std::move(frame); }

WorkerThread::WorkerThread(Body body) : shared_(std::make_shared<Shared>()) {
    std::shared_ptr<Shared> shared = shared_;
    thread_ = std::thread([shared, body = std::move(body)] {
        {
            std::lock_guard guard(shared->mutex);
            shared->id = CurrentThreadId();
        }
        std::optional<DWORD> code;
        try {
            RunInFrame([&] { code = body(); });
        } catch (...) {
            // Nothing may leave a thread; the missing exit code tells the waiter.
        }
        std::lock_guard guard(shared->mutex);
        shared->exit_code = code;
        shared->ended = true;
        shared->ended_signal.notify_all();
    });
}

WorkerThread::~WorkerThread() {
    if (thread_.joinable()) thread_.join();
}

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
    if (this != &other) {
        if (thread_.joinable()) thread_.join();
        shared_ = std::move(other.shared_);
        thread_ = std::move(other.thread_);
    }
    return *this;
}

bool WorkerThread::wait_for(std::chrono::milliseconds timeout) {
    if (!shared_) return true;
    std::unique_lock lock(shared_->mutex);
    return shared_->ended_signal.wait_for(lock, timeout, [&] { return shared_->ended; });
}

std::optional<DWORD> WorkerThread::exit_code() const {
    if (!shared_) return std::nullopt;
    std::lock_guard guard(shared_->mutex);
    return shared_->ended ? shared_->exit_code : std::nullopt;
}

std::uint64_t WorkerThread::id() const {
    if (!shared_) return 0;
    std::lock_guard guard(shared_->mutex);
    return shared_->id;
}

std::jthread StartThread(std::function<void(std::stop_token)> body) {
    return std::jthread([body = std::move(body)](std::stop_token stop) { RunInFrame([&] { body(stop); }); });
}

}  // namespace platform
