// The reporter's start-up and its hooks into the run time: fatal signals,
// std::terminate, the frame every thread of the program starts in, and the
// record of each throw's stack. All by the official means; no code of the
// program or its libraries is patched.
#include <atomic>
#include <exception>
#include <mutex>

#include "crashreport/engine/crash_engine.h"
#include "crashreport/codec/program_checksum.h"
#include "crashreport/os/crash_signals.h"
#include "crashreport/os/memory.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/os/thread_hooks.h"
#include "crashreport/report/handler_registry.h"
#include "crashreport/settings/reporter_ui.h"
#include "crashreport/settings/text_variables.h"
#include "crashreport/text/string_toolkit.h"
#include "platform/os/thread.h"

// The program file's checksum, written in after linking (0: none); the
// start-up test of the file compares it with the file's bytes.
extern "C" __attribute__((used, section(".zelcrc"))) const volatile std::uint32_t zel_program_checksum = 0;

namespace crashreport {

bool StartHandlerThread();
void StopHandlerThread();

namespace {

std::atomic<bool> g_active{false};
std::atomic<bool> g_dying{false};
std::terminate_handler g_previous_terminate = nullptr;
std::mutex g_init_lock;
int g_init_count = 0;

// The text the run time gives a fault, as the report's exception message.
CaughtException FromSignal(const FatalSignalInfo& info) {
    CaughtException caught;
    caught.processor_exception = !info.sent_by_process;
    caught.address = info.instruction_pointer;
    caught.has_stack = true;
    caught.stack = info.stack;
    caught.has_context = info.has_registers;
    caught.registers = info.registers;
    caught.stack_pointer = info.stack_pointer;
    caught.frame_pointer = info.frame_pointer;
    caught.thread_id = info.thread_id;
    caught.source = kSourceSignal;
    // A thread of the program's own that faulted in the program's code (it
    // runs in the frame) is unwound and ends, and the program goes on; the
    // main thread cannot, nor a thread that may hold a library's locks.
    caught.can_continue = info.can_leave_thread && info.thread_id != MainThreadId();
    const std::string where = "$" + LowerCopy(Int64ToHex(info.instruction_pointer));
    ModuleInfo module;
    const std::string module_name = FindModuleOfAddr(info.instruction_pointer, module) ? module.file_name : "";
    const std::string what = SignalDescription(info.signal_number, info.signal_code);
    if (info.sent_by_process) {
        // Not a fault of the code: someone sent the signal (kill, raise,
        // abort). Its fields hold the sender, not an address.
        const std::string name = what.substr(0, what.find(' '));
        const std::string text =
            info.sender_pid == static_cast<int>(OwnProcessId())
                ? what + " raised by the program itself at address " + where
                : "Signal " + name + " sent by process " + std::to_string(info.sender_pid) + " (user " +
                      std::to_string(info.sender_uid) + ")";
        caught.object = MakeExceptionInfo("EExternalException", text, {"EExternal"});
        return caught;
    }
    switch (info.kind) {
        case FatalSignalKind::Segv: {
            const std::uintptr_t target = info.fault_address;
            // A read or write just below the stack pointer is the stack
            // running out; running code there (or anywhere without the
            // right to) is an access violation of its own.
            const bool overflow = !info.execute_access && info.stack_pointer != 0 &&
                                  target + 65536 >= info.stack_pointer && target <= info.stack_pointer + 4096;
            const char* access = info.execute_access ? "Execution" : info.write_access ? "Write" : "Read";
            if (overflow)
                caught.object = MakeExceptionInfo("EStackOverflow", "Stack overflow", {"EExternal"});
            else
                caught.object = MakeExceptionInfo("EAccessViolation",
                                                  "Access violation at address " + where + " in module '" +
                                                      module_name + "'. " + access + " of address $" +
                                                      LowerCopy(Int64ToHex(target)),
                                                  {"EExternal"});
            break;
        }
        case FatalSignalKind::Fpe:
            caught.object = MakeExceptionInfo("EIntError", what, {"EExternal"});
            break;
        default:
            caught.object = MakeExceptionInfo("EExternalException", what + " at address " + where, {"EExternal"});
    }
    return caught;
}

FatalSignalOutcome OnFatalSignal(FatalSignalInfo& info) {
    // The abort that ends a reported termination is no second report.
    if (g_dying || !g_active) return FatalSignalOutcome::Reported;
    if (info.kind == FatalSignalKind::Abort && info.thread_id == HandlerThreadId()) return FatalSignalOutcome::Reported;
    CaughtException caught = FromSignal(info);
    bool reported = false;
    const bool go_on = HandleCaughtException(caught, &reported);
    if (!reported) return FatalSignalOutcome::NotReported;
    return go_on && caught.can_continue ? FatalSignalOutcome::LeaveThread : FatalSignalOutcome::Reported;
}

[[noreturn]] void OnTerminate() {
    if (!g_dying.exchange(true) && g_active) {
        CaughtException caught = DescribeCurrentException(kSourceTerminate, false);
        if (!caught.object.present)
            caught.object = MakeExceptionInfo("std::terminate", "terminate called without an active exception");
        g_dying = false;
        HandleCaughtException(caught);
        g_dying = true;
    }
    LetFatalSignalsPass();
    RemoveFatalSignalHandlers();
    std::abort();
}

// Every thread of the program runs in here: a C++ exception that leaves its
// body is reported (and the thread ends), and a fault inside it may end the
// thread instead of the process.
void ThreadFrame(const std::function<void()>& body) {
    struct Context {
        const std::function<void()>* body;
    } context{&body};
    const std::uint32_t self = CurrentThreadId();
    RunInSignalFrame(
        [](void* data) {
            const auto* c = static_cast<Context*>(data);
            try {
                (*c->body)();
            } catch (...) {
                // A thread left after a fault was reported already.
                if (!ThreadIsBeingLeft()) HandleCurrentException(kSourceThreadFrame, true);
            }
        },
        &context);
    ClearThreadDisplayName(self);
}

// An exception the program caught and handled itself goes to the
// hidden-exception handlers, when there are any.
void OnHandledException() {
    if (!g_active || !HiddenExceptionHandlersExist() || CurrentThreadId() == HandlerThreadId()) return;
    CaughtException caught = DescribeCurrentException(kSourceHidden, true);
    caught.type = ExceptionType::Hidden;
    HandleCaughtException(std::move(caught));
}

void ReportFrozenProgram() {
    CaughtException caught;
    caught.type = ExceptionType::Frozen;
    caught.source = kSourceFreeze;
    caught.can_continue = true;
    caught.thread_id = MainThreadId();
    HandleCaughtException(caught);
}

}  // namespace

bool InitCrashLibrary(const std::string& version) {
    std::lock_guard guard(g_init_lock);
    if (g_init_count++ > 0) return g_active;
    CheckRestartHandOver();
    DeleteFoldersOfEndedRuns();
    MarkReporterStart();
    const IZEModuleSettings settings = GetModuleSettings(ExecutableModule());
    SetMainSettings(settings);
    if (!version.empty()) settings->SetVersionVariable(version);
    SetThreadDisplayName(MainThreadId(), "main thread");
    if (!settings->Valid() || !settings->Enabled()) return false;
    // A program file changed on disk since it was built (a bit fault, a
    // damaged copy) says so and ends before anything else goes wrong.
    if (settings->CheckFileCrc() && VerifyFileChecksum(ExecutablePath()) == ChecksumVerdict::Corrupt) {
        std::string text = settings->BitFaultMsg();
        ExpandSettingsVars(settings->Module(), text, {}, {}, {});
        ShowReporterMessage(text, "", MessageIcon::Error);
        TerminateOwnProcess(0);
    }
    if (!StartHandlerThread()) return false;
    g_active = true;
    SetThrowSiteRecording(true);
    SetThreadCreationNoting(true);
    SetHandledExceptionCallback(OnHandledException);
    InstallFatalSignalHandlers(OnFatalSignal);
    g_previous_terminate = std::set_terminate(OnTerminate);
    platform::SetThreadFrame(ThreadFrame);
    if (settings->CheckFreeze()) StartFreezeWatchdog(settings->FreezeTimeout(), ReportFrozenProgram);
    ReserveEmergencyMemory();
    return true;
}

void FinalizeCrashLibrary() {
    std::lock_guard guard(g_init_lock);
    if (g_init_count == 0 || --g_init_count > 0) return;
    if (g_active.exchange(false)) {
        StopFreezeWatchdog();
        platform::SetThreadFrame(nullptr);
        std::set_terminate(g_previous_terminate);
        RemoveFatalSignalHandlers();
        SetThrowSiteRecording(false);
        SetThreadCreationNoting(false);
        SetHandledExceptionCallback(nullptr);
        StopHandlerThread();
        PauseOtherThreads(false, 0);
        ReleaseEmergencyMemory();
    }
    ClearHandlers();
    SetMainSettings(nullptr);
    DeleteZelTempFolder();
}

bool CrashLibraryActive() { return g_active; }

}  // namespace crashreport
