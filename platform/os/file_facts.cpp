#include "platform/os/file_facts.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

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

std::optional<std::int64_t> UsedBytesOf(const std::string& path) {
    struct statvfs st {};
    if (path.empty() || ::statvfs(path.c_str(), &st) != 0 || st.f_blocks < st.f_bfree) return std::nullopt;
    return static_cast<std::int64_t>((st.f_blocks - st.f_bfree) * st.f_frsize);
}

}  // namespace platform
