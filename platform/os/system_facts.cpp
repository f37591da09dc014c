#include "platform/os/system_facts.h"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace platform {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Whether `path` is a socket: where a display server listens. It is only
// looked at, never connected to: an X server whose only client hangs up
// resets itself, and the program's own connection arriving in that moment
// would be refused.
bool IsSocket(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// DISPLAY as ":N", ":N.S" or "unix:N" names a local X server; a host name
// before the colon (an ssh-forwarded display) is taken on trust.
bool XServerListens() {
    const std::string display = Environment("DISPLAY");
    const std::size_t colon = display.rfind(':');
    if (display.empty() || colon == std::string::npos) return false;
    const std::string host = display.substr(0, colon);
    if (!host.empty() && host != "unix") return true;
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    return IsSocket("/tmp/.X11-unix/X" + number);
}

bool WaylandListens() {
    const std::string name = Environment("WAYLAND_DISPLAY");
    if (name.empty()) return false;
    if (name[0] == '/') return IsSocket(name);
    const std::string runtime = Environment("XDG_RUNTIME_DIR");
    return !runtime.empty() && IsSocket(runtime + "/" + name);
}

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

bool DisplayAvailable() {
    const std::string platform = Environment("QT_QPA_PLATFORM");
    if (platform.rfind("xcb", 0) == 0) return XServerListens();
    if (platform.rfind("wayland", 0) == 0) return WaylandListens();
    if (!platform.empty()) return true;  // offscreen, vnc, eglfs ...: no display server needed
    return WaylandListens() || XServerListens();
}

std::string MachineArchitecture() {
    struct utsname names {};
    if (::uname(&names) != 0) return {};
    return names.machine;
}

std::string MachineProductName() { return ReadWholeText("/sys/devices/virtual/dmi/id/product_name"); }

std::string ProcessorDescription() { return ReadWholeText("/proc/cpuinfo"); }

}  // namespace platform
