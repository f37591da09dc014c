#include "platform/os/interrupts.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

constexpr std::size_t kMostFlags = 8;
constexpr int kSignals[] = {SIGINT, SIGTERM};

// What the handler reads: fixed storage and lock-free atomics only, as a
// signal handler may touch nothing else.
std::array<std::atomic<std::atomic<bool>*>, kMostFlags> flags{};
std::atomic<int> received{0};
std::atomic<int> first_signal{0};
std::atomic<int> signal_at_question{0};
struct sigaction previous[2];

// The handler writes a byte here, which wakes a question waiting for its
// answer on whatever thread the signal was delivered to.
std::atomic<int> wake_read{-1};
std::atomic<int> wake_write{-1};

static_assert(std::atomic<std::atomic<bool>*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void OnInterrupt(int signal_number) {
    if (received.fetch_add(1) > 0) {
        // Asked twice: no more waiting for the work to end in order.
        ::signal(signal_number, SIG_DFL);
        ::raise(signal_number);
        return;
    }
    first_signal.store(signal_number);
    for (auto& slot : flags)
        if (std::atomic<bool>* flag = slot.load()) flag->store(true);
    const int saved_errno = errno;
    const char wake = 1;
    if (const int fd = wake_write.load(); fd >= 0) (void)!::write(fd, &wake, 1);
    errno = saved_errno;
}

// Empties the wake-up pipe: what woke the questions of one set of handlers
// wakes none of the next.
void DrainWake() {
    char drained[64];
    if (const int fd = wake_read.load(); fd >= 0)
        while (::read(fd, drained, sizeof drained) > 0) {
        }
}

// The wake-up pipe, made once and emptied for each new set of handlers.
void PrepareWake() {
    if (wake_read.load() < 0) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
        wake_read.store(fds[0]);
        wake_write.store(fds[1]);
    }
    DrainWake();
}

}  // namespace

InterruptHandlers::InterruptHandlers(std::initializer_list<std::atomic<bool>*> wanted) {
    std::size_t i = 0;
    for (std::atomic<bool>* flag : wanted)
        if (flag && i < kMostFlags) flags[i++].store(flag);
    received = 0;
    first_signal = 0;
    signal_at_question = 0;
    PrepareWake();
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
    // A question asked later is no longer the handlers' to end.
    first_signal = 0;
    DrainWake();
}

bool ReadAnswerLine(std::string& line) {
    line.clear();
    for (;;) {
        // A signal that came before the wait (while the question was being
        // put, or the work before it ran) ends it as well: nobody is asked
        // once the person has said to stop.
        if (const int signal_number = first_signal.load(); signal_number != 0) {
            signal_at_question.store(signal_number);
            return false;
        }
        pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_read.load(), POLLIN, 0}};
        const nfds_t count = waits[1].fd >= 0 ? 2 : 1;
        if (::poll(waits, count, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (first_signal.load() != 0) continue;
        if (waits[0].revents & POLLNVAL) return false;
        if (!(waits[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return !line.empty();
        if (c == '\n') return true;
        line += c;
    }
}

int SignalAtQuestion() { return signal_at_question.load(); }

void EndBySignal(int signal_number) {
    std::fflush(nullptr);
    struct sigaction deflt {};
    deflt.sa_handler = SIG_DFL;
    sigemptyset(&deflt.sa_mask);
    ::sigaction(signal_number, &deflt, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal_number);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal_number);
    std::_Exit(128 + signal_number);  // a signal that does not end a process by default
}

}  // namespace platform
