// The image file under our VHD code: positioned reads and writes that move
// every byte or fail, and the records read and written whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"

namespace platform::virtdisk {

class VhdFileIo {
public:
    // ERROR_SUCCESS, or the system's error as a Windows code.
    DWORD open(const std::string& path, bool writable);
    // Makes a new file; ERROR_FILE_EXISTS when there is one.
    DWORD create(const std::string& path);

    explicit operator bool() const { return static_cast<bool>(fd_); }
    // False (with errno) when not every byte moved; a read past the end fails.
    bool read(void* buffer, std::size_t length, std::int64_t offset) const;
    bool write(const void* buffer, std::size_t length, std::int64_t offset) const;
    template <typename Record>
    bool read(Record& record, std::int64_t offset) const {
        return read(&record, sizeof record, offset);
    }
    template <typename Record>
    bool write(const Record& record, std::int64_t offset) const {
        return write(&record, sizeof record, offset);
    }
    // -1 when it cannot be told.
    std::int64_t size() const;
    bool truncate(std::int64_t size) const;
    bool sync() const;
    // False (with errno) when closing reported a late error.
    bool close() { return fd_.close(); }

private:
    UniqueFd fd_;
};

// The error of the last failed call above as a Windows code.
DWORD LastFileError();

}  // namespace platform::virtdisk
