#include "platform/os/child_channel.h"
#include "platform/base/win_error.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <utility>
#include <cstring>

namespace platform {

namespace {

constexpr int kPipeSize = 1 << 20;

enum class Readiness { Ready, Closed, TimedOut };

// Waits until `fd` is ready for `events`, at most `timeout_ms` (-1: as long
// as it takes).
Readiness WaitFor(int fd, short events, int timeout_ms = -1) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeout_ms);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return Readiness::TimedOut;
        if (ready < 0) return Readiness::Closed;
        if (entry.revents & events) return Readiness::Ready;
        if (entry.revents & (POLLHUP | POLLERR | POLLNVAL)) return Readiness::Closed;
    }
}

constexpr int kWaitSliceMs = 100;

}  // namespace

ChildChannel::ChildChannel(const std::vector<std::string>& argv) {
    ChildOptions options;
    options.stream_input = true;
    options.output = ChildOutput::Stream;
    child_ = ChildProcess(argv, std::move(options));
    if (!child_) return;
    input_ = child_.take_input_stream();
    output_ = child_.take_output_stream();
    // Replies are large (pieces of MiB): a larger pipe takes them with fewer
    // trips between the two processes. Refused beyond the system's limit.
    ::fcntl(output_.get(), F_SETPIPE_SZ, kPipeSize);
}

ChildChannel::~ChildChannel() {
    if (!child_) return;
    input_.close();
    // A child we gave up waiting for is still at work: it is not waited for.
    if (gave_up_) child_.stop(std::chrono::milliseconds(500));
    else if (!child_.wait_for(std::chrono::seconds(5))) child_.stop();
}

bool ChildChannel::send(std::span<const std::byte> bytes) {
    // A child that has gone must not end this process by SIGPIPE.
    while (!bytes.empty()) {
        const long n = WriteWithoutSigpipe(input_.get(), reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN && WaitFor(input_.get(), POLLOUT) == Readiness::Ready) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool ChildChannel::receive(std::span<std::byte> bytes, const std::function<bool()>& waiting) {
    while (!bytes.empty()) {
        if (gave_up_) return false;
        const ssize_t n = ::read(output_.get(), bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        } else if (n == 0) {
            return false;
        } else if (errno == EAGAIN) {
            const Readiness ready = WaitFor(output_.get(), POLLIN, waiting ? kWaitSliceMs : -1);
            if (ready == Readiness::TimedOut) {
                gave_up_ = !waiting();
            } else if (ready == Readiness::Closed) {
                // The child closed its end with bytes still to read? Take them.
                pollfd entry{output_.get(), POLLIN, 0};
                if (::poll(&entry, 1, 0) <= 0 || !(entry.revents & POLLIN)) return false;
            }
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

std::string ChildChannel::ending() {
    if (!ending_.empty() || !child_) return ending_;
    input_.close();
    output_.close();
    if (!child_.wait_for(std::chrono::seconds(5))) child_.stop();
    const ChildResult result = child_.wait();
    if (result.exit_code > 128) {
        const int signal = result.exit_code - 128;
        ending_ = "it was ended by signal " + std::to_string(signal) + " (" + ::strsignal(signal) + ")";
    } else {
        ending_ = "it exited with status " + std::to_string(result.exit_code);
    }
    if (const std::string reason = result.reason(); !reason.empty()) ending_ += ": " + reason;
    return ending_;
}

SharedMemory::~SharedMemory() {
    if (data_) ::munmap(data_, size_);
}

SharedMemory::SharedMemory(SharedMemory&& other) noexcept { *this = std::move(other); }

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
    if (this == &other) return *this;
    if (data_) ::munmap(data_, size_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    fd_ = std::move(other.fd_);
    name_ = std::move(other.name_);
    return *this;
}

namespace {

SharedMemory Failed() {
    SetLastErrorFromErrno(errno);
    return {};
}

}  // namespace

SharedMemory SharedMemory::Create(std::size_t size) {
    SharedMemory memory;
    memory.fd_.reset(::memfd_create("tarnovell-shared", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!memory.fd_ || ::ftruncate(memory.fd_.get(), static_cast<off_t>(size)) != 0) return Failed();
    // The child opens the memory read-write by its name: a child that cut it
    // short would make our next copy from it end this process with SIGBUS.
    // Its size is sealed before anyone else can reach it.
    if (::fcntl(memory.fd_.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) return Failed();
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memory.fd_.get(), 0);
    if (mapped == MAP_FAILED) return Failed();
    memory.data_ = static_cast<std::byte*>(mapped);
    memory.size_ = size;
    memory.name_ = "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(memory.fd_.get());
    return memory;
}

SharedMemory SharedMemory::Open(const std::string& name, std::size_t size) {
    SharedMemory memory;
    memory.fd_.reset(::open(name.c_str(), O_RDWR | O_CLOEXEC));
    if (!memory.fd_) return Failed();
    struct stat facts {};
    if (::fstat(memory.fd_.get(), &facts) != 0) return Failed();
    if (static_cast<std::uint64_t>(facts.st_size) < size) {
        errno = EINVAL;
        return Failed();
    }
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, memory.fd_.get(), 0);
    if (mapped == MAP_FAILED) return Failed();
    memory.data_ = static_cast<std::byte*>(mapped);
    memory.size_ = size;
    memory.name_ = name;
    return memory;
}

bool ReadStandardInput(std::span<std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::read(STDIN_FILENO, bytes.data(), bytes.size());
        if (n > 0) bytes = bytes.subspan(static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) return false;
    }
    return true;
}

bool WriteStandardOutput(std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (n > 0) bytes = bytes.subspan(static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) return false;
    }
    return true;
}

}  // namespace platform
