#include "main/operations/main_state.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "platform/base/ascii.h"
#include "platform/os/system_facts.h"
#include "platform/os/folders.h"

namespace tarnovell {

std::string ExecutableFolder() {
    const std::string exe = platform::ExecutablePath();
    std::string folder = exe.empty() ? platform::CurrentFolder() : std::filesystem::path(exe).parent_path().string();
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string FindInProgramFolder(const std::string& folder, const std::string& name) {
    return platform::EntryNamedNoCase(folder, name).value_or(folder + name);
}

void PrepareStartup(MainState& state) {
    std::srand(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    state.quiet = false;
    state.program_folder = ExecutableFolder();
    state.view_mode = 0;
    state.units = "MB";
}

}  // namespace tarnovell
