#include "platform/os/child_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/base/ascii.h"
#include "platform/base/scope_guard.h"
#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"

extern char** environ;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the cancel flag is looked at, and how often the end of a child
// is looked for where the kernel offers no descriptor to wait on.
constexpr int kStepMs = 50;
constexpr std::size_t kReadChunk = 64 << 10;

std::vector<char*> ArgvOf(const std::vector<std::string>& argv) {
    std::vector<char*> result;
    result.reserve(argv.size() + 1);
    for (const auto& a : argv) result.push_back(const_cast<char*>(a.c_str()));
    result.push_back(nullptr);
    return result;
}

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool MakePipe(UniqueFd& read_end, UniqueFd& write_end) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
}

void SetNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// A descriptor that polls readable once the child has ended; -1 where the
// kernel is too old for it.
int OpenPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

// The spawn attributes and file actions, released on every way out.
class SpawnSetup {
public:
    explicit SpawnSetup(bool own_session) {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawnattr_init(&attributes_);
        // The child starts with nothing blocked and with the default action
        // for the signals a program may have set aside for itself (an
        // ignored SIGPIPE would otherwise pass to tar or sh through exec).
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal);
        ::posix_spawnattr_setsigmask(&attributes_, &none);
        ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (own_session) flags |= POSIX_SPAWN_SETSID;
        ::posix_spawnattr_setflags(&attributes_, flags);
    }
    ~SpawnSetup() {
        ::posix_spawn_file_actions_destroy(&actions_);
        ::posix_spawnattr_destroy(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    void use(int fd, int target) { ::posix_spawn_file_actions_adddup2(&actions_, fd, target); }
    void null(int target, int flags) { ::posix_spawn_file_actions_addopen(&actions_, target, "/dev/null", flags, 0); }
    void start_in(const std::string& folder) { ::posix_spawn_file_actions_addchdir_np(&actions_, folder.c_str()); }

    // 0 or the errno of the failure (ENOENT when there is no such program).
    int spawn(const std::vector<std::string>& argv, pid_t& pid) {
        std::vector<char*> args = ArgvOf(argv);
        return ::posix_spawnp(&pid, args[0], &actions_, &attributes_, args.data(), environ);
    }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

// Whether our child `pid` ended within `limit`, leaving it unreaped.
bool EndedWithin(int pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;  // not ours
        if (info.si_pid == pid) return true;
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace

// A write to a pipe whose reader may have gone, without the process dying
// of SIGPIPE: the signal is held back for the call and dropped if it came.
long WriteWithoutSigpipe(int fd, const char* data, std::size_t length) {
    sigset_t pipe_signal, previous, pending;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE);
    const ssize_t n = ::write(fd, data, length);
    const int error = errno;
    if (n < 0 && error == EPIPE && !was_pending) {
        const timespec no_wait{};
        ::sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return n;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, ChildOptions options) {
    if (argv.empty() || argv[0].empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return;
    }
    SpawnSetup setup(options.own_session);
    UniqueFd input_read, input_write, output_read, output_write, error_read, error_write;
    if (options.input.empty() && !options.stream_input) {
        setup.null(STDIN_FILENO, O_RDONLY);
    } else {
        if (!MakePipe(input_read, input_write)) {
            SetLastErrorFromErrno(errno);
            return;
        }
        setup.use(input_read.get(), STDIN_FILENO);
    }
    if (options.output != ChildOutput::Discard) {
        if (!MakePipe(output_read, output_write) || !MakePipe(error_read, error_write)) {
            SetLastErrorFromErrno(errno);
            return;
        }
        setup.use(output_write.get(), STDOUT_FILENO);
        setup.use(error_write.get(), STDERR_FILENO);
    } else {
        setup.null(STDOUT_FILENO, O_WRONLY);
        setup.null(STDERR_FILENO, O_WRONLY);
    }
    if (!options.working_folder.empty()) setup.start_in(options.working_folder);

    pid_t pid = -1;
    if (int error = setup.spawn(argv, pid); error != 0) {
        SetLastErrorFromErrno(error);
        return;
    }
    pid_ = pid;
    pidfd_.reset(OpenPidfd(pid));
    // Our ends of the pipes never block: one loop serves all three.
    for (UniqueFd* fd : {&input_write, &output_read, &error_read})
        if (*fd) SetNonBlocking(fd->get());
    if (options.stream_input) input_stream_ = std::move(input_write);
    else input_fd_ = std::move(input_write);
    input_ = std::move(options.input);
    if (options.output == ChildOutput::Stream) output_stream_ = std::move(output_read);
    else output_.fd = std::move(output_read);
    output_.on_line = std::move(options.on_output_line);
    error_.fd = std::move(error_read);
    error_.on_line = std::move(options.on_error_line);
    cancel_ = options.cancel;
}

ChildProcess::~ChildProcess() {
    const int saved_errno = errno;
    if (started() && !exit_code_) stop();
    errno = saved_errno;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { *this = std::move(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this == &other) return *this;
    if (started() && !exit_code_) stop();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::move(other.pidfd_);
    input_fd_ = std::move(other.input_fd_);
    input_stream_ = std::move(other.input_stream_);
    output_stream_ = std::move(other.output_stream_);
    input_ = std::move(other.input_);
    input_sent_ = other.input_sent_;
    output_ = std::move(other.output_);
    error_ = std::move(other.error_);
    cancel_ = other.cancel_;
    exit_code_ = std::exchange(other.exit_code_, std::nullopt);
    cancelled_ = other.cancelled_;
    return *this;
}

bool ChildProcess::reap(bool block) {
    if (exit_code_) return true;
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        exit_code_ = ExitCodeOf(status);
    } else if (r < 0) {
        exit_code_ = -1;  // reaped by someone else: its status is lost
    } else {
        return false;
    }
    pidfd_.reset();
    return true;
}

void ChildProcess::take_in(Stream& stream, const char* data, std::size_t length) {
    stream.collected.append(data, length);
    if (!stream.on_line) return;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = data[i];
        if (c == '\n' && stream.after_cr) {  // the second half of a CR LF
            stream.after_cr = false;
            continue;
        }
        stream.after_cr = c == '\r';
        if (c == '\b') {
            // Counters that step back over their last figure ("  7%\b\b\b\b")
            // end a line with the first backspace of a run.
            if (!stream.partial.empty()) stream.on_line(stream.partial);
            stream.partial.clear();
        } else if (c == '\n' || c == '\r') {
            stream.on_line(stream.partial);
            stream.partial.clear();
        } else {
            stream.partial += c;
        }
    }
}

// Reads what is left in a pipe whose writer has ended, without waiting for
// a writer that lives on (a daemon the child left behind).
void ChildProcess::drain(Stream& stream) {
    if (!stream.fd) return;
    std::string buffer(kReadChunk, '\0');
    for (;;) {
        const ssize_t n = ::read(stream.fd.get(), buffer.data(), buffer.size());
        if (n > 0) {
            take_in(stream, buffer.data(), static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    stream.fd.reset();
}

void ChildProcess::finish_lines() {
    for (Stream* stream : {&output_, &error_}) {
        if (stream->on_line && !stream->partial.empty()) stream->on_line(stream->partial);
        stream->partial.clear();
    }
}

void ChildProcess::close_pipes() {
    input_fd_.reset();
    input_stream_.reset();
    output_stream_.reset();
    output_.fd.reset();
    error_.fd.reset();
}

bool ChildProcess::pump(std::optional<Clock::time_point> deadline) {
    if (!started()) return true;
    std::string buffer(kReadChunk, '\0');
    for (;;) {
        if (exit_code_) {
            input_fd_.reset();
            drain(output_);
            drain(error_);
            finish_lines();
            return true;
        }
        if (cancel_ && cancel_->load()) {
            cancelled_ = true;
            stop();
            continue;
        }
        pollfd fds[4];
        nfds_t count = 0;
        int input_at = -1, output_at = -1, error_at = -1;
        if (input_fd_) fds[input_at = static_cast<int>(count++)] = {input_fd_.get(), POLLOUT, 0};
        if (output_.fd) fds[output_at = static_cast<int>(count++)] = {output_.fd.get(), POLLIN, 0};
        if (error_.fd) fds[error_at = static_cast<int>(count++)] = {error_.fd.get(), POLLIN, 0};
        if (pidfd_) fds[count++] = {pidfd_.get(), POLLIN, 0};
        int timeout = pidfd_ && !cancel_ ? -1 : kStepMs;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            const int remaining = static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
            timeout = timeout < 0 ? remaining : std::min(timeout, remaining);
        }
        if (::poll(fds, count, timeout) < 0 && errno != EINTR) {
            reap(true);  // nothing to wait with but the wait itself
            continue;
        }
        if (input_at >= 0 && fds[input_at].revents) {
            const std::size_t left = input_.size() - input_sent_;
            const ssize_t n = WriteWithoutSigpipe(input_fd_.get(), input_.data() + input_sent_, left);
            if (n > 0) input_sent_ += static_cast<std::size_t>(n);
            // All of it sent, or the child will not read any more: it sees the end.
            if (input_sent_ == input_.size() || (n < 0 && errno != EAGAIN && errno != EINTR)) input_fd_.reset();
        }
        for (auto [at, stream] : {std::pair{output_at, &output_}, std::pair{error_at, &error_}}) {
            if (at < 0 || !fds[at].revents) continue;
            const ssize_t n = ::read(stream->fd.get(), buffer.data(), buffer.size());
            if (n > 0) take_in(*stream, buffer.data(), static_cast<std::size_t>(n));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR)) stream->fd.reset();
        }
        if (reap(false)) continue;
        if (deadline && Clock::now() >= *deadline) return false;
    }
}

ChildResult ChildProcess::wait() {
    ChildResult result;
    if (!started()) return result;
    pump(std::nullopt);
    result.started = true;
    result.exit_code = exit_code_.value_or(-1);
    result.cancelled = cancelled_;
    result.output = std::move(output_.collected);
    result.error = std::move(error_.collected);
    output_.collected.clear();
    error_.collected.clear();
    return result;
}

bool ChildProcess::wait_for(std::chrono::milliseconds timeout) { return pump(Clock::now() + timeout); }

bool ChildProcess::running() { return started() && !reap(false); }

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (!started() || reap(false)) return;
    close_pipes();  // a child stuck writing to us is let go
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + grace;
    while (!reap(false)) {
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            reap(true);
            return;
        }
        if (pidfd_) {
            pollfd end{pidfd_.get(), POLLIN, 0};
            ::poll(&end, 1, kStepMs);
        } else {
            std::this_thread::sleep_for(10ms);
        }
    }
}

UniqueFd ChildProcess::take_input_stream() { return std::move(input_stream_); }
UniqueFd ChildProcess::take_output_stream() { return std::move(output_stream_); }

namespace {

// The stream between the two children of a relay, in one buffer: filled
// from the producer only once the consumer has taken all of it, so that
// neither side ever waits on us for more than one read.
class Relay {
public:
    Relay(UniqueFd from, UniqueFd to) : from_(std::move(from)), to_(std::move(to)), buffer_(kRelayChunk) {}

    bool flowing() const { return from_ || to_; }
    std::uint64_t relayed() const { return relayed_; }

    // Moves what can be moved within `wait`; both ends may be gone after.
    void step(std::chrono::milliseconds wait) {
        // Everything read has been passed on and nothing more will come:
        // the consumer is told its input has ended.
        if (!from_ && held() == 0) to_.reset();
        pollfd fds[2];
        nfds_t count = 0;
        int from_at = -1, to_at = -1;
        if (from_ && held() == 0) fds[from_at = static_cast<int>(count++)] = {from_.get(), POLLIN, 0};
        if (to_ && held() > 0) fds[to_at = static_cast<int>(count++)] = {to_.get(), POLLOUT, 0};
        if (count == 0) return;
        if (::poll(fds, count, static_cast<int>(wait.count())) <= 0) return;
        if (from_at >= 0 && fds[from_at].revents) take();
        if (to_at >= 0 && fds[to_at].revents) give();
    }

    void stop() {
        from_.reset();
        to_.reset();
        filled_ = sent_ = 0;
    }

private:
    static constexpr std::size_t kRelayChunk = 1 << 20;

    std::size_t held() const { return filled_ - sent_; }

    void take() {
        const ssize_t n = ::read(from_.get(), buffer_.data(), buffer_.size());
        if (n > 0) {
            filled_ = static_cast<std::size_t>(n);
            sent_ = 0;
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            from_.reset();
        }
    }

    void give() {
        const ssize_t n = WriteWithoutSigpipe(to_.get(), buffer_.data() + sent_, held());
        if (n > 0) {
            sent_ += static_cast<std::size_t>(n);
            relayed_ += static_cast<std::uint64_t>(n);
            if (held() == 0) filled_ = sent_ = 0;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            // The consumer has gone: the producer's stream has nowhere to go,
            // and closing our end of it ends the producer too.
            stop();
        }
    }

    UniqueFd from_, to_;
    std::vector<char> buffer_;
    std::size_t filled_ = 0, sent_ = 0;
    std::uint64_t relayed_ = 0;
};

}  // namespace

RelayResult RunRelayed(const std::vector<std::string>& producer_argv, const std::vector<std::string>& consumer_argv,
                       const RelayOptions& options) {
    RelayResult result;
    ChildOptions producer_options;
    producer_options.output = ChildOutput::Stream;
    ChildProcess producer(producer_argv, std::move(producer_options));
    if (!producer) return result;
    ChildOptions consumer_options;
    consumer_options.stream_input = true;
    ChildProcess consumer(consumer_argv, std::move(consumer_options));
    if (!consumer) {
        const DWORD error = GetLastError();
        producer.stop();
        result.producer = producer.wait();
        SetLastError(error);
        return result;
    }

    Relay relay(producer.take_output_stream(), consumer.take_input_stream());
    auto next_tick = Clock::now() + options.tick;
    const auto step = std::min<std::chrono::milliseconds>(options.tick, std::chrono::milliseconds(kStepMs));
    for (;;) {
        if (options.cancel && options.cancel->load()) {
            result.cancelled = true;
            relay.stop();
            producer.stop();
            consumer.stop();
            break;
        }
        relay.step(step);
        // Their standard error is read, and their end noticed, on the way.
        const bool producer_ended = producer.wait_for(std::chrono::milliseconds(0));
        const bool consumer_ended = consumer.wait_for(std::chrono::milliseconds(0));
        if (consumer_ended) relay.stop();
        if (!relay.flowing()) {
            if (producer_ended && consumer_ended) break;
            // Nothing left to pass on: wait for whichever still runs.
            (producer_ended ? consumer : producer).wait_for(step);
        }
        if (Clock::now() >= next_tick) {
            if (options.on_tick) options.on_tick(relay.relayed());
            next_tick = Clock::now() + options.tick;
        }
    }
    result.relayed = relay.relayed();
    result.producer = producer.wait();
    result.consumer = consumer.wait();
    if (result.cancelled) result.producer.cancelled = result.consumer.cancelled = true;
    return result;
}

ChildResult RunChild(const std::vector<std::string>& argv, ChildOptions options) {
    ChildProcess child(argv, std::move(options));
    return child.wait();
}

std::string FindOnPath(const std::string& program) {
    if (program.empty()) return "";
    if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0 ? program : "";
    const char* path = std::getenv("PATH");
    const std::string_view folders = path ? path : "/usr/bin:/bin";
    std::size_t from = 0;
    for (;;) {
        const std::size_t to = std::min(folders.find(':', from), folders.size());
        const std::string_view folder = folders.substr(from, to - from);
        const std::string candidate = (folder.empty() ? std::string(".") : std::string(folder)) + "/" + program;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (to == folders.size()) return "";
        from = to + 1;
    }
}

int StartDetached(const std::vector<std::string>& argv) {
    if (argv.empty() || argv[0].empty()) return -1;
    SpawnSetup setup(true);
    setup.null(STDIN_FILENO, O_RDONLY);
    setup.null(STDOUT_FILENO, O_WRONLY);
    setup.null(STDERR_FILENO, O_WRONLY);
    pid_t pid = -1;
    return setup.spawn(argv, pid) == 0 ? pid : -1;
}

void ReapIfChild(int pid) {
    if (pid > 0) ::waitpid(pid, nullptr, WNOHANG);
}

bool ProcessGroupRunning(int leader) {
    if (leader <= 0) return false;
    DIR* proc = ::opendir("/proc");
    if (!proc) return false;
    ScopeGuard close_proc([proc] { ::closedir(proc); });
    while (const dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        UniqueFd fd(::open((std::string("/proc/") + entry->d_name + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
        char buffer[512];
        const ssize_t n = fd ? ::read(fd.get(), buffer, sizeof buffer - 1) : -1;
        if (n <= 0) continue;
        // "pid (name) state ppid pgrp ...": the name may hold anything, the
        // fields after its last ')' do not.
        const std::string text(buffer, static_cast<std::size_t>(n));
        const std::size_t close_paren = text.rfind(')');
        if (close_paren == std::string::npos) continue;
        char state = 0;
        int parent = 0, group = 0;
        if (std::sscanf(text.c_str() + close_paren + 1, " %c %d %d", &state, &parent, &group) == 3 && group == leader &&
            state != 'Z')
            return true;
    }
    return false;
}

void StopProcessGroup(int leader, std::chrono::milliseconds grace) {
    if (leader <= 0) return;
    ::kill(-leader, SIGTERM);
    EndedWithin(leader, grace);
    ::kill(-leader, SIGKILL);  // whatever still runs in the group
    EndedWithin(leader, grace);
    ReapIfChild(leader);
}

std::string ChildResult::reason() const {
    // The messages, last first: a line that starts with a blank goes on the
    // message above it.
    std::vector<std::string> messages;
    std::string continued;
    std::size_t end = error.size();
    while (end > 0 && messages.size() < kReasonMessages) {
        std::size_t start = error.find_last_of("\r\n", end - 1);
        start = start == std::string::npos ? 0 : start + 1;
        const std::string raw = error.substr(start, end - start);
        end = start > 0 ? start - 1 : 0;
        const std::string line = Trim(raw);
        if (line.empty()) continue;
        continued = continued.empty() ? line : line + " " + continued;
        if (raw[0] == ' ' || raw[0] == '\t') continue;
        messages.push_back(std::move(continued));
        continued.clear();
    }
    if (!continued.empty() && messages.size() < kReasonMessages) messages.push_back(std::move(continued));
    std::string text;
    for (auto message = messages.rbegin(); message != messages.rend(); ++message)
        text += (text.empty() ? "" : "; ") + *message;
    return text;
}

}  // namespace platform
