#include "platform/base/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <utility>

#include "platform/base/file_in_use.h"
#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"

namespace platform {

namespace {

bool FailFromErrno(int error) {
    SetLastErrorFromErrno(error);
    return false;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// "<folder>/.<stem>.tarnovell-<pid>-<n><extension>" for "<folder>/<stem><extension>".
std::string CandidateBeside(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    const bool has_extension = dot != std::string::npos && dot != 0;
    const std::string stem = has_extension ? name.substr(0, dot) : name;
    const std::string extension = has_extension ? name.substr(dot) : "";
    return folder + "." + stem + ".tarnovell-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) +
           extension;
}

// So that the rename itself survives a crash.
void SyncFolder(const std::string& folder) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

}  // namespace

FileReplacement::FileReplacement(std::string target, Start start) : target_(std::move(target)) {
    if (FileInUseAsDisk(target_)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return;
    }
    // The file replaced is read again only if its replacement fails: its
    // cached pages go now and leave their room to the new file's (a copy of
    // a large image would otherwise keep twice its size in memory, and pay
    // for it in every write).
    if (const int old = ::open(target_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); old >= 0) {
        struct stat st {};
        if (::fstat(old, &st) == 0 && S_ISREG(st.st_mode)) ::posix_fadvise(old, 0, 0, POSIX_FADV_DONTNEED);
        ::close(old);
    }
    constexpr int kAttempts = 100;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string candidate = CandidateBeside(target_);
        if (start == Start::Empty) {
            const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd < 0) {
                // Only a missing folder makes a new name fail with ENOENT.
                if (errno == ENOENT) SetLastError(ERROR_PATH_NOT_FOUND);
                else FailFromErrno(errno);
                return;
            }
            fd_ = fd;
            path_ = std::move(candidate);
            return;
        }
        struct stat st {};
        if (::lstat(candidate.c_str(), &st) == 0) continue;
        if (errno != ENOENT) {
            FailFromErrno(errno);
            return;
        }
        path_ = std::move(candidate);
        return;
    }
    SetLastError(ERROR_FILE_EXISTS);
}

FileReplacement::~FileReplacement() {
    if (committed_) return;
    // Cleaning up must not change the error the caller is about to read.
    const DWORD error = GetLastError();
    const int saved_errno = errno;
    discard();
    SetLastError(error);
    errno = saved_errno;
}

void FileReplacement::discard() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (!path_.empty()) ::unlink(path_.c_str());
    path_.clear();
}

bool FileReplacement::write(std::string_view bytes) {
    if (fd_ < 0) return SetLastError(ERROR_INVALID_HANDLE), false;
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FailFromErrno(errno);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

namespace {

// Gives the file open as `fd` the permissions of what is at `target` and
// syncs it. Only a change of mode is asked for: file systems that keep no
// modes (FAT, NTFS without user mapping) refuse even one that changes nothing.
bool Settle(int fd, const std::string& target) {
    struct stat old {}, fresh {};
    if (::stat(target.c_str(), &old) == 0 && ::fstat(fd, &fresh) == 0 &&
        (old.st_mode & 07777) != (fresh.st_mode & 07777) && ::fchmod(fd, old.st_mode & 07777) != 0)
        return FailFromErrno(errno);
    if (::fsync(fd) != 0) return FailFromErrno(errno);
    return true;
}

// Settles the file open as `fd` and renames `from` over `target`.
// `close_first`, when set, is called before the rename (a descriptor that
// must close cleanly for the data to count as written). The folder is
// synced after.
bool Install(int fd, const std::string& from, const std::string& target, const std::function<bool()>& close_first) {
    if (!Settle(fd, target)) return false;
    if (close_first && !close_first()) return FailFromErrno(errno);
    if (::rename(from.c_str(), target.c_str()) != 0) return FailFromErrno(errno);
    SyncFolder(FolderOf(target));
    return true;
}

}  // namespace

int FileReplacement::sync_descriptor(UniqueFd& own) {
    if (fd_ >= 0) return fd_;
    // A writer that made the file itself is synced through a descriptor of our own.
    own.reset(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
    if (!own) {
        const int error = errno;
        discard();
        FailFromErrno(error);
        return -1;
    }
    return own.get();
}

bool FileReplacement::commit() {
    if (committed_) return true;
    if (path_.empty()) return SetLastError(ERROR_INVALID_HANDLE), false;
    UniqueFd own;
    const int fd = sync_descriptor(own);
    if (fd < 0) return false;
    const bool installed = Install(fd, path_, target_, [this] { return fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0; });
    if (!installed) {
        const DWORD error = GetLastError();
        discard();
        SetLastError(error);
        return false;
    }
    committed_ = true;
    path_.clear();
    return true;
}

bool FileReplacement::commit_keeping_old(const std::string& backup, std::string* leftover) {
    if (committed_) return true;
    if (path_.empty()) return SetLastError(ERROR_INVALID_HANDLE), false;
    // The step that failed sets the error; putting things back must not change it.
    auto fail = [this](DWORD error) {
        discard();
        SetLastError(error);
        return false;
    };
    struct stat st {};
    if (backup == target_) return fail(ERROR_INVALID_PARAMETER);
    if (::lstat(target_.c_str(), &st) != 0) return fail(ErrorFromErrno(errno));
    if (!S_ISREG(st.st_mode)) return fail(ERROR_ACCESS_DENIED);
    std::string parked;
    if (::lstat(backup.c_str(), &st) == 0) {
        // Someone's folder (or device) of that name is not ours to move.
        if (!S_ISREG(st.st_mode)) return fail(ERROR_ACCESS_DENIED);
        parked = CandidateBeside(backup);
    } else if (errno != ENOENT) {
        return fail(ErrorFromErrno(errno));
    }
    {
        UniqueFd own;
        const int fd = sync_descriptor(own);
        if (fd < 0) return false;
        if (!Settle(fd, target_) || (fd_ >= 0 && ::close(std::exchange(fd_, -1)) != 0 && FailFromErrno(errno)))
            return fail(GetLastError());
    }

    if (!parked.empty() && !RenameWithoutReplacing(backup, parked)) return fail(GetLastError());
    auto unpark = [&] {
        if (!parked.empty()) RenameWithoutReplacing(parked, backup);
    };
    if (!RenameWithoutReplacing(target_, backup)) {
        const DWORD error = GetLastError();
        unpark();
        return fail(error);
    }
    if (!RenameWithoutReplacing(path_, target_)) {
        const DWORD error = GetLastError();
        RenameWithoutReplacing(backup, target_);
        unpark();
        return fail(error);
    }
    committed_ = true;
    path_.clear();
    SyncFolder(FolderOf(target_));
    if (!parked.empty() && ::unlink(parked.c_str()) != 0 && leftover) *leftover = parked;
    return true;
}

bool ReplaceFileContents(const std::string& path, std::string_view contents) {
    FileReplacement replacement(path);
    return replacement && replacement.write(contents) && replacement.commit();
}

bool MoveFileInPlace(const std::string& from, const std::string& target) {
    if (FileInUseAsDisk(target)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }
    UniqueFd fd(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return FailFromErrno(errno);
    return Install(fd.get(), from, target, nullptr);
}

bool RenameWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return FailFromErrno(errno);
    // A file system without the flag: a hard link cannot take an existing
    // name either, and the old name goes once the new one stands.
    if (::link(from.c_str(), to.c_str()) != 0) return FailFromErrno(errno);
    if (::unlink(from.c_str()) != 0) return FailFromErrno(errno);
    return true;
}

}  // namespace platform
