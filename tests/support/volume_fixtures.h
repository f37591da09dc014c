// Volumes to format and check: a disk of image files with one partition,
// and what blkid and the file systems' own checkers say about the bytes of
// that partition inside the image.
#pragma once

#include <signal.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>

#include "support/embedded_machine.h"
#include "support/scoped_environment.h"
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

// An 8 MiB FAT volume with a root entry whose chain starts in a free
// cluster and claims 100,000 bytes: damage fsck.fat finds and mends.
inline DiskSpec DamagedFatDisk() {
    DiskSpec spec = OnePartitionDisk(8, "mkfs.fat -n DAMAGED --offset 2048 %s %n >/dev/null");
    // The root folder follows 4 reserved sectors and two FATs of 12 sectors.
    const std::int64_t entry = kVolumeStart + (4 + 2 * 12) * 512 + 32;
    spec.prepare.push_back("printf 'BROKEN  TXT\\040' | dd of=%s bs=1 seek=" + std::to_string(entry) +
                           " conv=notrunc status=none");
    // First cluster 5 (free), size 100,000.
    spec.prepare.push_back("printf '\\005\\000\\240\\206\\001\\000' | dd of=%s bs=1 seek=" +
                           std::to_string(entry + 26) + " conv=notrunc status=none");
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

// A stand-in for `tool` on PATH ahead of the real one while the object
// lives: it notes its process id, says "working" and then waits a minute, so
// that a test can stop it in the middle of its run.
class WaitingTool {
public:
    explicit WaitingTool(const std::string& tool) : script_(dir_.file(tool)) {
        WriteWholeFile(script_, "#!/bin/sh\necho $$ > " + Quote(dir_.file("pid")) + "\necho working\nexec sleep 60\n");
        std::filesystem::permissions(script_, std::filesystem::perms::owner_all);
        path_ = std::make_unique<ScopedEnvironment>("PATH", PathWithFirst(dir_.path().string()));
    }

    // The script, for a test that wants it to do something else.
    const std::string& script() const { return script_; }
    // Whether the tool that was started still runs.
    bool still_running() const { return ::kill(std::stoi(ReadWholeFile(dir_.file("pid"))), 0) == 0; }

private:
    TempDir dir_;
    std::string script_;
    std::unique_ptr<ScopedEnvironment> path_;
};

}  // namespace test_support
