#include "platform/device/linux/linux_host.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/loop.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>

#include "platform/device/host/attached_disks.h"
#include "platform/base/ascii.h"
#include "platform/base/unique_fd.h"
#include "platform/os/child_process.h"
#include "platform/os/temp_folder.h"
#include "platform/base/win_error.h"

namespace platform::device {

namespace fs = std::filesystem;

namespace {

// glibc's <sys/mount.h> has the older block ioctls but not this one, and
// <linux/fs.h> cannot be included beside it.
#ifndef BLKPBSZGET
#define BLKPBSZGET _IO(0x12, 123)
#endif

constexpr std::size_t kMaxDisks = 16;
constexpr std::int64_t kSysfsSector = 512;  // sysfs start/size are always in these units

// ---- small readers ----------------------------------------------------------

std::optional<std::string> ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

std::string ReadTrimmed(const std::string& path) { return Trim(ReadText(path).value_or("")); }

std::optional<std::int64_t> ReadNumber(const std::string& path) {
    std::string text = ReadTrimmed(path);
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < 0) return std::nullopt;
    return value;
}

struct DevNumber {
    unsigned major = 0, minor = 0;
    bool operator==(const DevNumber&) const = default;
};

std::optional<DevNumber> ParseDevNumber(const std::string& text) {
    unsigned ma = 0, mi = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%u:%u%c", &ma, &mi, &extra) != 2) return std::nullopt;
    return DevNumber{ma, mi};
}

// The kernel writes '/' in device names as '!' in sysfs (cciss!c0d0).
std::string DevPathOf(const std::string& kernel_name) {
    std::string name = kernel_name;
    std::replace(name.begin(), name.end(), '!', '/');
    return "/dev/" + name;
}

std::optional<DevNumber> DevNumberOfNode(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
    return DevNumber{::major(st.st_rdev), ::minor(st.st_rdev)};
}

// The major:minor of a block device node: from sysfs when the node's name
// is a kernel name, else from the node itself.
std::optional<DevNumber> DevNumberOf(const std::string& node) {
    if (node.rfind("/dev/", 0) == 0) {
        std::string name = node.substr(5);
        std::replace(name.begin(), name.end(), '/', '!');
        if (auto dev = ParseDevNumber(ReadTrimmed("/sys/class/block/" + name + "/dev"))) return dev;
    }
    return DevNumberOfNode(node);
}

// Undoes the octal escapes (\040 for a space, \011, \012, \134) that
// mountinfo and /proc/swaps put in paths.
std::string UnescapeOctal(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const char a = text[i + 1], b = text[i + 2], c = text[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// The entries of a folder; none when it cannot be read. Never throws, as a
// folder of sysfs may vanish while it is read.
std::vector<fs::path> ListFolder(const std::string& folder) {
    std::vector<fs::path> entries;
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) entries.push_back(it->path());
    return entries;
}

std::vector<std::string> SplitOn(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

// "sda" < "sdb", "loop2" < "loop10", "nvme0n1" < "nvme0n2" < "nvme1n1".
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
    return a < b;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// ---- mount table --------------------------------------------------------------

struct MountEntry {
    DevNumber dev;
    std::string root;           // the folder of the file system this mount shows ("/" for all of it)
    std::string target;
    std::string mount_options;  // per-mount: rw/ro, nosuid, relatime, ...
    std::string fstype;
    std::string source;
    std::string super_options;  // the file system's own options
};

std::vector<MountEntry> ReadMountInfo() {
    std::vector<MountEntry> mounts;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream words(line);
        for (std::string word; words >> word;) fields.push_back(word);
        // id parent major:minor root target options [optional...] - fstype source super
        auto dash = std::find(fields.begin() + std::min<std::size_t>(6, fields.size()), fields.end(), "-");
        if (fields.size() < 6 || dash == fields.end() || fields.end() - dash < 3) continue;
        auto dev = ParseDevNumber(fields[2]);
        if (!dev) continue;
        MountEntry m;
        m.dev = *dev;
        m.root = UnescapeOctal(fields[3]);
        m.target = UnescapeOctal(fields[4]);
        m.mount_options = fields[5];
        m.fstype = UnescapeOctal(dash[1]);
        m.source = UnescapeOctal(dash[2]);
        m.super_options = dash + 3 < fields.end() ? UnescapeOctal(dash[3]) : "";
        mounts.push_back(std::move(m));
    }
    return mounts;
}

// Whether a mount shows the file system on `node`. File systems that report
// a virtual device number (btrfs) are matched by the source they were
// mounted from.
bool MountIsOf(const MountEntry& m, const std::optional<DevNumber>& dev, const std::string& node) {
    if (dev && m.dev == *dev) return true;
    if (m.source.empty() || m.source[0] != '/') return false;
    if (m.source == node) return true;
    auto source_dev = DevNumberOfNode(m.source);
    return dev && source_dev && *source_dev == *dev;
}

std::vector<MountEntry> MountsOf(const std::string& node) {
    std::vector<MountEntry> result;
    if (node.empty()) return result;
    auto dev = DevNumberOf(node);
    for (auto& m : ReadMountInfo())
        if (MountIsOf(m, dev, node)) result.push_back(std::move(m));
    return result;
}

std::vector<DevNumber> ActiveSwapDevices() {
    std::vector<DevNumber> result;
    std::ifstream in("/proc/swaps");
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name, type;
        if (!(words >> name >> type) || type != "partition") continue;
        if (auto dev = DevNumberOfNode(UnescapeOctal(name))) result.push_back(*dev);
    }
    return result;
}

bool HasHolders(const std::string& sysfs_dir) {
    std::error_code ec;
    fs::directory_iterator it(sysfs_dir + "/holders", ec);
    return !ec && it != fs::directory_iterator();
}

// ---- kernel partitions --------------------------------------------------------

struct KernelPartition {
    std::string name;   // kernel name, e.g. "sda1", "nvme0n1p2", "loop3p1"
    int number = 0;     // the kernel's slot (pno)
    std::int64_t start = 0;   // bytes
    std::int64_t length = 0;  // bytes
    std::optional<DevNumber> dev;
    std::string sysfs_dir;
    std::string node() const { return DevPathOf(name); }
};

std::vector<KernelPartition> KernelPartitionsOf(const std::string& disk_name) {
    std::vector<KernelPartition> parts;
    const std::string dir = "/sys/block/" + disk_name;
    for (const auto& entry : ListFolder(dir)) {
        const std::string sub = entry.string();
        auto number = ReadNumber(sub + "/partition");
        if (!number) continue;
        auto start = ReadNumber(sub + "/start");
        auto size = ReadNumber(sub + "/size");
        if (!start || !size) continue;
        KernelPartition p;
        p.name = entry.filename().string();
        p.number = static_cast<int>(*number);
        p.start = *start * kSysfsSector;
        p.length = *size * kSysfsSector;
        p.dev = ParseDevNumber(ReadTrimmed(sub + "/dev"));
        p.sysfs_dir = sub;
        parts.push_back(std::move(p));
    }
    std::sort(parts.begin(), parts.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    return parts;
}

// ---- disk description ---------------------------------------------------------

bool SkippedByName(const std::string& name) {
    static const char* const prefixes[] = {"ram", "zram", "sr", "fd", "md", "dm-"};
    for (const char* prefix : prefixes)
        if (StartsWith(name, prefix)) return true;
    return false;
}

std::string LoopBackingFile(const std::string& name) {
    return ReadTrimmed("/sys/block/" + name + "/loop/backing_file");
}

// The /dev/disk/by-id names that resolve to `node`, sorted.
std::vector<std::string> ByIdNames(const std::string& node) {
    std::vector<std::string> names;
    std::error_code ec;
    auto target = fs::canonical(node, ec);
    if (ec) return names;
    for (const auto& entry : ListFolder("/dev/disk/by-id")) {
        std::error_code ec2;
        if (fs::canonical(entry, ec2) == target && !ec2) names.push_back(entry.filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The by-id name that says most about the disk: a bus-model-serial name
// before a bare WWN or EUI.
std::string PreferredById(const std::vector<std::string>& names) {
    for (const auto& n : names)
        if (!StartsWith(n, "wwn-") && !StartsWith(n, "nvme-eui.") && !StartsWith(n, "nvme-nvme.")) return n;
    return names.empty() ? "" : names.front();
}

// "ata-Samsung_SSD_860_S3Z9NB0K123456" gives "S3Z9NB0K123456"; a USB name's
// trailing "-0:0" is not part of the serial.
std::string SerialFromById(std::string name) {
    if (auto dash = name.find('-'); dash != std::string::npos) name = name.substr(dash + 1);
    if (auto dash = name.rfind('-'); dash != std::string::npos && name.find(':', dash) != std::string::npos)
        name = name.substr(0, dash);
    if (auto underscore = name.rfind('_'); underscore != std::string::npos) return name.substr(underscore + 1);
    return "";
}

std::uint32_t BusOfDevicePath(const std::string& device_path) {
    // USB first: a USB stick shows a SCSI host below its USB port.
    if (device_path.find("/usb") != std::string::npos) return BusTypeUsb;
    if (device_path.find("/ata") != std::string::npos) return BusTypeSata;
    if (device_path.find("/end_device-") != std::string::npos) return BusTypeSas;
    if (device_path.find("/rport-") != std::string::npos) return BusTypeFibre;
    if (device_path.find("/session") != std::string::npos) return BusTypeiScsi;
    if (device_path.find("/fw") != std::string::npos || device_path.find("firewire") != std::string::npos)
        return BusType1394;
    // NVMe, virtio, loop and the rest: callers of the storage query know the
    // classic buses only, and NVMe and virtio disks take SCSI commands'
    // semantics (the kernel even translates for NVMe), so they are reported
    // as SCSI.
    return BusTypeScsi;
}

std::string FirstNonEmpty(std::initializer_list<std::string> candidates) {
    for (const auto& c : candidates)
        if (!c.empty()) return c;
    return "";
}

std::optional<DiskInfo> DescribeDisk(const std::string& name) {
    const std::string sys = "/sys/block/" + name;
    const bool loop = StartsWith(name, "loop");
    const std::string backing_file = loop ? LoopBackingFile(name) : "";
    if (loop && backing_file.empty()) return std::nullopt;  // an unbound loop device is no disk

    DiskInfo disk;
    disk.backing = DevPathOf(name);

    UniqueFd fd(::open(disk.backing.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    std::uint64_t size = 0;
    int logical = 0;
    unsigned int physical = 0;
    if (fd && ::ioctl(fd.get(), BLKGETSIZE64, &size) == 0) {
        disk.size = static_cast<std::int64_t>(size);
        if (::ioctl(fd.get(), BLKSSZGET, &logical) != 0) logical = 0;
        if (::ioctl(fd.get(), BLKPBSZGET, &physical) != 0) physical = 0;
    } else {
        disk.size = ReadNumber(sys + "/size").value_or(0) * kSysfsSector;
    }
    if (logical <= 0) logical = static_cast<int>(ReadNumber(sys + "/queue/logical_block_size").value_or(512));
    if (physical == 0) physical = static_cast<unsigned>(ReadNumber(sys + "/queue/physical_block_size").value_or(0));
    disk.sector_size = logical > 0 ? static_cast<std::uint32_t>(logical) : 512;
    disk.physical_sector_size = physical >= disk.sector_size ? physical : disk.sector_size;

    std::error_code ec;
    const std::string device_path = fs::canonical(sys, ec).string();
    const std::string dev = sys + "/device/";
    auto by_id = loop ? std::vector<std::string>{} : ByIdNames(disk.backing);
    const std::string by_id_name = PreferredById(by_id);
    const std::string wwid = FirstNonEmpty({ReadTrimmed(dev + "wwid"), ReadTrimmed(sys + "/wwid")});
    const std::string serial = FirstNonEmpty({ReadTrimmed(dev + "serial"), ReadTrimmed(sys + "/serial")});

    if (loop) {
        disk.identity = "linux:loop:" + backing_file;
        disk.vendor = "Linux";
        disk.product = "Loop " + fs::path(backing_file).filename().string();
        disk.bus_type = BusTypeScsi;
    } else {
        disk.identity = "linux:" + FirstNonEmpty({by_id_name, wwid, serial, disk.backing});
        disk.vendor = ReadTrimmed(dev + "vendor");
        disk.product = ReadTrimmed(dev + "model");
        disk.revision = FirstNonEmpty({ReadTrimmed(dev + "rev"), ReadTrimmed(dev + "firmware_rev")});
        disk.serial = FirstNonEmpty({serial, by_id_name.empty() ? "" : SerialFromById(by_id_name), wwid});
        disk.bus_type = BusOfDevicePath(device_path);
        if (device_path.find("/virtio") != std::string::npos) {
            // virtio shows a PCI vendor number where a name belongs
            if (StartsWith(disk.vendor, "0x")) disk.vendor = "Virtio";
            if (disk.product.empty()) disk.product = "Block Device";
        }
    }
    disk.removable = ReadTrimmed(sys + "/removable") == "1";
    disk.media_read_only = ReadTrimmed(sys + "/ro") == "1";
    std::string cache = ReadTrimmed(sys + "/queue/write_cache");
    disk.write_cache_enabled = cache.empty() || cache == "write back";
    return disk;
}

// The kernel name of the disk behind a /dev node we handed out.
std::string KernelNameOf(const std::string& backing) {
    std::string name = backing.rfind("/dev/", 0) == 0 ? backing.substr(5) : fs::path(backing).filename().string();
    std::replace(name.begin(), name.end(), '/', '!');
    return name;
}

// ---- unmounting and putting mounts back -----------------------------------------

struct SavedMount {
    std::string source, target, fstype, root;
    unsigned long mount_flags = 0;  // MS_* of this mount (rw/ro, nosuid, atime, ...)
    unsigned long super_flags = 0;  // MS_* of the file system itself
    std::string data;               // the file system's options that are not flags
};

constexpr unsigned long kPerMountFlags = MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC | MS_NOATIME | MS_NODIRATIME |
                                         MS_RELATIME | MS_STRICTATIME | MS_NOSYMFOLLOW;

SavedMount SaveMount(const MountEntry& m) {
    static const std::map<std::string, unsigned long> mount_flags = {
        {"ro", MS_RDONLY},         {"nosuid", MS_NOSUID},           {"nodev", MS_NODEV},
        {"noexec", MS_NOEXEC},     {"noatime", MS_NOATIME},         {"nodiratime", MS_NODIRATIME},
        {"relatime", MS_RELATIME}, {"strictatime", MS_STRICTATIME}, {"nosymfollow", MS_NOSYMFOLLOW},
    };
    static const std::map<std::string, unsigned long> super_flags = {
        {"ro", MS_RDONLY}, {"sync", MS_SYNCHRONOUS}, {"dirsync", MS_DIRSYNC}, {"lazytime", MS_LAZYTIME},
        {"mand", MS_MANDLOCK},
    };
    SavedMount saved;
    saved.source = m.source;
    saved.target = m.target;
    saved.fstype = m.fstype;
    saved.root = m.root;
    for (const auto& option : SplitOn(m.mount_options, ','))
        if (auto it = mount_flags.find(option); it != mount_flags.end()) saved.mount_flags |= it->second;
    // mountinfo names no atime option for strictatime, and mount(2) would
    // make that relatime.
    if (!(saved.mount_flags & (MS_NOATIME | MS_RELATIME))) saved.mount_flags |= MS_STRICTATIME;
    std::string data;
    for (const auto& option : SplitOn(m.super_options, ',')) {
        if (option.empty() || option == "rw") continue;
        if (auto it = super_flags.find(option); it != super_flags.end()) {
            saved.super_flags |= it->second;
            continue;
        }
        if (!data.empty()) data += ',';
        data += option;
    }
    saved.data = data;
    return saved;
}

// Runs mount(8) for file systems that live in a user-space daemon (FUSE),
// which mount(2) alone cannot bring back.
bool MountWithHelper(const SavedMount& m, const std::string& source, const std::string& target) {
    std::vector<std::string> args = {"mount"};
    std::string type = m.fstype;
    if (auto dot = type.find('.'); dot != std::string::npos) type = type.substr(dot + 1);
    else type.clear();  // plain "fuseblk": let mount(8) find the driver
    if (!type.empty()) args.insert(args.end(), {"-t", type});
    std::string options = (m.super_flags & MS_RDONLY) ? "ro" : "rw";
    if (!m.data.empty()) options += "," + m.data;
    args.insert(args.end(), {"-o", options, source, target});
    return RunChild(args).succeeded();
}

// Mounts the whole file system at `target` as it was (its own flags and
// options); the mount's own flags come after, from ApplyMountFlags. Asking
// for a read-only mount here would make the file system read-only, or fail
// while it is still mounted writable elsewhere.
bool MountWhole(const SavedMount& m, const std::string& device, const std::string& target) {
    // The recorded source when it still names the device, else the device.
    std::string source = device;
    if (!m.source.empty() && m.source[0] == '/') {
        auto a = DevNumberOfNode(m.source), b = DevNumberOfNode(device);
        if (a && b && *a == *b) source = m.source;
    }
    const unsigned long flags = m.super_flags | (m.mount_flags & ~MS_RDONLY);
    const char* data = m.data.empty() ? nullptr : m.data.c_str();
    if (::mount(source.c_str(), target.c_str(), m.fstype.c_str(), flags, data) == 0) return true;
    int err = errno;
    // Options the file system shows but does not take back come last.
    if (data && ::mount(source.c_str(), target.c_str(), m.fstype.c_str(), flags, nullptr) == 0) return true;
    if (StartsWith(m.fstype, "fuse") && MountWithHelper(m, source, target)) return true;
    errno = err;
    return false;
}

// Gives a mount made at `m.target` the per-mount flags `m` had. A mount that
// was read-only and cannot be made so again is taken away rather than left
// writable.
bool ApplyMountFlags(const SavedMount& m) {
    if (::mount(nullptr, m.target.c_str(), nullptr, MS_REMOUNT | MS_BIND | (m.mount_flags & kPerMountFlags),
                nullptr) == 0)
        return true;
    if (!(m.mount_flags & MS_RDONLY)) return true;  // the folder is back, which matters more
    int err = errno;
    ::umount2(m.target.c_str(), UMOUNT_NOFOLLOW);
    errno = err;
    return false;
}

// Puts the mounts back in the order they were made. A mount of a folder
// inside the file system (a bind mount) is made from a mount of all of it:
// one put back before, or else a temporary one.
bool RestoreMounts(const std::vector<SavedMount>& mounts, const std::string& device) {
    bool all = true;
    int first_error = 0;
    std::vector<const SavedMount*> whole;
    for (const auto& m : mounts) {
        bool ok = false;
        if (m.root == "/") {
            ok = MountWhole(m, device, m.target) && ApplyMountFlags(m);
            if (ok) whole.push_back(&m);
        } else if (!whole.empty()) {
            ok = ::mount((whole.front()->target + m.root).c_str(), m.target.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                 ApplyMountFlags(m);
        } else {
            // The folder goes once the whole file system is off it again.
            if (ScratchFolder folder = ScratchFolder::Create("tarnovell-remount-")) {
                if (MountWhole(m, device, folder.path())) {
                    ok = ::mount((folder.path() + m.root).c_str(), m.target.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
                         ApplyMountFlags(m);
                    int err = errno;
                    ::umount2(folder.path().c_str(), MNT_DETACH);
                    errno = err;
                }
            }
        }
        if (!ok) {
            if (!first_error) first_error = errno ? errno : EIO;
            all = false;
        }
    }
    if (!all) SetLastErrorFromErrno(first_error);
    return all;
}

// Unmounts every mount of `device`, innermost (most recent) first, adding
// what it unmounted to `saved` in mount order. On failure it puts back what
// it unmounted, sets the last error and returns false.
bool UnmountAll(const std::string& device, std::vector<SavedMount>& saved) {
    std::vector<MountEntry> mounts = MountsOf(device);
    std::vector<SavedMount> done;  // in unmount order
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
        if (::umount2(it->target.c_str(), UMOUNT_NOFOLLOW) != 0) {
            int err = errno;
            std::reverse(done.begin(), done.end());
            RestoreMounts(done, device);
            SetLastError(err == EBUSY ? ERROR_ACCESS_DENIED : ErrorFromErrno(err));
            return false;
        }
        done.push_back(SaveMount(*it));
    }
    std::reverse(done.begin(), done.end());
    saved.insert(saved.end(), done.begin(), done.end());
    return true;
}

class LinuxVolumeClaim : public VolumeClaim {
public:
    explicit LinuxVolumeClaim(std::string device) : device_(std::move(device)) {}
    ~LinuxVolumeClaim() override {
        if (!locked_ && !dismounted_) return;
        // Closing a handle must not change the error its caller reads next.
        DWORD error = GetLastError();
        release();
        SetLastError(error);
    }

    // Sole use from the start: nobody else may hold the device exclusively
    // or have it mounted.
    bool take_exclusive() {
        if (device_.empty()) return true;
        exclusive_ = UniqueFd(::open(device_.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
        if (exclusive_) return true;
        SetLastError(errno == EBUSY ? ERROR_SHARING_VIOLATION : ErrorFromErrno(errno));
        return false;
    }

    bool lock() override {
        if (locked_) return true;
        if (device_.empty()) {
            locked_ = true;
            return true;
        }
        if (exclusive_) {  // an exclusive claim: nothing can be mounted, we already hold it
            held_by_claim_ = true;
            locked_ = true;
            return true;
        }
        const std::size_t before = unmounted_.size();
        if (!UnmountAll(device_, unmounted_)) return false;
        exclusive_ = UniqueFd(::open(device_.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC));
        if (!exclusive_) {
            int err = errno;
            std::vector<SavedMount> mine(unmounted_.begin() + static_cast<std::ptrdiff_t>(before), unmounted_.end());
            unmounted_.resize(before);
            RestoreMounts(mine, device_);
            SetLastError(err == EBUSY ? ERROR_ACCESS_DENIED : ErrorFromErrno(err));
            return false;
        }
        locked_ = true;
        return true;
    }

    bool unlock() override {
        if (!locked_) {
            SetLastError(ERROR_NOT_LOCKED_VOLUME);
            return false;
        }
        return release();
    }

    bool dismount() override {
        if (!device_.empty() && !UnmountAll(device_, unmounted_)) return false;
        dismounted_ = true;
        return true;
    }

    bool locked() const override { return locked_; }
    bool dismounted() const override { return dismounted_; }

private:
    bool release() {
        if (!held_by_claim_) exclusive_.reset();
        held_by_claim_ = false;
        locked_ = false;
        dismounted_ = false;
        std::vector<SavedMount> mounts = std::move(unmounted_);
        unmounted_.clear();
        return RestoreMounts(mounts, device_);
    }

    std::string device_;
    UniqueFd exclusive_;
    bool held_by_claim_ = false;  // the fd belongs to an exclusive claim, not to the lock
    bool locked_ = false;
    bool dismounted_ = false;
    std::vector<SavedMount> unmounted_;  // in the order they were mounted
};

// ---- partition table to kernel ------------------------------------------------

struct WantedPartition {
    int number = 0;
    std::int64_t start = 0, length = 0;
};

// The partitions the kernel would make of the layout, numbered as the kernel
// numbers them: MBR primaries by table slot, logicals 5, 6, ... in chain
// order; GPT by entry slot. Extended containers are left out.
std::vector<WantedPartition> KernelViewOf(const DiskLayout& layout, std::int64_t disk_size) {
    constexpr std::uint8_t kProtectiveMbr = 0xEE;
    std::vector<WantedPartition> wanted;
    int next_logical = 5;
    for (std::size_t i = 0; i < layout.entries.size(); ++i) {
        const PartitionRecord& e = layout.entries[i];
        if (e.is_empty() || e.is_container()) continue;
        int number = 0;
        if (layout.style == PARTITION_STYLE_GPT) {
            number = static_cast<int>(e.gpt_slot);
        } else if (layout.style == PARTITION_STYLE_MBR) {
            if (e.mbr_type == kProtectiveMbr) continue;
            number = (i < 4 && !e.logical) ? static_cast<int>(i) + 1 : next_logical++;
        }
        if (number <= 0 || e.start < 0 || e.start >= disk_size || e.length <= 0) continue;
        // The kernel cuts a partition that runs past the end of the disk.
        wanted.push_back({number, e.start, std::min(e.length, disk_size - e.start)});
    }
    return wanted;
}

// The kernel's own stand-in for an MBR extended partition: a tiny partition
// at the container's slot and start, kept as the kernel made it.
bool IsContainerStub(const DiskLayout& layout, const KernelPartition& p, std::uint32_t sector_size) {
    // The kernel gives it 1 KiB, or one sector where sectors are larger.
    if (layout.style != PARTITION_STYLE_MBR || p.length > std::max<std::int64_t>(1024, sector_size)) return false;
    for (std::size_t i = 0; i < layout.entries.size() && i < 4; ++i)
        if (layout.entries[i].is_container() && static_cast<int>(i) + 1 == p.number &&
            layout.entries[i].start == p.start)
            return true;
    return false;
}

int Blkpg(int fd, int op, int number, std::int64_t start, std::int64_t length) {
    blkpg_partition part{};
    part.start = start;
    part.length = length;
    part.pno = number;
    blkpg_ioctl_arg arg{};
    arg.op = op;
    arg.datalen = sizeof(part);
    arg.data = &part;
    return ::ioctl(fd, BLKPG, &arg) == 0 ? 0 : errno;
}

}  // namespace

// ---- the host -------------------------------------------------------------------

struct LinuxHost::Impl {
    std::mutex mutex;
    std::map<std::string, std::string> enumerated;  // backing node -> kernel name, from the last enumeration

    std::mutex busy_mutex;
    UniqueFd mountinfo;
    std::uint64_t generation = 1;
    std::chrono::steady_clock::time_point last_bump = std::chrono::steady_clock::now();

    std::optional<std::string> kernel_name(const DiskInfo& disk) {
        std::lock_guard guard(mutex);
        auto it = enumerated.find(disk.backing);
        if (it == enumerated.end()) return std::nullopt;
        return it->second;
    }

    // The kernel name of a disk we offered; anything else is refused, so
    // that nothing outside the disks we enumerated is ever unmounted or
    // repartitioned.
    std::optional<std::string> offered_disk(const DiskInfo& disk) {
        auto name = kernel_name(disk);
        if (!name) SetLastError(ERROR_FILE_NOT_FOUND);
        return name;
    }

    void bump() {
        std::lock_guard guard(busy_mutex);
        ++generation;
        last_bump = std::chrono::steady_clock::now();
    }
};

LinuxHost::LinuxHost() : impl_(std::make_unique<Impl>()) {
    impl_->mountinfo = UniqueFd(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
}

LinuxHost::~LinuxHost() = default;

std::vector<DiskInfo> LinuxHost::enumerate_disks() {
    std::vector<std::string> names;
    for (const auto& entry : ListFolder("/sys/block")) names.push_back(entry.filename().string());

    if (const char* only = std::getenv("TARNOVELL_LINUX_DISKS")) {
        std::set<std::string> allowed;
        for (const auto& item : SplitOn(only, ',')) {
            std::string name = Trim(item);
            if (StartsWith(name, "/dev/")) name = KernelNameOf(name);
            if (!name.empty()) allowed.insert(name);
        }
        for (const auto& attached : attached_virtual_disks())
            if (std::string name = KernelNameOf(attached.device); !name.empty()) allowed.insert(name);
        std::erase_if(names, [&](const std::string& n) { return !allowed.count(n); });
    }
    std::erase_if(names, SkippedByName);
    std::sort(names.begin(), names.end(), NaturalLess);

    std::vector<DiskInfo> disks;
    std::map<std::string, std::string> offered;
    for (const auto& name : names) {
        if (disks.size() >= kMaxDisks) break;
        auto disk = DescribeDisk(name);
        if (!disk) continue;
        disk->number = static_cast<int>(disks.size());
        offered[disk->backing] = name;
        disks.push_back(std::move(*disk));
    }
    std::lock_guard guard(impl_->mutex);
    impl_->enumerated = std::move(offered);
    return disks;
}

void LinuxHost::annotate_volumes(const DiskInfo& disk, std::vector<VolumeInfo>& volumes) {
    const std::string name = impl_->kernel_name(disk).value_or(KernelNameOf(disk.backing));
    const auto parts = KernelPartitionsOf(name);
    const auto mounts = ReadMountInfo();
    for (auto& v : volumes) {
        v.kernel_device.clear();
        v.mount_points.clear();
        if (v.partition_number == 0 && v.start == 0) {
            v.kernel_device = disk.backing;
        } else {
            for (const auto& p : parts)
                if (p.start == v.start) v.kernel_device = p.node();
        }
        if (v.kernel_device.empty()) continue;
        auto dev = DevNumberOf(v.kernel_device);
        for (const auto& m : mounts)
            if (MountIsOf(m, dev, v.kernel_device)) v.mount_points.push_back(m.target);
    }
}

BackingLocation LinuxHost::disk_backing(const DiskInfo& disk) { return {disk.backing, 0}; }

BackingLocation LinuxHost::volume_backing(const DiskInfo& disk, const VolumeInfo& volume) {
    if (!volume.kernel_device.empty() && volume.kernel_device != disk.backing) {
        // Only while the kernel's partition still is the volume: after a
        // layout change it may start elsewhere or be too short.
        const std::string name = impl_->kernel_name(disk).value_or(KernelNameOf(disk.backing));
        for (const auto& p : KernelPartitionsOf(name))
            if (p.node() == volume.kernel_device && p.start == volume.start && p.length >= volume.length)
                return {volume.kernel_device, 0};
    }
    return {disk.backing, volume.start};
}

std::vector<ByteRange> LinuxHost::busy_ranges(const DiskInfo& disk, const std::vector<VolumeInfo>&) {
    const std::string name = impl_->kernel_name(disk).value_or(KernelNameOf(disk.backing));
    const auto mounts = ReadMountInfo();
    const auto swaps = ActiveSwapDevices();
    auto busy = [&](const std::string& node, const std::optional<DevNumber>& dev, const std::string& sysfs_dir) {
        for (const auto& m : mounts)
            if (MountIsOf(m, dev, node)) return true;
        if (dev && std::find(swaps.begin(), swaps.end(), *dev) != swaps.end()) return true;
        return HasHolders(sysfs_dir);
    };

    std::vector<ByteRange> ranges;
    const std::string disk_dir = "/sys/block/" + name;
    if (busy(disk.backing, ParseDevNumber(ReadTrimmed(disk_dir + "/dev")), disk_dir)) {
        ranges.push_back({0, disk.size});
        return ranges;
    }
    for (const auto& p : KernelPartitionsOf(name))
        if (busy(p.node(), p.dev, p.sysfs_dir)) ranges.push_back({p.start, p.length});
    return ranges;
}

std::unique_ptr<VolumeClaim> LinuxHost::claim_volume(const DiskInfo& disk, const VolumeInfo& volume,
                                                     bool exclusive) {
    auto name = impl_->offered_disk(disk);
    if (!name) return nullptr;
    if (!volume.kernel_device.empty() && volume.kernel_device != disk.backing) {
        // The device must be one of this disk's partitions.
        bool ours = false;
        for (const auto& p : KernelPartitionsOf(*name)) ours = ours || p.node() == volume.kernel_device;
        if (!ours) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
    }
    auto claim = std::make_unique<LinuxVolumeClaim>(volume.kernel_device);
    if (exclusive && !claim->take_exclusive()) return nullptr;
    return claim;
}

bool LinuxHost::layout_changed(const DiskInfo& disk, const DiskLayout& new_layout) {
    auto name = impl_->offered_disk(disk);
    if (!name) return false;
    UniqueFd fd(::open(disk.backing.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    const auto wanted = KernelViewOf(new_layout, disk.size);
    const auto have = KernelPartitionsOf(*name);
    auto same = [](const WantedPartition& w, const KernelPartition& p) {
        return w.number == p.number && w.start == p.start && w.length == p.length;
    };

    // Partitions that only grew keep their device (and a mounted file system
    // on them stays mounted); everything else that changed goes and comes back.
    std::vector<const KernelPartition*> grown;
    for (const auto& p : have) {
        if (IsContainerStub(new_layout, p, disk.sector_size)) continue;
        bool keep = std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) { return same(w, p); });
        if (keep) continue;
        bool grows = std::any_of(wanted.begin(), wanted.end(), [&](const auto& w) {
            return w.number == p.number && w.start == p.start && w.length > p.length;
        });
        if (grows) {
            grown.push_back(&p);
            continue;
        }
        int err = Blkpg(fd.get(), BLKPG_DEL_PARTITION, p.number, 0, 0);
        if (err == ENXIO) continue;  // gone already
        if (err) {
            SetLastError(err == EBUSY ? ERROR_ACCESS_DENIED : ErrorFromErrno(err));
            impl_->bump();
            return false;
        }
    }

    int first_error = 0;
    for (const auto* p : grown) {
        for (const auto& w : wanted)
            if (w.number == p->number && w.start == p->start) {
                int err = Blkpg(fd.get(), BLKPG_RESIZE_PARTITION, w.number, w.start, w.length);
                if (err && !first_error) first_error = err;
            }
    }
    const auto now = KernelPartitionsOf(*name);
    for (const auto& w : wanted) {
        bool present = std::any_of(now.begin(), now.end(), [&](const auto& p) { return p.number == w.number; });
        if (present) continue;
        int err = Blkpg(fd.get(), BLKPG_ADD_PARTITION, w.number, w.start, w.length);
        if (err && !first_error) first_error = err;
    }
    impl_->bump();
    if (first_error) {
        SetLastError(first_error == EBUSY ? ERROR_ACCESS_DENIED : ErrorFromErrno(first_error));
        return false;
    }
    return true;
}

bool LinuxHost::apply_read_only(const DiskInfo& disk, bool read_only) {
    if (!impl_->offered_disk(disk)) return false;
    UniqueFd fd(::open(disk.backing.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    int value = read_only ? 1 : 0;
    if (::ioctl(fd.get(), BLKROSET, &value) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

std::string LinuxHost::state_path() const {
    if (const char* path = std::getenv("TARNOVELL_STATE"); path && *path) return path;
    const std::string folder = "/var/lib/tarnovell";
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!ec && ::access(folder.c_str(), W_OK) == 0) return folder + "/state.ini";
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime && ::access(runtime, W_OK) == 0)
        return std::string(runtime) + "/tarnovell-state.ini";
    return "/tmp/tarnovell-state-" + std::to_string(::getuid()) + ".ini";
}

std::uint64_t LinuxHost::busy_generation() {
    std::lock_guard guard(impl_->busy_mutex);
    bool changed = false;
    if (impl_->mountinfo) {
        pollfd p{impl_->mountinfo.get(), POLLPRI, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLPRI | POLLERR))) {
            // Take in the change: read the table through from the start.
            char buffer[4096];
            ::lseek(impl_->mountinfo.get(), 0, SEEK_SET);
            while (::read(impl_->mountinfo.get(), buffer, sizeof buffer) > 0) {
            }
            changed = true;
        }
    }
    // Holders and swap come and go without a signal: let the answer age.
    const auto now = std::chrono::steady_clock::now();
    if (changed || now - impl_->last_bump > std::chrono::seconds(1)) {
        ++impl_->generation;
        impl_->last_bump = now;
    }
    return impl_->generation;
}

// ---- attached virtual disks ---------------------------------------------------

namespace {

// Whether the loop device of an attachment is still bound to the recorded
// file itself, not merely to some file: its number may have been given to
// someone else's loop device since. The device and inode of the backing
// tell; a backing that can no longer be looked at (its server ended) is
// known by the name the kernel keeps.
bool LoopStillBacksRecordedFile(const VirtualDiskAttachment& attachment) {
    const std::string name = KernelNameOf(attachment.device);
    if (name.empty() || attachment.backing.empty()) return false;
    struct stat st {};
    if (::stat(attachment.backing.c_str(), &st) != 0) {
        std::string shown = LoopBackingFile(name);
        const std::string deleted = " (deleted)";
        if (shown.size() > deleted.size() && shown.compare(shown.size() - deleted.size(), deleted.size(), deleted) == 0)
            shown.resize(shown.size() - deleted.size());
        return !shown.empty() && shown == attachment.backing;
    }
    UniqueFd fd(::open(attachment.device.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    loop_info64 info {};
    if (!fd || ::ioctl(fd.get(), LOOP_GET_STATUS64, &info) != 0) return false;
    return info.lo_device == static_cast<std::uint64_t>(st.st_dev) && info.lo_inode == static_cast<std::uint64_t>(st.st_ino);
}

}  // namespace

bool LinuxHost::attach_virtual_disk(VirtualDiskAttachment& attachment) {
    std::vector<std::string> argv = {"losetup", "--find", "--show"};
    if (attachment.read_only) argv.push_back("--read-only");
    argv.insert(argv.end(), {"--sizelimit", std::to_string(attachment.size), attachment.backing});
    ChildResult result = RunChild(argv);
    std::string device = Trim(result.output.substr(0, result.output.find('\n')));
    if (result.exit_code != 0 || !StartsWith(device, "/dev/loop")) {
        SetLastError(result.exit_code < 0 ? ERROR_NOT_SUPPORTED : ERROR_OPEN_FAILED);
        return false;
    }
    attachment.device = device;
    auto choose = [&](const std::vector<AttachmentRecord>&, VirtualDiskAttachment&) { return KernelNameOf(device); };
    if (SaveAttachmentRecord(state_path(), attachment, choose).empty()) {
        DWORD error = GetLastError();
        RunChild({"losetup", "--detach", device});
        SetLastError(error);
        return false;
    }
    impl_->bump();
    return true;
}

bool LinuxHost::detach_virtual_disk(const VirtualDiskAttachment& attachment) {
    if (!StartsWith(attachment.device, "/dev/loop")) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const bool ours = LoopStillBacksRecordedFile(attachment);
    RemoveAttachmentRecord(state_path(), KernelNameOf(attachment.device));
    if (!ours) {
        // Our loop device is gone already; the number now belongs to someone else.
        impl_->bump();
        return true;
    }
    ChildResult result = RunChild({"losetup", "--detach", attachment.device});
    impl_->bump();
    if (result.exit_code != 0) {
        SetLastError(ERROR_DEVICE_IN_USE);
        return false;
    }
    return true;
}

std::vector<VirtualDiskAttachment> LinuxHost::attached_virtual_disks() {
    std::vector<VirtualDiskAttachment> result;
    for (auto& record : LiveAttachmentRecords(state_path())) {
        // The loop device must still be the one we set up over this backing.
        if (!LoopStillBacksRecordedFile(record.attachment)) continue;
        result.push_back(std::move(record.attachment));
    }
    return result;
}

}  // namespace platform::device
