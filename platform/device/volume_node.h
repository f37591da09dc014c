// A volume's bytes as a block device of their own, for the tools of the
// Linux world that want a device node (mkfs, fsck, wimlib's NTFS mode): a
// loop device over the volume's window of its disk. Whoever writes through
// it holds the volume locked first, as any raw write to a volume does.
#pragma once

#include <memory>
#include <string>

#include "platform/device/handle.h"
#include "platform/device/host/host.h"
#include "platform/device/linux/loop_device.h"

namespace platform::device {

struct VolumeNode {
    // Which step refused, when OpenVolumeNode fails.
    enum class Failure { None, Disk, Lock, InUse, Loop };
    Failure failure = Failure::None;
    std::string path;  // the loop device
    // Released in this order: the loop device first, then the lock.
    std::unique_ptr<Handle> volume_lock;
    std::unique_ptr<LoopDevice> loop;
};

// Shows `volume` as a device node, locked first when it is to be written.
// False with the last error set and `problem` saying why in words.
bool OpenVolumeNode(const VolumeInfo& volume, bool for_writing, VolumeNode& node, std::string& problem);

}  // namespace platform::device
