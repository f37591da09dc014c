#include "platform/wim/location.h"

#include "platform/device/registry.h"
#include "platform/device/volume_folder.h"
#include "platform/device/records/winioctl.h"
#include "platform/base/ascii.h"
#include "platform/base/wide_text.h"

namespace platform::wim {

namespace {

bool Fail(DWORD code, std::string& problem, std::string text) {
    problem = std::move(text);
    SetLastError(code);
    return false;
}

std::string LinuxFolder(const std::string& given) {
    std::string folder = given;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

bool UseVolume(const device::VolumeInfo& volume, const std::string& rest,
               bool for_writing, WimLocation& location, std::string& problem) {
    location.drive = volume.letter ? Utf8ToUtf16(std::string{volume.letter, ':'}) : u"?:";
    if (!volume.mount_points.empty()) {
        location.path = LinuxFolder(volume.mount_points.front() + (rest.empty() ? "" : "/" + rest));
        return true;
    }
    if (!EqualsNoCase(volume.filesystem, "NTFS"))
        return Fail(ERROR_NOT_SUPPORTED, problem, "the volume is not mounted and holds no NTFS file system");
    if (!rest.empty())
        return Fail(ERROR_NOT_SUPPORTED, problem, "only the whole of an unmounted NTFS volume can be used");
    if (!device::OpenVolumeNode(volume, for_writing, location.node, problem)) return false;
    location.path = location.node.path;
    location.ntfs = true;
    return true;
}

}  // namespace

bool ResolveWimLocation(const std::string& given, bool for_writing, WimLocation& location, std::string& problem) {
    location = WimLocation{};
    if (given.empty()) return Fail(ERROR_INVALID_PARAMETER, problem, "no folder or volume was given");
    std::string rest;
    device::DevicePath path;
    if (!device::NamesVolume(given, path, rest)) {
        if (device::IsDevicePath(given)) return Fail(ERROR_INVALID_PARAMETER, problem, "not a volume: " + given);
        location.path = LinuxFolder(given);
        location.drive = u"?:";
        return true;
    }
    auto snap = device::Registry::instance().snapshot();
    const device::VolumeInfo* volume = device::Registry::instance().resolve_volume(*snap, path);
    if (!volume) return Fail(ERROR_PATH_NOT_FOUND, problem, "no such volume: " + given);
    return UseVolume(*volume, rest, for_writing, location, problem);
}

}  // namespace platform::wim
