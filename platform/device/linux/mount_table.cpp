#include "platform/device/linux/mount_table.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace platform::device::kernel {

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

MountTableWatch::MountTableWatch() : mountinfo_(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {}

bool MountTableWatch::changed() {
    if (!mountinfo_) return false;  // the caller's ageing of its answers covers it
    pollfd p{mountinfo_.get(), POLLPRI, 0};
    if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLPRI | POLLERR))) return false;
    // Take in the change: read the table through from the start.
    char buffer[4096];
    ::lseek(mountinfo_.get(), 0, SEEK_SET);
    while (::read(mountinfo_.get(), buffer, sizeof buffer) > 0) {
    }
    return true;
}

}  // namespace platform::device::kernel
