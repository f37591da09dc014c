// What a capture reads and an apply writes, in Linux terms. The program
// names volumes the Windows way ("C:\", "\\.\C:", "\\?\Volume{GUID}\"); a
// mounted volume is used at its mount folder, an unmounted NTFS volume
// through wimlib's NTFS mode on a loop device that shows just the volume.
// Anything else is a Linux folder and used as it is.
#pragma once

#include <memory>
#include <string>

#include "platform/device/volume_node.h"

namespace platform::wim {

struct WimLocation {
    std::string path;        // folder, or the device node in NTFS mode
    bool ntfs = false;
    std::u16string drive;    // what progress paths start with: "C:" or "?:"
    // Held while the operation runs: the volume as a device node (NTFS
    // mode), locked when an apply writes it.
    device::VolumeNode node;
};

// False with the last error set and `problem` saying why in words.
bool ResolveWimLocation(const std::string& given, bool for_writing, WimLocation& location, std::string& problem);

}  // namespace platform::wim
