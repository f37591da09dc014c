// Shadow copies as Linux keeps them: device-mapper snapshots, each a frozen
// picture of a volume that stays readable while the volume goes on
// changing. Windows names them HarddiskVolumeShadowCopyN; so do we, numbered
// in the order the kernel lists them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::device {

struct ShadowCopy {
    int number = 0;         // N of HarddiskVolumeShadowCopyN, from 1
    std::string name;       // the device-mapper name
    std::string node;       // /dev/mapper/<name>, where its bytes are read
    std::int64_t size = 0;  // bytes
    std::string origin;     // "major:minor" of the device it is a picture of
    std::string origin_node;  // that device's node ("/dev/sda1"), when the kernel names it
    std::optional<std::uint32_t> serial;  // of the file system in it, when one is recognised
};

// One snapshot line of `dmsetup table` ("name: start length snapshot
// origin cow P chunk"), in the order given; lines of other targets, and
// further lines of a snapshot already listed, are skipped. Fills name,
// node, size and origin.
std::vector<ShadowCopy> ParseSnapshotTable(const std::string& table);

// The snapshots of this machine, with their origins' nodes and serials.
// False with `problem` saying why when they cannot be listed: a kernel
// without device-mapper, or no dmsetup to ask.
bool ListShadowCopies(std::vector<ShadowCopy>& copies, std::string& problem);

}  // namespace platform::device
