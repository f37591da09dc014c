#include "platform/device/volume_folder.h"

#include <cctype>
#include <utility>

#include "platform/base/ascii.h"
#include "platform/device/registry.h"
#include "platform/os/child_process.h"
#include "platform/os/file_facts.h"

namespace platform::device {

namespace {

bool Fail(DWORD code, std::string& problem, std::string text) {
    problem = std::move(text);
    SetLastError(code);
    return false;
}

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

VolumeFolder::~VolumeFolder() {
    if (release() || !mounted_by_us()) return;
    // Busy still: let the kernel drop the mount once its last user goes, so
    // that neither the mount nor the loop device under it outlives us.
    RunChild({"umount", "--lazy", mount_.path()});
}

VolumeFolder::VolumeFolder(VolumeFolder&& other) noexcept { *this = std::move(other); }

VolumeFolder& VolumeFolder::operator=(VolumeFolder&& other) noexcept {
    if (this == &other) return *this;
    release();
    path_ = std::exchange(other.path_, {});
    volume_ = std::exchange(other.volume_, {});
    node_ = std::move(other.node_);
    mount_ = std::move(other.mount_);
    return *this;
}

bool VolumeFolder::release() {
    if (!mounted_by_us()) return true;
    if (!RunChild({"umount", mount_.path()}).succeeded()) {
        SetLastError(ERROR_BUSY);
        return false;
    }
    mount_.remove();
    mount_ = ScratchFolder{};
    node_ = VolumeNode{};  // the loop device goes, then the lock
    path_.clear();
    return true;
}

bool OpenVolumeFolder(const std::string& given, bool for_writing, VolumeFolder& folder, std::string& problem) {
    folder = VolumeFolder{};
    DevicePath path;
    std::string rest;
    if (!NamesVolume(given, path, rest)) {
        if (IsDevicePath(given)) return Fail(ERROR_INVALID_PARAMETER, problem, "not a volume: " + given);
        const auto facts = FileFactsOf(given);
        if (!facts || facts->kind != FileKind::Folder)
            return Fail(ERROR_PATH_NOT_FOUND, problem, "no such folder: " + given);
        folder.path_ = WithoutTrailingSlash(given);
        return true;
    }
    Registry& registry = Registry::instance();
    auto snap = registry.snapshot();
    const VolumeInfo* volume = registry.resolve_volume(*snap, path);
    if (!volume) return Fail(ERROR_PATH_NOT_FOUND, problem, "no such volume: " + given);
    folder.volume_ = GuidToString(volume->guid);
    const std::string below = rest.empty() ? "" : "/" + rest;
    if (!volume->mount_points.empty()) {
        folder.path_ = WithoutTrailingSlash(volume->mount_points.front()) + below;
        if (folder.path_.rfind("//", 0) == 0) folder.path_.erase(0, 1);  // the root file system
        return true;
    }
    if (volume->offline) return Fail(ERROR_NOT_READY, problem, "the volume is offline");
    if (volume->filesystem.empty())
        return Fail(ERROR_UNRECOGNIZED_VOLUME, problem, "the volume holds no file system that can be mounted");
    if (!OpenVolumeNode(*volume, for_writing, folder.node_, problem)) return false;
    ScratchFolder mount = ScratchFolder::Create("tarnovell-volume-");
    if (!mount) return Fail(GetLastError(), problem, "no folder to mount the volume in");
    const ChildResult mounted =
        RunChild({"mount", "-o", for_writing ? "rw" : "ro", folder.node_.path, mount.path()});
    if (!mounted.succeeded()) {
        folder.node_ = VolumeNode{};
        return Fail(mounted.started ? ERROR_UNRECOGNIZED_VOLUME : GetLastError(), problem,
                    "the volume could not be mounted: " +
                        (mounted.started ? mounted.reason() : SysErrorMessage(GetLastError())));
    }
    folder.mount_ = std::move(mount);
    folder.path_ = folder.mount_.path() + below;
    return true;
}

}  // namespace platform::device
