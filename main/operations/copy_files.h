// Copy Files: the file tree of one volume written onto another at file
// level, not sector by sector. Two archivers do it, one packing the
// source's tree into a stream, one unpacking the stream on the destination;
// the stream passes through this process, which counts it for the progress
// bar, can stop both, and reads both exit codes. The main window's "Copy
// Files" and the volume window's run this same copy.
#pragma once

#include <string>
#include <vector>

#include "disk/copy/operation_context.h"

namespace tarnovell {

inline constexpr const char* kCopyFilesSameSource = "Source and Destination cannot be the same";
inline constexpr const char* kCopyFilesDone = "Copyfile Done!";

// The archivers: GNU tar keeping what a file tree holds beyond its bytes
// (owners by number, permissions, ACLs, every extended attribute, hard
// links, symbolic links, the holes of sparse files), packing one file
// system only, so that whatever is mounted inside the source is left out.
std::vector<std::string> ArchiverPackCommand(const std::string& source_folder);
std::vector<std::string> ArchiverUnpackCommand(const std::string& destination_folder);

enum class CopyFilesResult {
    Done,       // both archivers ended with success; "Copyfile Done!" was posted
    Refused,    // the same volume twice; said so, nothing started
    Declined,   // the person said No
    Cancelled,  // the cancel flag stopped both archivers
    Failed,     // said why; what was unpacked so far stays on the destination
};

// Copies the tree of `source` onto `destination`, each a volume ("C:",
// "\\.\C:", "\\?\Volume{...}\") or a folder of this machine. A volume
// mounted nowhere is mounted for the copy (the source read-only) and let go
// after it. Asks "Copy S to D?" first. Stops when the context's cancel flag
// is set.
CopyFilesResult CopyVolumeFiles(const std::string& source, const std::string& destination,
                                const disk::OperationContext& context);

}  // namespace tarnovell
