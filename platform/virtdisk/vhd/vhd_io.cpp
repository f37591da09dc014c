#include "platform/virtdisk/vhd/vhd_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform::virtdisk {

DWORD LastFileError() { return ErrorFromErrno(errno); }

DWORD VhdFileIo::open(const std::string& path, bool writable) {
    fd_.reset(::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    return fd_ ? ERROR_SUCCESS : LastFileError();
}

DWORD VhdFileIo::create(const std::string& path) {
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (fd_) return ERROR_SUCCESS;
    return errno == EEXIST ? ERROR_FILE_EXISTS : LastFileError();
}

bool VhdFileIo::read(void* buffer, std::size_t length, std::int64_t offset) const {
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(fd_.get(), out + done, length - done, offset + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;  // the file ends before the record does
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool VhdFileIo::write(const void* buffer, std::size_t length, std::int64_t offset) const {
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd_.get(), in + done, length - done, offset + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = ENOSPC;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t VhdFileIo::size() const {
    struct stat st {};
    return ::fstat(fd_.get(), &st) == 0 ? st.st_size : -1;
}

bool VhdFileIo::truncate(std::int64_t size) const { return ::ftruncate(fd_.get(), static_cast<off_t>(size)) == 0; }

bool VhdFileIo::sync() const { return ::fdatasync(fd_.get()) == 0; }

}  // namespace platform::virtdisk
