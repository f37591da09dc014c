// The reporter's hooks into the run time, by the official means only: the
// fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) with a handler on
// a stack of each thread's own (so a stack overflow is reported too), a jump
// point that lets a failed thread end instead of the whole process, and the
// throw hook that keeps the stack of the place each C++ exception was
// thrown from, which unwinding would otherwise have lost by the time the
// exception is caught.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "crashreport/os/stack_capture.h"

namespace crashreport {

// The processor's registers at the fault (x86-64 general registers, the
// instruction pointer and the flags), in kCpuRegisterNames order.
inline constexpr int kCpuRegisterCount = 18;
extern const std::array<const char*, kCpuRegisterCount> kCpuRegisterNames;

enum class FatalSignalKind { Segv, Bus, Fpe, Ill, Abort };

struct FatalSignalInfo {
    int signal_number = 0;
    FatalSignalKind kind = FatalSignalKind::Segv;
    int signal_code = 0;
    std::uintptr_t fault_address = 0;  // the address touched (SIGSEGV, SIGBUS)
    std::uintptr_t instruction_pointer = 0;
    std::uintptr_t stack_pointer = 0;
    std::uintptr_t frame_pointer = 0;
    bool has_registers = false;
    std::array<std::uint64_t, kCpuRegisterCount> registers{};
    std::uint32_t thread_id = 0;
    bool thread_has_frame = false;  // the thread runs inside RunInSignalFrame
    bool sent_by_process = false;   // raised by kill/raise/abort, not by a faulting instruction
    bool write_access = false;      // a SIGSEGV of a write (the processor's error code says so)
    TDAPreStackItem stack;          // return addresses above the fault
};

// Called on the faulting thread, on its signal stack. True: the thread is
// given up and leaves its frame (only honoured when it has one); false: the
// signal takes its default course (the process ends).
using FatalSignalCallback = bool (*)(FatalSignalInfo& info);

bool InstallFatalSignalHandlers(FatalSignalCallback callback);
void RemoveFatalSignalHandlers();
// Gives the calling thread its own signal stack (freed when it ends).
void PrepareSignalStackForThread();
// Runs `body`; false when a fatal signal in it was reported and the thread
// was let go on (what the body held on its stack is abandoned).
bool RunInSignalFrame(void (*body)(void*), void* context);
// "Access violation"-style name of a signal and its code, as the report's
// exception message: "SIGSEGV (address not mapped to object)".
std::string SignalDescription(int signal_number, int signal_code);

// Throw sites are remembered only while this is on (it costs a stack walk
// per throw).
void SetThrowSiteRecording(bool on);
// The stack of the latest throw of the calling thread: the return addresses
// above the throwing statement and the address of the throw itself; false
// when none was recorded.
bool LastThrowSite(TDAPreStackItem& items, std::uintptr_t& throw_address);

}  // namespace crashreport
