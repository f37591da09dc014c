// Which disk or volume of this machine a device name means: its device node
// (/dev/loop3, /dev/sdb; the image file on the embedded host), model and
// size, and a volume's partition and mount folder. The lists, the device
// report and every question before a write say it beside the name, since
// \\.\PhysicalDriveN alone tells two disks of one model apart by nothing
// but a number.
#pragma once

#include <optional>
#include <string>

#include "platform/device/device_identity.h"
#include "platform/device/registry.h"

namespace platform::device {

// "/dev/loop3 (Loop a.img, 64 MB)"
std::string DescribeDisk(const DiskInfo& disk);
// "/dev/loop3p1 mounted at /mnt/data, partition 1 of /dev/loop3 (Loop a.img, 64 MB)";
// "partition 1 of /images/disk0.img (Test Disk 0, 32 MB)" where the volume
// has no node of its own.
std::string DescribeVolume(const Snapshot& snap, const VolumeInfo& volume);

// What a disk or volume path is in `snap`; nothing for a file path or a
// name that means nothing there.
std::optional<DeviceIdentity> IdentityIn(const Snapshot& snap, const std::string& path);
// The same in the registry's current picture.
std::optional<DeviceIdentity> IdentityNow(const std::string& path);

// The short name of a disk or volume on this machine, as a list shows it in
// a column of its own: a disk's node; a volume's node and mount folder
// ("/dev/loop3p1 on /mnt/data"), or its partition of the disk's image.
std::string DeviceNodeText(const Snapshot& snap, const std::string& path);

// A name a person typed (on the command line, in a tool's field) chosen as
// what it means in the picture there is now, which is what the person
// could see: a write through it later goes only where it still means that.
// Nothing for a file path or a name that means nothing.
void ChooseAsItIsNow(const std::string& path);

// One line for each device path of `paths`: "<path> is <description>", as
// chosen when the path was chosen, else as it is now. Files are left out.
std::string AboutDevices(std::initializer_list<std::string> paths);

// Why a write through `path` is refused when the name no longer means the
// disk or volume chosen under it: what was chosen, what the name means now,
// and that nothing was written. "" when it still means it (or was never
// chosen).
std::string ChoiceRefusal(const std::string& path);

// What a failed open of `path` with `code` says: `usual`, or the choice's
// refusal when the open failed for that.
std::string OpenFailureText(const std::string& usual, const std::string& path, std::uint32_t code);

}  // namespace platform::device
