#include "platform/device/volume_folder.h"

#include <cctype>
#include <utility>

#include "platform/base/ascii.h"
#include "platform/device/linux/volume_claim.h"
#include "platform/device/registry.h"
#include "platform/os/file_facts.h"

namespace platform::device {

namespace {

// "C:", "C:\", "C:\dir" -> 'C' and "dir"; 0 when the text is no drive path.
char DrivePath(const std::string& given, std::string& rest) {
    if (given.size() < 2 || given[1] != ':' || !std::isalpha(static_cast<unsigned char>(given[0]))) return 0;
    if (given.size() > 2 && given[2] != '\\' && given[2] != '/') return 0;
    rest = given.size() > 3 ? given.substr(3) : std::string();
    for (char& c : rest)
        if (c == '\\') c = '/';
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    return AsciiUpper(given[0]);
}

std::string WithoutTrailingSlash(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder;
}

}  // namespace

bool NamesVolume(const std::string& given, DevicePath& path, std::string& rest) {
    rest.clear();
    if (IsDevicePath(given)) {
        path = ParseDevicePath(given);
        if (path.kind == PathKind::UnknownDevice && given.size() > 4 && (given.back() == '\\' || given.back() == '/'))
            path = ParseDevicePath(given.substr(0, given.size() - 1));  // "\\.\C:\"
        return path.kind == PathKind::LetterVolume || path.kind == PathKind::GuidVolume ||
               path.kind == PathKind::HarddiskVolume;
    }
    path = DevicePath{};
    path.text = given;
    if (char letter = DrivePath(given, rest)) {
        path.kind = PathKind::LetterVolume;
        path.letter = letter;
        return true;
    }
    return false;
}

// A mount still busy is dropped by the kernel once its last user goes (the
// PrivateMount sees to it), so that neither the mount nor the loop device
// under it outlives us.
VolumeFolder::VolumeFolder() = default;
VolumeFolder::~VolumeFolder() = default;

VolumeFolder::VolumeFolder(VolumeFolder&& other) noexcept { *this = std::move(other); }

VolumeFolder& VolumeFolder::operator=(VolumeFolder&& other) noexcept {
    if (this == &other) return *this;
    release();
    path_ = std::exchange(other.path_, {});
    volume_ = std::exchange(other.volume_, {});
    mount_ = std::move(other.mount_);  // a mount that stayed busy goes before the node under it
    node_ = std::move(other.node_);
    return *this;
}

bool VolumeFolder::release() {
    if (!mounted_by_us()) return true;
    if (!mount_->unmount()) return false;
    mount_.reset();
    node_ = VolumeNode{};  // the loop device goes, then the lock
    path_.clear();
    return true;
}

bool OpenVolumeFolder(const std::string& given, bool for_writing, VolumeFolder& folder, std::string& problem) {
    folder = VolumeFolder{};
    DevicePath path;
    std::string rest;
    if (!NamesVolume(given, path, rest)) {
        if (IsDevicePath(given)) return FailWithProblem(ERROR_INVALID_PARAMETER, problem, "not a volume: " + given);
        const auto facts = FileFactsOf(given);
        if (!facts || facts->kind != FileKind::Folder)
            return FailWithProblem(ERROR_PATH_NOT_FOUND, problem, "no such folder: " + given);
        folder.path_ = WithoutTrailingSlash(given);
        return true;
    }
    Registry& registry = Registry::instance();
    auto snap = registry.snapshot();
    const VolumeInfo* volume = registry.resolve_volume(*snap, path);
    if (!volume) return FailWithProblem(ERROR_PATH_NOT_FOUND, problem, "no such volume: " + given);
    folder.volume_ = GuidToString(volume->guid);
    const std::string below = rest.empty() ? "" : "/" + rest;
    if (const std::string root = volume->root_mount_point(); !root.empty()) {
        folder.path_ = WithoutTrailingSlash(root) + below;
        if (folder.path_.rfind("//", 0) == 0) folder.path_.erase(0, 1);  // the root file system
        return true;
    }
    if (!volume->mount_points.empty()) {
        // Mounted only as binds of folders inside it: its whole file system
        // is shown once more, in a folder of our own, rather than one of
        // those folders taken for all of it.
        auto view = std::make_unique<PrivateMount>();
        if (!view->show_again(volume->kernel_device, for_writing)) {
            const DWORD error = GetLastError();
            return FailWithProblem(error, problem,
                        "the volume is mounted only as folders inside it and could not be shown whole: " +
                            SysErrorMessage(error));
        }
        folder.mount_ = std::move(view);
        folder.path_ = folder.mount_->path() + below;
        return true;
    }
    if (volume->offline) return FailWithProblem(ERROR_NOT_READY, problem, "the volume is offline");
    if (volume->filesystem.empty())
        return FailWithProblem(ERROR_UNRECOGNIZED_VOLUME, problem,
                               "the volume holds no file system that can be mounted");
    if (!OpenVolumeNode(*volume, for_writing, folder.node_, problem)) return false;
    // One routine mounts a volume of ours: a journal that wants replaying
    // does not keep a volume that is only read from being read.
    auto mount = std::make_unique<PrivateMount>();
    if (!(for_writing ? mount->mount_writable(folder.node_.path) : mount->mount_read_only(folder.node_.path))) {
        const DWORD error = GetLastError();
        folder.node_ = VolumeNode{};
        return FailWithProblem(error, problem, "the volume could not be mounted: " + mount->reason());
    }
    folder.mount_ = std::move(mount);
    folder.path_ = folder.mount_->path() + below;
    return true;
}

}  // namespace platform::device
