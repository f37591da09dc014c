// Processes and waiting, as the reporter needs them: starting the user's
// mail program, a restarted or crash-box instance of the program, ending
// the own process at once, a one-shot event a faulting thread can wait on
// from inside a signal handler, and the pipe to the handler thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace crashreport {

class RecordPipe;

// Starts `argv[0]` (searched in PATH when it has no "/") with the given
// arguments and extra "NAME=value" environment entries, reading from
// `input`'s read end when one is given; the process id, or 0 on failure. A
// child that is not waited for is reaped in the background.
int StartProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_environment = {},
                 bool wait_later = false, const RecordPipe* input = nullptr);
// Waits for a child started with `wait_later` and gives its exit code (-1
// when it ended by a signal or could not be waited for).
int WaitForChildProcess(int pid);
// True while the process exists (any process, not only children).
bool ProcessExists(int pid);
// Waits until the process no longer exists.
void WaitForProcessEnd(int pid);
// Ends the own process at once, without running destructors or handlers.
[[noreturn]] void TerminateOwnProcess(int exit_code);
// Writes `text` to standard output (or error) past the C library's stream
// and its lock: a thread that faulted while it was printing holds that
// lock for good.
bool WriteToConsole(bool standard_error, const std::string& text);
// A line of standard input without its line feed; false at its end.
bool ReadStandardInputLine(std::string& line);
// The environment variable, empty when unset; and removing one.
std::string EnvironmentText(const char* name);
void RemoveEnvironmentEntry(const char* name);

// Set once, waited for by one or more threads. Safe to wait on and to set
// from a signal handler.
class OneShotEvent {
public:
    void Set();
    bool IsSet() const { return state_.load(std::memory_order_acquire) != 0; }
    void Wait();
    // False when `timeout_ms` passed first.
    bool WaitFor(int timeout_ms);

private:
    std::atomic<std::uint32_t> state_{0};
};

// An anonymous pipe whose writes and reads of whole records do not return
// early on a signal.
class RecordPipe {
public:
    RecordPipe() = default;
    ~RecordPipe();
    RecordPipe(const RecordPipe&) = delete;
    RecordPipe& operator=(const RecordPipe&) = delete;

    bool Create();
    // The count of bytes written (a short count means failure, also when
    // the reader has gone).
    std::size_t Write(const void* data, std::size_t size);
    // The count of bytes read, 0 at the end of the pipe.
    std::size_t Read(void* data, std::size_t size);
    void CloseWriteEnd();
    void CloseReadEnd();

private:
    friend int StartProcess(const std::vector<std::string>&, const std::vector<std::string>&, bool,
                            const RecordPipe*);
    std::atomic<int> read_fd_{-1};
    std::atomic<int> write_fd_{-1};
};

}  // namespace crashreport

namespace crashreport {

// Writes a zero-terminated text into the shared-memory object `name` that
// another program created (the trace export's receiver); at most
// `size` - 1 characters. False when there is no such object.
bool WriteTextToSharedMemory(const std::string& name, const std::string& text, std::size_t size);

}  // namespace crashreport
