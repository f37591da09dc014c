// The built program, started without arguments on a virtual display over a
// machine of image files: it must come up and keep running its window.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <thread>

#include "support/embedded_machine.h"
#include "support/test_support.h"

#ifndef TARNOVELL_EXECUTABLE
#error "TARNOVELL_EXECUTABLE must name the built program"
#endif

using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

using namespace std::chrono_literals;

// A child process started in a group of its own, ended and reaped when the
// object goes, whatever the test did in between.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::string& log) {
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
            // The test program itself runs on the offscreen platform; the
            // program must find the virtual display instead.
            unsetenv("QT_QPA_PLATFORM");
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
    }
    ~Child() {
        if (pid_ <= 0 || reaped_) return;
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

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

pid_t ReadPid(const std::string& path) {
    std::ifstream in(path);
    long pid = 0;
    return in >> pid ? static_cast<pid_t>(pid) : 0;
}

TEST(Program, StartsItsMainWindowOnAVirtualDisplay) {
    if (!test_support::HaveTool("xvfb-run")) GTEST_SKIP() << "xvfb-run is not installed (Debian package xvfb)";

    DiskSpec disk;
    disk.prepare = {"printf 'label: dos\\nstart=2048,size=8192,type=7\\n' | sfdisk -q %s"};
    EmbeddedMachine machine({disk});
    test_support::TempDir scratch;
    const std::string pid_file = scratch.file("pid");
    const std::string log = scratch.file("log");

    // The shell writes the program's own process id, then becomes the program.
    Child runner({"xvfb-run", "-a", "sh", "-c",
                  "echo $$ > " + test_support::Quote(pid_file) + " && exec " +
                      test_support::Quote(TARNOVELL_EXECUTABLE)},
                 log);

    pid_t program = 0;
    for (auto waited = 0ms; waited < 30s && program == 0 && !runner.Poll(); waited += 100ms) {
        std::this_thread::sleep_for(100ms);
        program = ReadPid(pid_file);
    }
    ASSERT_NE(program, 0) << "the program never started:\n" << test_support::ReadWholeFile(log);

    // Long enough to create the window, fill the list and enter the loop.
    std::this_thread::sleep_for(2s);
    EXPECT_FALSE(runner.Poll().has_value()) << "the program ended by itself:\n" << test_support::ReadWholeFile(log);
    EXPECT_EQ(kill(program, 0), 0) << "the program is gone:\n" << test_support::ReadWholeFile(log);

    // Ending the program lets xvfb-run take its display down.
    kill(program, SIGTERM);
    EXPECT_TRUE(runner.WaitFor(20s).has_value()) << "xvfb-run did not finish after the program ended";
}

}  // namespace
