// Every caught exception ends in HandleCaughtException: it is packed into a
// request and written to the pipe of the handler thread, which does all the
// work while the failing thread waits.
#include <atomic>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "crashreport/engine/crash_engine.h"
#include "crashreport/codec/crypt.h"
#include "crashreport/os/crash_signals.h"
#include "crashreport/os/file_access.h"
#include "crashreport/os/memory.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/report/handler_registry.h"
#include "crashreport/report/report_actions.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

// What goes through the pipe: the request and the event its sender waits
// on. A record without an event ends the handler thread.
struct PipeRecord {
    OneShotEvent* event;
    CaughtException* request;
    bool* go_on;
    bool* reported;  // may be null
};

// The thread runs detached: it may still be waiting on its pipe while the
// process exits, which must not count as a failure of its own.
struct HandlerThreadState {
    RecordPipe pipe;
    std::unique_ptr<OneShotEvent> ended;
    std::atomic<std::uint32_t> thread_id{0};
    std::atomic<bool> running{false};
};
// Never destroyed: the detached thread may outlive every static.
HandlerThreadState& g_handler = *new HandlerThreadState;

std::mutex g_presenter_lock;
ExceptionPresenter g_presenter;
std::atomic<bool> g_main_in_handlers{false};

ExceptionPresenter Presenter() {
    std::lock_guard guard(g_presenter_lock);
    return g_presenter;
}

bool ProcessExceptionRequest(CaughtException& request);

void HandlerThreadProc() {
    g_handler.thread_id = CurrentThreadId();
    SetThreadDisplayName(CurrentThreadId(), "zelExcept - HandleExceptionThread");
    for (;;) {
        PipeRecord record{};
        if (g_handler.pipe.Read(&record, sizeof record) != sizeof record || record.event == nullptr) break;
        bool go_on = false, processed = false;
        try {
            go_on = ProcessExceptionRequest(*record.request);
            processed = true;
        } catch (...) {
        }
        *record.go_on = go_on;
        if (record.reported != nullptr) *record.reported = processed;
        record.event->Set();
        // Wake the main thread's event loop when it is the one waiting.
        PostToMainThread([] {});
    }
    ClearThreadDisplayName(CurrentThreadId());
    g_handler.ended->Set();
}

// The class filters choose the per-exception options.
void ApplyFilters(TIZEException& exception) {
    FilterSet set = FilterSet::Gn;
    auto listed = [&](const std::string& classes) {
        const int parts = classes.empty() ? 0 : CountParts(classes, ',');
        for (int i = 1; i <= parts; ++i)
            if (ExceptionIsOfClass(exception.object, TrimmedCopy(GetPart(classes, i, ',')))) return true;
        return false;
    };
    if (exception.object.present && listed(exception.F1Classes()))
        set = FilterSet::F1;
    else if (exception.object.present && listed(exception.F2Classes()))
        set = FilterSet::F2;
    exception.report_wanted = !exception.FilterBool(set, "NoBugRep");
    exception.screenshot_wanted = !exception.FilterBool(set, "NoScrShot") && exception.ScrShotDepth() > 0;
    exception.pause_threads = !exception.FilterBool(set, "NoSuspend") && exception.PauseThreads();
    exception.handlers_wanted = !exception.FilterBool(set, "NoHandlers");
    exception.show_setting = exception.FilterInt(set, "ShowCfg");
    exception.assistant_name = exception.FilterText(set, "Assis");
    exception.SetScreenshotAppend(exception.screenshot_wanted);
}

IZEException CreateExceptionInfo(const CaughtException& caught, const IZEModuleSettings& settings) {
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    exception->faulting_settings = settings;
    if (settings) exception->SetVersionVariable(settings->VersionVariable());
    exception->type = caught.type;
    exception->object = caught.object;
    exception->address = caught.address;
    exception->InitCanContinue(caught.can_continue);
    exception->crashed_thread = caught.thread_id ? caught.thread_id : CurrentThreadId();
    exception->stack_pointer = caught.stack_pointer;
    exception->frame_pointer = caught.frame_pointer;
    exception->has_context = caught.has_context;
    exception->registers = caught.registers;
    exception->source = caught.source;
    exception->related_object = caught.related_object;
    exception->has_prepared_stack = caught.has_stack;
    exception->prepared_stack = caught.stack;
    exception->processor_exception = caught.processor_exception;
    ApplyFilters(*exception);
    return exception;
}

// Saves the report once, when the settings ask for it (and, with
// AutoSaveIfNotSent, only when sending did not work).
void AutoSaveIfWanted(TIZEException& exception, bool finishing) {
    if (!exception.AutoSave()) return;
    if (exception.AutoSaveIfNotSent() && (exception.was_sent || exception.being_sent)) {
        if (!finishing || exception.saved_automatically) return;
        exception.JoinSendThread();
        if (exception.was_sent) return;
    }
    if (exception.first_automatic_save.fetch_add(1) != -1) return;
    if (FireHandlersSynced(HandlerEvent::Action, kActionSave, exception)) return;
    SaveBugReportFile({}, exception.GetReportText(true), exception, true, &exception);
}

void FinishExceptionActions(TIZEException& exception, bool wait) {
    if ((HasCompletionHandler() && exception.report_wanted) || exception.CriticalCallbackExists())
        exception.GetReportText(true);
    AutoSaveIfWanted(exception, true);
    if (wait) exception.JoinSendThread();
}

void RunAutomaticActions(bool complete, const std::string& text, TIZEException& exception, int callback_id) {
    if (!complete || exception.first_completion_callback.fetch_add(1) != -1) return;
    if (exception.AutoSend() && !FireHandlersSynced(HandlerEvent::Action, kActionSend, exception)) {
        INVBitmapRef screenshot = exception.ScreenshotAppend() ? exception.Screenshot() : nullptr;
        exception.JoinSendThread();
        std::lock_guard guard(exception.send_thread_lock);
        SendBugReportNow(text, screenshot, true, false, exception.shared_from_this(), true, &exception.send_thread,
                         &exception);
    }
    if (exception.AutoClip())
        CopyTextToClipboard(text);
    else
        exception.UnregisterReportCallback(callback_id);
}

std::atomic<bool> g_console_is_error{false};

void PresentOnConsole(TIZEException& exception) {
    // Not through the C library's stream: the failed thread may hold its lock.
    const bool to_error = g_console_is_error;
    std::string text = exception.type == ExceptionType::Frozen ? exception.FrozenMsg() : exception.ExceptMsg();
    WriteToConsole(to_error, text + "\n");
    if (exception.AutoShowBugRep() || exception.ShowBtnVis()) {
        exception.SetPlWaitBox(false);
        const std::string report = exception.GetReportText(true);
        WriteToConsole(to_error, "\n" + report + "\n");
    }
}

// While the user looks at a box, a faulting thread waits as long as it takes.
struct WaitingForUser {
    explicit WaitingForUser(bool box_on_main_thread) : on_main_thread(box_on_main_thread) {
        SetWaitingForUser(true, on_main_thread);
    }
    ~WaitingForUser() { SetWaitingForUser(false, on_main_thread); }
    const bool on_main_thread;
    WaitingForUser(const WaitingForUser&) = delete;
    WaitingForUser& operator=(const WaitingForUser&) = delete;
};

void PresentException(const IZEException& exception) {
    const ExceptionPresenter presenter = Presenter();
    if (!presenter.show_box) {
        PresentOnConsole(*exception);
        return;
    }
    // The windows live on the main thread; when that thread is the one
    // that failed for good, a fresh instance of the program shows the box.
    const bool gui_thread_usable = exception->type != ExceptionType::Frozen &&
                                   !(exception->crashed_thread == MainThreadId() && !exception->CanContinue());
    int mode = exception->show_setting;
    // The crash box is a process of its own; the other boxes live on the
    // main thread.
    WaitingForUser waiting(gui_thread_usable);
    if (mode == 1) {
        if (presenter.run_assistant && gui_thread_usable && presenter.run_assistant(exception)) return;
        mode = 0;
    }
    if (gui_thread_usable) {
        presenter.show_box(exception, mode);
        return;
    }
    const int choice = ShowReportInCrashBox(*exception, mode);
    if (choice == kCrashBoxRestart) RestartProgram(*exception);
    if (choice == kCrashBoxClose) CloseProgram(*exception);
    if (choice < 0) PresentOnConsole(*exception);
}

bool ProcessExceptionRequest(CaughtException& request) {
    ReporterHeartbeat();
    DeleteZelTempFolder();
    const IZEModuleSettings settings = FindSettingsForAddress(request.address);
    const IZEException exception = CreateExceptionInfo(request, settings);
    bool handled = false;
    exception->SetPhase(1);
    if (request.type == ExceptionType::Hidden) {
        handled = true;
        FireHandlersSynced(HandlerEvent::HiddenException, 0, *exception);
    } else {
        RecordExceptionTime(UtcSecondsNow());
        handled = exception->handlers_wanted && FireHandlersSynced(HandlerEvent::Exception, 0, *exception);
    }
    bool paused = false;
    if (!handled) {
        exception->SetPhase(2);
        if (request.type != ExceptionType::Frozen && exception->pause_threads) {
            PauseOtherThreads(true, 0);
            paused = true;
        }
        if (exception->screenshot_wanted) exception->Screenshot();
        if (exception->report_wanted) exception->GetReportText(false);
        handled = exception->handlers_wanted && FireHandlersSynced(HandlerEvent::Exception, 0, *exception);
    }
    if (!handled) {
        exception->SetPhase(3);
        handled = exception->handlers_wanted && FireHandlersSynced(HandlerEvent::Exception, 0, *exception);
    }
    bool go_on = exception->CanContinue();
    if (!(handled && exception->CanContinue())) {
        if (!handled) {
            if (exception->AutoSave() || exception->AutoSend() || exception->AutoClip()) {
                auto id = std::make_shared<int>(0);
                *id = exception->RegisterReportCallback(
                    [id](bool complete, const std::string& text, TIZEException& e) {
                        RunAutomaticActions(complete, text, e, *id);
                    },
                    true);
            }
            if (exception->show_setting != 4) PresentException(exception);
        }
        const bool box_decided = Presenter().show_box && exception->CanContinue() && exception->show_setting != 4;
        if (!box_decided) {
            if (CheckAutoAction(exception->AutoClose())) {
                CloseProgram(*exception);
            } else if (!exception->CanContinue() && !CheckAutoAction(exception->AutoRestart())) {
                CloseProgram(*exception);
            } else if (CheckAutoAction(exception->AutoRestart())) {
                RestartProgram(*exception);
            } else {
                FireHandlersSynced(HandlerEvent::Action, kActionContinue, *exception);
            }
        }
        if (!handled) FinishExceptionActions(*exception, false);
        go_on = exception->CanContinue();
    }
    if (paused) PauseOtherThreads(false, 0);
    // The report thread and the send thread may still run: the exception
    // object waits for them when the last reference goes.
    std::thread([keep = exception] { keep->JoinSendThread(); }).detach();
    return go_on;
}

}  // namespace

void SetConsoleReportToStandardError(bool on) { g_console_is_error = on; }

void SetExceptionPresenter(ExceptionPresenter presenter) {
    std::lock_guard guard(g_presenter_lock);
    g_presenter = std::move(presenter);
}

std::uint32_t HandlerThreadId() { return g_handler.thread_id; }

bool StartHandlerThread() {
    if (g_handler.running) return true;
    if (!g_handler.pipe.Create()) return false;
    g_handler.running = true;
    g_handler.ended = std::make_unique<OneShotEvent>();
    StartReporterThread(HandlerThreadProc).detach();
    return true;
}

void StopHandlerThread() {
    if (!g_handler.running.exchange(false)) return;
    PipeRecord stop{};
    g_handler.pipe.Write(&stop, sizeof stop);
    g_handler.pipe.CloseWriteEnd();
    if (g_handler.ended->WaitFor(500)) g_handler.pipe.CloseReadEnd();
    g_handler.thread_id = 0;
}

bool HandleCaughtException(CaughtException caught, bool* reported) {
    const ReporterCodeScope reporter_code;
    if (reported != nullptr) *reported = false;
    const std::uint32_t self = CurrentThreadId();
    if (!g_handler.running || self == g_handler.thread_id) return false;
    if (self == MainThreadId() && g_main_in_handlers) return false;
    // What was kept back for this moment is given to the report, and kept
    // back again once the exception has been dealt with.
    ReleaseEmergencyMemory();
    struct ReserveAgain {
        ~ReserveAgain() { ReserveEmergencyMemory(); }
    } reserve_again;
    try {
        if (ExceptionIsOfClass(caught.object, "EAbort")) {
            if (!caught.can_continue) TerminateApplication();
            return true;
        }
        if (caught.thread_id == 0) caught.thread_id = self;
        OneShotEvent done;
        bool go_on = false;
        SetFreezeCheckPaused(true);
        PipeRecord record{&done, &caught, &go_on, reported};
        if (g_handler.pipe.Write(&record, sizeof record) == sizeof record) {
            const ExceptionPresenter presenter = Presenter();
            const IZEModuleSettings settings = FindSettingsForAddress(caught.address);
            // A hidden exception is passed on from the end of a catch block:
            // no events are let through there.
            if (self == MainThreadId() && caught.can_continue && presenter.wait_on_main_thread &&
                !settings->PauseThreads() && caught.type != ExceptionType::Hidden)
                presenter.wait_on_main_thread(done);
            else
                done.Wait();
        }
        SetFreezeCheckPaused(false);
        return go_on;
    } catch (...) {
        return false;
    }
}

CaughtException DescribeCurrentException(std::uint8_t source, bool can_continue) {
    const ReporterCodeScope reporter_code;
    CaughtException caught;
    caught.object = DescribeException(std::current_exception());
    caught.can_continue = can_continue;
    caught.source = source;
    std::uintptr_t throw_address = 0;
    if (LastThrowSite(caught.stack, throw_address)) {
        caught.has_stack = true;
        caught.address = throw_address;
    }
    return caught;
}

bool HandleCurrentException(std::uint8_t source, bool can_continue, const std::string& related_object) {
    MarkCurrentCatchReported();
    CaughtException caught = DescribeCurrentException(source, can_continue);
    caught.related_object = related_object;
    return HandleCaughtException(std::move(caught));
}

namespace {

// Set in the crash-box instance: its box's end actions only report the
// choice; the failed instance carries it out.
std::atomic<bool> g_crash_box_child{false};

}  // namespace

void ContinueProgram(TIZEException& exception) {
    if (g_crash_box_child) TerminateOwnProcess(kCrashBoxContinue);
    FireHandlersSynced(HandlerEvent::Action, kActionContinue, exception);
}

void RestartProgram(TIZEException& exception) {
    if (g_crash_box_child) TerminateOwnProcess(kCrashBoxRestart);
    FireHandlersSynced(HandlerEvent::Action, kActionRestart, exception);
    FinishExceptionActions(exception, true);
    RestartApplication();
}

void CloseProgram(TIZEException& exception) {
    if (g_crash_box_child) TerminateOwnProcess(kCrashBoxClose);
    FireHandlersSynced(HandlerEvent::Action, kActionClose, exception);
    FinishExceptionActions(exception, true);
    TerminateApplication();
}

}  // namespace crashreport

namespace crashreport {

IZEException LoadCrashBoxException(const std::string& file, int& mode) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return nullptr;
    std::string line, cls, message;
    bool frozen = false, can_continue = false;
    mode = 0;
    while (std::getline(in, line) && !line.empty()) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "mode") mode = std::atoi(value.c_str());
        if (key == "frozen") frozen = value == "1";
        if (key == "continue") can_continue = value == "1";
        if (key == "class") cls = value;
        if (key == "message") message = Base64DecodeText(value);
    }
    const std::string report((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    g_crash_box_child = true;
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    exception->type = frozen ? ExceptionType::Frozen : ExceptionType::Ordinary;
    if (!frozen) exception->object = MakeExceptionInfo(cls, message);
    exception->InitCanContinue(can_continue);
    exception->show_setting = mode;
    ApplyFilters(*exception);
    exception->SetReportText(report);
    return exception;
}

}  // namespace crashreport
