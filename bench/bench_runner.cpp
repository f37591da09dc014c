#include "bench_runner.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/base/scope_guard.h"

namespace fs = std::filesystem;

namespace bench {

namespace {

// What the stop signals need, set before they are caught.
std::atomic<int> running_peer{0};  // the process group of the peer that runs, 0 when none
int janitor_input = -1;
int janitor_pid = -1;

// Stops the peer, hands the clean-up to the janitor and ends once it is done.
void OnStopSignal(int signal_number) {
    if (const int group = running_peer.load(); group > 0) ::kill(-group, SIGKILL);
    if (janitor_input >= 0) ::close(janitor_input);
    if (janitor_pid > 0) {
        int status = 0;
        while (::waitpid(janitor_pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    static const char said[] = "tarnovell-bench: stopped; its scratch folder is gone\n";
    (void)!::write(STDERR_FILENO, said, sizeof said - 1);
    ::_exit(128 + signal_number);
}

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal_number);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal_number, &action, nullptr);
}

// The value below which `fraction` of `values` lie, between neighbours.
double Quantile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const double at = fraction * static_cast<double>(values.size() - 1);
    const std::size_t below = static_cast<std::size_t>(at);
    if (below + 1 >= values.size()) return values.back();
    return values[below] + (at - static_cast<double>(below)) * (values[below + 1] - values[below]);
}

double Median(const std::vector<double>& values) { return Quantile(values, 0.5); }

// CPU time of the bench and of every child it has waited for: a run's
// share is the difference over the run, whichever side ran it, the
// helpers both sides share (a listening socat, a sync) included.
double CpuSeconds() {
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    rusage self{}, children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) + seconds(children.ru_stime);
}

enum class Settling { Unknown, DropsCache, SyncsOnly };
Settling settling = Settling::Unknown;

// Writes back what earlier runs left and drops the page cache; after the
// first refusal, only writes back.
void Settle() {
    ::sync();
    if (settling == Settling::SyncsOnly) return;
    std::ofstream drop("/proc/sys/vm/drop_caches");
    if (drop << "3\n" << std::flush) {
        settling = Settling::DropsCache;
        return;
    }
    settling = Settling::SyncsOnly;
    std::cerr << "tarnovell-bench: cannot drop the page cache (it takes root): each run starts with the writes "
                 "before it on the medium, but with whatever the cache holds\n";
}

void Clear(const Side& side) {
    if (side.clear) side.clear();
    else if (!side.output.empty()) RemoveOutput(side.output);
}

struct Timing {
    double wall = 0;  // seconds
    double cpu = 0;   // seconds of user and system time
};

// One run of a side between two clears, from a settled machine; the first
// run is checked.
bool RunSide(const Side& side, bool first, const char* which, const std::string& name, Timing& timing) {
    Clear(side);
    if (side.before_run) side.before_run();
    Settle();
    const double cpu = CpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    bool ok = side.run();
    timing.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    timing.cpu = CpuSeconds() - cpu;
    if (!ok) std::cerr << name << ": " << which << " failed\n";
    if (ok && first && side.check && !side.check()) {
        std::cerr << name << ": what " << which << " wrote is not what it should be\n";
        ok = false;
    }
    Clear(side);
    return ok;
}

}  // namespace

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool Shell(const std::string& command) {
    platform::ChildOptions options;
    options.own_session = true;
    platform::ChildProcess child({"sh", "-c", command}, std::move(options));
    if (!child) return false;
    running_peer = child.pid();
    platform::ChildResult result = child.wait();
    running_peer = 0;
    if (!result.succeeded() && !result.error.empty()) std::cerr << result.error;
    return result.succeeded();
}

bool SameBytes(const std::string& a, const std::string& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    if (!x || !y) return false;
    std::vector<char> p(1 << 20), q(1 << 20);
    for (;;) {
        x.read(p.data(), static_cast<std::streamsize>(p.size()));
        y.read(q.data(), static_cast<std::streamsize>(q.size()));
        if (x.gcount() != y.gcount()) return false;
        if (!std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) return false;
        if (x.gcount() == 0) return true;
    }
}

void MakeSparse(const std::string& path, std::uintmax_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).close();
    fs::resize_file(path, size);
}

void RemoveOutput(const std::string& path) {
    std::error_code ignored;
    fs::remove_all(path, ignored);
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".E01") == 0) {
        const std::string stem = fs::path(path).stem().string() + ".E";
        for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path(), ignored))
            if (entry.path().filename().string().rfind(stem, 0) == 0) fs::remove(entry.path(), ignored);
    }
}

Scratch::Scratch(const std::string& parent, const std::string& mount_point_name, std::string& why)
    : folder_(platform::ScratchFolder::Create("tarnovell-bench.", parent)), mount_point_name_(mount_point_name) {
    if (!folder_) {
        why = "cannot make a scratch folder in " + parent;
        return;
    }
    // The janitor ignores the signals that end the bench and waits for its
    // input to end: the bench's end, however it came.
    platform::ChildOptions options;
    options.stream_input = true;
    options.own_session = true;
    options.output = platform::ChildOutput::Discard;
    janitor_ = platform::ChildProcess(
        {"sh", "-c",
         "trap '' INT TERM HUP; cat >/dev/null; umount -l \"$1\" 2>/dev/null; rm -rf --one-file-system \"$2\"",
         "tarnovell-bench-janitor", mount_point(), folder_.path()},
        std::move(options));
    if (!janitor_) {
        why = "cannot start the process that cleans up after the bench";
        return;
    }
    janitor_input_ = janitor_.take_input_stream();
    janitor_input = janitor_input_.get();
    janitor_pid = janitor_.pid();
    CatchStopSignals();
}

Scratch::~Scratch() {
    if (!janitor_) return;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal_number, SIG_DFL);
    janitor_input = -1;
    janitor_pid = -1;
    // The janitor removes the folder now, with whatever is still mounted in it.
    folder_.release();
    janitor_input_.reset();
    janitor_.wait();
}

bool EnoughRoom(const std::string& folder, std::uintmax_t needed, const std::string& what) {
    std::error_code error;
    const fs::space_info space = fs::space(folder, error);
    if (error) {
        std::cerr << "tarnovell-bench: cannot tell the free space of " << folder << ": " << error.message() << "\n";
        return false;
    }
    if (space.available >= needed) return true;
    std::cerr << "tarnovell-bench: needs about " << needed / 1000000 << " MB free in " << folder << " (" << what
              << "); there are " << space.available / 1000000 << " MB\n";
    return false;
}

std::string SettleBeforeEachRun() {
    Settle();
    return settling == Settling::DropsCache ? "page cache written back and dropped before each run"
                                            : "page cache written back before each run, NOT dropped (not root)";
}

void PrintTableHead(const std::string& input, double size, int runs, const std::string& settling_text) {
    std::printf("%s, %.1f MB, %d runs a side, sides alternating, both sides durable, %s\n\n", input.c_str(),
                size / 1e6, runs, settling_text.c_str());
    std::printf("| engine | ours MB/s | ours s (CPU s) | peer MB/s | peer s (CPU s) | ratio | ratio IQR | peer |\n"
                "|---|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
}

void PrintTableFoot() {
    std::printf("\nMedians over the runs; ratio: the peer's time over ours, round by round; CPU: user + system of "
                "the process and its children. \"unsteady\": the ratio's inter-quartile range leaves ±20 %% of "
                "its median.\n");
    std::fflush(stdout);
}

bool RunEngine(Engine& engine, int runs) {
    platform::ScopeGuard tidy([&] {
        for (const auto& file : engine.prepared) RemoveOutput(file);
        if (engine.finish) engine.finish();
    });
    if (engine.prepare && !engine.prepare()) {
        std::cerr << engine.name << ": what both sides read could not be made\n";
        return false;
    }
    Timing first;
    if (!RunSide(engine.ours, true, "ours", engine.name, first) ||
        !RunSide(engine.peer, true, "the peer", engine.name, first))
        return false;
    if (engine.check_both && !engine.check_both()) {
        std::cerr << engine.name << ": the two sides disagree\n";
        return false;
    }
    std::vector<double> our_wall, our_cpu, peer_wall, peer_cpu, ratios;
    for (int round = 0; round < runs; ++round) {
        Timing ours, theirs;
        // Whatever the machine does over the rounds, both sides meet it alike.
        const bool ok = round % 2 == 0 ? RunSide(engine.ours, false, "ours", engine.name, ours) &&
                                             RunSide(engine.peer, false, "the peer", engine.name, theirs)
                                       : RunSide(engine.peer, false, "the peer", engine.name, theirs) &&
                                             RunSide(engine.ours, false, "ours", engine.name, ours);
        if (!ok) return false;
        our_wall.push_back(ours.wall);
        our_cpu.push_back(ours.cpu);
        peer_wall.push_back(theirs.wall);
        peer_cpu.push_back(theirs.cpu);
        ratios.push_back(theirs.wall / ours.wall);
    }
    const double ratio = Median(ratios);
    const double low = Quantile(ratios, 0.25), high = Quantile(ratios, 0.75);
    const bool unsteady = low < 0.8 * ratio || high > 1.2 * ratio;
    std::printf("| %s | %.0f | %.2f (%.2f) | %.0f | %.2f (%.2f) | %.2f | %.2f-%.2f%s | `%s` |\n", engine.name.c_str(),
                engine.bytes / 1e6 / Median(our_wall), Median(our_wall), Median(our_cpu),
                engine.bytes / 1e6 / Median(peer_wall), Median(peer_wall), Median(peer_cpu), ratio, low, high,
                unsteady ? " unsteady" : "", engine.peer_label.c_str());
    std::fflush(stdout);
    return true;
}

}  // namespace bench
