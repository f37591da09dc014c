#include "crashreport/os/crash_signals.h"

#include <dlfcn.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>

namespace crashreport {

const std::array<const char*, kCpuRegisterCount> kCpuRegisterNames = {
    "rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp", "r8",
    "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "rip", "eflags"};

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
std::atomic<FatalSignalCallback> g_callback{nullptr};
struct sigaction g_previous[sizeof kFatalSignals / sizeof kFatalSignals[0]];
std::atomic<bool> g_installed{false};

struct SignalStack {
    std::unique_ptr<char[]> memory;
    std::size_t size = 0;
    ~SignalStack() {
        if (!memory) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
    }
};
thread_local SignalStack t_signal_stack;
thread_local sigjmp_buf* t_frame = nullptr;

void FillRegisters(const void* context, FatalSignalInfo& info) {
#if defined(__x86_64__)
    const auto* uc = static_cast<const ucontext_t*>(context);
    const greg_t* g = uc->uc_mcontext.gregs;
    const int order[kCpuRegisterCount] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI,
                                          REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                          REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
    for (int i = 0; i < kCpuRegisterCount; ++i) info.registers[i] = static_cast<std::uint64_t>(g[order[i]]);
    info.instruction_pointer = static_cast<std::uintptr_t>(g[REG_RIP]);
    info.stack_pointer = static_cast<std::uintptr_t>(g[REG_RSP]);
    info.frame_pointer = static_cast<std::uintptr_t>(g[REG_RBP]);
    info.write_access = (g[REG_ERR] & 2) != 0;
    info.has_registers = true;
#else
    (void)context;
    (void)info;
#endif
}

void OnFatalSignal(int signal_number, siginfo_t* signal_info, void* context) {
    const int saved_errno = errno;
    FatalSignalInfo info;
    info.signal_number = signal_number;
    info.kind = signal_number == SIGBUS    ? FatalSignalKind::Bus
                : signal_number == SIGFPE  ? FatalSignalKind::Fpe
                : signal_number == SIGILL  ? FatalSignalKind::Ill
                : signal_number == SIGABRT ? FatalSignalKind::Abort
                                           : FatalSignalKind::Segv;
    info.signal_code = signal_info ? signal_info->si_code : 0;
    info.sent_by_process = signal_info && signal_info->si_code <= 0;
    if (signal_info && (signal_number == SIGSEGV || signal_number == SIGBUS))
        info.fault_address = reinterpret_cast<std::uintptr_t>(signal_info->si_addr);
    info.thread_id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
    info.thread_has_frame = t_frame != nullptr;
    if (context) {
        FillRegisters(context, info);
        info.stack.reserve(kMaxStackFrames);
        std::uintptr_t current = 0;
        CollectStackItemsFromContext(context, info.stack, current);
        if (current) info.instruction_pointer = current;
    }
    const FatalSignalCallback callback = g_callback.load();
    const bool let_thread_go = callback && callback(info);
    if (let_thread_go && t_frame) {
        errno = saved_errno;
        siglongjmp(*t_frame, 1);
    }
    // Default course: the process ends with this signal.
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    ::sigemptyset(&plain.sa_mask);
    ::sigaction(signal_number, &plain, nullptr);
    if (info.sent_by_process || signal_number == SIGABRT) ::raise(signal_number);
    errno = saved_errno;
}

}  // namespace

bool InstallFatalSignalHandlers(FatalSignalCallback callback) {
    g_callback = callback;
    if (g_installed.exchange(true)) return true;
    PrepareSignalStackForThread();
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    ::sigemptyset(&action.sa_mask);
    bool all = true;
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i)
        all = ::sigaction(kFatalSignals[i], &action, &g_previous[i]) == 0 && all;
    return all;
}

void RemoveFatalSignalHandlers() {
    if (!g_installed.exchange(false)) return;
    for (std::size_t i = 0; i < std::size(kFatalSignals); ++i) ::sigaction(kFatalSignals[i], &g_previous[i], nullptr);
    g_callback = nullptr;
}

void PrepareSignalStackForThread() {
    if (t_signal_stack.memory) return;
    // Room for the handler's own frames and a stack walk, well above
    // SIGSTKSZ, which is too small for unwinding.
    const std::size_t size = 256 * 1024;
    t_signal_stack.memory = std::make_unique<char[]>(size);
    t_signal_stack.size = size;
    stack_t stack{};
    stack.ss_sp = t_signal_stack.memory.get();
    stack.ss_size = size;
    if (::sigaltstack(&stack, nullptr) != 0) t_signal_stack.memory.reset();
}

bool RunInSignalFrame(void (*body)(void*), void* context) {
    PrepareSignalStackForThread();
    sigjmp_buf frame;
    sigjmp_buf* const outer = t_frame;
    if (sigsetjmp(frame, 1) != 0) {
        t_frame = outer;
        return false;
    }
    t_frame = &frame;
    body(context);
    t_frame = outer;
    return true;
}

std::string SignalDescription(int signal_number, int signal_code) {
    std::string name;
    std::string reason;
    switch (signal_number) {
        case SIGSEGV:
            name = "SIGSEGV";
            reason = signal_code == SEGV_MAPERR   ? "address not mapped to object"
                     : signal_code == SEGV_ACCERR ? "invalid permissions for mapped object"
                                                  : "segmentation fault";
            break;
        case SIGBUS:
            name = "SIGBUS";
            reason = "bus error";
            break;
        case SIGFPE:
            name = "SIGFPE";
            reason = signal_code == FPE_INTDIV   ? "integer divide by zero"
                     : signal_code == FPE_INTOVF ? "integer overflow"
                     : signal_code == FPE_FLTDIV ? "floating-point divide by zero"
                                                 : "arithmetic exception";
            break;
        case SIGILL:
            name = "SIGILL";
            reason = signal_code == ILL_PRVOPC ? "privileged instruction" : "illegal instruction";
            break;
        case SIGABRT:
            name = "SIGABRT";
            reason = "aborted";
            break;
        default:
            name = "signal " + std::to_string(signal_number);
            reason = "fatal signal";
    }
    return name + " (" + reason + ")";
}

namespace {

std::atomic<bool> g_record_throws{false};
struct ThrowSite {
    bool valid = false;
    std::uintptr_t address = 0;
    TDAPreStackItem items;
};
thread_local ThrowSite t_throw_site;

using CxaThrowFunction = void (*)(void*, void*, void (*)(void*));

CxaThrowFunction RealCxaThrow() {
    static const CxaThrowFunction real = reinterpret_cast<CxaThrowFunction>(::dlsym(RTLD_NEXT, "__cxa_throw"));
    return real;
}

}  // namespace

void SetThrowSiteRecording(bool on) { g_record_throws = on; }

bool LastThrowSite(TDAPreStackItem& items, std::uintptr_t& throw_address) {
    if (!t_throw_site.valid) return false;
    items = t_throw_site.items;
    throw_address = t_throw_site.address;
    return true;
}

}  // namespace crashreport

// Every throw of the program passes here on its way to the C++ run time.
extern "C" [[noreturn]] void __cxa_throw(void* object, void* type, void (*destructor)(void*)) {
    using namespace crashreport;
    if (g_record_throws.load(std::memory_order_relaxed)) {
        ThrowSite& site = t_throw_site;
        site.valid = CollectStackItems(site.items, 1) > 0;
        site.address = site.valid ? site.items.front().return_address : 0;
        if (site.valid) site.items.erase(site.items.begin());
    }
    RealCxaThrow()(object, type, destructor);
    __builtin_unreachable();
}
