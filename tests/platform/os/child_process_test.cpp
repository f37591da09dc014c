// The one child-process runner.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/win_error.h"
#include "platform/os/child_process.h"
#include "support/test_support.h"

using namespace std::chrono_literals;
using platform::ChildOptions;
using platform::ChildOutput;
using platform::ChildProcess;
using platform::ChildResult;
using platform::RunChild;

namespace {

// Gone for good: neither running nor left as a zombie for us to reap.
bool Gone(int pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// The same for a process, or (negative) a whole group, allowing for the
// reaping of orphans by whoever adopts them.
bool BecomesGone(int pid) {
    for (int i = 0; i < 1000 && !Gone(pid); ++i) std::this_thread::sleep_for(10ms);
    return Gone(pid);
}

TEST(ChildProcess, TakesItsArgumentsAsTheyAreAndKeepsItsTwoOutputsApart) {
    test_support::TempDir dir;
    const std::string tricky = "$(touch " + dir.file("injected") + "); *; 'quoted' \"double\"";
    ChildResult result = RunChild({"sh", "-c", "printf '%s' \"$1\"; echo problem >&2; exit 3", "sh", tricky});
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exit_code, 3);
    EXPECT_FALSE(result.succeeded());
    EXPECT_EQ(result.output, tricky);
    EXPECT_EQ(result.error, "problem\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("injected")));
}

TEST(ChildProcess, AProgramThatIsNotThereIsNotStarted) {
    platform::SetLastError(platform::ERROR_SUCCESS);
    ChildProcess child({"tarnovell-no-such-program"});
    EXPECT_FALSE(child);
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
    ChildResult result = child.wait();
    EXPECT_FALSE(result.started);
    EXPECT_EQ(result.exit_code, -1);
    EXPECT_EQ(platform::FindOnPath("tarnovell-no-such-program"), "");
    EXPECT_NE(platform::FindOnPath("sh"), "");
}

TEST(ChildProcess, IsStoppedAndReapedWhenItsOwnerGoes) {
    int pid = -1;
    {
        ChildProcess child({"sleep", "60"});
        ASSERT_TRUE(child);
        pid = child.pid();
        EXPECT_TRUE(child.running());
    }
    EXPECT_TRUE(Gone(pid)) << "still there, or left a zombie";
}

TEST(ChildProcess, OneThatIgnoresTheRequestToEndIsKilled) {
    std::atomic<bool> ready{false};
    ChildOptions options;
    options.on_output_line = [&](std::string_view line) { ready = ready || line == "ready"; };
    ChildProcess child({"sh", "-c", "trap '' TERM; echo ready; while :; do sleep 0.1; done"}, options);
    ASSERT_TRUE(child);
    for (int i = 0; i < 600 && !ready; ++i) EXPECT_FALSE(child.wait_for(100ms));
    ASSERT_TRUE(ready);
    const int pid = child.pid();
    child.stop(300ms);
    EXPECT_FALSE(child.running());
    EXPECT_TRUE(Gone(pid));
    EXPECT_EQ(child.wait().exit_code, 128 + SIGKILL);
}

TEST(ChildProcess, HandsOverLinesAsTheyComeAndStopsOnCancel) {
    std::atomic<bool> cancel{false};
    std::vector<std::string> lines;
    ChildOptions options;
    options.cancel = &cancel;
    options.on_output_line = [&](std::string_view line) {
        lines.emplace_back(line);
        if (line == "ready") cancel = true;  // the child is still running now
    };
    ChildResult result = RunChild(
        {"sh", "-c", "printf 'one\\r\\ntwo\\rzeroes:  1%%\\b\\b\\b\\b  2%%\\b\\b\\b\\bready\\n'; exec sleep 60"}, options);
    EXPECT_TRUE(result.cancelled);
    EXPECT_FALSE(result.succeeded());
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "zeroes:  1%", "  2%", "ready"}));
    EXPECT_EQ(result.output, "one\r\ntwo\rzeroes:  1%\b\b\b\b  2%\b\b\b\bready\n");
}

TEST(ChildProcess, FeedsItsInputAndGivesTheLastLineWithoutAnEnd) {
    std::vector<std::string> lines;
    ChildOptions options;
    options.input = "yes\nsecond";
    options.on_output_line = [&](std::string_view line) { lines.emplace_back(line); };
    ChildResult result = RunChild({"sh", "-c", "read a; read b; echo \"$a\"; printf '%s' \"$b\""}, options);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{"yes", "second"}));
}

TEST(ChildProcess, MuchInputAndOutputAtOnceDoNotDeadlock) {
    std::string input;
    for (int i = 0; input.size() < (3 << 20); ++i) input += "line " + std::to_string(i) + "\n";
    ChildOptions options;
    options.input = input;
    ChildResult result = RunChild({"sh", "-c", "tee /dev/stderr"}, options);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, input);
    EXPECT_EQ(result.error, input);

    // A child that stops reading early does not take us down with SIGPIPE.
    result = RunChild({"head", "-c", "10"}, options);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, input.substr(0, 10));
}

TEST(ChildProcess, EndsWithTheChildEvenWhenSomethingItLeftHoldsItsOutput) {
    // The background sleep keeps standard output open, as a daemon a mount
    // helper leaves behind does; the wait is for the child, not the pipe.
    ChildResult result = RunChild({"sh", "-c", "sleep 60 & echo $!"});
    EXPECT_EQ(result.exit_code, 0);
    const int left_behind = std::stoi(result.output);
    EXPECT_FALSE(Gone(left_behind));
    ::kill(left_behind, SIGKILL);
}

TEST(ChildProcess, StartsInTheFolderItIsGiven) {
    test_support::TempDir dir;
    ChildOptions options;
    options.working_folder = dir.path().string();
    ChildResult result = RunChild({"pwd"}, options);
    EXPECT_EQ(result.output, dir.path().string() + "\n");
}

TEST(ChildProcess, DiscardedOutputIsNotCollected) {
    ChildOptions options;
    options.output = ChildOutput::Discard;
    ChildProcess child({"sh", "-c", "echo out; echo err >&2"}, options);
    ASSERT_TRUE(child);
    EXPECT_TRUE(child.wait_for(60s));
    ChildResult result = child.wait();
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.error, "");
}

TEST(DetachedProcess, LeadsASessionOfItsOwnAndItsGroupCanBeStopped) {
    const int leader = platform::StartDetached({"sh", "-c", "sleep 60 & sleep 60"});
    ASSERT_GT(leader, 0);
    EXPECT_EQ(::getsid(leader), leader);
    platform::StopProcessGroup(leader, 2s);
    EXPECT_TRUE(BecomesGone(leader));
    EXPECT_TRUE(BecomesGone(-leader)) << "something of the group still runs";
}

}  // namespace
