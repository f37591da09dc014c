// Small things every test program needs: a scratch folder that cleans up after
// itself, running a peer tool and reading what it printed, sparse image files.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

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

// Bytes a test writes and compares, made again the same from the same
// arguments. Noise that does not compress: a byte a draw of the Mersenne
// twister seeded with `seed`.
std::string RandomBytes(std::size_t size, unsigned seed);
// A cheap pattern that does not repeat within a few hundred KiB, so that a
// sector read from the wrong place shows, and in which two seeds differ in
// every byte.
std::string PatternBytes(std::size_t size, unsigned seed = 0);

// A flag the code under test keeps for the whole process (the copy cancel
// flag): every test leaves it as it found it, so that each test passes the
// same run alone, under ctest or in one process with all the others. A test
// that leaves it changed fails, and the flag is put back for the next.
void WatchSharedFlag(const char* name, std::atomic<bool>& flag);
// The watched flags' values, in the order they were watched; and the names
// of those that differ now from `before` (such values), put back.
std::vector<bool> SharedFlagValues();
std::vector<std::string> RestoreSharedFlags(const std::vector<bool>& before);

// What `action` raised, or "(no error)".
std::string ErrorOf(const std::function<void()>& action);

}  // namespace test_support
