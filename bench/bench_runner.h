// What every line of the bench shares: the scratch folder and what keeps it
// from outliving the bench, the peers run as children the bench can stop,
// and the timing of one engine against its peer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/child_process.h"
#include "platform/os/temp_folder.h"

namespace bench {

std::string Quote(const std::string& text);

// Runs `command` under sh as a child in a process group of its own (so
// that a signal to the bench can end it with everything it started); true
// when it ended with 0. What it says on standard error is shown when it fails.
bool Shell(const std::string& command);

bool SameBytes(const std::string& a, const std::string& b);
// A file of `size` bytes that holds nothing yet.
void MakeSparse(const std::string& path, std::uintmax_t size);
// Removes a file, a folder, or an EWF set ("x.E01" and the segments after it).
void RemoveOutput(const std::string& path);

// The bench's scratch folder, and a janitor: a small process of its own
// session that waits for the bench to end, however it ends, and then
// unmounts `mount_point` (a folder inside the scratch folder) and removes
// the folder. SIGINT, SIGTERM and SIGHUP stop the peer that runs, let the
// janitor clean up and end the bench once it has.
class Scratch {
public:
    // Invalid (with `why` set) when the folder or its janitor could not be made.
    Scratch(const std::string& parent, const std::string& mount_point_name, std::string& why);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    bool valid() const { return folder_.valid() && janitor_.started(); }
    std::string file(const std::string& name) const { return folder_.file(name); }
    std::string mount_point() const { return file(mount_point_name_); }

private:
    platform::ScratchFolder folder_;
    std::string mount_point_name_;
    platform::ChildProcess janitor_;
    platform::UniqueFd janitor_input_;
};

// Whether `folder` has room for `needed` bytes; false after saying how much
// the bench needs and how much there is.
bool EnoughRoom(const std::string& folder, std::uintmax_t needed, const std::string& what);

// One side of a line: a run, what it writes (cleared before and after each
// run, so that no run pays for another's writes and no more than one output
// at a time fills the disk), and the check of what it wrote, made after its
// untimed first run.
struct Side {
    std::function<bool()> run;
    std::string output;
    // Clears the output; by default it is removed.
    std::function<void()> clear;
    std::function<bool()> check;
    // Before each run, untimed: sets up what the run works on.
    std::function<void()> before_run;
};

// One line of the table: our engine and the peer that does the same work.
struct Engine {
    std::string name;
    Side ours;
    Side peer;
    std::string peer_label;  // how the table names the peer
    double bytes = 0;        // what the rates count
    // Makes what both sides read (an image in the format the line converts
    // from); what it made is in `prepared`, removed after the line.
    std::function<bool()> prepare;
    std::vector<std::string> prepared;
    // After both first runs: a check that needs both outputs' traces.
    std::function<bool()> check_both;
    std::function<void()> finish;  // after the line, whatever happened
};

// How each timed run starts: with the writes of the run before it on the
// medium and, where the bench runs as root, the page cache dropped, so that
// no run finds what another left (dirty pages still being written back, a
// cache that holds its input or not). Says once, on standard error, when
// the cache cannot be dropped. What the table's head says of it.
std::string SettleBeforeEachRun();

// The table's head, and one row per engine. The two sides take turns, and
// which goes first alternates from round to round; the row gives each
// side's median rate, its median wall and CPU (user + system) time, the
// median of the rounds' ratios and their inter-quartile range, marked when
// that range leaves ±20 % of the median. False when a run or a check failed
// (said on standard error).
void PrintTableHead(const std::string& input, double size, int runs, const std::string& settling);
bool RunEngine(Engine& engine, int runs);
// The table's foot: what its marks mean.
void PrintTableFoot();

}  // namespace bench
