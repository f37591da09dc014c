// Child processes of the virtual-disk stand-in: the qemu tools that create,
// inspect and convert images, losetup, and the nbdfuse server that offers a
// non-raw image as a plain file.
#pragma once

#include <string>
#include <vector>

namespace platform::virtdisk {

struct ToolResult {
    int exit_code = -1;  // -1 when the program could not be started
    std::string output;  // standard output; standard error is appended after it
};

// Runs a program (found on PATH) with its arguments and waits for it.
ToolResult RunTool(const std::vector<std::string>& argv);

// The full path of `program` on PATH, "" when it is not there.
std::string FindOnPath(const std::string& program);

// A process started in its own session that keeps running on its own: it
// is not waited for here, and it outlives this process unless stopped.
// Returns its process id, or -1.
int StartDetached(const std::vector<std::string>& argv);

// Reaps `pid` if it is our child and has ended; no effect otherwise.
void ReapIfChild(int pid);

}  // namespace platform::virtdisk
