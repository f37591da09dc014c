#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>

#include "crashreport/crash_test_settings.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/report/exception_info.h"
#include "crashreport/report/handler_registry.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport_test {

using namespace crashreport;

namespace {

std::vector<std::string> SectionTitles(const TIZEException& exception) {
    std::vector<std::string> titles;
    for (const auto& [title, text] : const_cast<TIZEException&>(exception).Sections()->Items()) titles.push_back(title);
    return titles;
}

// A thread that waits until told, so that reports have a third thread.
struct IdleThread {
    IdleThread() {
        thread = std::thread([this] {
            SetThreadDisplayName(CurrentThreadId(), "idle helper");
            std::unique_lock lock(mutex);
            id = CurrentThreadId();
            changed.notify_all();
            changed.wait(lock, [this] { return stop; });
        });
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return id != 0; });
    }
    ~IdleThread() {
        {
            std::lock_guard guard(mutex);
            stop = true;
        }
        changed.notify_all();
        thread.join();
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::uint32_t id = 0;
    bool stop = false;
    std::thread thread;
};

}  // namespace

TEST(ExceptionReport, ListsTheFailingThreadThenMainThenTheOthers) {
    UseSettings(BaseSettings());
    IdleThread idle;
    std::string early, text;
    std::vector<std::string> titles;
    std::uint32_t failing = 0;
    std::thread([&] {
        failing = CurrentThreadId();
        auto exception = std::make_shared<TIZEException>(ExecutableModule());
        exception->object = DescribeException(std::make_exception_ptr(std::runtime_error("disk gone")));
        exception->crashed_thread = failing;
        exception->has_prepared_stack = CollectStackItems(exception->prepared_stack) > 0;
        exception->address = exception->prepared_stack.front().return_address;
        exception->BuildHeader();
        exception->StartCompletion(true);
        early = exception->GetReportText(false);
        text = exception->GetReportText(true);
        titles = SectionTitles(*exception);
    }).join();
    ASSERT_GE(titles.size(), 4u);
    EXPECT_EQ(titles[0].find("thread $" + LowerCopy(CardToHex(failing))), 0u) << titles[0];
    EXPECT_EQ(titles[1].find("main thread ($"), 0u) << titles[1];
    EXPECT_NE(std::find_if(titles.begin(), titles.end(),
                           [&](const std::string& t) { return t.find("idle helper") == 0; }),
              titles.end());
    EXPECT_EQ(titles.back(), "disassembling");
    // Placeholders until the sections are complete.
    EXPECT_NE(early.find("callstack crc     : will be calculated soon"), std::string::npos) << early;
    EXPECT_NE(early.find(">> stack will be calculated soon"), std::string::npos);
    const std::regex crc("callstack crc +: \\$[0-9a-f]{8}, \\$[0-9a-f]{8}, \\$[0-9a-f]{8}\r\n");
    EXPECT_TRUE(std::regex_search(text, crc)) << text.substr(0, 1500);
    EXPECT_NE(text.find("exception class   : std::runtime_error\r\nexception message : disk gone"), std::string::npos);
    EXPECT_NE(text.find("ListsTheFailingThreadThenMainThenTheOthers"), std::string::npos);
    EXPECT_NE(text.find("\r\n\r\nmodules:\r\n"), std::string::npos);
    EXPECT_EQ(text.find("will be calculated soon"), std::string::npos);
}

TEST(ExceptionReport, FrozenProgramStartsWithTheMainThreadAndTheFrozenMessage) {
    UseSettings(BaseSettings());
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    exception->type = ExceptionType::Frozen;
    exception->crashed_thread = MainThreadId();
    exception->SetListThreads(false);
    const std::string text = exception->GetReportText(true);
    EXPECT_NE(text.find("exception message : The application seems to be frozen.\r\n\r\nmain thread ($"),
              std::string::npos)
        << text.substr(0, 2000);
    EXPECT_EQ(text.find("exception class"), std::string::npos);
}

TEST(ExceptionReport, MessageEqualToTheClassIsNotRepeated) {
    UseSettings(BaseSettings());
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    exception->object = MakeExceptionInfo("EAbortive", "EAbortive");
    exception->BuildHeader();
    EXPECT_EQ(exception->Header()->Get("exception class"), "EAbortive");
    EXPECT_EQ(exception->Header()->Find("exception message"), -1);
    // Items added later stand before the crc.
    exception->Header()->Set("contact name", "Ann");
    const int contact = exception->Header()->Find("contact name");
    EXPECT_EQ(contact + 1, exception->Header()->Find("callstack crc"));
}

TEST(ExceptionReport, ExceptionSettingsOverrideTheModulesOwn) {
    UseSettings(BaseSettings());
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    EXPECT_TRUE(exception->ListThreads());
    exception->SetListThreads(false);
    EXPECT_FALSE(exception->ListThreads());
    EXPECT_TRUE(GetModuleSettings(ExecutableModule())->ListThreads());
    exception->object = MakeExceptionInfo("EFoo", "went wrong");
    exception->SetExceptMsg("%exceptClass%: %exceptMsg%");
    EXPECT_EQ(exception->ExceptMsg(), "EFoo: went wrong");
    exception->InitCanContinue(false);
    exception->SetCanContinue(true);
    EXPECT_FALSE(exception->CanContinue());
}

TEST(ReportText, LayoutOfHeaderAndSections) {
    const std::string text = LayoutReportText({{"a", "one\r\ntwo  three"}, {"longer", "x"}},
                                              {{"section", "line  \r\n   \r\n  indented\nlast\t"}, {"t: x", "y"}});
    EXPECT_EQ(text,
              "a      : one two three\r\nlonger : x\r\n\r\nsection:\r\nline\r\n.\r\n  indented\r\nlast"
              "\r\n\r\nt: x\r\ny");
}

TEST(ReportText, Durations) {
    EXPECT_EQ(DurationText(0), "");
    EXPECT_EQ(DurationText(1), "1 second ");
    EXPECT_EQ(DurationText(61), "1 minute 1 second ");
    EXPECT_EQ(DurationText(7260), "2 hours 1 minute ");
    EXPECT_EQ(DurationText(90000), "1 day 1 hour ");
    EXPECT_EQ(DurationText(172800), "2 days ");
}

TEST(HandlerRegistry, HandlersFireByPhaseAndStopWhenHandled) {
    UseSettings(BaseSettings());
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    std::vector<std::string> calls;
    const int a = AddExceptionHandler([&](TIZEException&, bool& handled) { calls.push_back("a"); handled = true; },
                                      HandlerSync::ReportingThread, 1);
    const int b = AddExceptionHandler([&](TIZEException&, bool&) { calls.push_back("b"); },
                                      HandlerSync::ReportingThread, 1);
    const int c = AddExceptionHandler([&](TIZEException&, bool&) { throw std::runtime_error("handler broke"); },
                                      HandlerSync::ReportingThread, 2);
    exception->SetPhase(1);
    EXPECT_TRUE(FireHandlersSynced(HandlerEvent::Exception, 0, *exception));
    EXPECT_EQ(calls, std::vector<std::string>{"a"});
    exception->SetPhase(2);
    EXPECT_FALSE(FireHandlersSynced(HandlerEvent::Exception, 0, *exception));
    RemoveHandler(a);
    RemoveHandler(b);
    RemoveHandler(c);
    int vetoes = 0;
    const int d = AddActionHandler([&](std::uint8_t action, TIZEException&, bool& handled) {
        handled = action == kActionSave;
        ++vetoes;
    }, HandlerSync::ReportingThread);
    EXPECT_TRUE(FireHandlersSynced(HandlerEvent::Action, kActionSave, *exception));
    EXPECT_FALSE(FireHandlersSynced(HandlerEvent::Action, kActionContinue, *exception));
    EXPECT_EQ(vetoes, 2);
    RemoveHandler(d);
}

TEST(HandlerRegistry, MainThreadHandlersRunHereWhenTheMainThreadCannotBeReached) {
    UseSettings(BaseSettings());
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    exception->SetPhase(1);
    std::vector<std::string> calls;
    const int only_main = AddExceptionHandler([&](TIZEException&, bool&) { calls.push_back("main only"); },
                                              HandlerSync::MainThread, 1);
    const int either = AddExceptionHandler([&](TIZEException&, bool&) { calls.push_back("main or here"); },
                                           HandlerSync::MainThreadOrReporting, 1);
    // No way to the main thread is installed: the probe fails.
    std::thread([&] { FireHandlersSynced(HandlerEvent::Exception, 0, *exception); }).join();
    EXPECT_EQ(calls, std::vector<std::string>{"main or here"});
    RemoveHandler(only_main);
    RemoveHandler(either);
}

TEST(FreezeWatchdog, ReportsAMainThreadThatStopsAnswering) {
    EXPECT_FALSE(FreezeWatchdogRunning());
    MainThreadChannel deaf;
    deaf.post = [](std::function<void()>) {};  // the pings are never answered
    SetMainThreadChannel(deaf);
    std::mutex mutex;
    std::condition_variable reported;
    int reports = 0;
    StartFreezeWatchdog(100, [&] {
        std::lock_guard guard(mutex);
        ++reports;
        reported.notify_all();
    });
    EXPECT_TRUE(FreezeWatchdogRunning());
    {
        std::unique_lock lock(mutex);
        reported.wait_for(lock, std::chrono::seconds(60), [&] { return reports > 0; });
    }
    StopFreezeWatchdog();
    SetMainThreadChannel({});
    EXPECT_GE(reports, 1);
    EXPECT_FALSE(FreezeWatchdogRunning());
}

}  // namespace crashreport_test

namespace crashreport_test {
namespace {

// A please-wait box that notes what is done with it.
struct NotedAlert : IProgressAlert {
    std::string title, image;
    std::vector<std::string> areas;
    int shown = 0, closed = 0, current = 0, pumped = 0;
    std::string GetTitle() override { return title; }
    void SetTitle(const std::string& text) override { title = text; }
    int GetPosition() override { return 0; }
    void SetPosition(int) override {}
    void AddArea(const std::string& text, std::int64_t) override { areas.push_back(text); }
    void ClearAreas() override { areas.clear(); }
    void AreaDone() override { ++current; }
    int GetCurrentArea() override { return current; }
    void SetCurrentArea(int n) override { current = n; }
    void ProcessMessages() override { ++pumped; }
    bool Show(bool) override {
        ++shown;
        return true;
    }
    void Close() override { ++closed; }
};

TEST(ExceptionReport, APleaseWaitBoxShowsWhileACompleteReportIsWaitedFor) {
    for (const bool wanted : {true, false}) {
        auto settings = BaseSettings();
        settings["PlWaitBox"] = wanted;
        settings["Plugins"] = std::string("slow");
        UseSettings(settings);
        std::shared_ptr<NotedAlert> alert;
        SetProgressAlertFactory([&](const std::string& title, const std::string& image) {
            alert = std::make_shared<NotedAlert>();
            alert->title = title;
            alert->image = image;
            return alert;
        });
        // A section that is made only once someone waits for the report.
        std::mutex lock;
        std::condition_variable changed;
        bool waiting = false;
        AddBugReportPlugin({"slow", "a slow section",
                            [&](TIZEException&) {
                                std::unique_lock guard(lock);
                                changed.wait_for(guard, std::chrono::seconds(30), [&] { return waiting; });
                                return std::string("made at last");
                            },
                            true});
        auto exception = std::make_shared<TIZEException>(ExecutableModule());
        exception->object = MakeExceptionInfo("EInOutError", "gone");
        exception->SetListThreads(false);
        exception->SetShowDisAsm(false);
        exception->GetReportText(false);
        std::thread release([&] {
            // The wait begins once the box is up (or at once without one).
            for (int i = 0; i < 3000 && wanted && !(alert && alert->shown); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::lock_guard guard(lock);
            waiting = true;
            changed.notify_all();
        });
        const std::string report = exception->GetReportText(true);
        release.join();
        RemoveBugReportPlugin("slow");
        SetProgressAlertFactory({});
        EXPECT_NE(report.find("made at last"), std::string::npos);
        ASSERT_EQ(alert != nullptr, wanted);
        if (!wanted) continue;
        EXPECT_EQ(alert->title, "Information");
        EXPECT_EQ(alert->image, "ZEIPLWAIT");
        ASSERT_FALSE(alert->areas.empty());
        EXPECT_EQ(alert->areas.front(), "Please wait a moment...");
        EXPECT_EQ(alert->shown, 1);
        EXPECT_EQ(alert->closed, 1);
        // Every area done: the box stands at the end of the last.
        EXPECT_EQ(alert->current, static_cast<int>(alert->areas.size()));
    }
}

}  // namespace
}  // namespace crashreport_test
