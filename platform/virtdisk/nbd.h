// An image served to this process alone: qemu-nbd of our own on a socket in
// a private folder, and libnbd (loaded at run time) talking to it. A copy
// through it skips the FUSE file an attach to the host needs, and keeps
// several requests in flight, so large sequential transfers run at the
// server's speed.
#pragma once

#include <memory>
#include <string>

#include "platform/device/virtual_disk_handle.h"
#include "platform/base/win_error.h"

namespace platform::virtdisk {

// Whether libnbd.so.0 and qemu-nbd are both there.
bool CanServeInProcess();

// Starts qemu-nbd on `image` and connects to it. On failure nothing is left
// running and the folder is gone. A `fresh` image (made just now, nothing in
// it to lose) is written without the server's flush after every block it
// allocates; its flushes, and its close, sync the image file instead.
DWORD ServeInProcess(const std::string& image, const char* qemu_format, bool read_only, bool fresh,
                     std::unique_ptr<DiskIo>& out);

}  // namespace platform::virtdisk
