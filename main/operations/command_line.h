// Command-line mode: one verb, run without a window, then "Done".
//
// A verb is one row of the table in command_line.cpp: its name, the mode
// that follows it ("-backup", "-restore") if any, the names of its operands
// (which also make its usage line) and the routine that runs it. Adding a
// verb is adding a row; the parsing, the usage text and the errors for a
// wrong verb or a wrong count come from the table.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "disk/device/device_lists.h"
#include "main/operations/main_state.h"

namespace tarnovell {

// The arguments as the verbs see them.
struct CommandLine {
    std::vector<std::string> args;  // the verb first, then its operands; no "-quiet"
    bool quiet = false;             // "-quiet" stood somewhere
};

// Takes "-quiet" out of the arguments wherever it stands, in any case, but
// only as a whole argument: "my-quiet-notes.img" is a file name.
CommandLine ParseCommandLine(const std::vector<std::string>& argv);

// The usage text: a banner, one line per verb, the line on device paths,
// the lines on -quiet and -h, and an empty line.
std::vector<std::string> UsageLines();

// True when the arguments ask for command-line mode: anything at all was
// given, except "-infos" with exactly two paths, which only answers "not
// implemented" and leaves the window to open.
bool WantsCommandLineMode(const CommandLine& line);
bool IsInfosRequest(const CommandLine& line);
// "-h" or "--help" alone: the usage on standard output, exit status 0.
bool IsHelpRequest(const CommandLine& line);

// The exit status of arguments that name no verb or do not fit it (after
// the usage on `errors`).
constexpr int kUsageError = 2;

// The exit status of a copy that completed with some of its source
// unreadable and stored as zeros: neither success nor failure.
constexpr int kExitUnreadableSectors = 3;

// Runs the verb and returns the exit status: 0 (and only the usage, on
// `console`, for -h or --help); kUsageError when the verb is unknown or its
// arguments do not fit it; 1 when the machine cannot be told or the
// operation did not complete ("declined, nothing was written" on `errors`
// when the person said No to its question); kExitUnreadableSectors. Console lines go
// to `console`; errors, each on one line that names what failed, to
// `errors`. Ctrl-C or SIGTERM stops the operation as its Cancel would; a
// second one ends the process at once. One at a question answered on the
// console ends the run there, with the answer that writes nothing, and no
// "Done": the status is 128 + the signal's number, and the caller ends the
// process by that signal (platform::SignalAtQuestion).
int RunCommandLine(const CommandLine& line, MainState& state, std::ostream& console, std::ostream& errors);

// One console line of "-list" for a device-list row, ending in the row's
// device node (and a volume's mount folder).
std::string ListLine(const disk::DiskListRow& row);

}  // namespace tarnovell
