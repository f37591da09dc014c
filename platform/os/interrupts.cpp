#include "platform/os/interrupts.h"

#include <signal.h>

#include <array>
#include <cstddef>

namespace platform {

namespace {

constexpr std::size_t kMostFlags = 8;
constexpr int kSignals[] = {SIGINT, SIGTERM};

// What the handler reads: fixed storage and lock-free atomics only, as a
// signal handler may touch nothing else.
std::array<std::atomic<std::atomic<bool>*>, kMostFlags> flags{};
std::atomic<int> received{0};
struct sigaction previous[2];

static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void OnInterrupt(int signal_number) {
    if (received.fetch_add(1) > 0) {
        // Asked twice: no more waiting for the work to end in order.
        ::signal(signal_number, SIG_DFL);
        ::raise(signal_number);
        return;
    }
    for (auto& slot : flags)
        if (std::atomic<bool>* flag = slot.load()) flag->store(true);
}

}  // namespace

InterruptHandlers::InterruptHandlers(std::initializer_list<std::atomic<bool>*> wanted) {
    std::size_t i = 0;
    for (std::atomic<bool>* flag : wanted)
        if (flag && i < kMostFlags) flags[i++].store(flag);
    received = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // Reads and waits go on where they were; the work looks at its flag.
    action.sa_flags = SA_RESTART;
    for (std::size_t s = 0; s < std::size(kSignals); ++s) ::sigaction(kSignals[s], &action, &previous[s]);
}

InterruptHandlers::~InterruptHandlers() {
    for (std::size_t s = 0; s < std::size(kSignals); ++s) ::sigaction(kSignals[s], &previous[s], nullptr);
    for (auto& slot : flags) slot.store(nullptr);
}

}  // namespace platform
