// MBR, EBR chains and GPT as a disk presents them.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_disk.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzDisk disk;
    if (!fuzz::FuzzDisk::From(data, size, disk)) return 0;
    auto layout = platform::device::ReadDiskLayout(disk.reader(), disk.size, disk.sector_size);
    // Whatever was believed must lie inside the disk.
    for (const auto& entry : layout.volumes())
        if (entry.start < 0 || entry.length < 0) __builtin_trap();
    return 0;
}
