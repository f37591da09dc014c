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

// Runs the verb in `args` (args[0] is the verb) and returns the exit code:
// 0, or 1 when the operation failed. Console lines go to `console`,
// messages to `errors`.
int RunCommandLine(const std::vector<std::string>& args, MainState& state, std::ostream& console,
                   std::ostream& errors);

// One console line of "-list" for a device-list row.
std::string ListLine(const disk::DiskListRow& row);

}  // namespace tarnovell
