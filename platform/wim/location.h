// What a capture reads and an apply writes, in Linux terms. The program
// names volumes the Windows way ("C:\", "\\.\C:", "\\?\Volume{GUID}\"); a
// mounted volume is used at a mount of its whole file system, an unmounted
// NTFS volume through wimlib's NTFS mode on a loop device that shows just
// the volume. A volume mounted only as binds of folders inside it, or
// (for a capture) one that nobody has mounted, is mounted whole in a private
// folder for the operation, read-only for a capture. Anything else is a
// Linux folder and used as it is.
#pragma once

#include <memory>
#include <string>

#include "platform/device/handle.h"
#include "platform/device/linux/loop_device.h"
#include "platform/device/linux/volume_claim.h"

namespace platform::wim {

struct WimLocation {
    std::string path;        // folder, or the device node in NTFS mode
    bool ntfs = false;
    std::u16string drive;    // what progress paths start with: "C:" or "?:"
    // Held while the operation runs, released in this order: the private
    // mount, the loop device under it, then the lock an apply takes on the
    // volume.
    std::unique_ptr<Handle> volume_lock;
    std::unique_ptr<device::LoopDevice> loop;
    std::unique_ptr<device::PrivateMount> view;
};

// False with the last error set and `problem` saying why in words.
bool ResolveWimLocation(const std::string& given, bool for_writing, WimLocation& location, std::string& problem);

}  // namespace platform::wim
