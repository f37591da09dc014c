// Loop devices a test makes and takes away itself, and what it needs to
// look at them: the mount table, the kernel's partitions, a process that
// keeps a mount busy, and the Linux host set up to offer only the test's own
// disks (so that nothing else is ever numbered, unmounted or written).
//
// Every user needs root and /dev/loop-control; LoopDevicesMissing() says why
// a test has to be skipped.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/loop.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/device/linux/linux_host.h"
#include "platform/device/registry.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace test_support {

inline ::testing::AssertionResult Sh(const std::string& command) {
    auto result = Run(command);
    if (result.exit_code == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << command << " exited " << result.exit_code << ":\n" << result.output;
}

// Why loop-device tests cannot run here ("" when they can), naming what is
// missing: root, the kernel's loop devices, or one of `tools`.
inline std::string LoopDevicesMissing(const std::vector<std::string>& tools = {}) {
    if (!IsRoot()) return "needs root: makes loop devices, mounts and unmounts";
    if (!std::filesystem::exists("/dev/loop-control")) return "no /dev/loop-control: this kernel has no loop devices";
    for (const char* tool : {"losetup", "blockdev", "sfdisk", "partx", "mount", "umount"})
        if (!HaveTool(tool)) return std::string(tool) + " is not installed (util-linux, fdisk)";
    for (const auto& tool : tools)
        if (!HaveTool(tool)) return tool + " is not installed";
    return "";
}

// Undoes the octal escapes of mountinfo and /proc/swaps.
inline std::string UnescapeMountPath(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct MountRecord {
    std::string root, target, options, fstype, source;
};

inline std::vector<MountRecord> ReadMounts() {
    std::vector<MountRecord> mounts;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::vector<std::string> f;
        for (std::string w; words >> w;) f.push_back(w);
        if (f.size() < 10) continue;
        auto dash = std::find(f.begin() + 6, f.end(), "-");
        if (dash == f.end() || f.end() - dash < 3) continue;
        mounts.push_back(
            {UnescapeMountPath(f[3]), UnescapeMountPath(f[4]), f[5], dash[1], UnescapeMountPath(dash[2])});
    }
    return mounts;
}

inline bool IsMounted(const std::string& folder) {
    for (const auto& m : ReadMounts())
        if (m.target == folder) return true;
    return false;
}

// The mounts made from `node`, as "target root fstype rw|ro atime", in
// mount order: what a remount has to bring back.
inline std::vector<std::string> MountsFrom(const std::string& node) {
    std::vector<std::string> result;
    for (const auto& m : ReadMounts()) {
        if (m.source != node) continue;
        std::string access = m.options.rfind("ro", 0) == 0 ? "ro" : "rw";
        std::string atime = m.options.find("noatime") != std::string::npos    ? "noatime"
                            : m.options.find("relatime") != std::string::npos ? "relatime"
                                                                              : "strictatime";
        result.push_back(m.target + " " + m.root + " " + m.fstype + " " + access + " " + atime);
    }
    return result;
}

// A partition as the kernel has it, or as a table on a disk describes it.
struct KernelPart {
    int number = 0;
    std::int64_t start = 0, sectors = 0;  // in 512-byte units, as sysfs has them
    bool operator==(const KernelPart&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const KernelPart& p) {
    return out << "p" << p.number << "@" << p.start << "+" << p.sectors;
}

inline std::int64_t SysNumber(const std::filesystem::path& file) {
    std::string text = ReadWholeFile(file.string());
    return text.empty() ? -1 : std::stoll(text);
}

// The kernel's partitions of disk `disk` ("loop3"), by number.
inline std::vector<KernelPart> KernelParts(const std::string& disk) {
    std::vector<KernelPart> parts;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/block/" + disk, ec))
        if (std::filesystem::exists(entry.path() / "partition"))
            parts.push_back({static_cast<int>(SysNumber(entry.path() / "partition")), SysNumber(entry.path() / "start"),
                             SysNumber(entry.path() / "size")});
    std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
    return parts;
}

// The partitions of the table on `image` (a disk or an image file) as sfdisk
// reads it, by number; extended containers left out, as the kernel shows
// them only as a stub.
inline std::vector<KernelPart> TableParts(const std::string& image) {
    std::vector<KernelPart> parts;
    std::istringstream lines(Run("sfdisk -d " + Quote(image) + " 2>/dev/null").output);
    const std::regex entry(R"(^\S*?(\d+) : start=\s*(\d+), size=\s*(\d+), type=([^,\s]+))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, entry)) continue;
        const std::string type = m[4];
        if (type == "5" || type == "f" || type == "85") continue;
        parts.push_back({std::stoi(m[1]), std::stoll(m[2]), std::stoll(m[3])});
    }
    std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.number < b.number; });
    return parts;
}

// Loop device numbers that no device has now, held for this test alone
// for as long as the claim lives: high ones, which the system hands out only
// when every lower one is taken. Test processes run side by side, so a
// number is claimed by a lock on a file of its own in /run/lock, which
// every test process on the machine sees, before it is looked at.
class LoopNumberClaim {
public:
    explicit LoopNumberClaim(std::size_t count) {
        std::filesystem::create_directories(kFolder);
        for (int n = 200; n < 256 && nodes_.size() < count; ++n) {
            const std::string name = "loop" + std::to_string(n);
            platform::UniqueFd lock(::open((kFolder + "/" + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                                           0600));
            if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) continue;
            if (std::filesystem::exists("/sys/block/" + name) || std::filesystem::exists("/dev/" + name)) continue;
            nodes_.push_back("/dev/" + name);
            locks_.push_back(std::move(lock));
        }
    }
    const std::vector<std::string>& nodes() const { return nodes_; }

private:
    inline static const std::string kFolder = "/run/lock/tarnovell-test-loops";
    std::vector<std::string> nodes_;
    std::vector<platform::UniqueFd> locks_;
};

// A loop device over a sparse image, with everything the test did to it
// (mounts, swap, device-mapper tables, kernel partitions) undone and the
// device detached when it goes, whatever state the test left it in.
class LoopDisk {
public:
    // Attaches `image` (made `size` bytes, partitioned with the sfdisk
    // script unless it is empty) to the first free loop device, or to
    // `device` when one is named. Null with `error` set on failure.
    static std::unique_ptr<LoopDisk> Make(const std::string& image, const std::string& sfdisk_script,
                                          std::string& error, const std::string& device = "",
                                          std::int64_t size = 64 << 20) {
        MakeSparseFile(image, size);
        if (!sfdisk_script.empty()) {
            auto r = Run("printf '%s' " + Quote(sfdisk_script) + " | sfdisk -q " + Quote(image));
            if (r.exit_code != 0) {
                error = "sfdisk: " + r.output;
                return nullptr;
            }
        }
        bool new_node = !device.empty() && !std::filesystem::exists("/sys/block/" +
                                                                    std::filesystem::path(device).filename().string());
        auto r = Run("losetup --partscan " + (device.empty() ? "--find --show" : Quote(device)) + " " + Quote(image));
        if (r.exit_code != 0) {
            error = "losetup: " + r.output;
            return nullptr;
        }
        std::string node = device.empty() ? r.output.substr(0, r.output.find('\n')) : device;
        auto disk = std::unique_ptr<LoopDisk>(new LoopDisk(node, new_node));
        // The kernel's read-only flag outlives the attachment: start writable.
        if (auto rw = Run("blockdev --setrw " + Quote(node)); rw.exit_code != 0) {
            error = "blockdev --setrw: " + rw.output;
            return nullptr;
        }
        // Partitions an earlier user of the device left with the kernel
        // (where it does not scan tables itself) are not this image's.
        if (!KernelParts(disk->name()).empty() && !disk->kernel_knows_table()) Run("partx -d " + Quote(node));
        return disk;
    }

    ~LoopDisk() {
        for (const auto& dm : device_mapper_) Run("dmsetup remove " + Quote(dm));
        std::ifstream swaps("/proc/swaps");
        for (std::string line; std::getline(swaps, line);) {
            std::string name = UnescapeMountPath(line.substr(0, line.find_first_of(" \t")));
            if (ours(name)) Run("swapoff " + Quote(name));
        }
        auto mounts = ReadMounts();
        for (auto it = mounts.rbegin(); it != mounts.rend(); ++it)
            if (ours(it->source)) Run("umount -l " + Quote(it->target));
        Run("blockdev --setrw " + Quote(node_));  // the flag would stay with the device
        // So would partitions the kernel was told of, on kernels that keep them.
        if (!KernelParts(name_).empty()) Run("partx -d " + Quote(node_));
        Run("losetup -d " + Quote(node_));
        if (new_node_) {
            // We made the device node by naming it: take it away again.
            platform::UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
            int number = std::stoi(name_.substr(4));
            if (control) ::ioctl(control.get(), LOOP_CTL_REMOVE, number);
        }
    }

    const std::string& name() const { return name_; }  // "loop3"
    const std::string& node() const { return node_; }  // "/dev/loop3"
    std::string part(int number) const { return node_ + "p" + std::to_string(number); }

    // The kernel here may not read partition tables itself: tell it with
    // partx (and make it forget again).
    ::testing::AssertionResult add_kernel_partitions() {
        if (!KernelParts(name_).empty()) return ::testing::AssertionSuccess();
        return Sh("partx -a " + Quote(node_));
    }
    ::testing::AssertionResult forget_kernel_partitions() {
        if (KernelParts(name_).empty()) return ::testing::AssertionSuccess();
        return Sh("partx -d " + Quote(node_));
    }
    // Whether the kernel's partitions are those of the table on the disk.
    bool kernel_knows_table() const { return KernelParts(name_) == TableParts(node_); }
    void note_device_mapper(const std::string& dm) { device_mapper_.push_back(dm); }

private:
    LoopDisk(std::string node, bool new_node)
        : node_(std::move(node)), name_(std::filesystem::path(node_).filename().string()), new_node_(new_node) {}

    // The disk's node or one of its partitions' (not loop12 for loop1).
    bool ours(const std::string& path) const {
        if (path == node_) return true;
        if (path.rfind(node_ + "p", 0) != 0 || path.size() == node_.size() + 1) return false;
        return std::all_of(path.begin() + static_cast<std::ptrdiff_t>(node_.size() + 1), path.end(),
                           [](char c) { return c >= '0' && c <= '9'; });
    }

    std::string node_, name_;
    bool new_node_;
    std::vector<std::string> device_mapper_;
};

// A child process that works inside a folder until it is dropped, which is
// what keeps a mount busy.
class ProcessInside {
public:
    explicit ProcessInside(const std::string& folder) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            if (::chdir(folder.c_str()) != 0) ::_exit(1);
            char ready = 'x';
            if (::write(fds[1], &ready, 1) != 1) ::_exit(1);
            ::pause();
            ::_exit(0);
        }
        ::close(fds[1]);
        char ready = 0;
        ready_ = pid_ > 0 && ::read(fds[0], &ready, 1) == 1;
        ::close(fds[0]);
    }
    ~ProcessInside() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ProcessInside(const ProcessInside&) = delete;
    ProcessInside& operator=(const ProcessInside&) = delete;
    bool ready() const { return ready_; }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

// A fresh exclusive open: what anyone else trying to take the device for
// themselves would get.
inline int ExclusiveOpenErrno(const std::string& node) {
    platform::UniqueFd fd(::open(node.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
    return fd ? 0 : errno;
}

// The device registry over the Linux host for a test's life, offering only
// the disks named (kernel names); the environment it changed is put back,
// and the registry dropped, when it goes.
class LinuxHostScope {
public:
    explicit LinuxHostScope(const std::string& state_file) : state_("TARNOVELL_STATE", state_file) {}
    ~LinuxHostScope() { platform::device::Registry::Reset(); }
    LinuxHostScope(const LinuxHostScope&) = delete;
    LinuxHostScope& operator=(const LinuxHostScope&) = delete;

    // Offers these disks, in this order of numbers, and installs a fresh
    // registry over them.
    void offer(const std::vector<std::string>& names) {
        std::string list;
        for (const auto& n : names) list += (list.empty() ? "" : ",") + n;
        disks_.set(list);
    }
    void install(const std::vector<std::string>& names) {
        offer(names);
        platform::device::Registry::Install(std::make_unique<platform::device::LinuxHost>());
    }

private:
    ScopedEnvironment host_{"TARNOVELL_HOST", nullptr};
    ScopedEnvironment state_;
    ScopedEnvironment disks_{"TARNOVELL_LINUX_DISKS", ""};  // nothing offered until asked
};

// Loop disks a test makes for the Linux host, each with its table, the
// kernel's partitions and ext4 made (and mounted at a folder of its own) on
// the partitions named; the host offers them once asked to. Everything goes
// with the object: the registry first, then the disks, then the folders.
class LoopMachine {
public:
    LoopMachine() : host_(work_.file("state.ini")) {}
    ~LoopMachine() { clear(); }
    LoopMachine(const LoopMachine&) = delete;
    LoopMachine& operator=(const LoopMachine&) = delete;

    LoopDisk* make(const std::string& name, const std::string& script, const std::vector<int>& ext4 = {},
                   std::int64_t size = 64 << 20) {
        std::string error;
        auto disk = LoopDisk::Make(images_.file(name + ".img"), script, error, "", size);
        EXPECT_TRUE(disk) << error;
        if (!disk) return nullptr;
        if (!script.empty()) {  // a blank disk has none to add
            EXPECT_TRUE(disk->add_kernel_partitions());
        }
        for (int p : ext4) {
            // Made whole at once: no background initialisation writes to it later.
            EXPECT_TRUE(Sh("mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 " + Quote(disk->part(p))));
            const std::string folder = mount_folder(name, p);
            std::filesystem::create_directories(folder);
            EXPECT_TRUE(Sh("mount -t ext4 " + Quote(disk->part(p)) + " " + Quote(folder)));
            WriteWholeFile(folder + "/hello.txt", name + " p" + std::to_string(p) + "\n");
        }
        EXPECT_TRUE(Sh("sync"));
        disks_.push_back(std::move(disk));
        return disks_.back().get();
    }
    std::string mount_folder(const std::string& name, int partition) const {
        return work_.file(name + "-p" + std::to_string(partition));
    }

    // A fresh registry over the Linux host that offers these disks.
    void offer(const std::vector<const LoopDisk*>& disks) {
        std::vector<std::string> names;
        for (const auto* d : disks) names.push_back(d->name());
        host_.install(names);
    }
    // The \\.\PhysicalDriveN the registry gives a disk.
    std::string path_of(const LoopDisk& disk) const {
        for (const auto& d : platform::device::Registry::instance().refresh()->disks)
            if (d.backing == disk.node()) return "\\\\.\\PhysicalDrive" + std::to_string(d.number);
        return "";
    }
    // Takes the disks away (the registry offering none of them first).
    void clear() {
        host_.install({});
        disks_.clear();
    }
    const TempDir& work() const { return work_; }
    const TempDir& images() const { return images_; }

private:
    TempDir images_, work_;  // first: they go after the disks
    LinuxHostScope host_;
    std::vector<std::unique_ptr<LoopDisk>> disks_;
};

}  // namespace test_support
