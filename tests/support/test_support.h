// Small things every test program needs: a scratch folder that cleans up after
// itself, running a peer tool and reading what it printed, sparse image files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace test_support {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

struct CommandResult {
    int exit_code = -1;
    std::string output;  // standard output and standard error, interleaved
};

// Runs `command` through sh and waits for it.
CommandResult Run(const std::string& command);

// True when `program` is on PATH.
bool HaveTool(const std::string& program);

bool IsRoot();

// Creates (or truncates) a sparse file of `size` bytes.
void MakeSparseFile(const std::string& path, std::int64_t size);

std::string ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::string& data);

// Shell-quotes one argument.
std::string Quote(const std::string& text);

// What `action` raised, or "(no error)".
std::string ErrorOf(const std::function<void()>& action);

}  // namespace test_support
