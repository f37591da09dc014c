// config.ini, Wimscript.ini, the machine manifest and its state file all go
// through the one INI reader.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base/ini_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    platform::IniFile ini = platform::IniFile::Parse(text);
    // What we write must read back with every key where it was, holding
    // what it held: the state file is rewritten on every refresh.
    platform::IniFile again = platform::IniFile::Parse(ini.Serialize());
    for (const auto& section : ini.sections())
        for (const auto& entry : section.entries)
            if (again.Get(section.name, entry.first) != ini.Get(section.name, entry.first)) __builtin_trap();
    return 0;
}
