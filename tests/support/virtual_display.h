// A program of the test's own in a process group of its own, and an X
// server of the test's own for windows that must really be on a display.
// Xvfb picks a free display number itself: xvfb-run -a guesses one, and
// several tests guessing at once can pick the same number and end up
// talking to each other's server.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

// A child process started in a group of its own, ended and reaped when the
// object goes, whatever the test did in between. `setup` runs in the child
// before the program starts; its output goes to `log`.
class GroupChild {
public:
    GroupChild(const std::vector<std::string>& argv, const std::string& log, const std::function<void()>& setup = {}) {
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int in = open("/dev/null", O_RDONLY);
            if (out >= 0) {
                dup2(out, STDOUT_FILENO);
                dup2(out, STDERR_FILENO);
            }
            if (in >= 0) dup2(in, STDIN_FILENO);
            if (setup) setup();
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    // Asked to end first, so that a server takes its socket and lock file
    // with it; then made to.
    ~GroupChild() {
        if (pid_ <= 0 || reaped_) return;
        kill(-pid_, SIGTERM);
        if (!WaitFor(std::chrono::seconds(5))) kill(-pid_, SIGKILL);
        if (!reaped_) waitpid(pid_, nullptr, 0);
    }
    GroupChild(const GroupChild&) = delete;
    GroupChild& operator=(const GroupChild&) = delete;

    pid_t pid() const { return pid_; }
    // The exit status once the child has ended, nothing while it runs.
    std::optional<int> Poll() {
        if (reaped_) return status_;
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
        reaped_ = true;
        status_ = status;
        return status;
    }
    // Waits for the end, giving up after `limit`.
    std::optional<int> WaitFor(std::chrono::milliseconds limit) {
        using namespace std::chrono_literals;
        for (auto waited = 0ms; waited < limit; waited += 50ms) {
            if (auto status = Poll()) return status;
            std::this_thread::sleep_for(50ms);
        }
        return Poll();
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

// An X server of the test's own: Xvfb chooses a display number that is free
// and writes it to a pipe once it accepts clients. Empty when it did not
// come up within half a minute.
inline std::string StartXvfb(std::unique_ptr<GroupChild>& server, const std::string& log) {
    using namespace std::chrono_literals;
    int ends[2];
    if (pipe(ends) != 0) return "";
    const int write_end = ends[1];
    server = std::make_unique<GroupChild>(
        std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(write_end), "-nolisten", "tcp", "-screen", "0",
                                 "1280x1024x24"},
        log, [&] { close(ends[0]); });
    close(write_end);
    std::string number;
    for (auto waited = 0ms; waited < 30s;) {
        pollfd ready{ends[0], POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            waited += 100ms;
            continue;
        }
        char c = 0;
        if (read(ends[0], &c, 1) != 1 || c == '\n') break;
        number += c;
    }
    close(ends[0]);
    return number.empty() ? "" : ":" + number;
}

}  // namespace test_support
