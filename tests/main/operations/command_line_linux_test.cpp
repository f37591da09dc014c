// The command line interrupted, on the Linux host with a loop disk whose
// ext4 volume is mounted: Ctrl-C or SIGTERM during a volume backup stops
// the copy at the next block, mounts the volume again and leaves no partial
// image; a second signal ends the program at once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "disk/copy/copy_endpoints.h"
#include "disk/copy/copy_loop.h"
#include "disk/device/handle_ops.h"
#include "main/operations/command_line.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/loop_disk.h"

namespace {

using test_support::LoopDisk;
using test_support::MountsFrom;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::Sh;
using test_support::WriteWholeFile;

constexpr std::int64_t B = 524288;

// Whether `signal_number` still waits to be handled by process `pid` (not
// when the process has ended).
bool SignalPending(pid_t pid, int signal_number) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("State:", 0) == 0 && line.find('Z') != std::string::npos) return false;
        if (line.rfind("ShdPnd:", 0) != 0 && line.rfind("SigPnd:", 0) != 0) continue;
        const unsigned long long mask = std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
        if (mask & (1ULL << (signal_number - 1))) return true;
    }
    return false;
}

// The files a replacement left beside its target.
std::vector<std::string> Temporaries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().find(".tarnovell-") != std::string::npos)
            names.push_back(entry.path().filename().string());
    return names;
}

// Answers Yes, and raises a signal when asked the question that starts
// with `trigger`: the person presses Ctrl-C while the copy runs.
class InterruptOnQuestion : public platform::ScriptedInteraction {
public:
    InterruptOnQuestion(std::string trigger, int signal_number)
        : trigger_(std::move(trigger)), signal_(signal_number) {
        set_default_confirm(true);
    }
    bool confirm(const std::string& text, const std::string& caption) override {
        if (text.rfind(trigger_, 0) == 0) ::raise(signal_);
        return ScriptedInteraction::confirm(text, caption);
    }

private:
    std::string trigger_;
    int signal_;
};

class CommandLineLinuxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = test_support::LoopDevicesMissing({"mkfs.ext4"}); !missing.empty()) GTEST_SKIP() << missing;
        host_.emplace(work_.file("state.ini"));
        std::string error;
        disk_ = LoopDisk::Make(images_.file("disk.img"), "label: dos\n2048,40960,83\n", error);
        ASSERT_TRUE(disk_) << error;
        ASSERT_TRUE(disk_->add_kernel_partitions());
        ASSERT_TRUE(Sh("mkfs.ext4 -q -F " + Quote(disk_->part(1))));
        mnt_ = work_.file("mnt");
        std::filesystem::create_directories(mnt_);
        ASSERT_TRUE(Sh("mount -t ext4 -o noatime " + Quote(disk_->part(1)) + " " + Quote(mnt_)));
        WriteWholeFile(mnt_ + "/hello.txt", "still here\n");
        ASSERT_TRUE(Sh("head -c 12000000 /dev/urandom > " + Quote(mnt_ + "/data.bin") + " && sync"));
        mounted_ = MountsFrom(disk_->part(1));
        host_->install({disk_->name()});
        auto snap = platform::device::Registry::instance().refresh();
        for (const auto& v : snap->volumes)
            if (v.kernel_device == disk_->part(1)) volume_ = std::string("\\\\.\\") + v.letter + ":";
        ASSERT_FALSE(volume_.empty());
        disk::SetLockRetryDelay(std::chrono::milliseconds(1));
    }
    void TearDown() override {
        disk::InjectReadFaultForTesting(0, 0, 0);
        disk::SetLockRetryDelay(std::chrono::milliseconds(1000));
        host_.reset();
        disk_.reset();
    }

    // Starts the program with `args`, its output going to files of ours and
    // its input coming from `input` (the read end of a pipe).
    pid_t start_program(const std::vector<std::string>& args, int input) {
        std::filesystem::remove(out_);
        std::filesystem::remove(err_);
        pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> argv;
            std::string program = TARNOVELL_EXECUTABLE;
            argv.push_back(program.data());
            std::vector<std::string> copies = args;
            for (auto& a : copies) argv.push_back(a.data());
            argv.push_back(nullptr);
            if (!std::freopen(out_.c_str(), "w", stdout) || !std::freopen(err_.c_str(), "w", stderr)) ::_exit(126);
            ::dup2(input, STDIN_FILENO);
            ::unsetenv("DISPLAY");
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        return pid;
    }

    // Waits until the program asks its first question.
    ::testing::AssertionResult wait_for_question(pid_t program) {
        for (;;) {
            if (ReadWholeFile(err_).find("[y/n]") != std::string::npos) return ::testing::AssertionSuccess();
            int status = 0;
            if (::waitpid(program, &status, WNOHANG) == program)
                return ::testing::AssertionFailure() << "the program ended: " << ReadWholeFile(err_);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // Starts the program's backup of the volume to `image` and waits until
    // it asks its first question; `answers` is where to write the replies.
    // -1 when it could not be started or ended first.
    pid_t start_backup_until_asked(const std::string& image, int& answers) {
        platform::device::Registry::Reset();  // the program keeps its own
        int input[2];
        if (::pipe(input) != 0) return -1;
        pid_t program = start_program({"-image", "-backup", volume_, image}, input[0]);
        ::close(input[0]);
        answers = input[1];
        if (program <= 0 || !wait_for_question(program)) return -1;
        return program;
    }

    // Sends a signal and waits until the program has taken it.
    void interrupt(pid_t program, int signal_number) {
        ASSERT_EQ(::kill(program, signal_number), 0);
        while (SignalPending(program, signal_number)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    test_support::TempDir images_, work_;
    std::optional<test_support::LinuxHostScope> host_;
    std::unique_ptr<LoopDisk> disk_;
    std::string mnt_, volume_;
    std::vector<std::string> mounted_;
    std::string out_ = work_.file("out.txt"), err_ = work_.file("err.txt");
};

TEST_F(CommandLineLinuxTest, InterruptStopsTheVolumeBackupOfTheProgramInOrder) {
    // Ctrl-C (or SIGTERM) while the program asks whether to overwrite; the
    // answer Yes still comes, and the copy, once the volume is locked,
    // stops before its first block: the volume is mounted again and the
    // old image stays.
    const std::string image = work_.file("volume.img");
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        WriteWholeFile(image, "the backup of yesterday");
        int answers = -1;
        pid_t program = start_backup_until_asked(image, answers);
        ASSERT_GT(program, 0);
        interrupt(program, signal_number);
        const std::string yes = "y\ny\n";  // overwrite, and replace the file
        ASSERT_EQ(::write(answers, yes.data(), yes.size()), static_cast<ssize_t>(yes.size()));
        ::close(answers);
        int status = 0;
        ASSERT_EQ(::waitpid(program, &status, 0), program);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 1);
        const std::string console = ReadWholeFile(out_);
        EXPECT_NE(console.find("Aborted at 0"), std::string::npos) << console << ReadWholeFile(err_);
        EXPECT_EQ(console.find("Done in "), std::string::npos) << console;
        EXPECT_EQ(ReadWholeFile(image), "the backup of yesterday");
        EXPECT_EQ(Temporaries(work_.path().string()), std::vector<std::string>{});
        EXPECT_EQ(MountsFrom(disk_->part(1)), mounted_);
        EXPECT_EQ(ReadWholeFile(mnt_ + "/hello.txt"), "still here\n");
    }
}

TEST_F(CommandLineLinuxTest, ASecondInterruptEndsTheProgramAtOnce) {
    const std::string image = work_.file("volume.img");
    int answers = -1;
    pid_t program = start_backup_until_asked(image, answers);
    ASSERT_GT(program, 0);
    interrupt(program, SIGINT);
    ASSERT_EQ(::kill(program, SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(program, &status, 0), program);
    ::close(answers);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exited " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGINT);
    EXPECT_FALSE(std::filesystem::exists(image));
}

TEST_F(CommandLineLinuxTest, InterruptedBackupKeepsTheOldImageAndLeavesNoPartialOne) {
    // Ctrl-C as the copy asks about a bad block in the middle of the volume.
    const std::string image = work_.file("volume.img");
    WriteWholeFile(image, "the backup of yesterday");
    disk::InjectReadFaultForTesting(4 * B + 1, 1, platform::ERROR_CRC);
    InterruptOnQuestion answers("readfile error @", SIGINT);
    platform::ScopedInteraction scoped(answers);
    tarnovell::MainState state;
    state.console_attached = true;
    std::ostringstream console, errors;
    const auto line = tarnovell::ParseCommandLine({"-image", "-backup", volume_, image});
    EXPECT_EQ(tarnovell::RunCommandLine(line, state, console, errors), 1);
    EXPECT_NE(console.str().find("Aborted at " + std::to_string(5 * B)), std::string::npos) << console.str();
    EXPECT_EQ(ReadWholeFile(image), "the backup of yesterday");
    EXPECT_EQ(Temporaries(work_.path().string()), std::vector<std::string>{});
    EXPECT_EQ(MountsFrom(disk_->part(1)), mounted_);
    EXPECT_EQ(ReadWholeFile(mnt_ + "/hello.txt"), "still here\n");
    // The handlers of the command line are gone with it.
    struct sigaction now {};
    ::sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    // The interrupt stopped the copy through the cancel flag, which stays set.
    disk::copy_cancel = false;
}

}  // namespace
