// The partition-type table: an XML document of type codes and descriptions.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "disk/partition/part_types.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const auto rows = disk::ParsePartTypeTable(std::string_view(reinterpret_cast<const char*>(data), size));
        for (const auto& row : rows)
            if (row.key.size() > size || row.description.size() > 4 * size + 4) __builtin_trap();
    } catch (const std::runtime_error&) {
    }
    return 0;
}
