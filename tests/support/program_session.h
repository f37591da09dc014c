// A program of ours run as a separate process that a test talks to: lines
// written to its standard input, what it writes on standard output and
// standard error read back as it comes. The test waits for a text to come,
// with a generous bound that only a program that never says it reaches.
// The process (and its group) is ended and reaped when the session goes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

class ProgramSession {
public:
    // Runs `argv` with `environment` ("NAME=value", added to ours; a bare
    // "NAME" takes NAME away) in a process group of its own.
    ProgramSession(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) return;
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            for (const auto& setting : environment) {
                const auto equals = setting.find('=');
                if (equals == std::string::npos) ::unsetenv(setting.c_str());
                else ::setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
            }
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
    }
    ~ProgramSession() {
        close_input();
        if (pid_ > 0 && !ended_) {
            // Asked first, so that it lets go of what it holds; then made to.
            ::kill(-pid_, SIGTERM);
            if (!wait_for_end(std::chrono::seconds(10))) {
                ::kill(-pid_, SIGKILL);
                int status = 0;
                ::waitpid(pid_, &status, 0);
            }
        }
        if (output_ >= 0) ::close(output_);
    }
    ProgramSession(const ProgramSession&) = delete;
    ProgramSession& operator=(const ProgramSession&) = delete;

    bool started() const { return pid_ > 0 && input_ >= 0; }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        for (std::size_t done = 0; done < text.size() && input_ >= 0;) {
            const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    }
    void close_input() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }

    // Everything written since the last take that ends in `text`, `text`
    // included; what came after it stays for the next. On the bound, or
    // when the program ended first, all that came and false.
    bool take_until(const std::string& text, std::string& taken,
                    std::chrono::seconds bound = std::chrono::seconds(120)) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            if (const auto at = pending_.find(text); at != std::string::npos) {
                taken = pending_.substr(0, at + text.size());
                pending_.erase(0, at + text.size());
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) {
                taken = std::exchange(pending_, std::string());
                return false;
            }
        }
    }

    // The exit status once the program has ended within `bound`.
    bool wait_for_end(std::chrono::seconds bound, int* status = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!ended_) {
            int raw = 0;
            if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
                ended_ = true;
                status_ = raw;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            // Reading on keeps a program that writes on from blocking.
            read_some(20);
        }
        if (status) *status = status_;
        return true;
    }

    // What came and was not taken yet.
    std::string rest() {
        while (read_some(0)) {
        }
        return std::exchange(pending_, std::string());
    }

private:
    // Waits up to `milliseconds` for output; false at its end (or none).
    bool read_some(int milliseconds) {
        if (output_ < 0) return false;
        pollfd ready{output_, POLLIN, 0};
        if (::poll(&ready, 1, milliseconds) <= 0) return milliseconds > 0 && !ended_ && alive();
        char buffer[4096];
        const ssize_t n = ::read(output_, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    bool alive() { return ::kill(pid_, 0) == 0; }

    pid_t pid_ = -1;
    int input_ = -1, output_ = -1;
    bool ended_ = false;
    int status_ = 0;
    std::string pending_;
};

}  // namespace test_support
