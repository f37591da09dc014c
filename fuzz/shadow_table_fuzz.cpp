// The snapshot list comes from dmsetup's table: every entry read from it
// must be whole and in range, whatever the lines hold.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "platform/device/shadow_copies.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string table(reinterpret_cast<const char*>(data), size);
    const auto copies = platform::device::ParseSnapshotTable(table);
    std::set<std::string> names;
    int number = 0;
    for (const auto& copy : copies) {
        if (copy.number != ++number || copy.size <= 0 || copy.size % 512 != 0 || copy.name.empty() ||
            copy.origin.empty() || copy.node != "/dev/mapper/" + copy.name || !names.insert(copy.name).second)
            __builtin_trap();
    }
    return 0;
}
