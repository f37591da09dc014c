#include "platform/os/current_folder.h"

#include <filesystem>
#include <system_error>

namespace platform {

std::string CurrentFolder() {
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::current_path(ec);
    return ec ? std::string() : folder.string();
}

}  // namespace platform
