#include "platform/os/temp_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

#include "platform/base/scope_guard.h"
#include "platform/base/win_error.h"

namespace platform {

namespace {

bool UsableFolder(const char* path) {
    struct stat st {};
    return path && *path && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode) && ::access(path, W_OK | X_OK) == 0;
}

// Removes what `parent_fd` holds under `name`; `device` is the file system
// the removal may touch.
bool RemoveAt(int parent_fd, const char* name, dev_t device) {
    struct stat st {};
    if (::fstatat(parent_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return ::unlinkat(parent_fd, name, 0) == 0 || errno == ENOENT;
    if (st.st_dev != device) {
        errno = EXDEV;  // a mount point: its parent cannot go either
        return false;
    }
    const int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* folder = ::fdopendir(fd);
    if (!folder) {
        ::close(fd);
        return false;
    }
    ScopeGuard close_folder([folder] { ::closedir(folder); });
    // Read the names first: removing while reading may skip some.
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string entry_name = entry->d_name;
        if (entry_name != "." && entry_name != "..") names.push_back(entry_name);
    }
    bool all = true;
    int first_error = 0;
    for (const std::string& entry_name : names) {
        if (RemoveAt(fd, entry_name.c_str(), device)) continue;
        if (!first_error) first_error = errno;
        all = false;
    }
    if (!all) {
        errno = first_error;
        return false;
    }
    return ::unlinkat(parent_fd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

}  // namespace

std::string TemporaryFolder() {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string folder = UsableFolder(tmpdir) ? tmpdir : "/tmp";
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

bool RemoveTreeOnOneFileSystem(const std::string& path) {
    struct stat st {};
    if (path.empty()) return true;
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    return RemoveAt(AT_FDCWD, path.c_str(), st.st_dev);
}

ScratchFolder ScratchFolder::Create(const std::string& prefix, const std::string& parent) {
    std::string pattern = (parent.empty() ? TemporaryFolder() : parent) + "/" + prefix + "XXXXXX";
    ScratchFolder folder;
    if (!::mkdtemp(pattern.data())) {
        SetLastErrorFromErrno(errno);
        return folder;
    }
    folder.path_ = std::move(pattern);
    return folder;
}

ScratchFolder::~ScratchFolder() {
    // Cleaning up must not change the error the caller is about to read.
    const int saved_errno = errno;
    remove();
    errno = saved_errno;
}

ScratchFolder::ScratchFolder(ScratchFolder&& other) noexcept : path_(std::exchange(other.path_, {})) {}

ScratchFolder& ScratchFolder::operator=(ScratchFolder&& other) noexcept {
    if (this != &other) {
        remove();
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

std::string ScratchFolder::release() { return std::exchange(path_, {}); }

bool ScratchFolder::remove() {
    if (path_.empty()) return true;
    const bool removed = RemoveTreeOnOneFileSystem(path_);
    path_.clear();
    return removed;
}

}  // namespace platform
