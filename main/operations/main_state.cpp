#include "main/operations/main_state.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "platform/base/ascii.h"
#include "platform/os/system_facts.h"

namespace tarnovell {

std::string ExecutableFolder() {
    const std::string exe = platform::ExecutablePath();
    std::string folder = exe.empty() ? std::filesystem::current_path().string()
                                     : std::filesystem::path(exe).parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string FindInProgramFolder(const std::string& folder, const std::string& name) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (platform::EqualsNoCase(entry.path().filename().string(), name)) return entry.path().string();
    return folder + name;
}

void PrepareStartup(MainState& state) {
    std::srand(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    state.quiet = false;
    state.program_folder = ExecutableFolder();
    state.view_mode = 0;
    state.units = "MB";
}

}  // namespace tarnovell
