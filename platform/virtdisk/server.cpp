#include "platform/virtdisk/server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/device/host/attached_disks.h"
#include "platform/os/child_process.h"
#include "platform/os/temp_folder.h"

namespace platform::virtdisk {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kStopTimeout = 20s;
std::atomic<std::chrono::milliseconds> start_timeout{20s};

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

enum class Unmounted { Now, Later, Not };

Unmounted Unmount(const std::string& folder) {
    if (RunChild({"fusermount3", "-u", "-q", folder}).exit_code == 0) return Unmounted::Now;
    // Still in use (a disk handle is open on it somewhere): the kernel
    // finishes the unmount, and the server ends, once the last user is gone.
    if (RunChild({"fusermount3", "-u", "-z", "-q", folder}).exit_code == 0) return Unmounted::Later;
    return Unmounted::Not;
}

// The server and the qemu-nbd it started, which lets go of the image a
// moment after the server has gone.
void WaitForEnd(int pid) {
    const auto deadline = std::chrono::steady_clock::now() + kStopTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        ReapIfChild(pid);
        // another process's child may stay a zombie
        if (!device::ProcessRunning(pid) && !ProcessGroupRunning(pid)) return;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace

// qemu's option text for the image: commas in a value are doubled. A VHD's
// disk is as large as its footer says, whoever made it, as we report it;
// qemu would otherwise go by the CHS geometry for some creators.
std::string ImageOptions(const std::string& image, const std::string& qemu_format) {
    std::string escaped;
    for (char c : image) {
        escaped += c;
        if (c == ',') escaped += ',';
    }
    std::string options = "driver=" + qemu_format;
    if (qemu_format == "vpc") options += ",force_size_calc=current_size";
    return options + ",file.driver=file,file.filename=" + escaped;
}

void SetServerStartTimeoutForTesting(std::chrono::milliseconds timeout) { start_timeout = timeout; }
std::chrono::milliseconds ServerStartTimeout() { return start_timeout.load(); }

bool CanServeImages(std::string* why) {
    auto fail = [&](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return fail("/dev/fuse is not usable");
    for (const char* tool : {"nbdfuse", "qemu-nbd", "fusermount3"})
        if (FindOnPath(tool).empty()) return fail(std::string(tool) + " is not installed");
    return true;
}

DWORD StartServing(const std::string& image, const char* qemu_format, bool read_only, ServedImage& served) {
    if (!CanServeImages()) return ERROR_NOT_SUPPORTED;
    served = ServedImage{};
    // The folder outlives this process when the attach does; StopServing
    // removes it, from whichever process detaches.
    served.mount_dir = ScratchFolder::Create("tarnovell-vdisk-").release();
    if (served.mount_dir.empty()) return ERROR_CANNOT_MAKE;
    served.file = served.mount_dir + "/disk";
    const std::string pid_file = served.mount_dir + ".pid";

    std::vector<std::string> argv = {"nbdfuse"};
    if (read_only) argv.push_back("--readonly");
    argv.insert(argv.end(), {"--pidfile", pid_file, served.file, "[", "qemu-nbd"});
    if (read_only) argv.push_back("--read-only");
    argv.insert(argv.end(), {"--image-opts", ImageOptions(image, qemu_format), "]"});
    served.pid = StartDetached(argv);
    if (served.pid <= 0) {
        fs::remove(served.mount_dir);
        return ERROR_NOT_SUPPORTED;
    }
    // nbdfuse writes its pid file once the file is there to be used.
    const auto deadline = std::chrono::steady_clock::now() + start_timeout.load();
    while (!FileExists(pid_file)) {
        ReapIfChild(served.pid);
        const bool running = device::ProcessRunning(served.pid);
        if (!running || std::chrono::steady_clock::now() > deadline) {
            // A server that never came up goes with the qemu-nbd it started:
            // both run in the process group that our child leads.
            if (running) StopProcessGroup(served.pid);
            StopServing(served);
            return ERROR_OPEN_FAILED;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::error_code ec;
    fs::remove(pid_file, ec);
    if (!FileExists(served.file)) {
        StopServing(served);
        return ERROR_OPEN_FAILED;
    }
    return ERROR_SUCCESS;
}

void StopServing(const ServedImage& served) {
    Unmounted unmounted = served.mount_dir.empty() ? Unmounted::Now : Unmount(served.mount_dir);
    // Once unmounted the server flushes the image and ends: wait for that,
    // so that the image is complete when the detach returns.
    if (served.pid > 0 && unmounted == Unmounted::Now) WaitForEnd(served.pid);
    if (!served.mount_dir.empty()) {
        std::error_code ec;
        fs::remove(served.mount_dir, ec);
        fs::remove(served.mount_dir + ".pid", ec);
    }
}

}  // namespace platform::virtdisk
