#include "crashreport/os/crash_signals.h"

#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

namespace crashreport {

const std::array<const char*, kCpuRegisterCount> kCpuRegisterNames = {
    "rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp", "r8",
    "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "rip", "eflags"};

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
std::atomic<FatalSignalCallback> g_callback{nullptr};
struct sigaction g_previous[sizeof kFatalSignals / sizeof kFatalSignals[0]];
std::atomic<bool> g_installed{false};
std::atomic<bool> g_pass_through{false};

// How long the reporter may stay silent before a waiting handler gives up.
constexpr std::int64_t kSilenceLimitMs = 10000;
std::atomic<std::int64_t> g_last_heartbeat_ms{0};
std::atomic<int> g_waiting_for_user{0};
std::atomic<int> g_waiting_on_main_thread{0};

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
// Plain values only below: the handler reads them, and a thread-local
// with a constructor could allocate on first touch.
thread_local int t_frame_depth = 0;
thread_local bool t_reporter_thread = false;
thread_local bool t_leaving = false;
thread_local unsigned t_times_left = 0;

// The executable's code: a thread may be left only after a fault there.
std::uintptr_t g_own_code_start = 0, g_own_code_end = 0;
std::uintptr_t g_own_load_bias = 0;

std::int64_t MonotonicMs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One fault on its way to the reporter. Set aside before any fault: the
// handler takes a free one and allocates nothing.
struct SignalRecord {
    enum State { Free, Filling, Posted, Answered };
    std::atomic<int> state{Free};
    std::atomic<int> answer{0};  // a FatalSignalOutcome
    FatalSignalFacts facts;
    std::size_t count = 0;
    std::uintptr_t addresses[kMaxStackFrames] = {};
};
constexpr int kRecords = 4;
SignalRecord g_records[kRecords];
int g_relay_pipe[2] = {-1, -1};
std::atomic<bool> g_relay_running{false};

void FutexWait(std::atomic<int>& word, int expected, int timeout_ms) {
    const timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, expected, &timeout, nullptr, 0);
}

void FutexWake(std::atomic<int>& word) {
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr, nullptr, 0);
}

// Text for standard error without the allocator: a fixed buffer.
class RawText {
public:
    void Add(const char* text) {
        while (*text && length_ < sizeof buffer_) buffer_[length_++] = *text++;
    }
    void AddHex(std::uint64_t value) {
        char digits[17];
        for (int i = 15; i >= 0; --i, value >>= 4) digits[i] = "0123456789abcdef"[value & 15];
        digits[16] = 0;
        Add("$");
        Add(digits);
    }
    void AddDecimal(std::int64_t value) {
        char digits[24];
        int at = 23;
        digits[at] = 0;
        const bool negative = value < 0;
        std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        do {
            digits[--at] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (negative) digits[--at] = '-';
        Add(digits + at);
    }
    void WriteTo(int fd) const {
        std::size_t done = 0;
        while (done < length_) {
            const ssize_t n = ::write(fd, buffer_ + done, length_ - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

private:
    char buffer_[16384];
    std::size_t length_ = 0;
};

const char* SignalNameText(int signal_number) {
    switch (signal_number) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGFPE: return "SIGFPE";
        case SIGILL: return "SIGILL";
        case SIGABRT: return "SIGABRT";
        default: return "signal";
    }
}

// What is left when the reporter cannot make its report: the signal, where
// it struck and the return addresses, each also as an offset into the
// executable when it lies there (the same in every run).
void WriteShortReport(const SignalRecord& record, const char* why) {
    static RawText text;  // one at a time: the process ends right after
    text = RawText();
    text.Add("\nAn error occurred in the application; ");
    text.Add(why);
    text.Add(".\nexception     : ");
    text.Add(SignalNameText(record.facts.signal_number));
    text.Add(" (code ");
    text.AddDecimal(record.facts.signal_code);
    text.Add(")");
    if (record.facts.sent_by_process) {
        text.Add(" sent by process ");
        text.AddDecimal(record.facts.sender_pid);
    } else if (record.facts.signal_number == SIGSEGV || record.facts.signal_number == SIGBUS) {
        text.Add(record.facts.execute_access ? ", execution of address " : record.facts.write_access ? ", write of address " : ", read of address ");
        text.AddHex(record.facts.fault_address);
    }
    text.Add("\nthread        : ");
    text.AddHex(record.facts.thread_id);
    text.Add("\nexecutable at : ");
    text.AddHex(g_own_load_bias);
    text.Add("\nstack:\n");
    auto line = [&](std::uintptr_t address) {
        text.Add("  ");
        text.AddHex(address);
        if (address >= g_own_code_start && address < g_own_code_end) {
            text.Add("  executable +");
            text.AddHex(address - g_own_load_bias);
        }
        text.Add("\n");
    };
    line(record.facts.instruction_pointer);
    for (std::size_t i = 0; i < record.count; ++i) line(record.addresses[i]);
    text.WriteTo(STDERR_FILENO);
}

// The default course: the process ends by the signal, as it would have
// without us. The signal is blocked while its handler runs; it arrives, now
// deadly, as the handler returns.
void TakeDefaultCourse(int signal_number) {
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    ::sigemptyset(&plain.sa_mask);
    ::sigaction(signal_number, &plain, nullptr);
    ::syscall(SYS_tgkill, ::getpid(), static_cast<pid_t>(CurrentThreadId()), signal_number);
}

void FillRecord(SignalRecord& record, int signal_number, const siginfo_t* signal_info, const void* context) {
    record.facts.signal_number = signal_number;
    record.facts.signal_code = signal_info ? signal_info->si_code : 0;
    record.facts.sent_by_process = signal_info && signal_info->si_code <= 0;
    record.facts.sender_pid = record.facts.sent_by_process ? signal_info->si_pid : 0;
    record.facts.sender_uid = record.facts.sent_by_process ? static_cast<int>(signal_info->si_uid) : 0;
    record.facts.fault_address = 0;
    if (signal_info && !record.facts.sent_by_process && (signal_number == SIGSEGV || signal_number == SIGBUS))
        record.facts.fault_address = reinterpret_cast<std::uintptr_t>(signal_info->si_addr);
    record.facts.thread_id = CurrentThreadId();
    record.facts.thread_has_frame = t_frame_depth > 0;
    record.facts.has_registers = false;
    record.facts.write_access = record.facts.execute_access = false;
    record.count = 0;
    record.facts.instruction_pointer = record.facts.stack_pointer = record.facts.frame_pointer = 0;
#if defined(__x86_64__)
    if (context != nullptr) {
        const auto* uc = static_cast<const ucontext_t*>(context);
        const greg_t* g = uc->uc_mcontext.gregs;
        const int order[kCpuRegisterCount] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI,
                                              REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                              REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
        for (int i = 0; i < kCpuRegisterCount; ++i) record.facts.registers[i] = static_cast<std::uint64_t>(g[order[i]]);
        record.facts.instruction_pointer = static_cast<std::uintptr_t>(g[REG_RIP]);
        record.facts.stack_pointer = static_cast<std::uintptr_t>(g[REG_RSP]);
        record.facts.frame_pointer = static_cast<std::uintptr_t>(g[REG_RBP]);
        // The page-fault error code: bit 1 a write, bit 4 an instruction fetch.
        if (!record.facts.sent_by_process && signal_number == SIGSEGV) {
            record.facts.write_access = (g[REG_ERR] & 2) != 0;
            record.facts.execute_access = (g[REG_ERR] & 0x10) != 0;
        }
        record.facts.has_registers = true;
    }
#endif
    if (context != nullptr) {
        std::uintptr_t current = 0;
        record.count = CollectStackAddressesFromContext(context, record.addresses, kMaxStackFrames, current);
        if (current) record.facts.instruction_pointer = current;
    }
    // A fault just below the stack pointer is the stack running out: its
    // unwinding has no room to run.
    const std::uintptr_t target = record.facts.fault_address;
    const bool out_of_stack = target != 0 && record.facts.stack_pointer != 0 && target + 65536 >= record.facts.stack_pointer &&
                              target <= record.facts.stack_pointer + 4096;
    record.facts.can_leave_thread = record.facts.thread_has_frame && record.facts.has_registers && !record.facts.sent_by_process &&
                              signal_number != SIGABRT && !out_of_stack && g_own_code_end != 0 &&
                              record.facts.instruction_pointer >= g_own_code_start &&
                              record.facts.instruction_pointer < g_own_code_end;
}

SignalRecord* TakeRecord(std::int64_t give_up_ms) {
    for (;;) {
        for (SignalRecord& record : g_records) {
            int expected = SignalRecord::Free;
            if (record.state.compare_exchange_strong(expected, SignalRecord::Filling)) return &record;
        }
        if (MonotonicMs() > give_up_ms) return nullptr;
        const timespec pause{0, 20 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
}

void ReleaseRecord(SignalRecord& record) {
    record.state.store(SignalRecord::Free);
    FutexWake(record.state);
}

// Waits for the reporter's answer while it shows signs of life.
bool AwaitAnswer(SignalRecord& record) {
    for (;;) {
        if (record.state.load() == SignalRecord::Answered) return true;
        FutexWait(record.state, SignalRecord::Posted, 100);
        if (record.state.load() == SignalRecord::Answered) return true;
        const bool main_thread = record.facts.thread_id == MainThreadId();
        if (g_waiting_for_user.load() > 0 && !(main_thread && g_waiting_on_main_thread.load() > 0)) continue;
        if (MonotonicMs() - g_last_heartbeat_ms.load() > kSilenceLimitMs) return false;
    }
}

}  // namespace
}  // namespace crashreport

// Where a left thread goes on after its handler: this code runs as if
// called from the faulting instruction and unwinds the stack from there.
extern "C" [[noreturn]] void crashreport_leave_thread();
extern "C" void crashreport_leave_thread_trampoline();
asm(R"(
    .text
    .p2align 4
    .type crashreport_leave_thread_trampoline, @function
crashreport_leave_thread_trampoline:
    .cfi_startproc
    pushq %rbp
    .cfi_adjust_cfa_offset 8
    .cfi_rel_offset %rbp, 0
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    andq $-16, %rsp
    call crashreport_leave_thread@PLT
    ud2
    .cfi_endproc
    .size crashreport_leave_thread_trampoline, .-crashreport_leave_thread_trampoline
)");

namespace crashreport {
namespace {

// Turns the return from the handler into a call of the trampoline made by
// the faulting instruction: its return address stands right below the
// faulting frame's stack pointer (the unwinder looks up one byte before a
// return address, so it finds the faulting instruction itself).
// Writes below the faulting frame's stack pointer, which the address
// sanitizer (when the program is built with it) would take for a fault.
__attribute__((no_sanitize_address)) void RedirectToTrampoline(void* context) {
#if defined(__x86_64__)
    auto* uc = static_cast<ucontext_t*>(context);
    greg_t* g = uc->uc_mcontext.gregs;
    const std::uintptr_t stack = static_cast<std::uintptr_t>(g[REG_RSP]);
    *reinterpret_cast<std::uintptr_t*>(stack - 8) = static_cast<std::uintptr_t>(g[REG_RIP]) + 1;
    g[REG_RSP] = static_cast<greg_t>(stack - 8);
    g[REG_RIP] = static_cast<greg_t>(reinterpret_cast<std::uintptr_t>(&crashreport_leave_thread_trampoline));
#else
    (void)context;
#endif
}

void OnFatalSignal(int signal_number, siginfo_t* signal_info, void* context) {
    const int saved_errno = errno;
    if (g_pass_through.load() || g_callback.load() == nullptr) {
        TakeDefaultCourse(signal_number);
        errno = saved_errno;
        return;
    }
    if (t_reporter_thread && signal_info != nullptr && signal_info->si_code <= 0 &&
        signal_info->si_pid != ::getpid() && CurrentThreadId() != MainThreadId()) {
        // Sent by another process to this one, not a fault of ours: the
        // main thread takes it, with its sender.
        siginfo_t forwarded = *signal_info;
        // Only a queued signal may be passed on in another's name.
        forwarded.si_code = SI_QUEUE;
        ::syscall(SYS_rt_tgsigqueueinfo, ::getpid(), ::getpid(), signal_number, &forwarded);
        errno = saved_errno;
        return;
    }
    SignalRecord* record = TakeRecord(MonotonicMs() + kSilenceLimitMs);
    if (record == nullptr) {
        // Every record stays taken: the reporter is stuck on other faults.
        TakeDefaultCourse(signal_number);
        errno = saved_errno;
        return;
    }
    FillRecord(*record, signal_number, signal_info, context);
    const std::uintptr_t index = static_cast<std::uintptr_t>(record - g_records);
    bool handed_over = false;
    if (!t_reporter_thread && g_relay_running.load()) {
        record->answer.store(static_cast<int>(FatalSignalOutcome::NotReported));
        record->state.store(SignalRecord::Posted);
        if (g_last_heartbeat_ms.load() < MonotonicMs()) g_last_heartbeat_ms.store(MonotonicMs());
        handed_over = ::write(g_relay_pipe[1], &index, sizeof index) == static_cast<ssize_t>(sizeof index);
    }
    if (!handed_over) {
        WriteShortReport(*record, "the fault struck the error reporter itself");
        TakeDefaultCourse(signal_number);
    } else if (!AwaitAnswer(*record)) {
        WriteShortReport(*record, "the error reporter did not answer in time");
        TakeDefaultCourse(signal_number);
        // The record stays taken: the reporter may still read it.
        errno = saved_errno;
        return;
    } else if (record->answer.load() == static_cast<int>(FatalSignalOutcome::LeaveThread) &&
               record->facts.can_leave_thread) {
        RedirectToTrampoline(context);
    } else {
        // A fault nobody was shown must not end the program without a word.
        if (record->answer.load() == static_cast<int>(FatalSignalOutcome::NotReported))
            WriteShortReport(*record, "the error reporter could not take the fault");
        TakeDefaultCourse(signal_number);
    }
    ReleaseRecord(*record);
    errno = saved_errno;
}

FatalSignalInfo InfoOf(const SignalRecord& record) {
    FatalSignalInfo info;
    static_cast<FatalSignalFacts&>(info) = record.facts;
    const int signal_number = record.facts.signal_number;
    info.kind = signal_number == SIGBUS    ? FatalSignalKind::Bus
                : signal_number == SIGFPE  ? FatalSignalKind::Fpe
                : signal_number == SIGILL  ? FatalSignalKind::Ill
                : signal_number == SIGABRT ? FatalSignalKind::Abort
                                           : FatalSignalKind::Segv;
    info.stack.reserve(record.count);
    for (std::size_t i = 0; i < record.count; ++i) info.stack.push_back({true, record.addresses[i]});
    return info;
}

// Reads one value of the encodings GCC's exception tables use; false for
// any other.
bool ReadEncoded(const std::uint8_t*& p, std::uint8_t encoding, std::uint64_t& value) {
    auto uleb = [&] {
        std::uint64_t result = 0;
        for (int shift = 0;; shift += 7) {
            const std::uint8_t byte = *p++;
            result |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
            if (!(byte & 0x80) || shift > 56) break;
        }
        return result;
    };
    const std::uint8_t* const at = p;
    switch (encoding & 0x0f) {
        case 0x01: value = uleb(); break;
        case 0x03: {
            std::uint32_t v;
            std::memcpy(&v, p, 4);
            p += 4;
            value = v;
            break;
        }
        case 0x0b: {
            std::int32_t v;
            std::memcpy(&v, p, 4);
            p += 4;
            value = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
            break;
        }
        case 0x00:
        case 0x04:
        case 0x0c: {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            p += 8;
            value = v;
            break;
        }
        default: return false;
    }
    if ((encoding & 0x70) == 0x10) value += reinterpret_cast<std::uintptr_t>(at);
    else if ((encoding & 0x70) != 0) return false;
    return true;
}

// Whether the C++ run time lets a forced unwind pass `ip` of a routine with
// exception table `lsda`: only where the table lists the place. Elsewhere
// (a call the compiler took for one that cannot throw, the inside of a
// noexcept routine) it would end the program instead.
bool TableListsPlace(std::uintptr_t lsda, std::uintptr_t routine_start, std::uintptr_t ip) {
    const std::uint8_t* p = reinterpret_cast<const std::uint8_t*>(lsda);
    std::uint64_t value = 0;
    const std::uint8_t landing_pad_encoding = *p++;
    if (landing_pad_encoding != 0xff && !ReadEncoded(p, landing_pad_encoding, value)) return false;
    const std::uint8_t type_encoding = *p++;
    if (type_encoding != 0xff && !ReadEncoded(p, 0x01, value)) return false;
    const std::uint8_t site_encoding = *p++;
    std::uint64_t table_length = 0;
    if (!ReadEncoded(p, 0x01, table_length)) return false;
    const std::uint8_t* const end = p + table_length;
    const std::uint64_t offset = ip - routine_start;
    while (p < end) {
        std::uint64_t start = 0, length = 0, pad = 0, action = 0;
        if (!ReadEncoded(p, site_encoding, start) || !ReadEncoded(p, site_encoding, length) ||
            !ReadEncoded(p, site_encoding, pad) || !ReadEncoded(p, 0x01, action))
            return false;
        if (offset < start) return false;  // the table is sorted
        if (offset < start + length) return true;
    }
    return false;
}

extern "C" _Unwind_Reason_Code __gxx_personality_v0(int, _Unwind_Action, _Unwind_Exception_Class,
                                                    _Unwind_Exception*, _Unwind_Context*);

// Whether unwinding the faulting thread from the fault up to its frame
// passes only places where the run time lets it: every routine on the way
// has unwind information and, where it has C++ cleanups, lists the place.
bool StackCanBeUnwound(const SignalRecord& record) {
    const std::uintptr_t frame_routine = reinterpret_cast<std::uintptr_t>(&RunInSignalFrame);
    for (std::size_t i = 0; i <= record.count; ++i) {
        // The faulting instruction itself, then the calls (one byte before
        // each return address).
        const std::uintptr_t ip = i == 0 ? record.facts.instruction_pointer : record.addresses[i - 1] - 1;
        unw_proc_info_t info{};
        if (unw_get_proc_info_by_ip(unw_local_addr_space, ip, &info, nullptr) != 0) return false;
        if (info.start_ip == frame_routine) return true;
        if (info.lsda == 0) continue;
        if (info.handler != reinterpret_cast<std::uintptr_t>(&__gxx_personality_v0)) return false;
        if (!TableListsPlace(info.lsda, info.start_ip, ip)) return false;
    }
    return false;
}

// The reporter's side of the pipe: every fault becomes a call of the
// callback on this thread while the faulting thread waits.
void RelayFaults() {
    // One of the reporter's threads, not listed in reports.
    SetThreadDisplayName(CurrentThreadId(), "-");
    for (;;) {
        std::uintptr_t index = 0;
        const ssize_t n = ::read(g_relay_pipe[0], &index, sizeof index);
        if (n < 0 && errno == EINTR) continue;
        if (n != static_cast<ssize_t>(sizeof index) || index >= kRecords) return;
        SignalRecord& record = g_records[index];
        ReporterHeartbeat();
        if (record.facts.can_leave_thread && !StackCanBeUnwound(record)) record.facts.can_leave_thread = false;
        FatalSignalOutcome outcome = FatalSignalOutcome::NotReported;
        try {
            FatalSignalInfo info = InfoOf(record);
            const FatalSignalCallback callback = g_callback.load();
            if (callback != nullptr) outcome = callback(info);
        } catch (...) {
        }
        record.answer.store(static_cast<int>(outcome));
        record.state.store(SignalRecord::Answered);
        FutexWake(record.state);
    }
}

bool StartRelay() {
    if (g_relay_running.load()) return true;
    if (::pipe2(g_relay_pipe, O_CLOEXEC) != 0) return false;
    // The code of the image holding the reporter (the executable), for the
    // test whether a thread can be left.
    struct Range {
        std::uintptr_t address;
        std::uintptr_t start = 0, end = 0, bias = 0;
    } range{reinterpret_cast<std::uintptr_t>(&OnFatalSignal)};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* r = static_cast<Range*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
                const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                if (r->address < start || r->address >= start + segment.p_memsz) continue;
                r->start = start;
                r->end = start + segment.p_memsz;
                r->bias = info->dlpi_addr;
                return 1;
            }
            return 0;
        },
        &range);
    g_own_code_start = range.start;
    g_own_code_end = range.end;
    g_own_load_bias = range.bias;
    g_relay_running = true;
    ReporterHeartbeat();
    StartReporterThread(RelayFaults).detach();
    return true;
}

}  // namespace

void ReporterHeartbeat() { g_last_heartbeat_ms.store(MonotonicMs()); }

void SetWaitingForUser(bool waiting, bool box_on_main_thread) {
    const int step = waiting ? 1 : -1;
    g_waiting_for_user += step;
    if (box_on_main_thread) g_waiting_on_main_thread += step;
    ReporterHeartbeat();
}

void MarkReporterThread() { t_reporter_thread = true; }

std::thread StartReporterThread(std::function<void()> body) {
    sigset_t fatal, previous;
    ::sigemptyset(&fatal);
    for (const int signal_number : kFatalSignals) ::sigaddset(&fatal, signal_number);
    ::pthread_sigmask(SIG_BLOCK, &fatal, &previous);
    std::thread thread([body = std::move(body), previous] {
        MarkReporterThread();
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        body();
    });
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

void LetFatalSignalsPass() { g_pass_through = true; }

bool InstallFatalSignalHandlers(FatalSignalCallback callback) {
    g_callback = callback;
    g_pass_through = false;
    if (g_installed.exchange(true)) return true;
    PrepareSignalStackForThread();
    if (!StartRelay()) {
        g_installed = false;
        return false;
    }
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

namespace {

// The unwind that a left thread runs: a forced unwind, which stops at
// nothing, runs every cleanup and enters `catch (...)` blocks.
thread_local _Unwind_Exception t_leave_exception;

void LeaveExceptionDone(_Unwind_Reason_Code, _Unwind_Exception*) { t_leaving = false; }

_Unwind_Reason_Code KeepUnwinding(int, _Unwind_Action actions, _Unwind_Exception_Class, _Unwind_Exception*,
                                  _Unwind_Context*, void*) {
    // Past the last frame nothing took the thread in: it cannot go on.
    if (actions & _UA_END_OF_STACK) ::_exit(70);
    return _URC_NO_REASON;
}

}  // namespace

bool ThreadIsBeingLeft() { return t_leaving; }

bool RunInSignalFrame(void (*body)(void*), void* context) {
    PrepareSignalStackForThread();
    const unsigned before = t_times_left;
    ++t_frame_depth;
    try {
        body(context);
    } catch (...) {
        // Only a leaving thread's unwind gets here (the body catches the rest).
        if (!t_leaving) {
            --t_frame_depth;
            throw;
        }
    }
    --t_frame_depth;
    return t_times_left == before;
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

namespace {

std::atomic<HandledExceptionCallback> g_handled_callback{nullptr};
// The catch blocks the thread is in, innermost last: whether each one's
// exception went on (rethrown, reported).
constexpr int kCatchDepth = 32;
thread_local int t_catch_depth = 0;
thread_local bool t_catch_passed_on[kCatchDepth];
thread_local bool t_in_handled_callback = false;
thread_local int t_reporter_code = 0;

using BeginCatchFunction = void* (*)(void*);
using EndCatchFunction = void (*)();
using RethrowFunction = void (*)();

template <class Function>
Function RealRuntimeFunction(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

void SetHandledExceptionCallback(HandledExceptionCallback callback) { g_handled_callback = callback; }

ReporterCodeScope::ReporterCodeScope() { ++t_reporter_code; }
ReporterCodeScope::~ReporterCodeScope() { --t_reporter_code; }

void MarkCurrentCatchReported() {
    if (t_catch_depth > 0 && t_catch_depth <= kCatchDepth) t_catch_passed_on[t_catch_depth - 1] = true;
}

bool LastThrowSite(TDAPreStackItem& items, std::uintptr_t& throw_address) {
    if (!t_throw_site.valid) return false;
    items = t_throw_site.items;
    throw_address = t_throw_site.address;
    return true;
}

}  // namespace crashreport

extern "C" [[noreturn]] void crashreport_leave_thread() {
    using namespace crashreport;
#if defined(__SANITIZE_ADDRESS__)
    // The frames about to go may have marked their stack as off limits.
    __asan_handle_no_return();
#endif
    t_leaving = true;
    ++t_times_left;
    t_leave_exception = _Unwind_Exception{};
    std::memcpy(&t_leave_exception.exception_class, "ZELXLEAV", 8);
    t_leave_exception.exception_cleanup = LeaveExceptionDone;
    _Unwind_ForcedUnwind(&t_leave_exception, KeepUnwinding, nullptr);
    // The unwinder found no way up the stack.
    ::_exit(70);
}

// Every catch block of the program passes here as it starts and as it
// ends, and every rethrow: a block that ends without passing its exception
// on has handled it.
extern "C" void* __cxa_begin_catch(void* exception) noexcept {
    using namespace crashreport;
    static const BeginCatchFunction real = RealRuntimeFunction<BeginCatchFunction>("__cxa_begin_catch");
    void* const object = real(exception);
    if (t_catch_depth < kCatchDepth) t_catch_passed_on[t_catch_depth] = false;
    ++t_catch_depth;
    return object;
}

extern "C" void __cxa_end_catch() {
    using namespace crashreport;
    static const EndCatchFunction real = RealRuntimeFunction<EndCatchFunction>("__cxa_end_catch");
    if (t_catch_depth > 0) {
        const bool passed_on = t_catch_depth <= kCatchDepth && t_catch_passed_on[t_catch_depth - 1];
        const HandledExceptionCallback callback = g_handled_callback.load(std::memory_order_relaxed);
        if (!passed_on && callback != nullptr && !t_in_handled_callback && !t_leaving && t_reporter_code == 0 &&
            !t_reporter_thread) {
            t_in_handled_callback = true;
            try {
                callback();
            } catch (...) {
            }
            t_in_handled_callback = false;
        }
        --t_catch_depth;
    }
    real();
}

extern "C" [[noreturn]] void __cxa_rethrow() {
    using namespace crashreport;
    static const RethrowFunction real = RealRuntimeFunction<RethrowFunction>("__cxa_rethrow");
    MarkCurrentCatchReported();
    real();
    __builtin_unreachable();
}

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
