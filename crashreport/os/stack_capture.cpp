#include "crashreport/os/stack_capture.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/os/thread_id.h"

namespace crashreport {

namespace {

// Unwinds from an initialised cursor: the first position is where the
// thread is, every later one a return address.
std::size_t Walk(unw_cursor_t& cursor, std::uintptr_t* addresses, std::size_t capacity, std::size_t skip,
                 std::uintptr_t* current) {
    std::size_t count = 0;
    bool first = true;
    do {
        unw_word_t ip = 0;
        if (unw_get_reg(&cursor, UNW_REG_IP, &ip) != 0 || ip == 0) break;
        if (first) {
            first = false;
            if (current != nullptr) {
                *current = ip;
                continue;
            }
        }
        if (skip > 0) {
            --skip;
            continue;
        }
        if (count == capacity) break;
        addresses[count++] = ip;
    } while (unw_step(&cursor) > 0);
    return count;
}

void Append(TDAPreStackItem& items, const std::uintptr_t* addresses, std::size_t count) {
    items.clear();
    items.reserve(count);
    for (std::size_t i = 0; i < count; ++i) items.push_back({true, addresses[i]});
}

// One request at a time; the handler writes only into a request whose
// generation is the one its signal carries.
struct CaptureRequest {
    enum State { Idle, Requested, Writing, Done };
    std::atomic<int> state{Idle};
    std::atomic<int> generation{0};
    pid_t thread_id = 0;
    std::array<std::uintptr_t, kMaxStackFrames> addresses{};
    std::size_t count = 0;
    std::uintptr_t current = 0;
    sem_t answered;
};

CaptureRequest& Request() {
    static CaptureRequest request;
    return request;
}

int CaptureSignal() { return SIGRTMIN + 3; }

void OnCaptureSignal(int, siginfo_t* info, void* context) {
    const int saved_errno = errno;
    CaptureRequest& request = Request();
    int expected = CaptureRequest::Requested;
    if (info->si_code == SI_QUEUE && info->si_value.sival_int == request.generation.load() &&
        static_cast<pid_t>(platform::CurrentThreadId()) == request.thread_id &&
        request.state.compare_exchange_strong(expected, CaptureRequest::Writing)) {
        unw_cursor_t cursor;
        request.count = 0;
        if (unw_init_local2(&cursor, static_cast<unw_context_t*>(context), UNW_INIT_SIGNAL_FRAME) == 0)
            request.count = Walk(cursor, request.addresses.data(), request.addresses.size(), 0, &request.current);
        request.state.store(CaptureRequest::Done);
        sem_post(&request.answered);
    }
    errno = saved_errno;
}

bool InstallCaptureHandler() {
    static const bool installed = [] {
        sem_init(&Request().answered, 0, 0);
        struct sigaction action {};
        action.sa_sigaction = OnCaptureSignal;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        return sigaction(CaptureSignal(), &action, nullptr) == 0;
    }();
    return installed;
}

}  // namespace

std::size_t CollectStackItems(TDAPreStackItem& items, std::size_t skip) {
    unw_context_t context;
    unw_cursor_t cursor;
    std::array<std::uintptr_t, kMaxStackFrames> addresses{};
    std::size_t count = 0;
    if (unw_getcontext(&context) == 0 && unw_init_local(&cursor, &context) == 0) {
        // The first position is inside this function; its return address
        // leads into our caller, whose own return address comes next.
        count = Walk(cursor, addresses.data(), addresses.size(), skip + 1, nullptr);
    }
    Append(items, addresses.data(), count);
    return count;
}

std::size_t CollectStackAddressesFromContext(const void* signal_context, std::uintptr_t* addresses,
                                             std::size_t capacity, std::uintptr_t& current_address) {
    unw_cursor_t cursor;
    current_address = 0;
    auto* context = static_cast<unw_context_t*>(const_cast<void*>(signal_context));
    if (context == nullptr || unw_init_local2(&cursor, context, UNW_INIT_SIGNAL_FRAME) != 0) return 0;
    return Walk(cursor, addresses, capacity, 0, &current_address);
}

std::size_t CollectStackItemsFromContext(const void* signal_context, TDAPreStackItem& items,
                                         std::uintptr_t& current_address) {
    std::array<std::uintptr_t, kMaxStackFrames> addresses{};
    const std::size_t count =
        CollectStackAddressesFromContext(signal_context, addresses.data(), addresses.size(), current_address);
    Append(items, addresses.data(), count);
    return count;
}

bool CollectThreadStackItems(std::uint32_t thread_id, TDAPreStackItem& items, std::uintptr_t& current_address,
                             std::chrono::milliseconds timeout) {
    items.clear();
    current_address = 0;
    if (!InstallCaptureHandler()) return false;
    static std::mutex one_at_a_time;
    std::lock_guard guard(one_at_a_time);
    CaptureRequest& request = Request();
    while (sem_trywait(&request.answered) == 0) {
    }
    const int generation = request.generation.load() + 1;
    request.generation.store(generation);
    request.thread_id = static_cast<pid_t>(thread_id);
    request.count = 0;
    request.state.store(CaptureRequest::Requested);

    siginfo_t info{};
    info.si_signo = CaptureSignal();
    info.si_code = SI_QUEUE;
    info.si_pid = getpid();
    info.si_uid = getuid();
    info.si_value.sival_int = generation;
    if (syscall(SYS_rt_tgsigqueueinfo, getpid(), static_cast<pid_t>(thread_id), CaptureSignal(), &info) != 0) {
        request.state.store(CaptureRequest::Idle);
        return false;
    }
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const auto nanoseconds = deadline.tv_nsec + std::chrono::nanoseconds(timeout).count();
    deadline.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    while (sem_timedwait(&request.answered, &deadline) != 0) {
        if (errno == EINTR) continue;
        // Too late: withdraw the request, unless the thread is just writing
        // its answer, which then is waited for.
        int expected = CaptureRequest::Requested;
        if (request.state.compare_exchange_strong(expected, CaptureRequest::Idle)) return false;
        while (request.state.load() != CaptureRequest::Done) std::this_thread::yield();
        break;
    }
    Append(items, request.addresses.data(), request.count);
    current_address = request.current;
    request.state.store(CaptureRequest::Idle);
    return true;
}

}  // namespace crashreport
