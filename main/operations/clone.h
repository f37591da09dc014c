// Cloning a disk or volume onto another, sector for sector: the window's
// "Tarnovell" command and the command line's -disk. Nothing here knows of
// windows: questions go to the context's interaction, progress to its bar
// and status target, a "." to its console every 16 MiB; its cancel flag
// (the main window's) stops the copy.
#pragma once

#include <string>

#include "disk/copy/operation_context.h"

namespace tarnovell {

enum class CloneResult {
    Completed,
    Declined,  // the person said No, or to abort, before anything was written
    Refused,   // a source and destination that overlap: nothing was asked or written
    Aborted,
};

// Copies `source` onto `destination` ("\\.\PhysicalDriveN" or "\\.\X:").
// With `quiet` nothing is asked and a write error ends the copy silently.
// Both ends are opened before the first question: one that cannot be is
// said, and nothing is asked.
// Nothing is written to the destination before its volumes are locked (or
// the person has said to go on) and, for a disk, before it is held whole
// for this process; a volume that stays in use in the way, or a disk
// another program uses, gets nothing written. After a whole disk is written
// the system's partitions are made those of its new table, or the clone is
// not done; then every volume is let go.
CloneResult CloneDevice(const std::string& source, const std::string& destination,
                        const disk::OperationContext& context, bool quiet = false);

}  // namespace tarnovell
