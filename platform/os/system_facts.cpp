#include "platform/os/system_facts.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

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

// Whether a server listens on the local socket `path` (with `abstract`, in
// the abstract namespace, where X servers listen too).
bool SocketAnswers(const std::string& path, bool abstract) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size() + (abstract ? 0 : 1));
    const bool answered = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
    ::close(fd);
    return answered;
}

// DISPLAY as ":N", ":N.S" or "unix:N" names a local X server; a host name
// before the colon (an ssh-forwarded display) is taken on trust.
bool XServerAnswers() {
    const std::string display = Environment("DISPLAY");
    const std::size_t colon = display.rfind(':');
    if (display.empty() || colon == std::string::npos) return false;
    const std::string host = display.substr(0, colon);
    if (!host.empty() && host != "unix") return true;
    const std::string number = display.substr(colon + 1, display.find('.', colon) - colon - 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::string socket = "/tmp/.X11-unix/X" + number;
    return SocketAnswers(socket, false) || SocketAnswers(socket, true);
}

bool WaylandAnswers() {
    const std::string name = Environment("WAYLAND_DISPLAY");
    if (name.empty()) return false;
    if (name[0] == '/') return SocketAnswers(name, false);
    const std::string runtime = Environment("XDG_RUNTIME_DIR");
    return !runtime.empty() && SocketAnswers(runtime + "/" + name, false);
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
    if (platform.rfind("xcb", 0) == 0) return XServerAnswers();
    if (platform.rfind("wayland", 0) == 0) return WaylandAnswers();
    if (!platform.empty()) return true;  // offscreen, vnc, eglfs ...: no display server needed
    return WaylandAnswers() || XServerAnswers();
}

std::string MachineArchitecture() {
    struct utsname names {};
    if (::uname(&names) != 0) return {};
    return names.machine;
}

std::string MachineProductName() { return ReadWholeText("/sys/devices/virtual/dmi/id/product_name"); }

std::string ProcessorDescription() { return ReadWholeText("/proc/cpuinfo"); }

}  // namespace platform
