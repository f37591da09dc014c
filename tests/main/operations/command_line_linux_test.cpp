// The command line interrupted, on the Linux host with a loop disk whose
// ext4 volume is mounted: Ctrl-C or SIGTERM at a question ends the program
// by that signal with nothing written; during a volume backup it stops the
// copy at the next block, mounts the volume again and leaves no partial
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
#include "support/console_program.h"
#include "support/loop_disk.h"

namespace {

using test_support::LoopDisk;
using test_support::MountsFrom;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::Sh;
using test_support::WriteWholeFile;

constexpr std::int64_t B = 524288;

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

    // Starts the program's backup of the volume to `image` and waits until
    // it asks its first question.
    std::unique_ptr<test_support::ConsoleProgram> start_backup_until_asked(const std::string& image) {
        platform::device::Registry::Reset();  // the program keeps its own
        auto program = std::make_unique<test_support::ConsoleProgram>(
            std::vector<std::string>{"-image", "-backup", volume_, image}, work_);
        EXPECT_TRUE(program->wait_for_question());
        return program;
    }

    test_support::TempDir images_, work_;
    std::optional<test_support::LinuxHostScope> host_;
    std::unique_ptr<LoopDisk> disk_;
    std::string mnt_, volume_;
    std::vector<std::string> mounted_;
};

TEST_F(CommandLineLinuxTest, AnInterruptAtAQuestionEndsTheProgramByItsSignalWithNothingWritten) {
    // Ctrl-C (or SIGTERM, as timeout and service managers send it) while
    // the program asks whether to overwrite: nobody answers, yet the
    // program ends at once, by that signal, the old image as it was and the
    // volume still mounted. (The end of its input, which would answer No,
    // comes only once the signal has been taken.)
    const std::string image = work_.file("volume.img");
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        WriteWholeFile(image, "the backup of yesterday");
        auto program = start_backup_until_asked(image);
        ASSERT_TRUE(program->interrupt(signal_number));
        program->close_input();
        const int status = program->wait();
        ASSERT_TRUE(WIFSIGNALED(status)) << "exited " << WEXITSTATUS(status) << ": " << program->err();
        EXPECT_EQ(WTERMSIG(status), signal_number);
        EXPECT_EQ(program->out(), "") << "neither a copy's line nor Done";
        EXPECT_EQ(program->err(), "Overwrite " + image + "? [y/n] \n");
        EXPECT_EQ(ReadWholeFile(image), "the backup of yesterday");
        EXPECT_EQ(Temporaries(work_.path().string()), std::vector<std::string>{});
        EXPECT_EQ(MountsFrom(disk_->part(1)), mounted_);
        EXPECT_EQ(ReadWholeFile(mnt_ + "/hello.txt"), "still here\n");
    }
}

TEST_F(CommandLineLinuxTest, ASecondInterruptEndsTheProgramAtOnce) {
    const std::string image = work_.file("volume.img");
    auto program = start_backup_until_asked(image);
    ASSERT_TRUE(program->interrupt(SIGINT));
    ASSERT_EQ(::kill(program->pid(), SIGINT), 0);
    const int status = program->wait();
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
