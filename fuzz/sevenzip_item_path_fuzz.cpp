// An archive item's path as the extraction turns it into names below its
// target folder: whatever it is, every name handed out is a plain one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "disk/bindings/sevenzip/item_path.h"
#include "platform/device/confined_folder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path(reinterpret_cast<const char*>(data), size);
    if (auto names = disk::sevenzip::ConfinedItemPath(path)) {
        if (names->empty()) std::abort();
        for (const auto& name : *names)
            if (!platform::IsPlainName(name) || name.find('\\') != std::string::npos) std::abort();
    }
    if (disk::sevenzip::NamesTheTargetItself(path) && disk::sevenzip::ConfinedItemPath(path)) std::abort();
    disk::sevenzip::UnnamedItemName(path);
    return 0;
}
