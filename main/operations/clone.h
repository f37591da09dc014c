// Cloning a disk or volume onto another, sector for sector: the window's
// "Tarnovell" command and the command line's -disk. Nothing here knows of
// windows: questions go through platform::interaction(), progress to the
// bar and the status target it is given.
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>

#include "disk/device/volume_lock_set.h"
#include "platform/base/progress.h"

namespace tarnovell {

struct CloneContext {
    bool quiet = false;                        // no questions, silent on a write error
    std::atomic<bool>* cancel = nullptr;       // the main window's cancel flag
    platform::ProgressBar* progress = nullptr;
    platform::OperationTarget* window = nullptr;
    std::ostream* console = nullptr;           // a "." every 16 MiB when there is one
};

enum class CloneResult { Completed, Declined, Aborted };

// Copies `source` onto `destination` ("\\.\PhysicalDriveN" or "\\.\X:").
CloneResult CloneDevice(const std::string& source, const std::string& destination, const CloneContext& context);

// The main window's set of locked destination volumes.
void LockDiskVolumes(const std::string& disk_path);
void UnlockDiskVolumes();
disk::VolumeLockSet& MainLockedVolumes();

}  // namespace tarnovell
