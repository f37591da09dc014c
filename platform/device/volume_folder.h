// The files of a volume as a folder of this machine, for the tools of the
// Linux world that work on files (an archiver copying a volume's tree): the
// folder the volume is mounted at, or, when it is mounted nowhere, a mount
// of our own in a scratch folder that lasts as long as the VolumeFolder.
#pragma once

#include <memory>
#include <string>

#include "platform/device/host/host.h"
#include "platform/device/path.h"
#include "platform/device/volume_node.h"

namespace platform::device {

class PrivateMount;

// How a text names a volume, when it does: "C:", "C:\" or "C:\dir" (then
// `rest` is "dir", with '/' separators), "\\.\C:" with or without a
// trailing backslash, "\\?\Volume{GUID}\", "\\.\HarddiskVolumeK". False for
// anything else, which is a folder or file of this machine.
bool NamesVolume(const std::string& given, DevicePath& path, std::string& rest);

class VolumeFolder {
public:
    VolumeFolder();
    ~VolumeFolder();
    VolumeFolder(VolumeFolder&& other) noexcept;
    VolumeFolder& operator=(VolumeFolder&& other) noexcept;
    VolumeFolder(const VolumeFolder&) = delete;
    VolumeFolder& operator=(const VolumeFolder&) = delete;

    // The folder, without a trailing '/'.
    const std::string& path() const { return path_; }
    // The volume's GUID ("{...}"); empty when a plain folder was given.
    const std::string& volume() const { return volume_; }
    bool mounted_by_us() const { return mount_ != nullptr; }

    // Unmounts our own mount now; false (with the last error) when the
    // volume would not let go. Nothing for a volume mounted by others.
    bool release();

private:
    friend bool OpenVolumeFolder(const std::string&, bool, VolumeFolder&, std::string&);

    std::string path_;
    std::string volume_;
    VolumeNode node_;                      // the volume as a device node, for our own mount
    std::unique_ptr<PrivateMount> mount_;  // that mount; it goes before the node
};

// The folder of `given` (a volume as NamesVolume reads it, or a folder of
// this machine, used as it is), mounted for writing when `for_writing` and
// it must be mounted by us. False with the last error set and `problem`
// saying why in words.
bool OpenVolumeFolder(const std::string& given, bool for_writing, VolumeFolder& folder, std::string& problem);

}  // namespace platform::device
