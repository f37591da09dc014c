#include "crashreport/report/handler_registry.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"

namespace crashreport {

namespace {

struct HandlerEntry {
    int id = 0;
    HandlerEvent event = HandlerEvent::Exception;
    HandlerSync sync = HandlerSync::ReportingThread;
    std::uint8_t phase = 0;
    ExceptionHandler exception_handler;
    ActionHandler action_handler;
};

std::mutex g_handlers_lock;
std::vector<HandlerEntry> g_handlers;
int g_next_id = 1;
thread_local bool t_in_handler_call = false;

int Add(HandlerEntry entry) {
    std::lock_guard guard(g_handlers_lock);
    entry.id = g_next_id++;
    g_handlers.push_back(std::move(entry));
    return g_handlers.back().id;
}

std::vector<HandlerEntry> HandlersOf(HandlerEvent event) {
    std::lock_guard guard(g_handlers_lock);
    std::vector<HandlerEntry> list;
    for (const auto& h : g_handlers)
        if (h.event == event) list.push_back(h);
    return list;
}

std::mutex g_channel_lock;
MainThreadChannel g_channel;

}  // namespace

int AddExceptionHandler(ExceptionHandler handler, HandlerSync sync, std::uint8_t phase) {
    HandlerEntry entry;
    entry.event = HandlerEvent::Exception;
    entry.sync = sync;
    entry.phase = phase;
    entry.exception_handler = std::move(handler);
    return Add(std::move(entry));
}

int AddActionHandler(ActionHandler handler, HandlerSync sync) {
    HandlerEntry entry;
    entry.event = HandlerEvent::Action;
    entry.sync = sync;
    entry.action_handler = std::move(handler);
    return Add(std::move(entry));
}

int AddHiddenExceptionHandler(ExceptionHandler handler, HandlerSync sync) {
    HandlerEntry entry;
    entry.event = HandlerEvent::HiddenException;
    entry.sync = sync;
    entry.exception_handler = std::move(handler);
    return Add(std::move(entry));
}

void RemoveHandler(int id) {
    std::lock_guard guard(g_handlers_lock);
    std::erase_if(g_handlers, [id](const HandlerEntry& h) { return h.id == id; });
}

void ClearHandlers() {
    std::lock_guard guard(g_handlers_lock);
    g_handlers.clear();
}

bool HiddenExceptionHandlersExist() { return !HandlersOf(HandlerEvent::HiddenException).empty(); }

bool HasCompletionHandler() {
    std::lock_guard guard(g_handlers_lock);
    return std::any_of(g_handlers.begin(), g_handlers.end(),
                       [](const HandlerEntry& h) { return h.event == HandlerEvent::Exception && h.phase == 4; });
}

bool CallExceptionHandlers(HandlerEvent event, std::uint8_t action, TIZEException& exception, bool& handled,
                           bool synced_call, bool sync_failed) {
    const std::vector<HandlerEntry> list = HandlersOf(event);
    bool called = false;
    const bool main = CurrentThreadId() == MainThreadId();
    if (main) t_in_handler_call = true;
    for (const auto& h : list) {
        const bool eligible = sync_failed ? h.sync == HandlerSync::MainThreadOrReporting
                                          : (h.sync != HandlerSync::ReportingThread) == synced_call;
        if (!eligible) continue;
        if (event == HandlerEvent::Exception && h.phase != exception.Phase()) continue;
        // A handler that fails must not stop the report.
        try {
            if (event == HandlerEvent::Action)
                h.action_handler(action, exception, handled);
            else
                h.exception_handler(exception, handled);
        } catch (...) {
        }
        called = true;
        if (event == HandlerEvent::Action && handled) break;
        if (event == HandlerEvent::Exception && handled && exception.Phase() <= 2) break;
    }
    if (main) t_in_handler_call = false;
    return called;
}

bool FireHandlersSynced(HandlerEvent event, std::uint8_t action, TIZEException& exception) {
    bool handled = false;
    if (event == HandlerEvent::Action && (action == kActionRestart || action == kActionClose) &&
        (exception.CriticalCallbackExists() || (HasCompletionHandler() && exception.handlers_wanted)))
        exception.GetReportText(true);
    const std::vector<HandlerEntry> list = HandlersOf(event);
    if (exception.handlers_wanted && !list.empty()) {
        const bool called = CallExceptionHandlers(event, action, exception, handled, false, false);
        const bool synced_exists = std::any_of(list.begin(), list.end(), [&](const HandlerEntry& h) {
            return h.sync != HandlerSync::ReportingThread &&
                   (event != HandlerEvent::Exception || h.phase == exception.Phase());
        });
        if ((!handled || !called) && synced_exists) {
            bool ran = false;
            if (exception.type != ExceptionType::Frozen) {
                const bool let_run = exception.PauseThreads() && LetMainThreadRun();
                ran = RunOnMainThread(
                    [&] {
                        WaitIfPaused();
                        CallExceptionHandlers(event, action, exception, handled, true, false);
                    },
                    std::chrono::milliseconds(1500));
                if (let_run) HaltMainThreadAgain();
            }
            if (!ran) CallExceptionHandlers(event, action, exception, handled, false, true);
        }
    }
    if (event == HandlerEvent::Action && !handled && action <= kActionPrint) {
        const char* const keys[] = {"SendAssis", "SaveAssis", "PrintAssis"};
        const std::string name = exception.GetString(keys[action]);
        if (name.empty()) return handled;
        if (INVAssistant assistant = FindAssistant(exception, name, exception.Screenshot() != nullptr)) {
            if (assistant->ShowModal() == kResultContinue) {
                ApplyAssistantResults(*assistant, exception);
                FillFormCache(exception, *assistant);
            } else {
                handled = true;
            }
        }
        if (!handled) {
            bool again = false;
            CallExceptionHandlers(HandlerEvent::Action, static_cast<std::uint8_t>(action + 3), exception, again, false,
                                  false);
            handled = again;
        }
    }
    return handled;
}

void ApplyAssistantResults(const TNVAssistant& assistant, TIZEException& exception) {
    for (int f = 0; f < assistant.FormCount(); ++f) {
        const TNVForm* form = assistant.Form(f);
        if (form->modal_result() != kResultContinue) continue;
        for (int i = 3; i < form->ItemCount(); ++i) {
            const TNVItem* item = form->Item(i);
            if (item->output_name().empty()) continue;
            if (const auto* edit = dynamic_cast<const TNVEdit*>(item)) {
                if (edit->output_type() == NVOutputType::OwnSection && edit->lines() > 1)
                    exception.Sections()->Set(edit->output_name(), edit->text());
                else
                    exception.Header()->Set(edit->output_name(), edit->text());
            } else if (const auto* check = dynamic_cast<const TNVCheckBox*>(item)) {
                exception.Header()->Set(check->output_name(), check->checked() ? "yes" : "no");
            }
        }
    }
}

void SetMainThreadChannel(MainThreadChannel channel) {
    std::lock_guard guard(g_channel_lock);
    g_channel = std::move(channel);
}

bool RunOnMainThread(const std::function<void()>& call, std::chrono::milliseconds probe_timeout) {
    decltype(MainThreadChannel::run_and_wait) run;
    {
        std::lock_guard guard(g_channel_lock);
        run = g_channel.run_and_wait;
    }
    if (CurrentThreadId() == MainThreadId()) {
        call();
        return true;
    }
    return run && run(call, probe_timeout);
}

bool PostToMainThread(std::function<void()> call) {
    decltype(MainThreadChannel::post) post;
    {
        std::lock_guard guard(g_channel_lock);
        post = g_channel.post;
    }
    if (!post) return false;
    post(std::move(call));
    return true;
}

namespace {

struct PauseState {
    std::atomic<bool> active{false};  // checked first: the pause point is on every event's way
    std::mutex lock;
    std::condition_variable changed;
    bool main_paused = false;
    bool others_paused = false;
    std::vector<std::uint32_t> paused;
};
PauseState& g_pause = *new PauseState;

}  // namespace

void PauseOtherThreads(bool pause, std::uint32_t leave_running) {
    {
        std::lock_guard guard(g_pause.lock);
        if (pause) {
            g_pause.paused.clear();
            std::vector<std::uint32_t> ids;
            ListOwnThreadIds(ids);
            const std::uint32_t self = CurrentThreadId();
            for (const std::uint32_t id : ids)
                if (id != self && id != MainThreadId() && id != leave_running &&
                    !GetThreadDisplayName(id, false).empty())
                    g_pause.paused.push_back(id);
            // The main thread carries the reporter's windows here, so it is
            // never held while a box is up; only the other threads wait.
            g_pause.main_paused = false;
            g_pause.others_paused = true;
            g_pause.active = true;
        } else {
            g_pause.main_paused = false;
            g_pause.others_paused = false;
            g_pause.paused.clear();
            g_pause.active = false;
        }
    }
    g_pause.changed.notify_all();
    // Wake the main thread so that it reaches its pause point.
    PostToMainThread([] { WaitIfPaused(); });
}

void WaitIfPaused() {
    if (!g_pause.active.load(std::memory_order_relaxed)) return;
    const std::uint32_t self = CurrentThreadId();
    std::unique_lock lock(g_pause.lock);
    if (self == MainThreadId()) {
        if (t_in_handler_call) return;
        g_pause.changed.wait(lock, [] { return !g_pause.main_paused; });
        return;
    }
    if (std::find(g_pause.paused.begin(), g_pause.paused.end(), self) == g_pause.paused.end()) return;
    g_pause.changed.wait(lock, [self] {
        return !g_pause.others_paused ||
               std::find(g_pause.paused.begin(), g_pause.paused.end(), self) == g_pause.paused.end();
    });
}

bool LetMainThreadRun() {
    std::lock_guard guard(g_pause.lock);
    if (!g_pause.main_paused) return false;
    g_pause.main_paused = false;
    g_pause.changed.notify_all();
    return true;
}

void HaltMainThreadAgain() {
    {
        std::lock_guard guard(g_pause.lock);
        g_pause.main_paused = true;
        g_pause.active = true;
    }
    PostToMainThread([] { WaitIfPaused(); });
}

namespace {

// The watchdog thread runs detached and says when it has ended, so that a
// process leaving without stopping it does not trip over a joinable thread.
struct Watchdog {
    std::mutex lock;  // one watchdog per process
    std::condition_variable wake;
    bool ended = true;
    bool stop = false;
    int pause_count = -1;
    std::atomic<int> misses{0};
    std::atomic<bool> running{false};
};
// Never destroyed: the detached thread may outlive every static.
Watchdog& g_watchdog = *new Watchdog;

void WatchdogLoop(std::int32_t timeout_ms, std::function<void()> report) {
    SetThreadDisplayName(CurrentThreadId(), "zelExcept - AntiFreezeThread");
    const std::int64_t base = std::max<std::int32_t>(timeout_ms / 10, 1);
    std::int64_t interval = base;
    std::unique_lock lock(g_watchdog.lock);
    while (!g_watchdog.stop) {
        g_watchdog.wake.wait(lock, [] { return g_watchdog.stop || g_watchdog.pause_count < 0; });
        if (g_watchdog.stop) break;
        auto answered = std::make_shared<std::atomic<bool>>(false);
        lock.unlock();
        const bool posted = PostToMainThread([answered] { *answered = true; });
        lock.lock();
        g_watchdog.wake.wait_for(lock, std::chrono::milliseconds(interval), [] { return g_watchdog.stop; });
        if (g_watchdog.stop) break;
        if (!posted || g_watchdog.pause_count >= 0) continue;
        if (*answered) {
            g_watchdog.misses = 0;
            interval = base;
        } else if (++g_watchdog.misses >= 10) {
            g_watchdog.misses = 0;
            interval += interval / 2;
            lock.unlock();
            if (report) report();
            lock.lock();
        }
    }
    ClearThreadDisplayName(CurrentThreadId());
    g_watchdog.ended = true;
    g_watchdog.wake.notify_all();
}

}  // namespace

void StartFreezeWatchdog(std::int32_t timeout_ms, std::function<void()> report) {
    std::lock_guard guard(g_watchdog.lock);
    if (g_watchdog.running) return;
    g_watchdog.stop = false;
    g_watchdog.pause_count = -1;
    g_watchdog.misses = 0;
    g_watchdog.running = true;
    g_watchdog.ended = false;
    std::thread(WatchdogLoop, timeout_ms, std::move(report)).detach();
}

void StopFreezeWatchdog() {
    {
        std::lock_guard guard(g_watchdog.lock);
        if (!g_watchdog.running) return;
        g_watchdog.stop = true;
    }
    g_watchdog.wake.notify_all();
    std::unique_lock lock(g_watchdog.lock);
    g_watchdog.wake.wait(lock, [] { return g_watchdog.ended; });
    g_watchdog.running = false;
    g_watchdog.pause_count = -1;
}

bool FreezeWatchdogRunning() { return g_watchdog.running; }

void SetFreezeCheckPaused(bool pause) {
    if (!g_watchdog.running || GetThreadDisplayName(CurrentThreadId(), true) .find("AntiFreezeThread") != std::string::npos)
        return;
    {
        std::lock_guard guard(g_watchdog.lock);
        g_watchdog.misses = 0;
        if (pause)
            ++g_watchdog.pause_count;
        else if (g_watchdog.pause_count >= 0)
            --g_watchdog.pause_count;
    }
    g_watchdog.wake.notify_all();
}

}  // namespace crashreport
