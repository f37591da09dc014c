#include "support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform/os/temp_folder.h"

namespace test_support {

namespace {

struct SharedFlag {
    const char* name;
    std::atomic<bool>* flag;
};

std::vector<SharedFlag>& SharedFlags() {
    static std::vector<SharedFlag> flags;
    return flags;
}

}  // namespace

void WatchSharedFlag(const char* name, std::atomic<bool>& flag) {
    for (const SharedFlag& watched : SharedFlags())
        if (watched.flag == &flag) return;
    SharedFlags().push_back({name, &flag});
}

std::vector<bool> SharedFlagValues() {
    std::vector<bool> values;
    for (const SharedFlag& watched : SharedFlags()) values.push_back(watched.flag->load());
    return values;
}

std::vector<std::string> RestoreSharedFlags(const std::vector<bool>& before) {
    std::vector<std::string> changed;
    for (std::size_t i = 0; i < SharedFlags().size() && i < before.size(); ++i)
        if (SharedFlags()[i].flag->exchange(before[i]) != before[i]) changed.push_back(SharedFlags()[i].name);
    return changed;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarnovell-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

// A test that failed half-way may leave a file system mounted in its
// folder: the removal never empties it.
TempDir::~TempDir() { platform::RemoveTreeOnOneFileSystem(path_.string()); }

CommandResult Run(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    std::array<char, 4096> chunk;
    size_t got;
    while ((got = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) result.output.append(chunk.data(), got);
    int status = pclose(pipe);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool HaveTool(const std::string& program) {
    return Run("command -v " + Quote(program) + " >/dev/null").exit_code == 0;
}

bool IsRoot() { return geteuid() == 0; }

void MakeSparseFile(const std::string& path, std::int64_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc);
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size));
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

void WriteWholeFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::string PatternBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((seed + i * 131 + i / 977) & 0xFF);
    return bytes;
}

}  // namespace test_support
