#include "disk/formats/imagecheck/named_file.h"

#include <algorithm>
#include <vector>

#include "disk/formats/imagecheck/image_bytes.h"
#include "platform/base/win_error.h"
#include "platform/device/confined_folder.h"
#include "platform/os/file_facts.h"

namespace disk {

namespace {

bool ClimbsOut(const std::string& name) {
    std::size_t at = 0;
    while (at <= name.size()) {
        std::size_t slash = name.find('/', at);
        if (slash == std::string::npos) slash = name.size();
        if (name.compare(at, slash - at, "..") == 0 && slash - at == 2) return true;
        at = slash + 1;
    }
    return false;
}

bool IsAbsolute(const std::string& name) {
    return (!name.empty() && name[0] == '/') || (name.size() >= 2 && name[1] == ':');
}

}  // namespace

std::string FolderOfPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ResolveNamedFile(const std::string& image, const std::string& stored, const std::string& field,
                             StoredName rule) {
    if (auto found = FindNamedFile(image, stored, field, rule)) return *found;
    throw ImageCheckError(image + ": " + field + " \"" + stored + "\" is not there beside the image");
}

std::optional<std::string> FindNamedFile(const std::string& image, const std::string& stored,
                                         const std::string& field, StoredName rule) {
    auto refuse = [&](const std::string& what) -> std::string {
        throw ImageCheckError(image + ": " + field + " \"" + stored + "\" " + what);
    };
    std::string name = stored;
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.empty() || name.find('\0') != std::string::npos) refuse("is no file name");
    const std::string folder = FolderOfPath(image);
    std::vector<std::string> candidates;
    if (rule == StoredName::Relative) {
        if (IsAbsolute(name)) refuse("is an absolute path: only a file beside the image is read");
        if (ClimbsOut(name)) refuse("climbs out of the image's folder");
        candidates.push_back(folder + "/" + name);
    } else {
        if (!IsAbsolute(name) && !ClimbsOut(name)) candidates.push_back(folder + "/" + name);
        const std::string last = name.substr(name.find_last_of('/') + 1);
        if (last.empty() || last == "." || last == "..") refuse("is no file name");
        candidates.push_back(folder + "/" + last);
    }
    for (const auto& candidate : candidates) {
        const auto facts = platform::FileFactsOf(candidate);
        if (!facts) continue;
        if (!facts->is_regular()) refuse("is not a regular file (" + candidate + ")");
        if (!platform::IsInsideFolder(candidate, folder))
            refuse("leads out of the image's folder through a symbolic link (" + candidate + ")");
        return candidate;
    }
    return std::nullopt;
}

NamedFile OpenNamedFile(const std::string& image, const std::string& stored, const std::string& field) {
    // The checks of the name first, for their clearer refusals.
    const std::string path = ResolveNamedFile(image, stored, field, StoredName::Relative);
    std::string name = stored;
    std::replace(name.begin(), name.end(), '\\', '/');
    std::vector<std::string> components;
    for (std::size_t at = 0; at <= name.size();) {
        const std::size_t slash = std::min(name.find('/', at), name.size());
        if (slash > at && name.compare(at, slash - at, ".") != 0) components.push_back(name.substr(at, slash - at));
        at = slash + 1;
    }
    const platform::ConfinedFolder folder = platform::ConfinedFolder::Open(FolderOfPath(image));
    platform::Handle file = folder ? folder.OpenFileBelow(components) : platform::Handle();
    if (file) return {std::move(file), path};
    const platform::DWORD code = platform::GetLastError();
    if (code == platform::ERROR_ACCESS_DENIED)
        throw ImageCheckError(image + ": " + field + " \"" + stored + "\" is reached through a symbolic link (" + path +
                              "): only a regular file in the image's folder is read");
    throw ImageCheckError(image + ": " + field + " " + path + " cannot be opened: " + platform::SysErrorMessage(code));
}

}  // namespace disk
