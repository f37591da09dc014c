#include "crashreport/os/exclusive_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <system_error>

namespace crashreport {

ExclusiveFile::~ExclusiveFile() { Close(); }

bool ExclusiveFile::Open(const std::filesystem::path& path, int lock_wait_ms) {
    Close();
    std::error_code error;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), error);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
    for (int waited = 0;; waited += 10) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= lock_wait_ms) break;
        const timespec pause{0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    Close();
    return false;
}

bool ExclusiveFile::ReadAll(std::string& content) {
    content.clear();
    if (fd_ < 0) return false;
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd_, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        content.append(buffer, static_cast<std::size_t>(n));
        at += n;
    }
}

bool ExclusiveFile::ReplaceContent(const std::string& content) {
    if (fd_ < 0) return false;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::pwrite(fd_, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return ::ftruncate(fd_, static_cast<off_t>(content.size())) == 0;
}

void ExclusiveFile::Close() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
    fd_ = -1;
}

bool DeleteFileForced(const std::filesystem::path& path) {
    std::error_code error;
    std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add,
                                 error);
    std::filesystem::remove(path, error);
    return !std::filesystem::exists(path, error);
}

}  // namespace crashreport
