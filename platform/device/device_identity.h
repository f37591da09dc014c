// What a disk or volume was when a person chose it by a name: enough to
// tell, when the name is about to be written through, whether it still
// means the same disk or volume, and to say what it was.
#pragma once

#include <cstdint>
#include <string>

namespace platform::device {

struct DeviceIdentity {
    std::string path;         // the name it was chosen by: \\.\PhysicalDriveN, \\.\X:, \\.\HarddiskVolumeK
    std::string disk_key;     // the disk's stable key (its serial or by-id name, its image file, a loop's file)
    std::string node;         // the disk's device node or image file
    std::int64_t size = 0;    // the disk's size in bytes
    std::string serial;
    std::string volume_guid;  // "{...}" for a volume, "" for a disk
    std::string description;  // what it was shown as (see DescribeDevice)

    // Whether `now` is the device this one was chosen as. What was not
    // known at the choice (a selector keeps only the disk's key) is not
    // compared.
    bool same_device(const DeviceIdentity& now) const {
        auto differs = [](const std::string& chosen, const std::string& seen) {
            return !chosen.empty() && chosen != seen;
        };
        return !differs(disk_key, now.disk_key) && !differs(node, now.node) && !(size > 0 && size != now.size) &&
               !differs(serial, now.serial) && !differs(volume_guid, now.volume_guid);
    }
};

}  // namespace platform::device
