// rawvhd: the block copy between a disk or file and a VHD/VHDX attached
// through the virtual-disk service (without a host disk of its own).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "disk/bindings/virtdisk.h"
#include "platform/device/path.h"
#include "platform/device/registry.h"
#include "platform/os/thread.h"
#include "platform/base/wide_text.h"

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

using platform::device::IsDevicePath;

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

// Creates the image and attaches it through the handle that made it, which
// knows it holds nothing yet.
Handle CreateImage(const std::string& path, int mode, std::int64_t size) {
    // A virtual disk holds whole sectors: an odd-sized source ends in zeros.
    const std::int64_t maximum = (size + 511) / 512 * 512;
    if (maximum <= 0 || (LoweredExtension(path) == ".vhd" && maximum > kMaxVhdSize))
        Raise("CreateVHD DST failed ", platform::ERROR_INVALID_PARAMETER);
    Handle created;
    DWORD result = mode == kRawVhdToDynamicVhd
                       ? CreateVirtualDisk0(path, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &created, maximum)
                       : CreateVirtualDisk1(path, vd::VIRTUAL_DISK_ACCESS_ALL, 0, 0, nullptr, nullptr, "", &created, maximum);
    if (result != 0) Raise("CreateVHD DST failed ", result);
    if (DWORD attached = AttachVirtualDisk(created, vd::ATTACH_VIRTUAL_DISK_FLAG_NO_LOCAL_HOST); attached != 0)
        Raise("AttachVHD DST failed ", attached);
    return created;
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
        out.handle = CreateImage(out.replacement->path(), mode, size);
        out.blank = true;
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

// One block of the source as the read-ahead thread read it: its bytes, or
// the failure that ended the reading there.
struct Block {
    std::vector<char> bytes;
    std::size_t size = 0;
    std::string failure;
};

// Reads the source in order on a thread of its own, a few blocks ahead of
// the writing, so that reading and writing run at the same time. With
// progress to report it reads no further than the next report until that
// report has been made: whoever watches the copy sees the source read up to
// there and no further, as in a copy that reads and writes in turn.
class ReadAhead {
public:
    static constexpr std::size_t kDepth = 4;

    ReadAhead(Handle& source, std::int64_t size, bool reports_progress)
        : source_(source), size_(size), paced_(reports_progress), allowed_(paced_ ? kProgressStep : size) {
        for (std::size_t i = 0; i < kDepth; ++i) free_.push_back(std::vector<char>(kBlockSize));
        thread_ = platform::StartThread([this](std::stop_token stop) { run(stop); });
    }
    ~ReadAhead() {
        thread_.request_stop();
        changed_.notify_all();
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next block in order; raises the failure the reading met there.
    Block next() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !ready_.empty(); });
        Block block = std::move(ready_.front());
        ready_.pop_front();
        if (!block.failure.empty()) throw std::runtime_error(block.failure);
        return block;
    }
    // Hands a written block's buffer back for reading into.
    void recycle(Block block) {
        {
            std::lock_guard guard(mutex_);
            free_.push_back(std::move(block.bytes));
        }
        changed_.notify_all();
    }
    // All up to `position` is written (and any report due there made): read
    // on to the next report after it.
    void written(std::int64_t position) {
        {
            std::lock_guard guard(mutex_);
            if (paced_) allowed_ = (position / kProgressStep + 1) * kProgressStep;
        }
        changed_.notify_all();
    }
    // Waits for the reading to end (it ends by itself at the source's end).
    void finish() {
        thread_.request_stop();
        changed_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    void run(std::stop_token stop) {
        std::int64_t position = 0;
        while (position < size_) {
            Block block;
            {
                std::unique_lock lock(mutex_);
                if (!changed_.wait(lock, stop, [&] { return !free_.empty() && position < allowed_; })) return;
                block.bytes = std::move(free_.front());
                free_.pop_front();
            }
            const std::size_t wanted = static_cast<std::size_t>(std::min<std::int64_t>(kBlockSize, size_ - position));
            bool ended = false;
            if (!platform::ReadAt(source_, position, block.bytes.data(), wanted, &block.size)) {
                block.failure = "opStatus <> ERROR_SUCCESS";
                ended = true;
            } else if (block.size == 0) {
                // A source shorter than it said it was would otherwise be read at its end for ever.
                block.failure = "ReadFile SRC ended early at " + std::to_string(position);
                ended = true;
            }
            position += static_cast<std::int64_t>(block.size);
            {
                std::lock_guard guard(mutex_);
                ready_.push_back(std::move(block));
            }
            changed_.notify_all();
            if (ended) return;
        }
    }

    Handle& source_;
    const std::int64_t size_;
    std::mutex mutex_;
    const bool paced_;      // the reading keeps pace with the progress reports
    std::int64_t allowed_;  // where the reading waits for the next progress report
    std::condition_variable_any changed_;
    std::deque<std::vector<char>> free_;
    std::deque<Block> ready_;
    std::jthread thread_;  // last: it stops and is joined before the queues go
};

}  // namespace

bool rawvhd(const std::string& source, const std::string& destination, int mode, platform::OperationTarget* progress) {
    // A name that is not valid UTF-8 cannot be named to the service as it is.
    if (!platform::IsValidUtf8(source)) Raise(SourceStep(source), platform::ERROR_INVALID_NAME);
    if (!platform::IsValidUtf8(destination))
        Raise(DestinationStep(KindOf(destination, mode)), platform::ERROR_INVALID_NAME);

    std::int64_t size = 0;
    Handle src = OpenSource(source, &size);
    Destination dst;
    OpenDestination(destination, mode, size, dst);

    DWORD error_code = 0;
    std::int64_t position = 0;
    {
        ReadAhead reader(src, size, progress != nullptr);
        while (position < size) {
            Block block = reader.next();
            const std::size_t read = block.size;
            std::size_t written = 0;
            // Zeros need not be written to a blank image: a dynamic one stays as small as its data.
            if (dst.blank && std::all_of(block.bytes.begin(), block.bytes.begin() + static_cast<std::ptrdiff_t>(read),
                                         [](char c) { return c == 0; }))
                written = read;
            else if (!platform::WriteAt(dst.handle, position, block.bytes.data(), read, &written) && written == 0)
                throw std::runtime_error("opStatus <> ERROR_SUCCESS");
            if (written < read) {
                error_code = platform::ERROR_HANDLE_EOF;
                break;
            }
            position += static_cast<std::int64_t>(written);
            reader.recycle(std::move(block));
            if (progress && position % kProgressStep == 0) PostPercent(progress, static_cast<int>(position * 100 / size));
            reader.written(position);
        }
        reader.finish();
    }
    if (!dst.handle.close()) throw std::runtime_error("opStatus <> ERROR_SUCCESS");
    src.close();
    // Only a complete copy takes the place of what was there before.
    if (dst.replacement && error_code == 0 && !dst.replacement->keep())
        Raise(DestinationStep(dst.kind), platform::ErrorFromErrno(errno));
    return error_code == 0;
}

}  // namespace disk
