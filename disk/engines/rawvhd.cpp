// rawvhd: the block copy between a disk or file and a VHD or VHDX, run by
// the one copy loop. A VHD is read and written with our own VHD code; a
// VHDX is attached through the virtual-disk service (without a host disk of
// its own).
#include "disk/engines/rawvhd.h"


#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>

#include "disk/copy/copy_loop.h"
#include "disk/copy/destination_hold.h"
#include "disk/engines/copy_engine.h"
#include "disk/formats/vhd/vhd_endpoints.h"
#include "platform/base/interaction.h"
#include "platform/base/wide_text.h"
#include "platform/base/replace_file.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"
#include "platform/os/file_facts.h"
#include "platform/os/folders.h"

namespace disk {

namespace vd = platform::virtdisk;
using platform::Handle;

namespace {

constexpr std::size_t kBlockSize = 1 << 20;
constexpr std::int64_t kProgressStep = 64ll << 20;

[[noreturn]] void Raise(const std::string& prefix, DWORD code) { throw std::runtime_error(prefix + std::to_string(code)); }
// A source's failure: the step's own text and code, then the source and
// the system's text for the code, as the other engines say it.
[[noreturn]] void Raise(const std::string& prefix, DWORD code, const std::string& source) {
    throw std::runtime_error(platform::FailureLine(prefix + std::to_string(code), source, code));
}

// A VHD or VHDX by its extension; "x.vhd.img" and "backup.vhdfile" are not.
bool IsVirtualDiskPath(const std::string& path) {
    const std::string extension = LoweredExtension(path);
    return extension == ".vhd" || extension == ".vhdx";
}

using platform::device::IsDevicePath;

const char* SourceStep(const std::string& source) {
    return IsVirtualDiskPath(source) ? "OpenVHD SRC failed " : "CreateFile SRC failed ";
}

// A disk, volume or plain file as the source, and its size.
Handle OpenPlainSource(const std::string& source, std::int64_t* size) {
    Handle handle = platform::CreateFile(source, platform::GENERIC_READ, 0, platform::OPEN_EXISTING,
                                         platform::FILE_ATTRIBUTE_NORMAL);
    if (!handle) Raise(SourceStep(source), platform::GetLastError(), source);
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

DestinationKind KindOf(const std::string& destination, int mode) {
    if (IsVirtualDiskPath(destination))
        return mode == kRawVhdToDevice ? DestinationKind::ExistingImage : DestinationKind::NewImage;
    if (destination.empty() || destination == "-") return DestinationKind::StandardOutput;
    if (IsDevicePath(destination)) return DestinationKind::Existing;
    const auto facts = platform::FileFactsOf(platform::LinuxPathOf(destination));
    return facts && !facts->is_regular() ? DestinationKind::Existing : DestinationKind::NewFile;
}

const char* DestinationStep(DestinationKind kind) {
    switch (kind) {
    case DestinationKind::NewImage: return "CreateVHD DST failed ";
    case DestinationKind::ExistingImage: return "OpenVHD DST failed ";
    default: return "CreateFile DST failed ";
    }
}

std::string CanonicalPath(const std::string& path) {
    return platform::ResolvedPath(platform::LinuxPathOf(path)).value_or(path);
}

// Whether the file is the image of a virtual disk attached to this host.
bool AttachedToHost(const std::string& path) {
    const std::string full = CanonicalPath(path);
    for (const auto& attachment : platform::device::Registry::instance().host().attached_virtual_disks())
        if (CanonicalPath(attachment.image) == full) return true;
    return false;
}

// Creates the image through the service; with `attach`, attaches it through
// the handle that made it, which knows it holds nothing yet.
Handle CreateImage(const std::string& path, int mode, std::int64_t size, bool attach) {
    // A virtual disk holds whole sectors: an odd-sized source ends in zeros.
    const std::int64_t maximum = (size + 511) / 512 * 512;
    if (maximum <= 0 || (LoweredExtension(path) == ".vhd" && static_cast<std::uint64_t>(maximum) > vd::kVhdMaxSize))
        Raise("CreateVHD DST failed ", platform::ERROR_INVALID_PARAMETER);
    Handle created;
    DWORD result = mode == kRawVhdToDynamicVhd
                       ? CreateVirtualDisk0(path, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &created, maximum)
                       : CreateVirtualDisk1(path, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &created, maximum);
    if (result != 0) Raise("CreateVHD DST failed ", result);
    if (!attach) return created;
    if (DWORD attached = AttachVirtualDisk(created, vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST); attached != 0)
        Raise("AttachVHD DST failed ", attached);
    return created;
}

// The two ends of the copy: the endpoint the loop works on and whatever
// keeps it reachable (the virtual disk's handle, a file's handle).
struct SourceEnd {
    Handle handle;
    std::unique_ptr<CopySource> endpoint;
    std::int64_t size = 0;
};

struct DestinationEnd {
    DestinationKind kind = DestinationKind::NewFile;
    // A disk or volume written in place is held for the copy (its volumes
    // locked, the disk held whole) and handed back after it.
    std::unique_ptr<DestinationHold> hold;
    // A new file is written beside the one it replaces and takes its name only
    // once the copy into it has succeeded; until then the old file stays as it
    // was, and a failure removes the new one. Declared before the handle: the
    // handle closes first.
    std::optional<platform::FileReplacement> replacement;
    Handle handle;
    std::unique_ptr<CopySink> endpoint;
};

// A VHD (not a VHDX) our own code reads and writes directly; a differencing
// one needs its parent and goes through the service, which says it cannot.
bool IsOwnVhd(const std::string& path) { return LoweredExtension(path) == ".vhd"; }

// Null for a differencing VHD when `differencing_to_service` is set; any
// other refusal raises `failed` and its code.
std::unique_ptr<vd::VhdImage> OpenOwnVhd(const std::string& path, bool writable, const std::string& failed,
                                         bool differencing_to_service = true) {
    std::unique_ptr<vd::VhdImage> image;
    const DWORD opened = vd::VhdImage::Open(platform::LinuxPathOf(path), writable, image);
    if (opened != platform::ERROR_SUCCESS) {
        if (opened == platform::ERROR_NOT_SUPPORTED && differencing_to_service) return nullptr;
        if (!writable) Raise(failed, opened, path);  // a source, named
        Raise(failed, opened);
    }
    return image;
}

void OpenSourceEnd(const std::string& source, SourceEnd& out) {
    if (!IsVirtualDiskPath(source)) {
        out.handle = OpenPlainSource(source, &out.size);
        out.endpoint = std::make_unique<RawSource>(out.handle, 0, out.size);
        return;
    }
    // The service opens and sizes every image, so that its answers (and
    // their codes) stay what they are; a VHD's bytes are then read directly.
    Handle opened;
    if (DWORD result = OpenVirtualDisk(source, &opened, vd::VIRTUAL_DISK_ACCESS_NONE, 2, 0); result != 0)
        Raise("OpenVHD SRC failed ", result, source);
    GET_VIRTUAL_DISK_INFO info{};
    info.Version = vd::GET_VIRTUAL_DISK_INFO_SIZE;
    if (DWORD got = GetVirtualDiskInformation(opened, info); got != 0) Raise("GetVirtualDiskInformation_ failed ", got, source);
    out.size = static_cast<std::int64_t>(info.Size.VirtualSize);
    if (IsOwnVhd(source)) {
        if (auto image = OpenOwnVhd(source, false, "AttachVHD SRC failed ")) {
            out.size = image->size();
            out.endpoint = std::make_unique<VhdSource>(std::move(image));
            return;
        }
    }
    const DWORD flags = vd::ATTACH_VIRTUAL_DISK_FLAG_READ_ONLY | vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST;
    if (DWORD attached = AttachVirtualDisk(opened, flags); attached != 0) Raise("AttachVHD SRC failed ", attached, source);
    out.handle = std::move(opened);
    out.endpoint = std::make_unique<RawSource>(out.handle, 0, out.size);
}

void OpenDestinationEnd(const std::string& destination, int mode, std::int64_t size, DestinationEnd& out) {
    out.kind = KindOf(destination, mode);
    const char* step = DestinationStep(out.kind);
    // An image the host has attached is in use: it is neither replaced nor
    // written besides the host disk.
    if ((out.kind == DestinationKind::NewImage || out.kind == DestinationKind::NewFile) && AttachedToHost(destination))
        Raise(step, platform::ERROR_SHARING_VIOLATION);

    switch (out.kind) {
    case DestinationKind::NewImage:
        out.replacement.emplace(platform::LinuxPathOf(destination), platform::FileReplacement::Start::NameOnly);
        if (!*out.replacement) Raise(step, platform::GetLastError());
        out.handle = CreateImage(out.replacement->path(), mode, size, !IsOwnVhd(destination));
        if (IsOwnVhd(destination)) {
            out.handle.close();
            out.endpoint =
                std::make_unique<VhdSink>(OpenOwnVhd(out.replacement->path(), true, "OpenVHD DST failed ", false), true);
        } else {
            // Zeros need not be written to a blank image: a dynamic one stays as small as its data.
            out.endpoint = std::make_unique<RawSink>(out.handle, 0, ZeroBlocks::Skipped);
        }
        return;
    case DestinationKind::ExistingImage: {
        if (AttachedToHost(destination)) Raise("AttachVHD DST failed ", platform::ERROR_SHARING_VIOLATION);
        if (DWORD opened = OpenVirtualDisk(destination, &out.handle, vd::VIRTUAL_DISK_ACCESS_NONE, 2, 0); opened != 0)
            Raise("OpenVHD DST failed ", opened);
        if (IsOwnVhd(destination)) {
            if (auto image = OpenOwnVhd(destination, true, "AttachVHD DST failed ")) {
                out.handle.close();
                out.endpoint = std::make_unique<VhdSink>(std::move(image), false);
                return;
            }
        }
        if (DWORD attached = AttachVirtualDisk(out.handle, vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST); attached != 0)
            Raise("AttachVHD DST failed ", attached);
        out.endpoint = std::make_unique<RawSink>(out.handle, 0);
        return;
    }
    case DestinationKind::StandardOutput:
        // "-" (or nothing) streams the copy to standard output when that is a pipe.
        if ((out.handle = platform::OpenStandardOutputPipe())) {
            out.endpoint = std::make_unique<RawSink>(out.handle, 0);
            return;
        }
        break;
    case DestinationKind::NewFile:
        out.replacement.emplace(platform::LinuxPathOf(destination), platform::FileReplacement::Start::NameOnly);
        if (!*out.replacement) Raise(step, platform::GetLastError());
        out.handle = platform::CreateFile(out.replacement->path(), platform::GENERIC_WRITE, 0, platform::CREATE_NEW,
                                          platform::FILE_ATTRIBUTE_NORMAL);
        if (out.handle) {
            out.endpoint = std::make_unique<RawSink>(out.handle, 0, ZeroBlocks::LeftAsHoles);
            return;
        }
        {
            // Report what the destination itself answers (a missing folder: no such file).
            const DWORD error = platform::GetLastError();
            Handle existing = platform::CreateFile(destination, platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                   platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_NORMAL);
            Raise(step, existing ? error : platform::GetLastError());
        }
    case DestinationKind::Existing:
        if (out.hold) {
            out.endpoint = std::make_unique<RawSink>(out.hold->handle(), 0);
            return;
        }
        break;
    }
    out.handle = platform::CreateFile(destination, platform::GENERIC_READ | platform::GENERIC_WRITE,
                                      platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING,
                                      platform::FILE_ATTRIBUTE_NORMAL);
    if (!out.handle) Raise(step, platform::GetLastError());
    out.endpoint = std::make_unique<RawSink>(out.handle, 0);
}

// The copy of the routine: 1 MiB blocks, a percentage posted after every
// 64 MiB and no text, the reading held at each report when there is someone
// to report to, any failed read or write the end of it.
CopyLoopSettings RawVhdSettings(std::int64_t size, const OperationContext& context) {
    CopyLoopSettings settings;
    settings.limit = size;
    settings.source_must_reach_limit = true;
    settings.block_size = kBlockSize;
    settings.read_ahead = 4;
    settings.progress.every_bytes = kProgressStep;
    settings.progress.shows = ProgressShows::Percent;
    settings.progress.pump = false;  // a worker thread: the window pumps its own messages
    settings.progress.reading_waits_for_steps = context.status != nullptr;
    settings.read_errors = ReadErrorPolicy::Stop;
    settings.quiet_write_errors = true;
    return settings;
}

}  // namespace

bool rawvhd(const std::string& source, const std::string& destination, int mode, platform::OperationTarget* progress) {
    copy_cancel = false;
    OperationContext context;
    context.status = progress;
    context.cancel = &copy_cancel;
    return rawvhd(context, source, destination, mode);
}

bool rawvhd(const OperationContext& context, const std::string& source, const std::string& destination, int mode) {
    // A name that is not valid UTF-8 cannot be named to the service as it is.
    if (!platform::IsValidUtf8(source)) Raise(SourceStep(source), platform::ERROR_INVALID_NAME, source);
    if (!platform::IsValidUtf8(destination))
        Raise(DestinationStep(KindOf(destination, mode)), platform::ERROR_INVALID_NAME);

    // A copy onto its own source (the same file under any name, or a disk
    // onto itself) would be read back as it is written, and a new image
    // would take the source's place.
    if (KindOf(destination, mode) != DestinationKind::StandardOutput &&
        RefuseSameEndpoints(context, source, destination))
        return false;

    SourceEnd src;
    OpenSourceEnd(source, src);
    DestinationEnd dst;
    if (IsDevicePath(destination) && KindOf(destination, mode) == DestinationKind::Existing) {
        DestinationOptions where;
        where.length = src.size;
        // Refused or declined: the hold has said why, and nothing is written.
        if (!(dst.hold = PrepareDestination(context, destination, where))) return false;
    }
    OpenDestinationEnd(destination, mode, src.size, dst);

    CopyOutcome outcome = RunCopyLoop(*src.endpoint, *dst.endpoint, RawVhdSettings(src.size, context), context);
    switch (outcome.end) {
    case CopyEnd::Completed: break;
    case CopyEnd::Cancelled:
        // Nothing takes the destination's name: what was there stays.
        context.post_status("Aborted at " + std::to_string(outcome.position));
        return false;
    case CopyEnd::SourceEnded:
        // A source shorter than it said it was.
        throw std::runtime_error("ReadFile SRC ended early at " + std::to_string(outcome.position));
    case CopyEnd::WriteFailed:
        // A destination that takes fewer bytes than the source has ends the copy short.
        if (outcome.error == platform::ERROR_HANDLE_EOF || outcome.error == platform::ERROR_DISK_FULL) return false;
        throw std::runtime_error("opStatus <> ERROR_SUCCESS");
    default: throw std::runtime_error("opStatus <> ERROR_SUCCESS");
    }
    dst.endpoint.reset();
    if (!dst.handle.close()) throw std::runtime_error("opStatus <> ERROR_SUCCESS");
    // A disk's system partitions become those of the table the image held.
    if (dst.hold && !dst.hold->complete()) return false;
    src.endpoint.reset();
    src.handle.close();
    // Only a complete copy takes the place of what was there before.
    if (dst.replacement && !dst.replacement->commit()) Raise(DestinationStep(dst.kind), platform::GetLastError());
    return true;
}

}  // namespace disk
