// rawvhd: the block copy between a disk or file and a VHD/VHDX attached
// through the virtual-disk service (without a host disk of its own).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

#include "disk/virtdisk.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"
#include "platform/wide_text.h"

namespace disk {

namespace fs = std::filesystem;
namespace vd = platform::virtdisk;
using platform::Handle;

namespace {

constexpr std::size_t kBlockSize = 1 << 20;
constexpr std::int64_t kProgressStep = 64ll << 20;
// The largest virtual disk a VHD can describe.
constexpr std::int64_t kMaxVhdSize = 2040ll << 30;

[[noreturn]] void Raise(const std::string& prefix, DWORD code) { throw std::runtime_error(prefix + std::to_string(code)); }

// A VHD or VHDX by its extension; "x.vhd.img" and "backup.vhdfile" are not.
bool IsVirtualDiskPath(const std::string& path) {
    const std::string extension = LoweredExtension(path);
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

const char* SourceStep(const std::string& source) {
    return IsVirtualDiskPath(source) ? "OpenVHD SRC failed " : "CreateFile SRC failed ";
}

Handle OpenSource(const std::string& source, std::int64_t* size) {
    if (IsVirtualDiskPath(source))
        return AttachForCopy(source, vd::ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY | vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST,
                             "OpenVHD SRC failed ", "AttachVHD SRC failed ", size);
    Handle handle = platform::CreateFile(source, platform::GENERIC_READ, 0, platform::OPEN_EXISTING,
                                         platform::FILE_ATTRIBUTE_NORMAL);
    if (!handle) Raise(SourceStep(source), platform::GetLastError());
    *size = 0;
    if (IsDevicePath(source)) *size = GetHandleLength(handle);
    else platform::GetFileSizeEx(handle, size);
    return handle;
}

// What becomes of the destination path.
enum class DestinationKind {
    NewImage,       // a virtual disk made anew in place of whatever was there
    ExistingImage,  // restoring into an existing VHD writes into it
    NewFile,        // a plain file made anew in place of whatever was there
    Existing,       // a device (or other non-regular file) written in place
    StandardOutput,
};

// The Linux path of a file path ("X:\rest" inside its volume's folder).
std::string LinuxPathOf(const std::string& path) {
    const std::string resolved = platform::ResolveFilePath(path);
    return resolved.empty() ? path : resolved;
}

DestinationKind KindOf(const std::string& destination, int mode) {
    if (IsVirtualDiskPath(destination))
        return mode == kRawVhdToDevice ? DestinationKind::ExistingImage : DestinationKind::NewImage;
    if (destination.empty() || destination == "-") return DestinationKind::StandardOutput;
    if (IsDevicePath(destination)) return DestinationKind::Existing;
    std::error_code ec;
    const auto status = fs::status(LinuxPathOf(destination), ec);
    return fs::exists(status) && !fs::is_regular_file(status) ? DestinationKind::Existing : DestinationKind::NewFile;
}

const char* DestinationStep(DestinationKind kind) {
    switch (kind) {
    case DestinationKind::NewImage: return "CreateVHD DST failed ";
    case DestinationKind::ExistingImage: return "OpenVHD DST failed ";
    default: return "CreateFile DST failed ";
    }
}

std::string CanonicalPath(const std::string& path) {
    std::error_code ec;
    fs::path full = fs::weakly_canonical(fs::absolute(LinuxPathOf(path), ec), ec);
    return ec ? path : full.string();
}

// Whether the file is the image of a virtual disk attached to this host.
bool AttachedToHost(const std::string& path) {
    const std::string full = CanonicalPath(path);
    for (const auto& attachment : platform::device::Registry::instance().host().attached_virtual_disks())
        if (CanonicalPath(attachment.image) == full) return true;
    return false;
}

// A file made beside the one it is to replace, under a name of its own
// with the same extension (which decides what kind of image it is). It
// takes the final name only once the copy into it has succeeded; until then
// the old file stays as it was, and a failure removes the new one.
class Replacement {
public:
    explicit Replacement(const std::string& destination)
        : final_(LinuxPathOf(destination)), temporary_(TemporaryNameBeside(final_)) {}
    ~Replacement() {
        if (kept_) return;
        std::error_code ec;
        fs::remove(temporary_, ec);
    }
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    const std::string& path() const { return temporary_; }
    // False (with errno) when the new file could not take the old one's name.
    bool keep() {
        if (std::rename(temporary_.c_str(), final_.c_str()) != 0) return false;
        kept_ = true;
        return true;
    }

private:
    static std::string TemporaryNameBeside(const std::string& path) {
        static std::atomic<unsigned> counter{0};
        const fs::path final_path(path);
        const std::string name = "." + final_path.stem().string() + ".tarnovell-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(counter++) + final_path.extension().string();
        return (final_path.parent_path() / name).string();
    }

    std::string final_;
    std::string temporary_;
    bool kept_ = false;
};

struct Destination {
    DestinationKind kind = DestinationKind::NewFile;
    std::optional<Replacement> replacement;  // declared before the handle: the handle closes first
    Handle handle;
    // The destination is a virtual disk made just now, which reads as zeros
    // wherever nothing was written.
    bool blank = false;
};

void CreateImage(const std::string& path, int mode, std::int64_t size) {
    // A virtual disk holds whole sectors: an odd-sized source ends in zeros.
    const std::int64_t maximum = (size + 511) / 512 * 512;
    if (maximum <= 0 || (LoweredExtension(path) == ".vhd" && maximum > kMaxVhdSize))
        Raise("CreateVHD DST failed ", platform::ERROR_INVALID_PARAMETER);
    Handle created;
    DWORD result = mode == kRawVhdToDynamicVhd
                       ? CreateVirtualDisk0(path, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &created, maximum)
                       : CreateVirtualDisk1(path, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &created, maximum);
    if (result != 0) Raise("CreateVHD DST failed ", result);
}

void OpenDestination(const std::string& destination, int mode, std::int64_t size, Destination& out) {
    out.kind = KindOf(destination, mode);
    const char* step = DestinationStep(out.kind);
    // An image the host has attached is in use: it is neither replaced nor
    // written besides the host disk.
    if ((out.kind == DestinationKind::NewImage || out.kind == DestinationKind::NewFile) && AttachedToHost(destination))
        Raise(step, platform::ERROR_SHARING_VIOLATION);

    switch (out.kind) {
    case DestinationKind::NewImage:
        out.replacement.emplace(destination);
        CreateImage(out.replacement->path(), mode, size);
        out.blank = true;
        out.handle = AttachForCopy(out.replacement->path(), vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST,
                                   "OpenVHD DST failed ", "AttachVHD DST failed ", nullptr);
        return;
    case DestinationKind::ExistingImage:
        out.handle = AttachForCopy(destination, vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST, "OpenVHD DST failed ",
                                   "AttachVHD DST failed ", nullptr);
        return;
    case DestinationKind::StandardOutput:
        // "-" (or nothing) streams the copy to standard output when that is a pipe.
        if ((out.handle = platform::OpenStandardOutputPipe())) return;
        break;
    case DestinationKind::NewFile:
        out.replacement.emplace(destination);
        out.handle = platform::CreateFile(out.replacement->path(), platform::GENERIC_WRITE, 0, platform::CREATE_NEW,
                                          platform::FILE_ATTRIBUTE_NORMAL);
        if (out.handle) return;
        {
            // Report what the destination itself answers (a missing folder: no such file).
            const DWORD error = platform::GetLastError();
            Handle existing = platform::CreateFile(destination, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                   platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL);
            Raise(step, existing ? error : platform::GetLastError());
        }
    case DestinationKind::Existing: break;
    }
    out.handle = platform::CreateFile(destination, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                      platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING,
                                      platform::FILE_ATTRIBUTE_NORMAL);
    if (!out.handle) Raise(step, platform::GetLastError());
}

}  // namespace

bool rawvhd(const std::string& source, const std::string& destination, int mode, platform::OperationTarget* progress) {
    // A name that is not valid UTF-8 cannot be named to the service as it is.
    if (!platform::IsValidUtf8(source)) Raise(SourceStep(source), platform::ERROR_INVALID_NAME);
    if (!platform::IsValidUtf8(destination))
        Raise(DestinationStep(KindOf(destination, mode)), platform::ERROR_INVALID_NAME);

    std::vector<char> buffer(kBlockSize);
    std::int64_t size = 0;
    Handle src = OpenSource(source, &size);
    Destination dst;
    OpenDestination(destination, mode, size, dst);

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
        if (dst.blank && std::all_of(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(read),
                                     [](char c) { return c == 0; }))
            written = read;
        else if (!platform::WriteAt(dst.handle, position, buffer.data(), read, &written) && written == 0)
            throw std::runtime_error("opStatus <> ERROR_SUCCESS");
        if (written < read) {
            error_code = platform::ERROR_HANDLE_EOF;
            break;
        }
        position += static_cast<std::int64_t>(written);
        if (progress && position % kProgressStep == 0) PostPercent(progress, static_cast<int>(position * 100 / size));
    }
    if (!dst.handle.close()) throw std::runtime_error("opStatus <> ERROR_SUCCESS");
    src.close();
    // Only a complete copy takes the place of what was there before.
    if (dst.replacement && error_code == 0 && !dst.replacement->keep())
        Raise(DestinationStep(dst.kind), platform::ErrorFromErrno(errno));
    return error_code == 0;
}

}  // namespace disk
