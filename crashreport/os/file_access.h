// Files the reporter leaves: reports, archives, pictures. The program runs
// as root, so what it writes is readable by the user alone (0600), and a
// name that turns out to be a link is never written through.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace crashreport {

// What lstat says of a name, without following a link there.
struct FileOwnership {
    bool directory = false;
    bool link = false;
    bool owned_by_us = false;   // the owner is the user we run as
    bool open_to_others = false;  // any group or other permission bit
};
bool LinkFacts(const std::filesystem::path& path, FileOwnership& facts);

// A file written from the start: created 0600 (an existing one is cut and
// set to 0600), refused when the name is a link.
class OwnFileWriter {
public:
    OwnFileWriter() = default;
    explicit OwnFileWriter(const std::filesystem::path& path) { Open(path); }
    ~OwnFileWriter();
    OwnFileWriter(const OwnFileWriter&) = delete;
    OwnFileWriter& operator=(const OwnFileWriter&) = delete;

    bool Open(const std::filesystem::path& path);
    bool is_open() const { return fd_ >= 0; }
    // False once any write failed.
    bool Write(const void* data, std::size_t size);
    bool Write(std::string_view text) { return Write(text.data(), text.size()); }
    // Closes the file; false when a write or the close failed.
    bool Close();

private:
    int fd_ = -1;
    bool failed_ = false;
};

// The whole of `data` as a new content of `path`; a file that could not be
// written completely is removed again.
bool WriteOwnFile(const std::filesystem::path& path, std::string_view data);

}  // namespace crashreport
