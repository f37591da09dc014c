// The crash reporter's reader of debug information: symbols and DWARF line
// tables of an ELF image, through libelf and libdw.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crashreport/os/map_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view image(reinterpret_cast<const char*>(data), size);
    const auto map = crashreport::TMapFile::FromElfImage(image, 0x400000, "fuzz");
    if (!map->valid()) return 0;
    // Every look-up answers within what was read.
    for (const crashreport::TMfLine& line : map->lines()) {
        std::uintptr_t next = 0;
        map->LineAt(line.address, next);
        map->FindPublic(line.address);
        map->SegmentAt(true, line.address);
    }
    for (const crashreport::TMfPublic& item : map->publics())
        if (map->FindPublicByName(item.code, "", true, item.name) == 0) __builtin_trap();
    return 0;
}
