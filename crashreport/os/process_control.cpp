#include "crashreport/os/process_control.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/os/child_process.h"

extern char** environ;

namespace crashreport {

int StartProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_environment,
                 bool wait_later, const RecordPipe* input) {
    if (argv.empty()) return 0;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment_texts;
    for (char** e = environ; e && *e; ++e) {
        bool replaced = false;
        const char* eq = std::strchr(*e, '=');
        const std::size_t name_length = eq ? static_cast<std::size_t>(eq - *e) : std::strlen(*e);
        for (const auto& extra : extra_environment)
            if (extra.size() > name_length && extra.compare(0, name_length, *e, name_length) == 0 &&
                extra[name_length] == '=')
                replaced = true;
        if (!replaced) environment_texts.emplace_back(*e);
    }
    for (const auto& extra : extra_environment) environment_texts.push_back(extra);
    std::vector<char*> environment;
    for (auto& e : environment_texts) environment.push_back(e.data());
    environment.push_back(nullptr);

    // The child's standard input: the pipe's read end, where one is given.
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    const int input_fd = input != nullptr ? input->read_fd_.load() : -1;
    if (input_fd >= 0) ::posix_spawn_file_actions_adddup2(&actions, input_fd, STDIN_FILENO);
    pid_t pid = 0;
    const int error = argv[0].find('/') == std::string::npos
                          ? ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environment.data())
                          : ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environment.data());
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return 0;
    if (!wait_later) std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
    return pid;
}

int WaitForChildProcess(int pid) {
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, 0);
        if (done == pid) break;
        if (done < 0 && errno == EINTR) continue;
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ProcessExists(int pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

void WaitForProcessEnd(int pid) {
    while (ProcessExists(pid)) {
        const timespec pause{0, 20 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
}

void TerminateOwnProcess(int exit_code) { ::_exit(exit_code); }

bool WriteToConsole(bool standard_error, const std::string& text) {
    const int fd = standard_error ? STDERR_FILENO : STDOUT_FILENO;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadStandardInputLine(std::string& line) {
    line.clear();
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !line.empty();
        if (c == '\n') return true;
        line.push_back(c);
    }
}

std::string EnvironmentText(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

void RemoveEnvironmentEntry(const char* name) { ::unsetenv(name); }

void OneShotEvent::Set() {
    state_.store(1, std::memory_order_release);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void OneShotEvent::Wait() {
    while (!IsSet())
        ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
}

bool OneShotEvent::WaitFor(int timeout_ms) {
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1000000000L;
    }
    while (!IsSet()) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        long long left_ns = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1000000000LL +
                            (deadline.tv_nsec - now.tv_nsec);
        if (left_ns <= 0) return false;
        const timespec left{static_cast<time_t>(left_ns / 1000000000LL), static_cast<long>(left_ns % 1000000000LL)};
        ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), FUTEX_WAIT_PRIVATE, 0, &left, nullptr, 0);
    }
    return true;
}

RecordPipe::~RecordPipe() {
    CloseWriteEnd();
    CloseReadEnd();
}

bool RecordPipe::Create() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read_fd_ = fds[0];
    write_fd_ = fds[1];
    return true;
}

std::size_t RecordPipe::Write(const void* data, std::size_t size) {
    const int fd = write_fd_.load();
    std::size_t done = 0;
    while (fd >= 0 && done < size) {
        // The reader may be another process, which may have gone.
        const long n = platform::WriteWithoutSigpipe(fd, static_cast<const char*>(data) + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t RecordPipe::Read(void* data, std::size_t size) {
    const int fd = read_fd_.load();
    std::size_t done = 0;
    while (fd >= 0 && done < size) {
        const ssize_t n = ::read(fd, static_cast<char*>(data) + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void RecordPipe::CloseWriteEnd() {
    const int fd = write_fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

void RecordPipe::CloseReadEnd() {
    const int fd = read_fd_.exchange(-1);
    if (fd >= 0) ::close(fd);
}

}  // namespace crashreport

#include <sys/mman.h>
#include <sys/stat.h>

namespace crashreport {

bool WriteTextToSharedMemory(const std::string& name, const std::string& text, std::size_t size) {
    if (size == 0) return false;
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) return false;
    // The caller's size is only what it says: writing past the object's real
    // end would fault the program being traced.
    struct stat facts {};
    if (::fstat(fd, &facts) != 0 || facts.st_size <= 0) {
        ::close(fd);
        return false;
    }
    size = std::min(size, static_cast<std::size_t>(facts.st_size));
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (view == MAP_FAILED) return false;
    const std::size_t length = std::min(text.size(), size - 1);
    std::memcpy(view, text.data(), length);
    static_cast<char*>(view)[length] = '\0';
    ::munmap(view, size);
    return true;
}

}  // namespace crashreport
