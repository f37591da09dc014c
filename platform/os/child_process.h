// Child processes: the one way the program runs another program. A child
// is started from an argument vector, never through a shell, so no name or
// path it is given can turn into a command. A ChildProcess owns its child:
// whatever still runs when the object goes is stopped and reaped, so no
// error path leaves a tool running or a zombie behind.
//
// Servers that must outlive the process that started them (a FUSE server
// another run of the program detaches) are started detached instead, and
// are known by their process id alone.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/unique_fd.h"

namespace platform {

// What a child's standard output and standard error go to.
enum class ChildOutput {
    Capture,  // to us: collected, and handed line by line to the callbacks
    Discard,  // to /dev/null (servers, whose output nobody reads)
    Stream,   // standard output is a stream the owner takes (take_output_stream); errors are captured
};

struct ChildOptions {
    // Written to the child's standard input, which is then closed. Without
    // it the child reads /dev/null and never waits for an answer.
    std::string input;
    // The child's standard input is a stream the owner takes
    // (take_input_stream) and writes itself; `input` is then not used.
    bool stream_input = false;
    // Each line of standard output (standard error) as it arrives, without
    // its line end; "\r" ends a line too, and so does a run of backspaces,
    // as progress counters print. A last line without an end comes once the
    // child has ended. Called on the thread that waits.
    std::function<void(std::string_view line)> on_output_line;
    std::function<void(std::string_view line)> on_error_line;
    // Looked at while waiting: once true, the child is stopped and the
    // result says it was cancelled.
    const std::atomic<bool>* cancel = nullptr;
    ChildOutput output = ChildOutput::Capture;
    // A session of its own: a Ctrl-C meant for us does not reach it, so we
    // can still end it in order.
    bool own_session = false;
    // Where the child starts; empty keeps ours.
    std::string working_folder;
};

struct ChildResult {
    bool started = false;
    // The exit status; 128 + the signal number when a signal ended the
    // child; -1 when it never started.
    int exit_code = -1;
    bool cancelled = false;
    std::string output;  // standard output
    std::string error;   // standard error

    bool succeeded() const { return started && !cancelled && exit_code == 0; }
    // Why a tool says it failed: the last messages it wrote to its error
    // stream (up to kReasonMessages, joined by "; "), each with the indented
    // lines that go on it. Tools often end on a line that only says they gave
    // up ("dmesg(1) may have more information...", "Exiting with failure
    // status") after the one that says why. Empty when it wrote nothing there.
    static constexpr std::size_t kReasonMessages = 3;
    std::string reason() const;
};

class ChildProcess {
public:
    // How long a child has to end on SIGTERM before SIGKILL follows.
    static constexpr std::chrono::milliseconds kStopGrace{5000};

    ChildProcess() = default;
    // Starts argv[0] (looked up on PATH unless it holds a '/') with the
    // rest as its arguments. When it cannot be started the object is not
    // started() and the last error says why (ERROR_FILE_NOT_FOUND when there
    // is no such program).
    explicit ChildProcess(const std::vector<std::string>& argv, ChildOptions options = {});
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    explicit operator bool() const { return started(); }
    int pid() const { return pid_; }

    // Feeds the input and takes in the output until the child has ended (or
    // is stopped on cancel), and reaps it. The collected output moves into
    // the result.
    ChildResult wait();
    // The same, for at most `timeout`: true when the child has ended.
    bool wait_for(std::chrono::milliseconds timeout);
    // Whether it still runs; an ended child is reaped.
    bool running();
    // Asks it to end (SIGTERM), gives it `grace`, then kills it (SIGKILL)
    // and reaps it. Output that has not been read is dropped.
    void stop(std::chrono::milliseconds grace = kStopGrace);

    // Our end of the child's standard input (with `stream_input`) or output
    // (with ChildOutput::Stream), handed over once; it never blocks. Closing
    // the input is what tells the child its input has ended.
    UniqueFd take_input_stream();
    UniqueFd take_output_stream();

private:
    struct Stream {
        UniqueFd fd;
        std::string collected;
        std::string partial;  // the line so far
        bool after_cr = false;
        std::function<void(std::string_view)> on_line;
    };

    // Takes in output and feeds input until the child has ended or the
    // deadline passes; true when it has ended.
    bool pump(std::optional<std::chrono::steady_clock::time_point> deadline);
    bool reap(bool block);
    void take_in(Stream& stream, const char* data, std::size_t length);
    void drain(Stream& stream);
    void finish_lines();
    void close_pipes();

    int pid_ = -1;
    UniqueFd pidfd_;  // readable once the child has ended
    UniqueFd input_fd_;
    UniqueFd input_stream_, output_stream_;  // until the owner takes them
    std::string input_;
    std::size_t input_sent_ = 0;
    Stream output_, error_;
    const std::atomic<bool>* cancel_ = nullptr;
    std::optional<int> exit_code_;
    bool cancelled_ = false;
};

// Two children joined through us: what the first (the producer) writes to
// its standard output is read by this process and written to the second
// (the consumer)'s standard input. Passing the stream through our hands is
// what lets it be counted and stopped; a shell pipe would hide both.
struct RelayOptions {
    // Once true, both children are stopped and the result says so.
    const std::atomic<bool>* cancel = nullptr;
    // Called on the waiting thread about every `tick` while the children
    // run, with the bytes passed on so far: the caller's progress and its
    // message pump.
    std::function<void(std::uint64_t relayed)> on_tick;
    std::chrono::milliseconds tick{100};
};

struct RelayResult {
    ChildResult producer;  // their exit codes and what they said on standard error
    ChildResult consumer;
    std::uint64_t relayed = 0;
    bool cancelled = false;

    // Both children started and ended with code 0, and nothing was stopped:
    // only then has the whole stream gone through.
    bool succeeded() const { return !cancelled && producer.succeeded() && consumer.succeeded(); }
};

// Runs both to their end. A consumer that ends early takes the producer
// with it (its stream has nowhere to go); a producer that cannot be started
// means the consumer is never started.
RelayResult RunRelayed(const std::vector<std::string>& producer, const std::vector<std::string>& consumer,
                       const RelayOptions& options = {});

// Runs a program to its end and returns what it said.
ChildResult RunChild(const std::vector<std::string>& argv, ChildOptions options = {});

// The full path of `program` on PATH (or `program` itself when it holds a
// '/' and may be run); "" when there is none.
std::string FindOnPath(const std::string& program);

// Starts a server that is to outlive us: in a session (and process group)
// of its own, reading and writing /dev/null. Returns its process id, or -1.
// Nothing stops it but its own end or StopProcessGroup.
int StartDetached(const std::vector<std::string>& argv);

// Reaps `pid` if it is our child and has ended; no effect otherwise.
void ReapIfChild(int pid);

// Whether anything of the process group `leader` leads still runs (ended
// processes that nobody has reaped yet do not count): a server's helpers
// may outlive it for a moment, holding what it held.
bool ProcessGroupRunning(int leader);

// Ends a detached child that leads its own process group, with everything
// it started in that group: SIGTERM, up to `grace`, then SIGKILL. The
// leader is reaped only after the last signal, so that the group's id cannot
// have passed to anyone else meanwhile.
void StopProcessGroup(int leader, std::chrono::milliseconds grace = ChildProcess::kStopGrace);

// A write to a pipe whose reader may have gone, without the process dying
// of SIGPIPE: the signal is held back for the call and dropped if it came.
// As write(2): the bytes written, or -1 with errno.
long WriteWithoutSigpipe(int fd, const char* data, std::size_t length);

}  // namespace platform
