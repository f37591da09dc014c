#include "platform/device/shadow_copies.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <sstream>

#include "platform/base/ascii.h"
#include "platform/base/unique_fd.h"
#include "platform/device/filesystems/facts.h"
#include "platform/device/host/backing_reader.h"
#include "platform/device/linux/sysfs.h"
#include "platform/os/child_process.h"

namespace platform::device {

namespace {

// The kernel registers this misc device when device-mapper is built in or
// loaded; /dev/mapper/control alone says nothing (a container may carry the
// node without the driver behind it).
constexpr const char* kDeviceMapperClass = "/sys/class/misc/device-mapper";

std::string OriginNode(const std::string& origin) {
    std::istringstream lines(kernel::ReadTrimmed("/sys/dev/block/" + origin + "/uevent"));
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("DEVNAME=", 0) == 0) return "/dev/" + line.substr(8);
    return "";
}

std::optional<std::uint32_t> SerialOf(const ShadowCopy& copy) {
    UniqueFd fd(::open(copy.node.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    const FileSystemFacts facts =
        ReadFileSystemFacts(ReaderOverDescriptor(fd.get(), 0, copy.size), 0, copy.size, FactsWanted::NoFreeSpace);
    if (facts.name.empty()) return std::nullopt;
    return facts.serial;
}

}  // namespace

std::vector<ShadowCopy> ParseSnapshotTable(const std::string& table) {
    std::vector<ShadowCopy> copies;
    std::set<std::string> seen;
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t colon = line.find(": ");
        if (colon == std::string::npos || colon == 0) continue;
        const std::string name = line.substr(0, colon);
        std::istringstream fields(line.substr(colon + 2));
        std::int64_t start = -1, length = -1;
        std::string target, origin;
        if (!(fields >> start >> length >> target >> origin) || target != "snapshot" || start != 0 || length <= 0 ||
            length > INT64_MAX / 512)
            continue;
        if (!seen.insert(name).second) continue;
        ShadowCopy copy;
        copy.number = static_cast<int>(copies.size()) + 1;
        copy.name = name;
        copy.node = "/dev/mapper/" + name;
        copy.size = length * 512;
        copy.origin = origin;
        copies.push_back(std::move(copy));
    }
    return copies;
}

bool ListShadowCopies(std::vector<ShadowCopy>& copies, std::string& problem) {
    copies.clear();
    if (::access(kDeviceMapperClass, F_OK) != 0) {
        problem = "This kernel has no device-mapper: there are no snapshots to list.";
        return false;
    }
    const ChildResult table = RunChild({"dmsetup", "table", "--target", "snapshot"});
    if (!table.started) {
        problem = "dmsetup could not be run: " + SysErrorMessage(GetLastError());
        return false;
    }
    if (table.exit_code != 0) {
        problem = "dmsetup could not list the snapshots: " + Trim(table.error);
        return false;
    }
    copies = ParseSnapshotTable(table.output);
    for (ShadowCopy& copy : copies) {
        copy.origin_node = OriginNode(copy.origin);
        copy.serial = SerialOf(copy);
    }
    return true;
}

}  // namespace platform::device
