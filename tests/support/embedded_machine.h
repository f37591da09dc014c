// A machine of image files for a test: builds the images and the manifest in
// a scratch folder and points the device registry at it for the test's life.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace test_support {

struct DiskSpec {
    std::int64_t size = 8 << 20;
    // Shell commands run on the image after it is created; "%s" in them is the image path.
    std::vector<std::string> prepare;
    std::string extra_manifest_lines;  // e.g. "readonly=1\n"
};

// An 8 MiB MBR disk with one 4 MiB ext4 partition at 1 MiB: something
// small but real to copy around.
DiskSpec PartitionedExt4Disk();

class EmbeddedMachine {
public:
    explicit EmbeddedMachine(const std::vector<DiskSpec>& disks);
    ~EmbeddedMachine();
    EmbeddedMachine(const EmbeddedMachine&) = delete;
    EmbeddedMachine& operator=(const EmbeddedMachine&) = delete;

    std::string image(int disk) const { return dir_.file("disk" + std::to_string(disk) + ".img"); }
    std::string manifest() const { return dir_.file("machine.ini"); }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    std::optional<ScopedEnvironment> host_;  // TARNOVELL_HOST naming our manifest
};

// Runs a shell command with "%s" replaced by `path`; fails the test on error.
void RunOn(const std::string& command, const std::string& path);

}  // namespace test_support
