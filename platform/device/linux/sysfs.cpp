#include "platform/device/linux/sysfs.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/base/ascii.h"
#include "platform/base/unique_fd.h"

namespace platform::device::kernel {

namespace fs = std::filesystem;

namespace {

// glibc's <sys/mount.h> has the older block ioctls but not this one, and
// <linux/fs.h> cannot be included beside it.
#ifndef BLKPBSZGET
#define BLKPBSZGET _IO(0x12, 123)
#endif

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

}  // namespace

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

bool HasHolders(const std::string& sysfs_dir) {
    std::error_code ec;
    fs::directory_iterator it(sysfs_dir + "/holders", ec);
    return !ec && it != fs::directory_iterator();
}

bool SkippedByName(const std::string& name) {
    static const char* const prefixes[] = {"ram", "zram", "sr", "fd", "md", "dm-"};
    for (const char* prefix : prefixes)
        if (StartsWith(name, prefix)) return true;
    return false;
}

std::string LoopBackingFile(const std::string& name) {
    return ReadTrimmed("/sys/block/" + name + "/loop/backing_file");
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

}  // namespace platform::device::kernel
