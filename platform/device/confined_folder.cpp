#include "platform/device/confined_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/unique_fd.h"
#include "platform/device/handle_state.h"

namespace platform {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// ELOOP and ENOTDIR mean a link or a file stood where a folder was to be.
DWORD FailFromErrno(int err) {
    return SetLastErrorFromErrno(err == ELOOP || err == ENOTDIR ? EACCES : err);
}

// The folder holding the last component, entered step by step from `root`;
// with `create`, missing folders are made. An invalid descriptor with the
// last error set on failure.
UniqueFd ParentFolder(int root, const std::vector<std::string>& components, std::size_t count, bool create) {
    UniqueFd current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!current) return FailFromErrno(errno), UniqueFd();
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& name = components[i];
        UniqueFd next(::openat(current.get(), name.c_str(), kFolderFlags));
        if (!next && errno == ENOENT && create) {
            if (::mkdirat(current.get(), name.c_str(), 0755) != 0 && errno != EEXIST) return FailFromErrno(errno), UniqueFd();
            next.reset(::openat(current.get(), name.c_str(), kFolderFlags));
        }
        if (!next) return FailFromErrno(errno), UniqueFd();
        current = std::move(next);
    }
    return current;
}

// The handle of a regular file opened (without waiting) below `folder`:
// for writing, or else for reading.
Handle FileHandle(const std::string& folder, const std::vector<std::string>& components, UniqueFd file, bool writes) {
    ::fcntl(file.get(), F_SETFL, ::fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    auto state = std::make_unique<Handle::State>();
    state->kind = HandleKind::File;
    state->path = folder;
    for (const auto& name : components) state->path += "/" + name;
    state->backing_path = state->path;
    state->can_read = !writes;
    state->can_write = writes;
    state->fd = std::move(file);
    return Handle(std::move(state));
}

bool AllPlain(const std::vector<std::string>& components) {
    if (components.empty()) return false;
    for (const auto& name : components)
        if (!IsPlainName(name)) return false;
    return true;
}

}  // namespace

bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

ConfinedFolder::ConfinedFolder() = default;
ConfinedFolder::~ConfinedFolder() = default;
ConfinedFolder::ConfinedFolder(ConfinedFolder&&) noexcept = default;
ConfinedFolder& ConfinedFolder::operator=(ConfinedFolder&&) noexcept = default;

ConfinedFolder ConfinedFolder::Open(const std::string& folder) {
    ConfinedFolder confined;
    UniqueFd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
        FailFromErrno(errno);
        return confined;
    }
    confined.root_ = std::make_unique<UniqueFd>(std::move(root));
    confined.path_ = folder;
    return confined;
}

Handle ConfinedFolder::CreateFileBelow(const std::vector<std::string>& components) const {
    if (!root_ || !AllPlain(components)) return SetLastError(ERROR_INVALID_NAME), Handle();
    UniqueFd parent = ParentFolder(root_->get(), components, components.size() - 1, true);
    if (!parent) return Handle();
    // A link in the last place is not followed, and nothing but a regular
    // file (never a device node or FIFO) is opened.
    UniqueFd file(::openat(parent.get(), components.back().c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (!file) return FailFromErrno(errno), Handle();
    struct stat st {};
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return SetLastError(ERROR_ACCESS_DENIED), Handle();
    return FileHandle(path_, components, std::move(file), true);
}

Handle ConfinedFolder::OpenFileBelow(const std::vector<std::string>& components) const {
    if (!root_ || !AllPlain(components)) return SetLastError(ERROR_INVALID_NAME), Handle();
    UniqueFd parent = ParentFolder(root_->get(), components, components.size() - 1, false);
    if (!parent) return Handle();
    const char* name = components.back().c_str();
    struct stat named {};
    if (::fstatat(parent.get(), name, &named, AT_SYMLINK_NOFOLLOW) != 0) return FailFromErrno(errno), Handle();
    if (!S_ISREG(named.st_mode)) return SetLastError(ERROR_ACCESS_DENIED), Handle();
    // What is opened must be what was looked at: a name swapped meanwhile
    // for something else is refused (and, being opened without waiting, a
    // FIFO swapped in cannot hold us).
    UniqueFd file(::openat(parent.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file) return FailFromErrno(errno), Handle();
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != named.st_dev ||
        opened.st_ino != named.st_ino)
        return SetLastError(ERROR_ACCESS_DENIED), Handle();
    return FileHandle(path_, components, std::move(file), false);
}

bool ConfinedFolder::CreateFoldersBelow(const std::vector<std::string>& components) const {
    if (!root_ || !AllPlain(components)) return SetLastError(ERROR_INVALID_NAME), false;
    return static_cast<bool>(ParentFolder(root_->get(), components, components.size(), true));
}

bool ConfinedFolder::RemoveFileBelow(const std::vector<std::string>& components) const {
    if (!root_ || !AllPlain(components)) return SetLastError(ERROR_INVALID_NAME), false;
    UniqueFd parent = ParentFolder(root_->get(), components, components.size() - 1, false);
    if (!parent) return false;
    struct stat st {};
    if (::fstatat(parent.get(), components.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return FailFromErrno(errno), false;
    if (!S_ISREG(st.st_mode)) return SetLastError(ERROR_ACCESS_DENIED), false;
    if (::unlinkat(parent.get(), components.back().c_str(), 0) != 0) return FailFromErrno(errno), false;
    return true;
}

}  // namespace platform
