// Ctrl-C and SIGTERM: the first sets the flags work stops on, a second ends
// the process by that signal, and the handlers before ours come back.
#include "platform/os/interrupts.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>

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

}  // namespace
