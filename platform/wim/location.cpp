#include "platform/wim/location.h"

#include "platform/device/registry.h"
#include "platform/device/volume_folder.h"
#include "platform/device/records/winioctl.h"
#include "platform/base/ascii.h"
#include "platform/base/wide_text.h"

namespace platform::wim {

namespace {

std::string LinuxFolder(const std::string& given) {
    std::string folder = given;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

std::string Below(const std::string& folder, const std::string& rest) {
    return LinuxFolder(folder + (rest.empty() ? "" : "/" + rest));
}

// The volume's file system is mounted only as binds of folders inside it:
// it is shown once more, whole, in a folder of our own.
bool ShowWholeFileSystem(const device::VolumeInfo& volume, const std::string& rest, bool for_writing,
                         WimLocation& location, std::string& problem) {
    auto view = std::make_unique<device::PrivateMount>();
    if (!view->show_again(volume.kernel_device, for_writing)) {
        const DWORD error = GetLastError();
        return FailWithProblem(error, problem,
                    "the volume is mounted only as folders inside it and could not be shown whole: " +
                        SysErrorMessage(error));
    }
    location.path = Below(view->path(), rest);
    location.view = std::move(view);
    return true;
}

// A capture of a volume nobody has mounted (other than NTFS, which wimlib
// reads itself): mounted read-only in a folder of our own, from a read-only
// device node that shows just the volume, so that nothing (not even a
// journal's replay) writes to it.
bool MountForReading(const device::VolumeInfo& volume, const std::string& rest, WimLocation& location,
                     std::string& problem) {
    if (!device::OpenVolumeNode(volume, false, location.node, problem)) return false;
    auto view = std::make_unique<device::PrivateMount>();
    if (!view->mount_read_only(location.node.path)) {
        const DWORD error = GetLastError();
        location.node = device::VolumeNode{};
        return FailWithProblem(error, problem, "the volume could not be mounted: " + SysErrorMessage(error));
    }
    location.path = Below(view->path(), rest);
    location.view = std::move(view);
    return true;
}

bool UseVolume(const device::VolumeInfo& volume, const std::string& rest,
               bool for_writing, WimLocation& location, std::string& problem) {
    location.drive = volume.letter ? Utf8ToUtf16(std::string{volume.letter, ':'}) : u"?:";
    if (const std::string root = volume.root_mount_point(); !root.empty()) {
        location.path = Below(root, rest);
        return true;
    }
    if (!volume.mount_points.empty()) return ShowWholeFileSystem(volume, rest, for_writing, location, problem);
    if (!EqualsNoCase(volume.filesystem, "NTFS")) {
        if (!for_writing) return MountForReading(volume, rest, location, problem);
        return FailWithProblem(ERROR_NOT_SUPPORTED, problem, "the volume is not mounted and holds no NTFS file system");
    }
    if (!rest.empty())
        return FailWithProblem(ERROR_NOT_SUPPORTED, problem, "only the whole of an unmounted NTFS volume can be used");
    if (!device::OpenVolumeNode(volume, for_writing, location.node, problem)) return false;
    location.path = location.node.path;
    location.ntfs = true;
    return true;
}

}  // namespace

bool ResolveWimLocation(const std::string& given, bool for_writing, WimLocation& location, std::string& problem) {
    location = WimLocation{};
    if (given.empty()) return FailWithProblem(ERROR_INVALID_PARAMETER, problem, "no folder or volume was given");
    std::string rest;
    device::DevicePath path;
    if (!device::NamesVolume(given, path, rest)) {
        if (device::IsDevicePath(given))
            return FailWithProblem(ERROR_INVALID_PARAMETER, problem, "not a volume: " + given);
        location.path = LinuxFolder(given);
        location.drive = u"?:";
        return true;
    }
    auto snap = device::Registry::instance().snapshot();
    const device::VolumeInfo* volume = device::Registry::instance().resolve_volume(*snap, path);
    if (!volume) return FailWithProblem(ERROR_PATH_NOT_FOUND, problem, "no such volume: " + given);
    return UseVolume(*volume, rest, for_writing, location, problem);
}

}  // namespace platform::wim
