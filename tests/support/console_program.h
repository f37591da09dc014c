// The built program run at a console of the test's own: its standard input
// a pipe the test types into, its standard output and error files the test
// reads; the test waits for its questions and sends it signals, as a person
// at a terminal (or timeout, or a service manager) would.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace test_support {

// Whether `signal_number` still waits to be handled by process `pid` (not
// when the process has ended).
inline bool SignalPending(pid_t pid, int signal_number) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("State:", 0) == 0 && line.find('Z') != std::string::npos) return false;
        if (line.rfind("ShdPnd:", 0) != 0 && line.rfind("SigPnd:", 0) != 0) continue;
        const unsigned long long mask = std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
        if (mask & (1ULL << (signal_number - 1))) return true;
    }
    return false;
}

class ConsoleProgram {
public:
    // Starts the program with `args`, without a display; its output goes to
    // files in `folder`.
    ConsoleProgram(const std::vector<std::string>& args, const TempDir& folder)
        : out_(folder.file("console-out.txt")), err_(folder.file("console-err.txt")) {
        std::filesystem::remove(out_);
        std::filesystem::remove(err_);
        int input[2];
        if (::pipe2(input, O_CLOEXEC) != 0) return;  // none of the test's other children holds it
        pid_ = ::fork();
        if (pid_ == 0) {
            std::vector<std::string> copies = args;
            std::string program = TARNOVELL_EXECUTABLE;
            std::vector<char*> argv{program.data()};
            for (auto& a : copies) argv.push_back(a.data());
            argv.push_back(nullptr);
            if (!std::freopen(out_.c_str(), "w", stdout) || !std::freopen(err_.c_str(), "w", stderr)) ::_exit(126);
            ::dup2(input[0], STDIN_FILENO);
            ::close(input[0]);
            ::close(input[1]);
            ::unsetenv("DISPLAY");
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(input[0]);
        input_ = input[1];
    }
    ~ConsoleProgram() {
        close_input();
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ConsoleProgram(const ConsoleProgram&) = delete;
    ConsoleProgram& operator=(const ConsoleProgram&) = delete;

    pid_t pid() const { return pid_; }

    // Waits until the program has asked its first question.
    ::testing::AssertionResult wait_for_question() {
        if (pid_ <= 0) return ::testing::AssertionFailure() << "the program did not start";
        for (;;) {
            if (err().find("[y/n]") != std::string::npos) return ::testing::AssertionSuccess();
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                return ::testing::AssertionFailure() << "the program ended: " << err();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    // Types `text` on the program's standard input.
    bool type(const std::string& text) {
        return input_ >= 0 && ::write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // The end of the program's input: nothing more will be typed.
    void close_input() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }
    // Sends a signal and waits until the program has taken it.
    ::testing::AssertionResult interrupt(int signal_number) {
        if (::kill(pid_, signal_number) != 0) return ::testing::AssertionFailure() << "kill failed";
        while (SignalPending(pid_, signal_number)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return ::testing::AssertionSuccess();
    }
    // Waits for the program's end: its wait status.
    int wait() {
        if (!status_) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            status_ = status;
        }
        return *status_;
    }

    std::string out() const { return ReadWholeFile(out_); }
    std::string err() const { return ReadWholeFile(err_); }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    int input_ = -1;
    std::optional<int> status_;
};

}  // namespace test_support
