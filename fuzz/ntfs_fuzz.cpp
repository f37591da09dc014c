// The NTFS reader over a whole volume: boot sector, $MFT's own record and
// runs, attribute lists, $Volume's label and the walk of $Bitmap.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_disk.h"
#include "platform/device/filesystems/ntfs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzDisk disk;
    if (!fuzz::FuzzDisk::From(data, size, disk)) return 0;
    // A claimed size past a few GiB only makes the bitmap walk slow.
    if (disk.size > (std::int64_t{4} << 30)) return 0;
    auto volume = platform::device::ntfs::Volume::Open(disk.reader(), 0, disk.size);
    if (!volume) return 0;
    volume->label();
    int runs = 0;
    volume->for_each_free_run([&](std::uint64_t, std::uint64_t) { return ++runs < 1000; });
    std::uint8_t bytes[64];
    volume->read_bitmap(0, bytes);
    return 0;
}
