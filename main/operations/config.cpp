#include "main/operations/config.h"

#include <filesystem>
#include <system_error>

#include "main/operations/main_state.h"
#include "platform/base/ini_file.h"

namespace tarnovell {

MainConfig ReadMainConfig(const std::string& program_folder) {
    MainConfig config;
    std::string path = FindInProgramFolder(program_folder, "config.ini");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return config;
    config.exists = true;

    auto ini = platform::IniFile::Load(path);
    // Only "1" switches a key on: "true" or "yes" leave the default.
    config.enable_advanced = ini.GetString("options", "enable_advanced", "0") == "1";
    config.hide_advanced = ini.GetString("options", "hide_advanced", "0") == "1";
    if (const auto* section = ini.FindSection("outlookbar")) config.outlookbar = section->entries;
    return config;
}

}  // namespace tarnovell
