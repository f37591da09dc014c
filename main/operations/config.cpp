#include "main/operations/config.h"


#include "main/operations/main_state.h"
#include "platform/base/ini_file.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

MainConfig ReadMainConfig(const std::string& program_folder) {
    MainConfig config;
    std::string path = FindInProgramFolder(program_folder, "config.ini");
    const auto facts = platform::FileFactsOf(path);
    if (!facts || !facts->is_regular()) return config;
    config.exists = true;

    auto ini = platform::IniFile::Load(path);
    // Only "1" switches a key on: "true" or "yes" leave the default.
    config.enable_advanced = ini.GetString("options", "enable_advanced", "0") == "1";
    config.hide_advanced = ini.GetString("options", "hide_advanced", "0") == "1";
    if (const auto* section = ini.FindSection("outlookbar")) config.outlookbar = section->entries;
    return config;
}

}  // namespace tarnovell
