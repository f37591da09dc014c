// What the main window keeps for every operation, apart from its widgets;
// the command line uses the same state without a window.
#pragma once

#include <atomic>
#include <string>

#include "disk/copy/copy_loop.h"

namespace tarnovell {

struct MainState {
    bool quiet = false;
    std::string program_folder;      // folder of the executable, with a trailing '/'
    int view_mode = 0;               // 0 disks and partitions, 1 partitions only, 2 disks only
    std::string units = "MB";        // "MB" or "S"
    // The cancel flag: the window's Cancel button and an interrupt set it;
    // the clone, the copies and the workers stop on it. It is the copy
    // cancel flag itself: there is one flag, so a Cancel reaches whatever
    // runs.
    std::atomic<bool>& cancel = disk::copy_cancel;
    bool console_attached = false;
};

// The folder of the running executable, with a trailing '/'.
std::string ExecutableFolder();

// A file of the program folder found without regard to case ("config.ini"
// or "config.INI"); the exact-case path when there is none.
std::string FindInProgramFolder(const std::string& folder, const std::string& name);

// The start-up steps that need no window: seed the random numbers, the
// program folder, view mode and units.
void PrepareStartup(MainState& state);

}  // namespace tarnovell
