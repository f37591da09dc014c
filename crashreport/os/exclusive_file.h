// A text file held open and locked against every other writer for the
// whole of an update: the bug-report file is read, folded and rewritten as
// one step, so two failing programs never interleave their reports.
#pragma once

#include <filesystem>
#include <string>

namespace crashreport {

class ExclusiveFile {
public:
    ExclusiveFile() = default;
    ~ExclusiveFile();
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;

    // Creates the missing folders of the path, opens the file for reading
    // and writing (creating it) and takes an exclusive lock, waiting for
    // another holder at most `lock_wait_ms`.
    bool Open(const std::filesystem::path& path, int lock_wait_ms = 5000);
    bool is_open() const { return fd_ >= 0; }
    bool ReadAll(std::string& content);
    // Writes `content` from offset 0 and cuts the file there.
    bool ReplaceContent(const std::string& content);
    void Close();

private:
    int fd_ = -1;
};

// Removes a file (clearing a read-only mark first); false when it stays.
bool DeleteFileForced(const std::filesystem::path& path);

}  // namespace crashreport
