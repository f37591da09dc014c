#include "support/embedded_machine.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/device/registry.h"

namespace test_support {

void RunOn(const std::string& command, const std::string& path) {
    std::string expanded = command;
    for (auto at = expanded.find("%s"); at != std::string::npos; at = expanded.find("%s", at + 1))
        expanded.replace(at, 2, Quote(path));
    CommandResult result = Run(expanded);
    ASSERT_EQ(result.exit_code, 0) << expanded << "\n" << result.output;
}

EmbeddedMachine::EmbeddedMachine(const std::vector<DiskSpec>& disks) {
    std::ofstream manifest(this->manifest());
    for (std::size_t i = 0; i < disks.size(); ++i) {
        std::string path = image(static_cast<int>(i));
        MakeSparseFile(path, disks[i].size);
        for (const auto& command : disks[i].prepare) RunOn(command, path);
        manifest << "[disk" << i << "]\nimage=disk" << i << ".img\nvendor=ACME\nproduct=Test Disk " << i
                 << "\nrevision=1.0\nserial=000" << i << "\n"
                 << disks[i].extra_manifest_lines << "\n";
    }
    manifest.close();
    host_.emplace("TARNOVELL_HOST", this->manifest());
    platform::device::Registry::Reset();
}

EmbeddedMachine::~EmbeddedMachine() { platform::device::Registry::Reset(); }

DiskSpec PartitionedExt4Disk() {
    DiskSpec disk;
    disk.size = 8 << 20;
    disk.prepare = {"printf 'label: dos\\nstart=2048,size=8192,type=83\\n' | sfdisk -q %s",
                    "mkfs.ext4 -q -F -E offset=1048576 %s 4096"};
    return disk;
}

}  // namespace test_support
