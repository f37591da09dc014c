// The embedded host's machine manifest: what it accepts must be a set of
// disks it can stand behind (numbers in range, one image per disk, sector
// sizes it can serve); what it refuses it refuses with a ManifestError.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "platform/device/embedded/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        std::set<int> numbers;
        for (const auto& disk : platform::device::ParseMachineManifest(text)) {
            if (disk.number < 0 || disk.number > 999 || !numbers.insert(disk.number).second) __builtin_trap();
            if (disk.image.empty()) __builtin_trap();
            if (disk.sector_size < 512 || disk.sector_size > 4096 || (disk.sector_size & (disk.sector_size - 1)))
                __builtin_trap();
        }
    } catch (const platform::device::ManifestError&) {
    }
    return 0;
}
