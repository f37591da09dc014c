#include "platform/os/system_facts.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace platform {

namespace {

std::string ReadWholeText(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string ExecutablePath() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

int ProcessId() { return static_cast<int>(::getpid()); }

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::string MachineArchitecture() {
    struct utsname names {};
    if (::uname(&names) != 0) return {};
    return names.machine;
}

std::string MachineProductName() { return ReadWholeText("/sys/devices/virtual/dmi/id/product_name"); }

std::string ProcessorDescription() { return ReadWholeText("/proc/cpuinfo"); }

}  // namespace platform
