#include "crashreport/os/system_facts.h"

#include <grp.h>
#include <pwd.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "crashreport/os/memory.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/package_files.h"
#include "crashreport/text/string_toolkit.h"
#include "platform/os/thread_id.h"

namespace crashreport {

const std::array<const char*, 19> kVersionClassNames = {
    "None",          "Windows 95",      "Windows 95 OSR-2", "Windows 98",    "Windows 98 SE",
    "Windows ME",    "Windows 9x New",  "Windows NT 3",     "Windows NT 4",  "Windows 2000",
    "Windows XP",    "Windows 2003",    "Windows Vista",    "Windows 2008",  "Windows 7",
    "Windows 2008 R2", "Windows 8",     "Windows Server 8", "Windows NT New"};

std::uint8_t ClassifyWindowsVersion(std::uint32_t platform, std::uint32_t major, std::uint32_t minor,
                                    std::uint32_t build, bool workstation) {
    if (platform == 1) {
        if (major < 4) return 0;
        if (major > 4 || minor > 90) return 6;
        if (minor < 10) return build <= 1000 ? 1 : 2;
        if (minor == 10) return build > 2700 ? 5 : build > 2000 ? 4 : 3;
        return 5;
    }
    if (platform != 2) return 0;
    if (major < 4) return 7;
    if (major == 4) return 8;
    if (major == 5) return minor == 0 ? 9 : (minor == 1 || workstation) ? 10 : 11;
    if (major == 6) {
        switch (minor) {
            case 0: return workstation ? 12 : 13;
            case 1: return workstation ? 14 : 15;
            case 2: return workstation ? 16 : 17;
            default: return 18;
        }
    }
    return 18;
}

namespace {

std::string OsReleaseName() {
    std::ifstream release("/etc/os-release");
    std::string line;
    while (std::getline(release, line)) {
        if (!StartsWithStr("PRETTY_NAME=", line)) continue;
        std::string value = line.substr(12);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        return value;
    }
    return "Linux";
}

OsInformation ComputeOsInformation() {
    OsInformation info;
    utsname names{};
    std::string release;
    std::string machine;
    if (uname(&names) == 0) {
        release = names.release;
        machine = names.machine;
    }
    // "6.1.0-18-amd64": major, minor and patch level.
    unsigned numbers[3] = {0, 0, 0};
    std::sscanf(release.c_str(), "%u.%u.%u", &numbers[0], &numbers[1], &numbers[2]);
    info.major = numbers[0];
    info.minor = numbers[1];
    info.build = numbers[2];
    info.is_nt = true;
    info.version_class = info.class_nt = kVersionClassNtNew;
    info.is_x64 = machine == "x86_64";
    info.description = OsReleaseName() + ", Linux " + release;
    if (info.is_x64) info.description += " x64";
    return info;
}

}  // namespace

void GetOsVersionText(OsInformation& info) {
    static const OsInformation computed = ComputeOsInformation();
    info = computed;
}

std::string FileVersionNumberText(std::uint32_t low, std::uint32_t high) {
    return IntToText(static_cast<std::int32_t>(high >> 16)) + "." + IntToText(static_cast<std::int32_t>(high & 0xFFFF)) +
           "." + IntToText(static_cast<std::int32_t>(low >> 16)) + "." + IntToText(static_cast<std::int32_t>(low & 0xFFFF));
}

namespace {

// The digits after ".so." of a library's file name ("6.4.2" of
// libQt6Core.so.6.4.2); empty when there are none or anything else follows.
std::string VersionOfFileName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t so = name.find(".so.");
    if (so == std::string::npos) return {};
    const std::string version = name.substr(so + 4);
    for (char c : version)
        if (!(c == '.' || (c >= '0' && c <= '9'))) return {};
    return version;
}

}  // namespace

std::string GetFileVersionText(const std::string& path) {
    // The file a library's name links to carries its whole version
    // (libQt6Core.so.6 is libQt6Core.so.6.4.2); a name with only the
    // interface number (libc.so.6) says nothing of it, the package does.
    std::error_code error;
    const std::filesystem::path real = std::filesystem::canonical(path, error);
    const std::string from_name = VersionOfFileName(error ? path : real.string());
    if (from_name.find('.') != std::string::npos) return from_name;
    const std::string packaged = PackageVersionOfFile(path);
    return packaged.empty() ? from_name : packaged;
}

std::uint32_t TickCount() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::uint32_t TicksBetween(std::uint32_t start, std::uint32_t now) {
    return now >= start ? now - start : now - start - 1;
}

std::uint32_t TicksSince(std::uint32_t start) { return TicksBetween(start, TickCount()); }

std::int64_t UtcSecondsNow() {
    constexpr std::int64_t kSeconds1601To1970 = 11644473600;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::seconds>(now).count() + kSeconds1601To1970;
}

std::string GetComputerNameText() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::string UserNameText(bool& administrator) {
    const uid_t uid = geteuid();
    administrator = uid == 0;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return IntToText(static_cast<std::int32_t>(uid));
    std::string name = found->pw_name;
    if (!administrator) {
        gid_t groups[256];
        int count = 256;
        if (getgrouplist(found->pw_name, found->pw_gid, groups, &count) >= 0) {
            for (int i = 0; i < count && !administrator; ++i) {
                group g{};
                group* match = nullptr;
                char group_buffer[4096];
                if (getgrgid_r(groups[i], &g, group_buffer, sizeof group_buffer, &match) == 0 && match != nullptr) {
                    const std::string group_name = match->gr_name;
                    administrator = group_name == "sudo" || group_name == "wheel";
                }
            }
        }
    }
    return name;
}

std::uint32_t OwnProcessId() { return static_cast<std::uint32_t>(getpid()); }
// A Windows thread id is 32 bits; a Linux one fits (the kernel keeps them below 2^22).
std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(platform::CurrentThreadId()); }
// On Linux the main thread's id is the process id.
std::uint32_t MainThreadId() { return OwnProcessId(); }

std::string ProcessorNameText() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (!StartsWithStr("model name", line)) continue;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(colon + 1);
        ReplaceSubStrCase(name, "  ", " ", true);
        return TrimmedCopy(name);
    }
    return {};
}

unsigned ProcessorCount() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

double SystemUpTimeSeconds() {
    timespec since_boot{};
    if (clock_gettime(CLOCK_BOOTTIME, &since_boot) != 0) return 0;
    return static_cast<double>(since_boot.tv_sec) + static_cast<double>(since_boot.tv_nsec) / 1e9;
}

bool PhysicalMemoryStatus(std::uint64_t& free_bytes, std::uint64_t& total_bytes) {
    struct sysinfo facts {};
    if (sysinfo(&facts) != 0) return false;
    total_bytes = static_cast<std::uint64_t>(facts.totalram) * facts.mem_unit;
    // What Windows calls available also counts the page cache the kernel
    // gives back on demand.
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    std::uint64_t kib = 0;
    std::string unit;
    while (meminfo >> key >> kib >> unit) {
        if (key == "MemAvailable:") {
            free_bytes = kib * 1024;
            return true;
        }
    }
    free_bytes = static_cast<std::uint64_t>(facts.freeram) * facts.mem_unit;
    return true;
}

std::int64_t FreeDiskBytes(const std::filesystem::path& path) {
    struct statvfs facts {};
    if (statvfs(path.c_str(), &facts) != 0) return -1;
    return static_cast<std::int64_t>(facts.f_bavail) * static_cast<std::int64_t>(facts.f_frsize);
}

std::vector<std::string> CommandLineArguments() {
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    std::string argument;
    bool first = true;
    while (std::getline(cmdline, argument, '\0')) {
        if (!first) arguments.push_back(argument);
        first = false;
    }
    return arguments;
}

std::uint64_t AllocatedMemoryOutsideModules() {
    const std::vector<ModuleInfo> modules = ListModulesByVirtualQuery();
    const MemoryMapSnapshot map = MemoryMapSnapshot::Take();
    std::uint64_t total = 0;
    for (const auto& range : map.ranges()) {
        if (range.kind != MemoryMapSnapshot::Readable) continue;
        bool in_module = false;
        for (const ModuleInfo& module : modules)
            if (range.start < module.end && range.end > module.base) in_module = true;
        if (!in_module) total += range.end - range.start;
    }
    return total;
}

namespace {

std::mutex& ResourceLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::string>& Resources() {
    static std::map<std::string, std::string> resources;
    return resources;
}

std::string ResourceKey(std::string_view type, std::string_view name) {
    return UpperCopy(type) + '\n' + UpperCopy(name);
}

}  // namespace

void RegisterResource(std::string_view type, std::string_view name, std::string data) {
    std::lock_guard guard(ResourceLock());
    Resources()[ResourceKey(type, name)] = std::move(data);
}

std::string LoadResourceText(std::string_view type, std::string_view name) {
    std::lock_guard guard(ResourceLock());
    auto found = Resources().find(ResourceKey(type, name));
    return found == Resources().end() ? std::string() : found->second;
}

}  // namespace crashreport
