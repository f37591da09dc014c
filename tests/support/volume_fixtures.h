// Volumes to format and check: a disk of image files with one partition,
// and what blkid and the file systems' own checkers say about the bytes of
// that partition inside the image.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "support/embedded_machine.h"
#include "support/test_support.h"

namespace test_support {

constexpr std::int64_t kVolumeStart = 1 << 20;

// One MBR partition of `megabytes` at 1 MiB, of type 7, made empty or by
// `mkfs` ("%s" is the image, "%o" the partition's byte offset, "%n" its
// size in KiB).
inline DiskSpec OnePartitionDisk(std::int64_t megabytes, const std::string& mkfs = "") {
    DiskSpec spec;
    spec.size = (megabytes + 2) << 20;
    spec.prepare = {"printf 'label: dos\\nstart=2048,size=" + std::to_string(megabytes * 2048) +
                    ",type=7\\n' | sfdisk -q %s"};
    if (!mkfs.empty()) {
        std::string command = mkfs;
        auto put = [&](const std::string& key, const std::string& value) {
            for (auto at = command.find(key); at != std::string::npos; at = command.find(key))
                command.replace(at, key.size(), value);
        };
        put("%o", std::to_string(kVolumeStart));
        put("%n", std::to_string(megabytes * 1024));
        spec.prepare.push_back(command);
    }
    return spec;
}

// What blkid finds in [offset, offset + size) of the image.
struct Probed {
    std::string type, label, version;
};

inline Probed ProbeRegion(const std::string& image, std::int64_t offset, std::int64_t size) {
    auto result = Run("blkid -p -o export -O " + std::to_string(offset) + " -S " + std::to_string(size) + " " +
                      Quote(image));
    Probed probed;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("TYPE=", 0) == 0) probed.type = line.substr(5);
        if (line.rfind("LABEL=", 0) == 0) probed.label = line.substr(6);
        if (line.rfind("VERSION=", 0) == 0) probed.version = line.substr(8);
    }
    return probed;
}

// The region copied out to a file of its own, for the checkers that take
// a file.
inline std::string CopyRegion(const std::string& image, std::int64_t offset, std::int64_t size,
                              const std::string& to) {
    Run("dd if=" + Quote(image) + " of=" + Quote(to) + " bs=64K iflag=skip_bytes,count_bytes skip=" +
        std::to_string(offset) + " count=" + std::to_string(size) + " status=none");
    return to;
}

}  // namespace test_support
