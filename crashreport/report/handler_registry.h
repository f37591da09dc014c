// Three services of the exception handling flow: the registered exception
// and action handlers and the rule by which they fire (some on the main
// thread); pausing the program's other threads while an exception is
// shown; and the freeze watchdog that pings the main thread and reports a
// frozen program when it stops answering.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "crashreport/report/exception_info.h"

namespace crashreport {

// 0: on the reporting thread; 1: on the main thread; 2: on the main thread,
// or on the reporting thread when the main thread cannot be reached.
enum class HandlerSync : std::uint8_t { ReportingThread = 0, MainThread = 1, MainThreadOrReporting = 2 };
enum class HandlerEvent : std::uint8_t { Exception = 0, Action = 1, HiddenException = 2 };

using ExceptionHandler = std::function<void(TIZEException& exception, bool& handled)>;
using ActionHandler = std::function<void(std::uint8_t action, TIZEException& exception, bool& handled)>;

// Registration (nothing in the program itself registers a handler; the
// lists serve tests and any later user). The id removes it again.
int AddExceptionHandler(ExceptionHandler handler, HandlerSync sync, std::uint8_t phase);
int AddActionHandler(ActionHandler handler, HandlerSync sync);
int AddHiddenExceptionHandler(ExceptionHandler handler, HandlerSync sync);
void RemoveHandler(int id);
void ClearHandlers();
bool HiddenExceptionHandlersExist();
// True when a handler of the exception or action kind runs in phase 4.
bool HasCompletionHandler();

// Whether any handler was called.
bool CallExceptionHandlers(HandlerEvent event, std::uint8_t action, TIZEException& exception, bool& handled,
                           bool synced_call, bool sync_failed);
// Fires, repeats on the main thread where handlers want it, then runs the
// assistant of a send, save or print action. Returns `handled`.
bool FireHandlersSynced(HandlerEvent event, std::uint8_t action, TIZEException& exception);

// The main thread, as the window layer reaches it: runs a call there and
// waits for it (false when the main thread did not take it within
// `probe_timeout`), and posts a call without waiting.
struct MainThreadChannel {
    std::function<bool(const std::function<void()>& call, std::chrono::milliseconds probe_timeout)> run_and_wait;
    std::function<void(std::function<void()> call)> post;
};
void SetMainThreadChannel(MainThreadChannel channel);
bool RunOnMainThread(const std::function<void()>& call, std::chrono::milliseconds probe_timeout);
bool PostToMainThread(std::function<void()> call);

// Pausing: the paused threads wait at their pause points (the window
// layer's event dispatch) until the pause ends.
void PauseOtherThreads(bool pause, std::uint32_t leave_running);
void WaitIfPaused();
bool LetMainThreadRun();
void HaltMainThreadAgain();

// The freeze watchdog: `report` is called on the watchdog thread when the
// main thread missed ten pings in a row (FreezeTimeout / 10 apart).
void StartFreezeWatchdog(std::int32_t timeout_ms, std::function<void()> report);
void StopFreezeWatchdog();
bool FreezeWatchdogRunning();
// Nestable; only the outermost resume lets the watchdog count again.
void SetFreezeCheckPaused(bool pause);

// The assistant results go into the report: edits with an output name as
// header items or own sections, check boxes as "yes"/"no".
void ApplyAssistantResults(const TNVAssistant& assistant, TIZEException& exception);

}  // namespace crashreport
