// The boot sectors and superblocks the file-system probe and the facts
// reader look at (FAT, NTFS, exFAT, ext, XFS, btrfs).
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_disk.h"
#include "platform/device/filesystems/facts.h"
#include "platform/device/filesystems/probe.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzDisk disk;
    if (!fuzz::FuzzDisk::From(data, size, disk)) return 0;
    auto read = disk.reader();
    platform::device::ProbeFileSystem(read, 0, disk.size);
    platform::device::ReadFileSystemFacts(read, 0, disk.size);
    return 0;
}
