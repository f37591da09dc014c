// Ctrl-C and SIGTERM: the first sets the flags work stops on and ends the
// wait for an answer, a second ends the process by that signal, and the
// handlers before ours come back.
#include "platform/os/interrupts.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <unistd.h>

#include <atomic>
#include <string>

namespace {

using platform::InterruptHandlers;

TEST(InterruptHandlers, FirstSignalSetsEveryFlagAndTheProcessGoesOn) {
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        std::atomic<bool> cancel{false}, copy_cancel{false};
        {
            InterruptHandlers handlers({&cancel, &copy_cancel});
            ASSERT_EQ(::raise(signal_number), 0);
            EXPECT_TRUE(cancel.load());
            EXPECT_TRUE(copy_cancel.load());
        }
    }
}

TEST(InterruptHandlers, ASecondSignalEndsTheProcessAtOnceByThatSignal) {
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        EXPECT_EXIT(
            {
                std::atomic<bool> cancel{false};
                InterruptHandlers handlers({&cancel});
                ::raise(signal_number);
                if (!cancel) ::_exit(3);  // the first must only have set the flag
                ::raise(signal_number);
                ::_exit(4);  // never reached
            },
            ::testing::KilledBySignal(signal_number), "");
    }
}

TEST(InterruptHandlers, TheHandlersBeforeComeBackAndAFreshSetCountsAgain) {
    static std::atomic<int> earlier{0};
    struct sigaction mine {}, saved {};
    mine.sa_handler = [](int) { ++earlier; };
    sigemptyset(&mine.sa_mask);
    ASSERT_EQ(::sigaction(SIGTERM, &mine, &saved), 0);
    std::atomic<bool> first{false}, second{false};
    { InterruptHandlers handlers({&first}); ::raise(SIGTERM); }
    EXPECT_TRUE(first.load());
    ::raise(SIGTERM);
    EXPECT_EQ(earlier.load(), 1) << "the handler from before ours is back";
    {
        // A new set starts from no signal: one more only sets its flag.
        InterruptHandlers handlers({&second});
        ::raise(SIGTERM);
        EXPECT_TRUE(second.load());
    }
    ::sigaction(SIGTERM, &saved, nullptr);
}

// Standard input made the read end of a pipe that holds `typed`; the write
// end, for more.
int TypeOnStandardInput(const std::string& typed) {
    int input[2];
    if (::pipe(input) != 0 || ::write(input[1], typed.data(), typed.size()) != static_cast<ssize_t>(typed.size()) ||
        ::dup2(input[0], STDIN_FILENO) < 0)
        ::_exit(9);
    ::close(input[0]);
    return input[1];
}

TEST(AnswerLines, AreReadOneAtATimeUpToTheEndOfInput) {
    EXPECT_EXIT(
        {
            const int more = TypeOnStandardInput("yes\nno");
            std::atomic<bool> cancel{false};
            InterruptHandlers handlers({&cancel});
            std::string line;
            if (!platform::ReadAnswerLine(line) || line != "yes") ::_exit(3);
            ::close(more);  // the last line has no line break
            if (!platform::ReadAnswerLine(line) || line != "no") ::_exit(4);
            if (platform::ReadAnswerLine(line)) ::_exit(5);
            ::_exit(platform::SignalAtQuestion() == 0 ? 0 : 6);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(AnswerLines, ASignalEndsTheWaitAndTheProcessEndsByIt) {
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        EXPECT_EXIT(
            {
                TypeOnStandardInput("");  // nothing typed, and the input stays open
                std::atomic<bool> cancel{false};
                InterruptHandlers handlers({&cancel});
                ::raise(signal_number);
                std::string line;
                if (platform::ReadAnswerLine(line) || !cancel) ::_exit(3);
                if (platform::SignalAtQuestion() != signal_number) ::_exit(4);
                platform::EndBySignal(platform::SignalAtQuestion());
            },
            ::testing::KilledBySignal(signal_number), "");
    }
}

}  // namespace
