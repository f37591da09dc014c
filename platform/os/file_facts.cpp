#include "platform/os/file_facts.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace platform {

namespace {

FileKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::Regular;
    if (S_ISDIR(mode)) return FileKind::Folder;
    if (S_ISBLK(mode)) return FileKind::BlockDevice;
    if (S_ISCHR(mode)) return FileKind::CharacterDevice;
    if (S_ISLNK(mode)) return FileKind::Link;
    return FileKind::Other;
}

std::optional<FileFacts> FactsOf(const std::string& path, bool follow_links) {
    struct stat st {};
    if (path.empty() || (follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
        return std::nullopt;
    FileFacts facts;
    facts.kind = KindOf(st.st_mode);
    facts.file_system = static_cast<std::uint64_t>(st.st_dev);
    facts.file = static_cast<std::uint64_t>(st.st_ino);
    facts.device = static_cast<std::uint64_t>(st.st_rdev);
    facts.size = static_cast<std::int64_t>(st.st_size);
    return facts;
}

}  // namespace

std::optional<FileFacts> FileFactsOf(const std::string& path) { return FactsOf(path, true); }

std::optional<FileFacts> LinkFactsOf(const std::string& path) { return FactsOf(path, false); }

std::optional<std::string> RealPathOf(const std::string& path) {
    if (path.empty()) return std::nullopt;
    std::unique_ptr<char, void (*)(void*)> real(::realpath(path.c_str(), nullptr), std::free);
    if (!real) return std::nullopt;
    return std::string(real.get());
}

std::optional<std::int64_t> UsedBytesOf(const std::string& path) {
    struct statvfs st {};
    if (path.empty() || ::statvfs(path.c_str(), &st) != 0 || st.f_blocks < st.f_bfree) return std::nullopt;
    return static_cast<std::int64_t>((st.f_blocks - st.f_bfree) * st.f_frsize);
}

bool IsInsideFolder(const std::string& path, const std::string& folder) {
    const auto target = FileFactsOf(folder);
    if (!target || path.empty()) return false;
    // The real path of the nearest part of `path` that exists: every link
    // and ".." in it resolved, so that walking up its text walks up the
    // folders the path really passes through.
    std::string existing = path;
    std::optional<std::string> real;
    for (;;) {
        if ((real = RealPathOf(existing))) break;
        auto slash = existing.find_last_of('/');
        if (slash == std::string::npos) existing = ".";
        else if (slash == 0) existing = "/";
        else existing.erase(slash);
        if (existing == "." || existing == "/") {
            if (!(real = RealPathOf(existing))) return false;
            break;
        }
    }
    std::string walk = *real;
    for (;;) {
        if (auto facts = FileFactsOf(walk); facts && facts->same_file(*target)) return true;
        if (walk == "/" || walk.empty()) return false;
        auto slash = walk.find_last_of('/');
        walk = slash == 0 || slash == std::string::npos ? "/" : walk.substr(0, slash);
    }
}

}  // namespace platform
