#include "disk/bindings/virtdisk.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/base/ascii.h"
#include "platform/device/path.h"
#include "platform/device/records/winioctl.h"
#include "platform/modules/module.h"
#include "platform/base/wide_text.h"

namespace disk {

namespace vd = platform::virtdisk;
using platform::Handle;

namespace {

// One entry point of VirtDisk.dll, held for the length of one call.
template <typename Proc>
class EntryPoint {
public:
    EntryPoint(const char* name, const char* failure)
        : module_(platform::LoadModule("VirtDisk.dll", {{proc_, name}}, failure)) {}
    Proc operator*() const { return proc_; }

private:
    Proc proc_ = nullptr;  // before the module: bound while the module is loaded
    platform::ModuleReference module_;
};

// Size of the information buffer the program hands the service.
constexpr std::size_t kInfoBufferSize = 2064;
constexpr std::uint32_t kPhysicalPathBufferBytes = 255;
constexpr std::uint32_t kDependencyBufferSize = 1024;

}  // namespace

std::string LoweredExtension(const std::string& path) {
    const std::size_t name_at = path.find_last_of("/\\");
    const std::string name = name_at == std::string::npos ? path : path.substr(name_at + 1);
    const std::size_t dot = name.rfind('.');
    // A name that starts with its only dot (".vhd") is a hidden file without an extension.
    if (dot == std::string::npos || dot == 0 || name == "..") return "";
    return platform::ToLower(name.substr(dot));
}

VIRTUAL_STORAGE_TYPE StorageTypeOfPath(const std::string& path) {
    const std::string extension = LoweredExtension(path);
    VIRTUAL_STORAGE_TYPE type{vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHD, vd::VIRTUAL_STORAGE_TYPE_VENDOR_MICROSOFT};
    if (extension == ".iso") type.DeviceId = vd::VIRTUAL_STORAGE_TYPE_DEVICE_ISO;
    else if (extension == ".vhdx") type.DeviceId = vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHDX;
    else if (extension == ".vhds") type.DeviceId = vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHDSET;
    return type;
}

DWORD OpenVirtualDisk(const std::string& path, Handle* out, DWORD access_mask, int parameter_version,
                      std::uint32_t rw_depth) {
    EntryPoint<vd::OpenVirtualDiskProc> open("OpenVirtualDisk", "could not load Open from virtdisk.dll");
    if (!platform::IsValidUtf8(path)) return platform::ERROR_INVALID_NAME;
    VIRTUAL_STORAGE_TYPE type = StorageTypeOfPath(path);
    if (type.DeviceId == vd::VIRTUAL_STORAGE_TYPE_DEVICE_ISO) access_mask = vd::VIRTUAL_DISK_ACCESS_READ;
    vd::OPEN_VIRTUAL_DISK_PARAMETERS parameters{};
    if (parameter_version == 2) {
        parameters.Version = 2;
        parameters.Version2.GetInfoOnly = 0;
        parameters.Version2.ReadOnly = 0;
    } else {
        parameters.Version = 1;
        parameters.Version1.RWDepth = rw_depth;
    }
    const std::u16string wide = platform::Utf8ToUtf16(path);
    return (*open)(&type, wide.c_str(), access_mask, vd::OPEN_VIRTUAL_DISK_FLAG_NONE, &parameters, out);
}

DWORD CreateVirtualDisk(const std::string& path, DWORD access_mask, DWORD flags, std::uint32_t physical_sector_size,
                        std::uint32_t sector_size, const vd::SECURITY_DESCRIPTOR* security, vd::OVERLAPPED* overlapped,
                        const std::string& parent, Handle* out, std::int64_t maximum_size) {
    EntryPoint<vd::CreateVirtualDiskProc> create("CreateVirtualDisk",
                                                 "could not load CreateVirtualDisk from virtdisk.dll");
    if (!platform::IsValidUtf8(path) || !platform::IsValidUtf8(parent)) {
        if (out) *out = Handle();
        return platform::ERROR_INVALID_NAME;
    }
    VIRTUAL_STORAGE_TYPE type = StorageTypeOfPath(path);
    if (type.DeviceId == vd::VIRTUAL_STORAGE_TYPE_DEVICE_ISO) type.DeviceId = vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHD;
    const std::u16string wide_path = platform::Utf8ToUtf16(path);
    const std::u16string wide_parent = platform::Utf8ToUtf16(parent);
    const char16_t* parent_path = parent.empty() ? nullptr : wide_parent.c_str();

    vd::CREATE_VIRTUAL_DISK_PARAMETERS parameters{};
    if (physical_sector_size != 0 && type.DeviceId == vd::VIRTUAL_STORAGE_TYPE_DEVICE_VHDX) {
        parameters.Version = 2;
        parameters.Version2.MaximumSize = static_cast<std::uint64_t>(maximum_size);
        parameters.Version2.SectorSizeInBytes = sector_size;
        parameters.Version2.PhysicalSectorSizeInBytes = physical_sector_size;
        parameters.Version2.ParentPath = parent_path;
        access_mask = vd::VIRTUAL_DISK_ACCESS_NONE;
    } else {
        parameters.Version = 1;
        parameters.Version1.MaximumSize = static_cast<std::uint64_t>(maximum_size);
        parameters.Version1.SectorSizeInBytes = sector_size;
        parameters.Version1.ParentPath = parent_path;
    }
    DWORD result = (*create)(&type, wide_path.c_str(), access_mask, security, flags, 0, &parameters, overlapped, out);
    if (result != 0 && out) *out = Handle();
    return result;
}

DWORD CreateVirtualDisk1(const std::string& path, DWORD access_mask, std::uint32_t physical_sector_size,
                         std::uint32_t sector_size, const vd::SECURITY_DESCRIPTOR* security, vd::OVERLAPPED* overlapped,
                         const std::string& parent, Handle* out, std::int64_t maximum_size) {
    return CreateVirtualDisk(path, access_mask, vd::CREATE_VIRTUAL_DISK_FLAG_FULL_PHYSICAL_ALLOCATION,
                             physical_sector_size, sector_size, security, overlapped, parent, out, maximum_size);
}

DWORD CreateVirtualDisk0(const std::string& path, DWORD access_mask, std::uint32_t physical_sector_size,
                         std::uint32_t sector_size, const vd::SECURITY_DESCRIPTOR* security, vd::OVERLAPPED* overlapped,
                         const std::string& parent, Handle* out, std::int64_t maximum_size) {
    return CreateVirtualDisk(path, access_mask, vd::CREATE_VIRTUAL_DISK_FLAG_NONE, physical_sector_size, sector_size,
                             security, overlapped, parent, out, maximum_size);
}

DWORD AttachVirtualDisk(Handle& handle, DWORD flags) {
    EntryPoint<vd::AttachVirtualDiskProc> attach("AttachVirtualDisk", "could not load Attach from virtdisk.dll");
    return (*attach)(&handle, nullptr, flags, 0, nullptr, nullptr);
}

DWORD DetachVirtualDisk(Handle& handle) {
    EntryPoint<vd::DetachVirtualDiskProc> detach("DetachVirtualDisk", "could not load Detach from virtdisk.dll");
    return (*detach)(&handle, vd::DETACH_VIRTUAL_DISK_FLAG_NONE, 0);
}

DWORD ResizeVirtualDisk(Handle& handle) {
    EntryPoint<vd::ResizeVirtualDiskProc> resize("ResizeVirtualDisk",
                                                 "could not load ResizeVirtualDisk from virtdisk.dll");
    vd::RESIZE_VIRTUAL_DISK_PARAMETERS parameters{1, 0};
    return (*resize)(&handle, vd::RESIZE_VIRTUAL_DISK_FLAG_RESIZE_TO_SMALLEST_SAFE_VIRTUAL_SIZE, &parameters, nullptr);
}

DWORD CompactVirtualDisk(Handle& handle) {
    EntryPoint<vd::CompactVirtualDiskProc> compact("CompactVirtualDisk",
                                                   "could not load CompactVirtualDisk from virtdisk.dll");
    return (*compact)(&handle, vd::COMPACT_VIRTUAL_DISK_FLAG_NONE, nullptr, nullptr);
}

DWORD ExpandVirtualDisk(Handle& handle, std::int64_t new_size) {
    EntryPoint<vd::ExpandVirtualDiskProc> expand("ExpandVirtualDisk",
                                                 "could not load ExpandVirtualDisk from virtdisk.dll");
    vd::EXPAND_VIRTUAL_DISK_PARAMETERS parameters{1, static_cast<std::uint64_t>(new_size)};
    return (*expand)(&handle, vd::EXPAND_VIRTUAL_DISK_FLAG_NONE, &parameters, nullptr);
}

DWORD MergeVirtualDisk(Handle& handle) {
    EntryPoint<vd::MergeVirtualDiskProc> merge("MergeVirtualDisk", "could not load MergeVirtualDisk from virtdisk.dll");
    vd::MERGE_VIRTUAL_DISK_PARAMETERS parameters{1, 1};
    return (*merge)(&handle, vd::MERGE_VIRTUAL_DISK_FLAG_NONE, &parameters, nullptr);
}

DWORD GetVirtualDiskInformation(Handle& handle, GET_VIRTUAL_DISK_INFO& info) {
    EntryPoint<vd::GetVirtualDiskInformationProc> get(
        "GetVirtualDiskInformation", "could not load GetVirtualDiskInformation from virtdisk.dll");
    alignas(8) std::uint8_t buffer[kInfoBufferSize] = {};
    auto* full = reinterpret_cast<GET_VIRTUAL_DISK_INFO*>(buffer);
    full->Version = info.Version;
    std::uint32_t size = kInfoBufferSize;
    DWORD result = (*get)(&handle, &size, full, nullptr);
    if (result == 0) std::memcpy(&info, buffer, sizeof info);
    return result;
}

std::string GetVirtualDiskPhysicalPath(Handle& handle) {
    EntryPoint<vd::GetVirtualDiskPhysicalPathProc> get(
        "GetVirtualDiskPhysicalPath", "could not load GetVirtualDiskPhysicalPath from virtdisk.dll");
    char16_t buffer[kPhysicalPathBufferBytes / sizeof(char16_t) + 1] = {};
    std::uint32_t size = kPhysicalPathBufferBytes;
    if ((*get)(&handle, &size, buffer) != 0) return "";
    return platform::Utf16ToUtf8Bounded(buffer, kPhysicalPathBufferBytes / sizeof(char16_t));
}

int GetStorageDependencyInformation(const std::string& disk, StorageDependency& out) {
    EntryPoint<vd::GetStorageDependencyInformationProc> get(
        "GetStorageDependencyInformation", "could not load GetStorageDependencyInformation from virtdisk.dll");
    // "\\.\PhysicalDrive3", "\\.\physicaldrive3" and "3" all name disk 3.
    const int number = platform::device::DiskNumberOfArgument(disk);
    if (number < 0) throw std::runtime_error("could not createfile");
    const std::string path = platform::device::PhysicalDrivePath(number);
    Handle handle = platform::CreateFile(path, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                         platform::OPEN_EXISTING, 0);
    if (!handle) handle = platform::CreateFile(path, 0, platform::FILE_SHARE_READ, platform::OPEN_EXISTING, 0);
    if (!handle) throw std::runtime_error("could not createfile");

    std::vector<std::uint64_t> storage(kDependencyBufferSize / sizeof(std::uint64_t));
    auto* info = reinterpret_cast<vd::STORAGE_DEPENDENCY_INFO*>(storage.data());
    info->Version = 2;
    std::uint32_t used = 0;
    const DWORD flags = vd::GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES | vd::GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE;
    DWORD result = (*get)(&handle, flags, kDependencyBufferSize, info, &used);
    if (result == platform::ERROR_INSUFFICIENT_BUFFER && used > kDependencyBufferSize) {
        storage.assign((used + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
        info = reinterpret_cast<vd::STORAGE_DEPENDENCY_INFO*>(storage.data());
        info->Version = 2;
        result = (*get)(&handle, flags, used, info, &used);
    }
    if (result != 0 || info->NumberOfEntries == 0) return 255;
    const vd::STORAGE_DEPENDENCY_INFO_TYPE_2& entry = info->Version2Entries[0];
    auto text = [](const char16_t* p) { return p ? platform::Utf16ToUtf8(p) : std::string(); };
    out.DependencyTypeFlags = entry.DependencyTypeFlags;
    out.ProviderSpecificFlags = entry.ProviderSpecificFlags;
    out.VirtualStorageType = entry.VirtualStorageType;
    out.AncestorLevel = entry.AncestorLevel;
    out.DependencyDeviceName = text(entry.DependencyDeviceName);
    out.HostVolumeName = text(entry.HostVolumeName);
    out.DependentVolumeName = text(entry.DependentVolumeName);
    out.DependentVolumeRelativePath = text(entry.DependentVolumeRelativePath);
    return 0;
}

int GetStorageDependencyInformation(int disk_number, StorageDependency& out) {
    return GetStorageDependencyInformation(std::to_string(disk_number), out);
}

std::int64_t GetHandleLength(Handle& handle) {
    std::int64_t length = 0;
    platform::DWORD returned = 0;
    if (!platform::DeviceIoControl(handle, platform::IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                                   &returned))
        return 0;
    return length;
}

}  // namespace disk
