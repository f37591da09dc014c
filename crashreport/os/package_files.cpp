#include "crashreport/os/package_files.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "crashreport/os/modules.h"

namespace crashreport {

namespace {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// The file a path names, through links.
bool IdentityOf(const std::string& path, FileIdentity& identity) {
    struct stat facts {};
    if (::stat(path.c_str(), &facts) != 0) return false;
    identity = {facts.st_dev, facts.st_ino};
    return true;
}

std::string BaseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

struct PackageDatabase {
    std::mutex lock;
    std::string folder = "/var/lib/dpkg";
    // File names the lists were read for, and where each was listed, with
    // the list's package ("libc6:amd64").
    std::set<std::string> scanned;
    std::multimap<std::string, std::pair<std::string, std::string>> listed;
    bool status_read = false;
    std::map<std::string, std::string> versions;
};

PackageDatabase& Database() {
    // Never destroyed: a report may be made while statics go.
    static PackageDatabase& database = *new PackageDatabase;
    return database;
}

// Reads the file lists of all packages once for every name of `names` not
// looked for before. The names of the loaded images come along the first
// time: a report asks for all of them, and the lists are long.
void ScanLists(PackageDatabase& database, std::set<std::string> names) {
    if (database.scanned.empty())
        for (const ModuleInfo& module : ListModulesByVirtualQuery()) names.insert(module.file_name);
    std::set<std::string> wanted;
    for (const std::string& name : names)
        if (database.scanned.insert(name).second) wanted.insert(name);
    if (wanted.empty()) return;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(database.folder + "/info", error)) {
        const std::string file = entry.path().filename().string();
        if (!file.ends_with(".list")) continue;
        const std::string package = file.substr(0, file.size() - 5);
        std::ifstream list(entry.path());
        for (std::string line; std::getline(list, line);) {
            std::string name = BaseName(line);
            if (wanted.count(name) != 0) database.listed.emplace(std::move(name), std::make_pair(line, package));
        }
    }
}

const std::map<std::string, std::string>& Versions(PackageDatabase& database) {
    if (!database.status_read) {
        std::ifstream in(database.folder + "/status", std::ios::binary);
        const std::string status((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        database.versions = InstalledPackageVersions(status);
        database.status_read = true;
    }
    return database.versions;
}

}  // namespace

std::map<std::string, std::string> InstalledPackageVersions(std::string_view status) {
    std::map<std::string, std::string> versions;
    std::string package, architecture, version;
    bool installed = false;
    auto finish = [&] {
        if (installed && !package.empty() && !version.empty()) {
            if (!architecture.empty()) versions[package + ":" + architecture] = version;
            versions.emplace(package, version);
        }
        package.clear();
        architecture.clear();
        version.clear();
        installed = false;
    };
    while (!status.empty()) {
        const std::size_t end = status.find('\n');
        std::string_view line = status.substr(0, end);
        status.remove_prefix(end == std::string_view::npos ? status.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {
            finish();
            continue;
        }
        const std::size_t colon = line.find(": ");
        if (colon == std::string_view::npos || line.front() == ' ') continue;
        const std::string_view field = line.substr(0, colon), value = line.substr(colon + 2);
        if (field == "Package") package = value;
        else if (field == "Architecture") architecture = value;
        else if (field == "Version") version = value;
        else if (field == "Status") installed = value.ends_with(" installed");
    }
    finish();
    return versions;
}

std::string UpstreamVersionNumbers(std::string_view version) {
    const std::size_t colon = version.find(':');
    if (colon != std::string_view::npos && version.substr(0, colon).find_first_not_of("0123456789") ==
                                               std::string_view::npos)
        version.remove_prefix(colon + 1);
    if (const std::size_t dash = version.rfind('-'); dash != std::string_view::npos) version = version.substr(0, dash);
    std::size_t numbers = version.find_first_not_of("0123456789.");
    if (numbers == std::string_view::npos) numbers = version.size();
    while (numbers > 0 && version[numbers - 1] == '.') --numbers;
    return std::string(numbers == 0 ? version : version.substr(0, numbers));
}

std::string PackageVersionOfFile(const std::string& path) {
    FileIdentity target;
    if (!IdentityOf(path, target)) return {};
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(path, error);
    const std::set<std::string> names = {BaseName(path), error ? BaseName(path) : real.filename().string()};
    PackageDatabase& database = Database();
    std::lock_guard guard(database.lock);
    ScanLists(database, names);
    for (const std::string& name : names) {
        const auto [first, last] = database.listed.equal_range(name);
        for (auto it = first; it != last; ++it) {
            FileIdentity listed;
            if (!IdentityOf(it->second.first, listed) || !(listed == target)) continue;
            const auto& versions = Versions(database);
            const auto found = versions.find(it->second.second);
            if (found != versions.end()) return UpstreamVersionNumbers(found->second);
        }
    }
    return {};
}

void SetPackageDatabaseFolder(const std::string& folder) {
    PackageDatabase& database = Database();
    std::lock_guard guard(database.lock);
    database.folder = folder.empty() ? "/var/lib/dpkg" : folder;
    database.scanned.clear();
    database.listed.clear();
    database.status_read = false;
    database.versions.clear();
}

}  // namespace crashreport
