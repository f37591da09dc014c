#include "crashreport/os/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace crashreport {

bool LinkFacts(const std::filesystem::path& path, FileOwnership& facts) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    facts.directory = S_ISDIR(st.st_mode);
    facts.link = S_ISLNK(st.st_mode);
    facts.owned_by_us = st.st_uid == ::geteuid();
    facts.open_to_others = (st.st_mode & 077) != 0;
    return true;
}

OwnFileWriter::~OwnFileWriter() { Close(); }

bool OwnFileWriter::Open(const std::filesystem::path& path) {
    Close();
    failed_ = false;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
    // A file that was there before keeps its mode through O_CREAT.
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || ::fchmod(fd_, 0600) != 0) {
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool OwnFileWriter::Write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (fd_ >= 0 && !failed_ && size > 0) {
        const ssize_t written = ::write(fd_, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            failed_ = true;
            break;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return fd_ >= 0 && !failed_;
}

bool OwnFileWriter::Close() {
    if (fd_ < 0) return !failed_;
    if (::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    return !failed_;
}

bool WriteOwnFile(const std::filesystem::path& path, std::string_view data) {
    OwnFileWriter file(path);
    if (!file.is_open()) return false;
    const bool written = file.Write(data) && file.Close();
    if (!written) {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    return written;
}

}  // namespace crashreport
