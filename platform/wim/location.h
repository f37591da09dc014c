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

#include "platform/device/linux/volume_claim.h"
#include "platform/device/volume_node.h"

namespace platform::wim {

struct WimLocation {
    std::string path;        // folder, or the device node in NTFS mode
    bool ntfs = false;
    std::u16string drive;    // what progress paths start with: "C:" or "?:"
    // Held while the operation runs: the volume as a device node (NTFS
    // mode, or under a private mount), locked when an apply writes it.
    device::VolumeNode node;
    // The private mount; it goes before the node under it.
    std::unique_ptr<device::PrivateMount> view;
};

// False with the last error set and `problem` saying why in words.
bool ResolveWimLocation(const std::string& given, bool for_writing, WimLocation& location, std::string& problem);

}  // namespace platform::wim
