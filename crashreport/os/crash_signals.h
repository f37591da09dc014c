// The reporter's hooks into the run time, by the official means only: the
// fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) with a handler on
// a stack of each thread's own (so a stack overflow is reported too), a
// frame that lets a failed thread end instead of the whole process, and the
// throw hook that keeps the stack of the place each C++ exception was
// thrown from, which unwinding would otherwise have lost by the time the
// exception is caught.
//
// The signal handler itself does only what is safe while the faulting code
// may hold any lock (the allocator's above all, when the heap is what broke):
// it fills a record set aside beforehand, takes the return addresses, hands
// the record through a pipe to a thread of the reporter that does the rest,
// and waits. When the reporter shows no sign of life for a while (and no one
// is looking at its box), the handler writes what it has to standard error
// and ends the process.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "crashreport/os/stack_capture.h"

namespace crashreport {

// The processor's registers at the fault (x86-64 general registers, the
// instruction pointer and the flags), in kCpuRegisterNames order.
inline constexpr int kCpuRegisterCount = 18;
extern const std::array<const char*, kCpuRegisterCount> kCpuRegisterNames;

enum class FatalSignalKind { Segv, Bus, Fpe, Ill, Abort };

// What the signal handler learns of a fault, in plain values: it fills
// them in memory set aside beforehand.
struct FatalSignalFacts {
    int signal_number = 0;
    int signal_code = 0;
    std::uintptr_t fault_address = 0;  // the address touched (SIGSEGV, SIGBUS)
    std::uintptr_t instruction_pointer = 0;
    std::uintptr_t stack_pointer = 0;
    std::uintptr_t frame_pointer = 0;
    bool has_registers = false;
    std::array<std::uint64_t, kCpuRegisterCount> registers{};
    std::uint32_t thread_id = 0;
    bool thread_has_frame = false;  // the thread runs inside RunInSignalFrame
    // It can be left: it runs in a frame and faulted in the program's own
    // code (not inside a library that may hold its locks, not by running
    // out of stack), so unwinding its stack releases what it held.
    bool can_leave_thread = false;
    bool sent_by_process = false;   // raised by kill/raise/abort, not by a faulting instruction
    int sender_pid = 0;             // for a sent signal: who sent it
    int sender_uid = 0;
    bool write_access = false;      // a SIGSEGV of a write (the processor's error code says so)
    bool execute_access = false;    // a SIGSEGV of fetching an instruction
};

struct FatalSignalInfo : FatalSignalFacts {
    FatalSignalKind kind = FatalSignalKind::Segv;
    TDAPreStackItem stack;  // return addresses above the fault
};

// Called on a thread of the reporter for a fault of another thread, which
// waits meanwhile. LeaveThread: the faulting thread is given up and leaves
// its frame (honoured only when it can be left); Reported: the signal takes
// its default course (the process ends); NotReported: the reporter could
// not take the fault, so the handler writes its short report first.
enum class FatalSignalOutcome { NotReported, Reported, LeaveThread };
using FatalSignalCallback = FatalSignalOutcome (*)(FatalSignalInfo& info);

bool InstallFatalSignalHandlers(FatalSignalCallback callback);
void RemoveFatalSignalHandlers();
// Gives the calling thread its own signal stack (freed when it ends).
void PrepareSignalStackForThread();
// Runs `body`; false when a fatal signal in it was reported and the thread
// was let go on. The thread leaves by unwinding its stack from the fault
// (a forced unwind, as a cancelled thread does): destructors run and
// `catch (...)` blocks see it, so descriptors, locks and volumes the body
// held are released. Leaving is offered only where every routine from the
// fault up to here lets such an unwind pass.
bool RunInSignalFrame(void (*body)(void*), void* context);
// True inside a `catch (...)` that a leaving thread's unwind entered: it
// must not be reported as an exception of its own.
bool ThreadIsBeingLeft();
// "Access violation"-style name of a signal and its code, as the report's
// exception message: "SIGSEGV (address not mapped to object)".
std::string SignalDescription(int signal_number, int signal_code);

// The reporter's threads say they are alive and working; the waiting
// signal handler gives up only after a long silence.
void ReporterHeartbeat();
// While set, the reporter waits for the user (its box is up): a silence
// then is no hang. Unless the box lives on the main thread and the main
// thread is the one that faulted: then the box can never answer.
void SetWaitingForUser(bool waiting, bool box_on_main_thread);
// A fault in the calling thread is not handed to the reporter (the thread
// is part of it): its short report goes to standard error and the process
// ends.
void MarkReporterThread();
// Starts a thread of the reporter, marked as above before any signal can
// reach it. A signal another process sends lands in any thread that does
// not block it; one that lands in the reporter's threads is passed on to
// the main thread.
std::thread StartReporterThread(std::function<void()> body);
// From now on fatal signals take their default course at once (the
// process is on its way out after a report).
void LetFatalSignalsPass();

// Called as a catch block that the program ran ends without passing the
// exception on (no rethrow, not reported): the program handled it itself.
// Inside the call the exception is still the current one. Null: none.
using HandledExceptionCallback = void (*)();
void SetHandledExceptionCallback(HandledExceptionCallback callback);
// The catch block the calling thread is in reports its exception: its end
// is no handled exception.
void MarkCurrentCatchReported();
// While one lives, the calling thread runs the reporter's own code, whose
// catch blocks (looking at an exception, say) are not the program's.
class ReporterCodeScope {
public:
    ReporterCodeScope();
    ~ReporterCodeScope();
    ReporterCodeScope(const ReporterCodeScope&) = delete;
    ReporterCodeScope& operator=(const ReporterCodeScope&) = delete;
};

// Throw sites are remembered only while this is on (it costs a stack walk
// per throw).
void SetThrowSiteRecording(bool on);
// The stack of the latest throw of the calling thread: the return addresses
// above the throwing statement and the address of the throw itself; false
// when none was recorded.
bool LastThrowSite(TDAPreStackItem& items, std::uintptr_t& throw_address);

}  // namespace crashreport
