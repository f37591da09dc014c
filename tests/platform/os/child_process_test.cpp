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

// ---- two children joined through us ----

TEST(RelayedChildren, PassEveryByteOnAndCountIt) {
    test_support::TempDir dir;
    const std::string copy = dir.file("copy");
    std::uint64_t last_tick = 0;
    platform::RelayOptions options;
    options.tick = 1ms;
    options.on_tick = [&](std::uint64_t relayed) { last_tick = relayed; };
    // 20 MiB of varied bytes: many chunks, more than any pipe holds.
    platform::RelayResult result = platform::RunRelayed(
        {"sh", "-c", "head -c 20971520 /dev/urandom | tee " + dir.file("original") + "; echo said >&2"},
        {"sh", "-c", "cat > " + copy + "; echo heard >&2"}, options);
    ASSERT_TRUE(result.succeeded()) << result.producer.error << result.consumer.error;
    EXPECT_EQ(result.relayed, 20u << 20);
    EXPECT_LE(last_tick, result.relayed);
    EXPECT_EQ(result.producer.error, "said\n");
    EXPECT_EQ(result.consumer.error, "heard\n");
    EXPECT_EQ(test_support::ReadWholeFile(copy), test_support::ReadWholeFile(dir.file("original")));
}

TEST(RelayedChildren, EitherFailingIsAFailureWithItsOwnCode) {
    struct Case {
        const char* producer;
        const char* consumer;
        int producer_code;
        int consumer_code;
    };
    const Case cases[] = {
        {"echo data; exit 3", "cat >/dev/null", 3, 0},
        {"echo data", "cat >/dev/null; exit 4", 0, 4},
        // A consumer that ends early leaves the producer's stream nowhere to
        // go: the producer ends too instead of waiting for ever.
        {"while :; do echo more; done", "head -c 10 >/dev/null; exit 5", -1, 5},
    };
    for (const Case& c : cases) {
        platform::RelayResult result = platform::RunRelayed({"sh", "-c", c.producer}, {"sh", "-c", c.consumer});
        EXPECT_FALSE(result.succeeded()) << c.producer << " | " << c.consumer;
        if (c.producer_code >= 0) EXPECT_EQ(result.producer.exit_code, c.producer_code) << c.producer;
        else EXPECT_NE(result.producer.exit_code, 0) << c.producer;
        EXPECT_EQ(result.consumer.exit_code, c.consumer_code) << c.consumer;
    }
}

TEST(RelayedChildren, StopBothOnCancel) {
    std::atomic<bool> cancel{false};
    platform::RelayOptions options;
    options.cancel = &cancel;
    options.tick = 1ms;
    int ticks = 0;
    options.on_tick = [&](std::uint64_t) {
        if (++ticks == 5) cancel = true;
    };
    platform::RelayResult result =
        platform::RunRelayed({"sh", "-c", "while :; do echo more; done"}, {"sh", "-c", "cat >/dev/null"}, options);
    EXPECT_TRUE(result.cancelled);
    EXPECT_FALSE(result.succeeded());
}

TEST(RelayedChildren, AConsumerThatCannotStartLeavesNothingRunning) {
    platform::RelayResult result =
        platform::RunRelayed({"sh", "-c", "sleep 60"}, {"/nonexistent/consumer"});
    EXPECT_FALSE(result.consumer.started);
    EXPECT_FALSE(result.succeeded());
    EXPECT_TRUE(result.producer.started);
    EXPECT_NE(result.producer.exit_code, 0);  // stopped, not waited for
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
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
