// rawvhd: the block copy between a disk or file and a VHD/VHDX attached
// through the virtual-disk service (without a host disk of its own).
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "disk/virtdisk.h"
#include "platform/device/path.h"

namespace disk {

namespace vd = platform::virtdisk;
using platform::Handle;

namespace {

constexpr std::size_t kBlockSize = 1 << 20;
constexpr std::int64_t kProgressStep = 64ll << 20;

[[noreturn]] void Raise(const std::string& prefix, DWORD code) { throw std::runtime_error(prefix + std::to_string(code)); }

// A VHD or VHDX by its extension; "x.vhd.img" and "backup.vhdfile" are not.
bool IsVirtualDiskPath(const std::string& path) {
    std::string extension = std::filesystem::path(path).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    return extension == ".vhd" || extension == ".vhdx";
}

bool IsDevicePath(const std::string& path) {
    auto kind = platform::device::ParseDevicePath(path).kind;
    return kind != platform::device::PathKind::File && kind != platform::device::PathKind::DriveFile;
}

// Opens and attaches a virtual disk for the copy's own use: no host disk.
Handle AttachForCopy(const std::string& path, DWORD attach_flags, const std::string& open_failed,
                     const std::string& attach_failed, std::int64_t* virtual_size) {
    Handle handle;
    if (DWORD opened = OpenVirtualDisk(path, &handle, vd::VIRTUAL_DISK_ACCESS_NONE, 2, 0); opened != 0)
        Raise(open_failed, opened);
    if (virtual_size) {
        GET_VIRTUAL_DISK_INFO info{};
        info.Version = vd::GET_VIRTUAL_DISK_INFO_SIZE;
        if (DWORD got = GetVirtualDiskInformation(handle, info); got != 0) Raise("GetVirtualDiskInformation_ failed ", got);
        *virtual_size = static_cast<std::int64_t>(info.Size.VirtualSize);
    }
    if (DWORD attached = AttachVirtualDisk(handle, attach_flags); attached != 0) Raise(attach_failed, attached);
    return handle;
}

Handle OpenSource(const std::string& source, std::int64_t* size) {
    if (IsVirtualDiskPath(source))
        return AttachForCopy(source, vd::ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY | vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST,
                             "OpenVHD SRC failed ", "AttachVHD SRC failed ", size);
    Handle handle = platform::CreateFile(source, platform::GENERIC_READ, 0, platform::OPEN_EXISTING,
                                         platform::FILE_ATTRIBUTE_NORMAL);
    if (!handle) Raise("CreateFile SRC failed ", platform::GetLastError());
    *size = 0;
    if (IsDevicePath(source)) *size = GetHandleLength(handle);
    else platform::GetFileSizeEx(handle, size);
    return handle;
}

// `blank` tells the caller that the destination is a virtual disk made just
// now, which reads as zeros wherever nothing was written.
Handle OpenDestination(const std::string& destination, int mode, std::int64_t size, bool* blank) {
    const bool virtual_disk = IsVirtualDiskPath(destination);
    // Restoring into an existing VHD writes into it; everything else is made anew.
    const bool into_existing_vhd = virtual_disk && mode == kRawVhdToDevice;
    *blank = virtual_disk && !into_existing_vhd;
    if (!into_existing_vhd && !IsDevicePath(destination) && std::filesystem::exists(destination))
        platform::DeleteRegularFile(destination);

    if (virtual_disk) {
        if (!into_existing_vhd) {
            // A virtual disk holds whole sectors: an odd-sized source ends in zeros.
            const std::int64_t maximum = (size + 511) / 512 * 512;
            Handle created;
            DWORD result = mode == kRawVhdToDynamicVhd
                               ? CreateVirtualDisk0(destination, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "",
                                                    &created, maximum)
                               : CreateVirtualDisk1(destination, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "",
                                                    &created, maximum);
            if (result != 0) Raise("CreateVHD DST failed ", result);
        }
        return AttachForCopy(destination, vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST, "OpenVHD DST failed ",
                             "AttachVHD DST failed ", nullptr);
    }
    // "-" (or nothing) streams the copy to standard output when that is a pipe.
    if (destination.empty() || destination == "-")
        if (Handle pipe = platform::OpenStandardOutputPipe()) return pipe;
    Handle handle = platform::CreateFile(destination, platform::GENERIC_WRITE, 0, platform::CREATE_NEW,
                                         platform::FILE_ATTRIBUTE_NORMAL);
    if (!handle)  // an existing device
        handle = platform::CreateFile(destination, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                      platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING,
                                      platform::FILE_ATTRIBUTE_NORMAL);
    if (!handle) Raise("CreateFile DST failed ", platform::GetLastError());
    return handle;
}

}  // namespace

bool rawvhd(const std::string& source, const std::string& destination, int mode, platform::OperationTarget* progress) {
    std::vector<char> buffer(kBlockSize);
    std::int64_t size = 0;
    Handle src = OpenSource(source, &size);
    bool blank_destination = false;
    Handle dst = OpenDestination(destination, mode, size, &blank_destination);

    DWORD error_code = 0;
    std::int64_t position = 0;
    while (position < size) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::int64_t>(kBlockSize, size - position));
        std::size_t read = 0;
        if (!platform::ReadAt(src, position, buffer.data(), wanted, &read)) throw std::runtime_error("opStatus <> ERROR_SUCCESS");
        // A source shorter than it said it was would otherwise be read at its end for ever.
        if (read == 0) throw std::runtime_error("ReadFile SRC ended early at " + std::to_string(position));
        std::size_t written = 0;
        // Zeros need not be written to a blank image: a dynamic one stays as small as its data.
        if (blank_destination && std::all_of(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(read),
                                             [](char c) { return c == 0; }))
            written = read;
        else if (!platform::WriteAt(dst, position, buffer.data(), read, &written) && written == 0)
            throw std::runtime_error("opStatus <> ERROR_SUCCESS");
        if (written < read) {
            error_code = platform::ERROR_HANDLE_EOF;
            break;
        }
        position += static_cast<std::int64_t>(written);
        if (progress && position % kProgressStep == 0) PostPercent(progress, static_cast<int>(position * 100 / size));
    }
    if (!dst.close()) throw std::runtime_error("opStatus <> ERROR_SUCCESS");
    src.close();
    return error_code == 0;
}

}  // namespace disk
