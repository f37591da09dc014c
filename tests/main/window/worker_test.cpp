// The progress message and the worker pattern: what each kind does to the
// main window, the fallbacks for unreadable texts, the channels the window
// ignores, and a worker's exceptions and exit codes.
#include <gtest/gtest.h>

#include <QApplication>
#include <QProgressBar>
#include <QStatusBar>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "main/window/ufrmmain.h"
#include "main/dialogs/window_reporting.h"
#include "main/operations/worker.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"
#include "support/status_log.h"
#include "support/test_application.h"

using platform::OperationKind;

namespace {

struct Post {
    int channel;
    OperationKind kind;
    std::int64_t percent;
    std::string text;
};

class RecordingTarget : public platform::OperationTarget {
public:
    void post(int channel, OperationKind kind, std::int64_t percent, const std::string& text) override {
        std::lock_guard guard(mutex_);
        posts_.push_back({channel, kind, percent, text});
    }
    std::vector<Post> posts() const {
        std::lock_guard guard(mutex_);
        return posts_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Post> posts_;
};

class WindowMessages : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::TestApplication();
        window_ = new tarnovell::Tfrmmain(state_);
        status_ = test_support::WatchStatus(window_->statusBar());
        bar_ = window_->findChild<QProgressBar*>("pb_img");
        bar_->setMaximum(100);
        bar_->setValue(0);
    }
    void TearDown() override { delete window_; }

    void Deliver(int channel, int kind, std::int64_t percent, std::optional<QString> text) {
        QCoreApplication::postEvent(window_, new tarnovell::OperationEvent(channel, kind, percent, std::move(text)));
        QCoreApplication::processEvents();
    }
    QString Status() const { return QString::fromStdString(status_->last()); }

    test_support::EmbeddedMachine machine_{{test_support::DiskSpec{}}};
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    test_support::StatusLog* status_ = nullptr;
    QProgressBar* bar_ = nullptr;
};

TEST_F(WindowMessages, EachKindReachesItsControl) {
    Deliver(platform::WM_OPERATION, 1, 42, std::nullopt);
    EXPECT_EQ(bar_->value(), 42);
    Deliver(platform::WM_OPERATION, 3, 0, QString("copying"));
    EXPECT_EQ(Status(), "copying");
    Deliver(platform::WM_OPERATION, 2, 0, QString("a box"));
    ASSERT_EQ(ui_.texts().size(), 1u);
    EXPECT_EQ(ui_.texts()[0], "a box");
}

TEST_F(WindowMessages, UnreadableTextsFallBack) {
    Deliver(platform::WM_OPERATION, 2, 0, std::nullopt);
    Deliver(platform::WM_OPERATION, 3, 0, std::nullopt);
    ASSERT_EQ(ui_.texts().size(), 1u);
    EXPECT_EQ(ui_.texts()[0], "Msg");
    EXPECT_EQ(Status(), "Status");

    // Through the posting target: a text that is not UTF-8 cannot be read.
    tarnovell::PostingTarget target(window_);
    target.post(platform::WM_OPERATION, OperationKind::Status, 0, std::string("\xff\xfe bad", 6));
    QCoreApplication::processEvents();
    EXPECT_EQ(Status(), "Status");
    target.post(platform::WM_OPERATION, OperationKind::Status, 0, "caf\xc3\xa9");
    QCoreApplication::processEvents();
    EXPECT_EQ(Status(), QString::fromUtf8("caf\xc3\xa9"));
}

TEST_F(WindowMessages, OtherKindsAndOtherChannelsAreIgnored) {
    Deliver(platform::WM_OPERATION, 7, 55, QString("odd"));
    for (int channel : {platform::WM_OPERATION_CAPTURE, platform::WM_OPERATION_APPLY, platform::WM_OPERATION_EXPORT}) {
        Deliver(channel, 1, 77, std::nullopt);
        Deliver(channel, 2, 0, QString("not for the main window"));
        Deliver(channel, 3, 0, QString("not for the main window"));
    }
    EXPECT_EQ(bar_->value(), 0);
    EXPECT_TRUE(ui_.texts().empty());
    EXPECT_NE(Status(), "not for the main window");
}

TEST_F(WindowMessages, AWorkerKeepsTheWindowAliveWhileItRuns) {
    tarnovell::PostingTarget target(window_);
    // The pump the program installs in window mode.
    platform::set_pump([] { QCoreApplication::processEvents(); });
    tarnovell::WorkerOutcome outcome = tarnovell::RunWorker(
        [&target]() -> platform::DWORD {
            for (int percent = 10; percent <= 100; percent += 10) {
                target.post(platform::WM_OPERATION, OperationKind::Percent, percent, "");
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
            }
            return 0;
        },
        &target);
    platform::set_pump(nullptr);
    EXPECT_TRUE(outcome.succeeded());
    EXPECT_NE(outcome.thread_id, 0u);
    // The wait loop delivered what the worker posted while it ran.
    EXPECT_EQ(bar_->value(), 100);
}

}  // namespace

TEST(Worker, AnExceptionBecomesAMessageAndAFailingExitCode) {
    struct Case {
        const char* name;
        platform::DWORD last_error;
        platform::DWORD expected_code;
    };
    for (const Case& c : {Case{"with the library's error", platform::ERROR_FILE_NOT_FOUND, platform::ERROR_FILE_NOT_FOUND},
                          Case{"with no error left", platform::ERROR_SUCCESS, platform::ERROR_INVALID_FUNCTION}}) {
        SCOPED_TRACE(c.name);
        RecordingTarget target;
        tarnovell::WorkerOutcome outcome = tarnovell::RunWorker(
            [&c]() -> platform::DWORD {
                platform::SetLastError(c.last_error);
                throw std::runtime_error("wimgapi not loaded");
            },
            &target);
        ASSERT_TRUE(outcome.exit_code.has_value());
        EXPECT_EQ(*outcome.exit_code, c.expected_code);
        EXPECT_FALSE(outcome.succeeded());
        std::vector<Post> posts = target.posts();
        ASSERT_EQ(posts.size(), 2u);
        EXPECT_EQ(posts[0].kind, OperationKind::Status);
        EXPECT_EQ(posts[0].text, "in progress...");
        EXPECT_EQ(posts[1].kind, OperationKind::Message);
        EXPECT_EQ(posts[1].text, "wimgapi not loaded");
        EXPECT_EQ(posts[1].channel, platform::WM_OPERATION);
    }
}

TEST(Worker, PostsOnTheChannelItIsGiven) {
    RecordingTarget target;
    tarnovell::RunWorker([]() -> platform::DWORD { throw std::runtime_error("x"); }, &target,
                         platform::WM_OPERATION_APPLY);
    for (const Post& p : target.posts()) EXPECT_EQ(p.channel, platform::WM_OPERATION_APPLY);
}

TEST(Worker, TerminationStatusNamesTheThreadAndItsCode) {
    EXPECT_EQ(tarnovell::TerminationStatus({1234, 0u}), "1234 terminated with code:0");
    EXPECT_EQ(tarnovell::TerminationStatus({1234, 1235u}), "1234 terminated with code:1235");
    EXPECT_EQ(tarnovell::TerminationStatus({99, std::nullopt}), "99 terminated without exitcode");
}

TEST(Worker, TheWaitLoopPumpsWhileTheWorkerRuns) {
    std::atomic<int> pumps{0};
    platform::set_pump([&] { ++pumps; });
    // The worker runs until the wait loop has pumped twice (it would give
    // up after a minute with another code).
    tarnovell::WorkerOutcome outcome = tarnovell::RunWorker(
        [&]() -> platform::DWORD {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
            while (pumps < 2)
                if (std::chrono::steady_clock::now() > deadline) return 1;
                else std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return 7;
        },
        nullptr);
    platform::set_pump(nullptr);
    EXPECT_EQ(outcome.exit_code, 7u);
    // Both slices and once more at the end.
    EXPECT_GE(pumps.load(), 3);
}
