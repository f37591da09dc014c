#include "platform/os/folders.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/base/ascii.h"
#include "platform/base/win_error.h"

namespace platform {

namespace fs = std::filesystem;

std::string CurrentFolder() {
    std::error_code error;
    const fs::path folder = fs::current_path(error);
    return error ? std::string() : folder.string();
}

std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    const fs::path full = fs::absolute(path, error);
    return error ? path : full.string();
}

std::optional<std::string> ResolvedPath(const std::string& path) {
    std::error_code error;
    const fs::path full = fs::weakly_canonical(fs::absolute(path, error), error);
    if (error) return std::nullopt;
    return full.string();
}

std::optional<std::string> EntryNamedNoCase(const std::string& folder, const std::string& name) {
    std::error_code error;
    const fs::path exact = fs::path(folder) / name;
    if (fs::exists(exact, error)) return exact.string();
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (EqualsNoCase(entry.path().filename().string(), name)) return entry.path().string();
    return std::nullopt;
}

bool CreateFolders(const std::string& path) {
    std::error_code error;
    fs::create_directories(path, error);
    if (!error) return true;
    SetLastErrorFromErrno(error.value());
    return false;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return bytes;
}

}  // namespace platform
