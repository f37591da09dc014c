// Growing or shrinking a file system in place, through its own resizer run
// as a child process: resize2fs (after a forced e2fsck) for ext2/3/4,
// ntfsresize for NTFS. Other file systems cannot be resized here.
#pragma once

#include <cstdint>
#include <string>

namespace platform::device {

// Resizes the file system `name` (as ProbeFileSystem names it) on the block
// device `node` to `new_bytes`. A mounted file system is only grown, and
// only where the resizer can do it while mounted (ext2/3/4). False with the
// last error set: ERROR_INVALID_FUNCTION for a file system that cannot be
// resized, ERROR_ACCESS_DENIED for a mounted one that cannot be resized
// mounted or that the kernel will not let us resize, ERROR_IO_DEVICE when
// the resizer fails (its complaint is in `detail`).
bool ResizeFileSystem(const std::string& node, const std::string& name, std::int64_t current_bytes,
                      std::int64_t new_bytes, bool mounted, std::string* detail = nullptr);

}  // namespace platform::device
