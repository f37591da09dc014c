// An image file read the way the device layer reads a disk: through a ReadAt.
// Every request is remembered so a test can check that nothing was asked for
// outside the range the code under test was given.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/device/records/partition_table.h"

namespace test_support {

class ImageReader {
public:
    struct Request {
        std::int64_t offset;
        std::size_t length;
    };

    // `lead` bytes of filler (0xA5) come before the image on the disk this
    // reader presents, so code can be run at an offset without copying files.
    explicit ImageReader(const std::string& path, std::int64_t lead = 0) : lead_(lead) {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (fd_ >= 0 && ::fstat(fd_, &info) == 0) image_size_ = info.st_size;
    }
    ~ImageReader() {
        if (fd_ >= 0) ::close(fd_);
    }
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    bool ok() const { return fd_ >= 0; }
    std::int64_t image_size() const { return image_size_; }
    std::int64_t disk_size() const { return lead_ + image_size_; }
    const std::vector<Request>& requests() const { return requests_; }

    // True when every request lay inside [begin, end).
    bool AllWithin(std::int64_t begin, std::int64_t end) const {
        for (const Request& r : requests_) {
            if (r.offset < begin || r.offset > end || static_cast<std::int64_t>(r.length) > end - r.offset) return false;
        }
        return true;
    }

    std::int64_t BytesRead() const {
        std::int64_t total = 0;
        for (const Request& r : requests_) total += static_cast<std::int64_t>(r.length);
        return total;
    }

    platform::device::ReadAt reader() {
        return [this](std::int64_t offset, void* buffer, std::size_t length) { return Read(offset, buffer, length); };
    }

private:
    bool Read(std::int64_t offset, void* buffer, std::size_t length) {
        requests_.push_back({offset, length});
        if (offset < 0 || static_cast<std::int64_t>(length) > disk_size() - offset) return false;
        auto* out = static_cast<char*>(buffer);
        while (length > 0 && offset < lead_) {
            *out++ = static_cast<char>(0xA5);
            ++offset;
            --length;
        }
        while (length > 0) {
            const ssize_t got = ::pread(fd_, out, length, offset - lead_);
            if (got <= 0) return false;
            out += got;
            offset += got;
            length -= static_cast<std::size_t>(got);
        }
        return true;
    }

    int fd_ = -1;
    std::int64_t lead_ = 0;
    std::int64_t image_size_ = 0;
    std::vector<Request> requests_;
};

}  // namespace test_support
