// Command-line mode: one verb, run without a window, then "Done".
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "disk/device/device_lists.h"
#include "main/operations/main_state.h"

namespace tarnovell {

// The usage text written to a console when the program starts without
// arguments: a banner, the verbs, an empty line.
std::vector<std::string> UsageLines();

// True when the arguments ask for command-line mode. "-infos" with exactly
// two paths only answers "not implemented" and leaves the window to open.
bool WantsCommandLineMode(const std::vector<std::string>& args);
bool IsInfosRequest(const std::vector<std::string>& args);

// The exit status of a copy that completed with some of its source
// unreadable and stored as zeros: neither success (0) nor failure (1).
constexpr int kExitUnreadableSectors = 3;

// Runs the verb in `args` (args[0] is the verb) and returns the exit code:
// 0, 1 when the operation failed, kExitUnreadableSectors. Console lines go
// to `console`, messages to `errors`. Ctrl-C or SIGTERM stops the operation
// as its Cancel would; a second one ends the process at once.
int RunCommandLine(const std::vector<std::string>& args, MainState& state, std::ostream& console,
                   std::ostream& errors);

// One console line of "-list" for a device-list row.
std::string ListLine(const disk::DiskListRow& row);

}  // namespace tarnovell
