// A child process we talk to through its standard input and output, in
// requests and replies of our own: the way a reader that may fault is kept
// out of this process. Reads and writes wait as long as the child lives;
// once it has ended, they fail, and the channel says how it ended.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/os/child_process.h"

namespace platform {

class ChildChannel {
public:
    // Starts argv[0] with the rest as its arguments. Not started(), with the
    // last error set, when it cannot be started.
    explicit ChildChannel(const std::vector<std::string>& argv);
    // Closes the child's input (which ends a well-behaved child) and waits
    // for it, or stops it.
    ~ChildChannel();
    ChildChannel(const ChildChannel&) = delete;
    ChildChannel& operator=(const ChildChannel&) = delete;

    bool started() const { return child_.started(); }
    // All of `bytes` to the child; false once it has ended.
    bool send(std::span<const std::byte> bytes);
    // All of `bytes` from the child; false when it ends first. With
    // `waiting`, the wait is cut in slices of about 100 ms and `waiting`
    // runs after each slice that brought nothing (a window pumps its
    // messages there); false from it gives the wait up, and gave_up() says
    // so from then on.
    bool receive(std::span<std::byte> bytes, const std::function<bool()>& waiting = {});
    bool gave_up() const { return gave_up_; }
    // After a failed send or receive: how the child ended ("it was ended by
    // signal 11 (Segmentation fault)", "it exited with status 3"), with the
    // last line it wrote to its error stream.
    std::string ending();

private:
    ChildProcess child_;
    UniqueFd input_, output_;
    std::string ending_;
    bool gave_up_ = false;
};

// Memory a child shares with us, for what is too large to pass through a
// pipe at its speed: made by the parent, opened by the child from its
// name. Unmapped and closed when the object goes.
class SharedMemory {
public:
    SharedMemory() = default;
    ~SharedMemory();
    SharedMemory(SharedMemory&& other) noexcept;
    SharedMemory& operator=(SharedMemory&& other) noexcept;
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // `size` bytes of zeros, sealed at that size: no process that opens it
    // can make it shorter (which would end our next read of it with SIGBUS)
    // or longer. Invalid (with the last error set) on failure.
    static SharedMemory Create(std::size_t size);
    // The memory another process made, by the name() it gave.
    static SharedMemory Open(const std::string& name, std::size_t size);

    explicit operator bool() const { return data_ != nullptr; }
    std::span<std::byte> bytes() const { return {data_, size_}; }
    // What the child opens it by (valid while this process holds it).
    const std::string& name() const { return name_; }

private:
    std::byte* data_ = nullptr;
    std::size_t size_ = 0;
    UniqueFd fd_;
    std::string name_;
};

// The child's side: all of `bytes` from our standard input (false at its
// end) and to our standard output (false when nobody reads it).
bool ReadStandardInput(std::span<std::byte> bytes);
bool WriteStandardOutput(std::span<const std::byte> bytes);

}  // namespace platform
