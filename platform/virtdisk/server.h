// Offers a non-raw image (dynamic VHD, VHDX) as a plain file of its disk
// bytes: qemu-nbd serves the image to nbdfuse (socket activation), which
// shows it as "<mount folder>/disk" in a FUSE mount of its own.
#pragma once

#include <chrono>
#include <string>

#include "platform/base/win_error.h"

namespace platform::virtdisk {

struct ServedImage {
    int pid = 0;             // nbdfuse; it ends, with qemu-nbd, when the folder is unmounted
    std::string mount_dir;
    std::string file;        // mount_dir + "/disk"
};

// qemu's --image-opts text for an image of the given qemu format.
std::string ImageOptions(const std::string& image, const std::string& qemu_format);

// Starts serving; ERROR_NOT_SUPPORTED when FUSE, nbdfuse or qemu-nbd is missing.
DWORD StartServing(const std::string& image, const char* qemu_format, bool read_only, ServedImage& served);

// Unmounts and waits for the server to end (it may be another process's
// child); removes the mount folder.
void StopServing(const ServedImage& served);

// How long StartServing waits for the server to come up (20 s unless set
// otherwise, which tests do to try a server that never does).
void SetServerStartTimeoutForTesting(std::chrono::milliseconds timeout);
std::chrono::milliseconds ServerStartTimeout();

// Whether this machine can serve images at all, and if not, why.
bool CanServeImages(std::string* why = nullptr);

}  // namespace platform::virtdisk
