#include "disk/formats/imagecheck/named_file.h"

#include <algorithm>
#include <vector>

#include "disk/formats/imagecheck/image_bytes.h"
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

}  // namespace disk
