#include "disk/bindings/sevenzip/item_path.h"

namespace disk::sevenzip {

std::optional<std::vector<std::string>> ConfinedItemPath(const std::string& item_path) {
    if (item_path.empty() || item_path.find('\0') != std::string::npos) return std::nullopt;
    if (item_path[0] == '/' || item_path[0] == '\\') return std::nullopt;
    if (item_path.size() >= 2 && item_path[1] == ':') return std::nullopt;
    std::vector<std::string> names;
    std::string name;
    auto take = [&]() -> bool {
        if (name == "..") return false;
        if (!name.empty() && name != ".") names.push_back(name);
        name.clear();
        return true;
    };
    for (char c : item_path) {
        if (c == '/' || c == '\\') {
            if (!take()) return std::nullopt;
        } else {
            name += c;
        }
    }
    if (!take() || names.empty()) return std::nullopt;
    return names;
}

bool NamesTheTargetItself(const std::string& item_path) {
    if (item_path.empty() || item_path[0] == '/' || item_path[0] == '\\') return false;
    for (char c : item_path)
        if (c != '.' && c != '/' && c != '\\') return false;
    // Only "." names, no "..".
    std::string name;
    for (char c : item_path + "/") {
        if (c == '/' || c == '\\') {
            if (!name.empty() && name != ".") return false;
            name.clear();
        } else {
            name += c;
        }
    }
    return true;
}

std::string UnnamedItemName(const std::string& archive_path) {
    auto slash = archive_path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? archive_path : archive_path.substr(slash + 1);
    auto dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name.empty() || name == "." || name == ".." ? std::string("[no name]") : name;
}

}  // namespace disk::sevenzip
