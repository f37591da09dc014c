// The crash reporter's engine: start-up and shut-down, the hooks that catch
// every exception (fatal signals, std::terminate, the thread frame every
// thread of the program runs in, the application's event dispatch), the
// one entry all of them end in, and the handler thread that builds the
// report, asks the handlers, shows the exception box and decides whether
// the program continues, restarts or closes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crashreport/os/process_control.h"
#include "crashreport/report/exception_info.h"

namespace crashreport {

// What an interceptor caught.
struct CaughtException {
    ExceptionType type = ExceptionType::Ordinary;
    ExceptionObjectInfo object;
    std::uintptr_t address = 0;
    bool can_continue = true;
    std::uint8_t source = 0;
    std::string related_object;
    bool has_stack = false;
    TDAPreStackItem stack;
    bool has_context = false;
    bool processor_exception = false;
    std::array<std::uint64_t, kCpuRegisterCount> registers{};
    std::uintptr_t stack_pointer = 0;
    std::uintptr_t frame_pointer = 0;
    std::uint32_t thread_id = 0;  // 0: the calling thread
};

// The central entry: hands the exception to the handler thread and waits
// for it. True when the program goes on (the caller's thread may continue
// or, for a fault, end on its own); false when nothing was done.
// `reported` (when given) tells whether the reporter took the exception at
// all (it was not its own thread's, the handler thread ran).
bool HandleCaughtException(CaughtException caught, bool* reported = nullptr);
// The exception in flight (inside a catch block or std::terminate), with
// the stack of its throw when it was recorded.
CaughtException DescribeCurrentException(std::uint8_t source, bool can_continue);
// The same, handed to the central entry.
bool HandleCurrentException(std::uint8_t source, bool can_continue, const std::string& related_object = {});

// The start-up of the reporter (before any window exists): restart
// hand-over, settings, hooks, the handler thread and, when asked for, the
// freeze watchdog. `version` is the program's version text for the report.
// True when the reporter is enabled.
bool InitCrashLibrary(const std::string& version = {});
void FinalizeCrashLibrary();
bool CrashLibraryActive();
std::uint32_t HandlerThreadId();

// How a report is shown to the user; the window layer installs it. `mode`:
// 0 the full box, 2 the simple box with a details button, 3 without it.
// `gui_thread_usable` is false when the thread of the windows is the one
// that failed: the presenter must then show the box from a fresh instance
// of the program (ShowReportInCrashBox).
struct ExceptionPresenter {
    std::function<void(const IZEException& exception, int mode)> show_box;
    // Runs the assistant of the filter; false when there is none.
    std::function<bool(const IZEException& exception)> run_assistant;
    // Waits on the main thread while it keeps its windows alive.
    std::function<void(OneShotEvent& done)> wait_on_main_thread;
};
void SetExceptionPresenter(ExceptionPresenter presenter);
// Without windows the report goes to standard output; a command-line
// program whose output is data sends it to standard error instead.
void SetConsoleReportToStandardError(bool on);

// The actions that end the box.
void ContinueProgram(TIZEException& exception);
[[noreturn]] void RestartProgram(TIZEException& exception);
[[noreturn]] void CloseProgram(TIZEException& exception);

// The crash box: a fresh instance of the program (the hidden switch below,
// never in the usage text) shows a report it is handed in a file; its exit
// code tells the failed instance what the user chose.
inline constexpr const char* kCrashBoxSwitch = "--zelexcept-crash-box";
inline constexpr int kCrashBoxContinue = 8, kCrashBoxRestart = 9, kCrashBoxClose = 10;
// The command that starts such an instance (the program itself by default).
void SetCrashBoxCommand(std::vector<std::string> command);
// Writes the report for the crash box and runs it; its choice (8, 9, 10),
// or -1 when it could not be shown.
int ShowReportInCrashBox(TIZEException& exception, int mode);
bool IsCrashBoxInvocation(const std::vector<std::string>& args);
// In the crash-box instance: the exception rebuilt from the file, with its
// report; the box's end actions exit with the codes above.
IZEException LoadCrashBoxException(const std::string& file, int& mode);
// In the crash-box instance, before that: one line of what the failed
// instance sends while it makes the report, done on the please-wait box
// `alert` (which `make` makes when the line says so). False when the line
// says that the report is ready.
bool ReplayCrashBoxCommand(const std::string& line,
                           const std::function<IProgressAlertRef(const std::string& title, const std::string& image)>& make,
                           IProgressAlertRef& alert);

// The program's one export: a report of all threads, without an exception,
// to the clipboard (size < 1) or into the shared-memory object
// "zelTraceProcessMap" (at most size - 1 characters).
std::string TraceAllThreads();
// Test seam: the shared-memory object the export writes into ("" restores
// "zelTraceProcessMap"), so that tests running side by side do not share one.
void SetTraceMappingNameForTesting(const std::string& name);
// Run before start-up: a restarted instance waits for the old one to end
// and takes over its exception times.
void CheckRestartHandOver();

// The HTML error page of a web-server program.
std::string BuildHtmlErrorPage(const std::string& report, TIZEException& exception);

}  // namespace crashreport

extern "C" int zelTraceProcess(int size);

namespace crashreport {
// Registers the settings and form resources compiled into the program
// (generated at build time from resources/crashreport).
void RegisterCrashReporterResources();
}  // namespace crashreport
