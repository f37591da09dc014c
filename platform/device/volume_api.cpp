#include "platform/device/volume_api.h"

#include <fcntl.h>
#include <sys/statvfs.h>

#include <cstring>
#include <string_view>
#include <limits>

#include "platform/device/host/backing_reader.h"
#include "platform/device/filesystems/facts.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"
#include "platform/base/unique_fd.h"
#include "platform/base/ascii.h"

namespace platform {

using device::Registry;

namespace {

bool Fail(DWORD code) {
    SetLastError(code);
    return false;
}

bool CopyOut(const std::string& text, char* buffer, DWORD length) {
    if (!buffer || length < text.size() + 1) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

// A NUL-separated list ending in an empty string.
std::string MultiString(const std::vector<std::string>& items) {
    std::string result;
    for (const auto& item : items) {
        result += item;
        result += '\0';
    }
    result += '\0';
    return result;
}

const device::VolumeInfo* VolumeNamed(const device::Snapshot& snap, const std::string& name) {
    device::DevicePath path = device::ParseDevicePath(name);
    return Registry::instance().resolve_volume(snap, path);
}

// "D:\" or "D:" -> 'D'; 0 when the text is not a drive root.
char DriveRootLetter(const std::string& root) {
    if ((root.size() == 2 || (root.size() == 3 && (root[2] == '\\' || root[2] == '/'))) && root[1] == ':' &&
        std::isalpha(static_cast<unsigned char>(root[0])))
        return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
    return 0;
}

std::string NtDeviceOfVolume(const device::VolumeInfo& v) { return "\\Device\\HarddiskVolume" + std::to_string(v.index); }

}  // namespace

struct FindVolumeState {
    std::shared_ptr<const device::Snapshot> snap;
    std::size_t next = 0;
};

HFINDVOLUME FindFirstVolumeA(char* name, DWORD length) {
    auto state = std::make_unique<FindVolumeState>();
    state->snap = Registry::instance().snapshot();
    if (state->snap->volumes.empty()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return nullptr;
    }
    if (!FindNextVolumeA(state.get(), name, length)) return nullptr;
    return state.release();
}

bool FindNextVolumeA(HFINDVOLUME find, char* name, DWORD length) {
    if (!find) return Fail(ERROR_INVALID_HANDLE);
    if (find->next >= find->snap->volumes.size()) return Fail(ERROR_NO_MORE_FILES);
    if (!CopyOut(find->snap->volumes[find->next].guid_path, name, length)) return Fail(ERROR_FILENAME_EXCED_RANGE);
    ++find->next;
    return true;
}

bool FindVolumeClose(HFINDVOLUME find) {
    delete find;
    return true;
}

std::vector<std::string> VolumePathNames(const std::string& volume_name) {
    auto snap = Registry::instance().snapshot();
    const device::VolumeInfo* v = VolumeNamed(*snap, volume_name);
    if (!v) return {};
    std::vector<std::string> paths;
    if (v->letter) paths.push_back(std::string(1, v->letter) + ":\\");
    for (const auto& folder : v->mount_points) paths.push_back(folder.back() == '/' ? folder : folder + "/");
    return paths;
}

bool GetVolumePathNamesForVolumeNameA(const std::string& volume_name, char* buffer, DWORD length, DWORD* returned) {
    auto snap = Registry::instance().snapshot();
    if (!VolumeNamed(*snap, volume_name)) return Fail(ERROR_FILE_NOT_FOUND);
    std::string list = MultiString(VolumePathNames(volume_name));
    if (returned) *returned = static_cast<DWORD>(list.size());
    if (!buffer || length < list.size()) return Fail(ERROR_MORE_DATA);
    std::memcpy(buffer, list.data(), list.size());
    return true;
}

bool GetVolumeNameForVolumeMountPointA(const std::string& mount_point, char* buffer, DWORD length) {
    auto snap = Registry::instance().snapshot();
    const device::VolumeInfo* v = nullptr;
    if (char letter = DriveRootLetter(mount_point)) v = snap->volume_by_letter(letter);
    else v = VolumeNamed(*snap, mount_point);
    if (!v) return Fail(ERROR_FILE_NOT_FOUND);
    return CopyOut(v->guid_path, buffer, length);
}

bool SetVolumeMountPointA(const std::string& mount_point, const std::string& volume_name) {
    char letter = DriveRootLetter(mount_point);
    if (!letter) return Fail(ERROR_NOT_SUPPORTED);  // folder mount points are not offered
    auto snap = Registry::instance().snapshot();
    const device::VolumeInfo* v = VolumeNamed(*snap, volume_name);
    if (!v) return Fail(ERROR_FILE_NOT_FOUND);
    if (const device::VolumeInfo* holder = snap->volume_by_letter(letter); holder && holder != v)
        return Fail(ERROR_DIR_NOT_EMPTY);  // the letter is in use
    return Registry::instance().assign_letter(device::GuidToString(v->guid), letter);
}

bool DeleteVolumeMountPointA(const std::string& mount_point) {
    char letter = DriveRootLetter(mount_point);
    if (!letter) return Fail(ERROR_NOT_SUPPORTED);
    return Registry::instance().remove_letter(letter);
}

DWORD QueryDosDeviceA(const std::string& name, char* buffer, DWORD length) {
    auto snap = Registry::instance().snapshot();
    std::string answer;
    if (name.empty()) {
        std::vector<std::string> names;
        for (const auto& v : snap->volumes)
            if (v.letter) names.push_back(std::string(1, v.letter) + ":");
        for (const auto& d : snap->disks) names.push_back(device::PhysicalDriveName(d.number));
        for (const auto& v : snap->volumes) names.push_back("HarddiskVolume" + std::to_string(v.index));
        for (const auto& v : snap->volumes) names.push_back("Volume" + device::GuidToString(v.guid));
        answer = MultiString(names);
    } else {
        const device::VolumeInfo* v = nullptr;
        if (char letter = DriveRootLetter(name); letter && name.size() == 2) v = snap->volume_by_letter(letter);
        else if (StartsWithNoCase(name, "Volume"))
            v = snap->volume_by_guid(name.substr(6));
        else if (device::DevicePath p = device::ParseDevicePath("\\\\.\\" + name); p.kind == device::PathKind::HarddiskVolume)
            v = snap->volume_by_index(p.volume_index);
        if (v) {
            answer = MultiString({NtDeviceOfVolume(*v)});
        } else if (int disk = device::DiskNumberOf("\\\\.\\" + name); disk >= 0 && snap->disk(disk)) {
            answer = MultiString({"\\Device\\Harddisk" + std::to_string(disk) + "\\DR" + std::to_string(disk)});
        }
        if (answer.empty()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
    }
    if (!buffer || length < answer.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buffer, answer.data(), answer.size());
    return static_cast<DWORD>(answer.size());
}

namespace {

// The volume a DOS device target names: "\Device\HarddiskVolumeK" (the
// form QueryDosDevice gives back) or a device path of the volume.
const device::VolumeInfo* VolumeOfTarget(const device::Snapshot& snap, const std::string& target) {
    constexpr std::string_view kNtPrefix = "\\Device\\";
    if (target.size() > kNtPrefix.size() && EqualsNoCase(std::string_view(target).substr(0, kNtPrefix.size()), kNtPrefix))
        return VolumeNamed(snap, "\\\\.\\" + target.substr(kNtPrefix.size()));
    return VolumeNamed(snap, target);
}

}  // namespace

bool DefineDosDeviceA(DWORD flags, const std::string& name, const std::string& target) {
    const char letter = DriveRootLetter(name);
    if (!letter || name.size() != 2) return Fail(ERROR_INVALID_PARAMETER);
    auto snap = Registry::instance().snapshot();
    if (flags & DDD_REMOVE_DEFINITION) {
        const device::VolumeInfo* holder = snap->volume_by_letter(letter);
        if (!holder) return Fail(ERROR_FILE_NOT_FOUND);
        if (!target.empty() && VolumeOfTarget(*snap, target) != holder) return Fail(ERROR_FILE_NOT_FOUND);
        return Registry::instance().remove_letter(letter);
    }
    const device::VolumeInfo* volume = VolumeOfTarget(*snap, target);
    if (!volume) return Fail(ERROR_FILE_NOT_FOUND);
    return Registry::instance().assign_letter(device::GuidToString(volume->guid), letter);
}

DWORD GetLogicalDrives() {
    DWORD mask = 0;
    for (const auto& v : Registry::instance().snapshot()->volumes)
        if (v.letter >= 'A' && v.letter <= 'Z') mask |= 1u << (v.letter - 'A');
    return mask;
}

unsigned GetDriveTypeA(const std::string& root) {
    char letter = DriveRootLetter(root);
    auto snap = Registry::instance().snapshot();
    const device::VolumeInfo* v = letter ? snap->volume_by_letter(letter) : VolumeNamed(*snap, root);
    if (!v) return DRIVE_NO_ROOT_DIR;
    const device::DiskInfo* d = snap->disk(v->disk);
    return d && d->removable ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

namespace {

// The volume a root names: "C:\\", "C:", "\\\\.\\C:", "\\\\?\\Volume{...}\\".
const device::VolumeInfo* VolumeAtRoot(const device::Snapshot& snap, const std::string& root) {
    if (char letter = DriveRootLetter(root)) return snap.volume_by_letter(letter);
    return VolumeNamed(snap, root);
}

bool FactsOf(const device::Snapshot& snap, const device::VolumeInfo& v, device::FileSystemFacts& facts,
             device::FactsWanted wanted) {
    const device::DiskInfo* disk = snap.disk(v.disk);
    if (!disk) return Fail(ERROR_DEV_NOT_EXIST);
    device::BackingLocation where = Registry::instance().host().volume_backing(*disk, v);
    UniqueFd fd(::open(where.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return SetLastErrorFromErrno(errno), false;
    facts = device::ReadFileSystemFacts(device::ReaderOverDescriptor(fd.get(), where.offset, v.length), 0, v.length,
                                        wanted);
    if (facts.name.empty()) return Fail(ERROR_UNRECOGNIZED_VOLUME);
    return true;
}

DWORD Clamp32(std::uint64_t value) {
    return static_cast<DWORD>(std::min<std::uint64_t>(value, std::numeric_limits<DWORD>::max()));
}

}  // namespace

bool GetVolumeInformationA(const std::string& root, VolumeInformation& info) {
    auto snap = Registry::instance().snapshot();
    const device::VolumeInfo* v = VolumeAtRoot(*snap, root);
    if (!v) return Fail(ERROR_PATH_NOT_FOUND);
    if (v->offline) return Fail(ERROR_NOT_READY);
    device::FileSystemFacts facts;
    if (!FactsOf(*snap, *v, facts, device::FactsWanted::NoFreeSpace)) return false;
    info.label = facts.label;
    info.serial = facts.serial;
    info.max_component_length = 255;
    info.flags = 0;
    info.file_system = facts.name;
    return true;
}

bool GetDiskFreeSpaceA(const std::string& root, DWORD* sectors_per_cluster, DWORD* bytes_per_sector,
                       DWORD* free_clusters, DWORD* total_clusters) {
    auto snap = Registry::instance().snapshot();
    const device::VolumeInfo* v = VolumeAtRoot(*snap, root);
    if (!v) return Fail(ERROR_PATH_NOT_FOUND);
    if (v->offline) return Fail(ERROR_NOT_READY);
    std::uint64_t bps = 0, spc = 0, free = 0, total = 0;
    struct statvfs st {};
    if (!v->mount_points.empty() && ::statvfs(v->mount_points.front().c_str(), &st) == 0 && st.f_frsize >= 512) {
        // Mounted here: the file system's own live numbers, free as this user may use it.
        bps = 512;
        spc = st.f_frsize / 512;
        total = st.f_blocks;
        free = st.f_bavail;
    } else {
        device::FileSystemFacts facts;
        if (!FactsOf(*snap, *v, facts, device::FactsWanted::Everything)) return false;
        if (!facts.free_clusters || facts.sectors_per_cluster == 0) return Fail(ERROR_NOT_SUPPORTED);
        bps = facts.bytes_per_sector;
        spc = facts.sectors_per_cluster;
        total = facts.total_clusters;
        free = *facts.free_clusters;
    }
    if (sectors_per_cluster) *sectors_per_cluster = Clamp32(spc);
    if (bytes_per_sector) *bytes_per_sector = Clamp32(bps);
    if (free_clusters) *free_clusters = Clamp32(free);
    if (total_clusters) *total_clusters = Clamp32(total);
    return true;
}

}  // namespace platform
