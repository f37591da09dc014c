#include "platform/device/embedded/embedded_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "platform/device/host/attached_disks.h"
#include "platform/base/ascii.h"
#include "platform/device/embedded/manifest.h"
#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"

namespace platform::device {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Refuse(const std::string& manifest, const std::string& what) {
    throw ManifestError("TARNOVELL_HOST manifest " + manifest + ": " + what);
}

std::string SystemText(int err) { return SysErrorMessage(ErrorFromErrno(err)); }

// The manifest's text. A manifest that cannot be read is no machine at all:
// an empty one would look like a machine without disks.
std::string ReadManifest(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) Refuse(path, "cannot be read: " + SystemText(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) Refuse(path, "cannot be read: " + SystemText(errno));
    if (!S_ISREG(st.st_mode)) Refuse(path, "is not a file");
    std::string text;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Refuse(path, "cannot be read: " + SystemText(errno));
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > (1u << 20)) Refuse(path, "is larger than a manifest can be (1 MiB)");
    }
    return text;
}

std::vector<ManifestDisk> ReadEntries(const std::string& manifest) {
    const std::string text = ReadManifest(manifest);
    try {
        return ParseMachineManifest(text);
    } catch (const ManifestError& e) {
        Refuse(manifest, e.what());
    }
}

// The size an image offers: a fixed VHD less its footer, any other image
// all of it; -1 when the image is not there (an absent disk, as an unplugged
// one). Only regular files and block devices are disks: anything else (a
// FIFO would block every open) is refused with its path.
std::int64_t OfferedSize(const std::string& manifest, int number, const std::string& image) {
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return -1;
        Refuse(manifest, "[disk" + std::to_string(number) + "] image " + image + ": " + SystemText(errno));
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        Refuse(manifest, "[disk" + std::to_string(number) + "] image " + image +
                             " is neither a regular file nor a block device");
    std::int64_t size = st.st_size;
    UniqueFd fd(::open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (S_ISBLK(st.st_mode)) size = fd ? ::lseek(fd.get(), 0, SEEK_END) : 0;
    if (size >= 512 && S_ISREG(st.st_mode)) {
        char cookie[8];
        if (fd && ::pread(fd.get(), cookie, 8, size - 512) == 8 && std::memcmp(cookie, "conectix", 8) == 0)
            size -= 512;
    }
    return std::max<std::int64_t>(size, 0);
}

// One byte of the lock file per volume, derived from its GUID.
off_t LockByteOf(const VolumeInfo& volume) {
    std::uint32_t h = volume.guid.Data1 ^ (static_cast<std::uint32_t>(volume.guid.Data2) << 16) ^ volume.guid.Data3;
    return static_cast<off_t>(h & 0x3fffffff);
}

DiskInfo DiskOfAttachment(const VirtualDiskAttachment& a) {
    DiskInfo disk;
    disk.number = a.number;
    disk.backing = a.backing;
    disk.identity = "embedded-vdisk:" + a.image;
    disk.size = a.size;
    disk.vendor = "Msft";
    disk.product = "Virtual Disk";
    disk.revision = "1.0";
    disk.bus_type = BusTypeFileBackedVirtual;
    disk.media_read_only = a.read_only || ::access(a.backing.c_str(), W_OK) != 0;
    disk.no_automatic_letters = a.no_drive_letter;
    return disk;
}

class EmbeddedVolumeClaim : public VolumeClaim {
public:
    EmbeddedVolumeClaim(UniqueFd fd, off_t byte) : fd_(std::move(fd)), byte_(byte) {}

    bool take(bool exclusive) {
        if (set_lock(exclusive ? F_WRLCK : F_RDLCK)) return true;
        SetLastError(exclusive ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED);
        return false;
    }
    bool lock() override {
        if (locked_) return true;
        if (!set_lock(F_WRLCK)) {
            SetLastError(ERROR_ACCESS_DENIED);  // other handles are open on the volume
            return false;
        }
        locked_ = true;
        return true;
    }
    bool unlock() override {
        if (!locked_) {
            SetLastError(ERROR_NOT_LOCKED_VOLUME);
            return false;
        }
        set_lock(F_RDLCK);
        locked_ = false;
        return true;
    }
    bool dismount() override {
        dismounted_ = true;
        return true;
    }
    bool locked() const override { return locked_; }
    bool dismounted() const override { return dismounted_; }

private:
    bool set_lock(short type) {
        struct flock fl {};
        fl.l_type = type;
        fl.l_whence = SEEK_SET;
        fl.l_start = byte_;
        fl.l_len = 1;
        return ::fcntl(fd_.get(), F_OFD_SETLK, &fl) == 0;
    }
    UniqueFd fd_;
    off_t byte_;
    bool locked_ = false;
    bool dismounted_ = false;
};

}  // namespace

EmbeddedHost::EmbeddedHost(std::string manifest_path) : manifest_path_(std::move(manifest_path)) {}

std::string EmbeddedHost::state_path() const { return manifest_path_ + ".state"; }

std::vector<DiskInfo> EmbeddedHost::enumerate_disks() {
    const std::vector<ManifestDisk> entries = ReadEntries(manifest_path_);
    fs::path folder = fs::path(manifest_path_).parent_path();
    std::map<int, DiskInfo> disks;
    std::map<std::string, int> identities;  // the same image reached by two names
    for (const ManifestDisk& entry : entries) {
        fs::path image_path = fs::path(entry.image).is_absolute() ? fs::path(entry.image) : folder / entry.image;
        std::int64_t size = OfferedSize(manifest_path_, entry.number, image_path.string());
        if (size < 0) continue;  // the image is gone: so is the disk

        DiskInfo disk;
        disk.number = entry.number;
        disk.backing = image_path.lexically_normal().string();
        std::error_code ec;
        auto canonical = fs::weakly_canonical(image_path, ec);
        disk.identity = "embedded:" + (ec ? disk.backing : canonical.string());
        if (auto [at, added] = identities.emplace(disk.identity, entry.number); !added)
            Refuse(manifest_path_, "line " + std::to_string(entry.line) + ": [disk" + std::to_string(entry.number) +
                                       "] names the image of [disk" + std::to_string(at->second) + "]: " + entry.image);
        disk.size = size;
        disk.sector_size = entry.sector_size;
        disk.physical_sector_size = disk.sector_size;
        disk.vendor = entry.vendor;
        disk.product = entry.product.empty() ? "Embedded Disk " + std::to_string(entry.number) : entry.product;
        disk.revision = entry.revision;
        disk.serial = entry.serial;
        disk.bus_type = entry.bus_type;
        disk.removable = entry.removable;
        disk.media_read_only = entry.read_only || ::access(disk.backing.c_str(), W_OK) != 0;
        disks[entry.number] = std::move(disk);
    }
    for (const auto& record : LiveAttachmentRecords(state_path())) {
        const VirtualDiskAttachment& a = record.attachment;
        if (a.number < 0 || disks.count(a.number)) continue;
        disks[a.number] = DiskOfAttachment(a);
    }
    std::vector<DiskInfo> result;
    for (auto& [number, disk] : disks) result.push_back(std::move(disk));
    return result;
}

std::set<int> EmbeddedHost::manifest_numbers() const {
    std::set<int> numbers;
    for (const ManifestDisk& entry : ReadEntries(manifest_path_)) numbers.insert(entry.number);
    return numbers;
}

bool EmbeddedHost::attach_virtual_disk(VirtualDiskAttachment& attachment) {
    std::set<int> taken_by_manifest;
    try {
        taken_by_manifest = manifest_numbers();
    } catch (const ManifestError&) {
        SetLastError(ERROR_INVALID_DATA);  // no disk number can be told free
        return false;
    }
    auto choose = [&](const std::vector<AttachmentRecord>& live, VirtualDiskAttachment& a) {
        std::set<int> taken = taken_by_manifest;
        for (const auto& record : live) {
            if (record.attachment.image == a.image) {
                SetLastError(ERROR_SHARING_VIOLATION);  // already attached
                return std::string();
            }
            taken.insert(record.attachment.number);
        }
        int number = 0;
        while (taken.count(number)) ++number;
        a.number = number;
        return std::to_string(number);
    };
    return !SaveAttachmentRecord(state_path(), attachment, choose).empty();
}

bool EmbeddedHost::detach_virtual_disk(const VirtualDiskAttachment& attachment) {
    return RemoveAttachmentRecord(state_path(), std::to_string(attachment.number));
}

std::vector<VirtualDiskAttachment> EmbeddedHost::attached_virtual_disks() {
    std::vector<VirtualDiskAttachment> result;
    for (auto& record : LiveAttachmentRecords(state_path())) result.push_back(std::move(record.attachment));
    return result;
}

void EmbeddedHost::annotate_volumes(const DiskInfo&, std::vector<VolumeInfo>&) {}

BackingLocation EmbeddedHost::disk_backing(const DiskInfo& disk) { return {disk.backing, 0}; }

BackingLocation EmbeddedHost::volume_backing(const DiskInfo& disk, const VolumeInfo& volume) {
    return {disk.backing, volume.start};
}

std::vector<ByteRange> EmbeddedHost::busy_ranges(const DiskInfo&, const std::vector<VolumeInfo>& volumes) {
    // A volume with a file system on it counts as mounted, as Windows mounts
    // every volume it recognises.
    std::vector<ByteRange> ranges;
    for (const auto& v : volumes)
        if (!v.filesystem.empty() && !v.offline) ranges.push_back({v.start, v.length});
    return ranges;
}

std::unique_ptr<VolumeClaim> EmbeddedHost::claim_volume(const DiskInfo&, const VolumeInfo& volume, bool exclusive) {
    UniqueFd fd(::open((state_path() + ".volumes").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd) {
        SetLastErrorFromErrno(errno);
        return nullptr;
    }
    auto claim = std::make_unique<EmbeddedVolumeClaim>(std::move(fd), LockByteOf(volume));
    if (!claim->take(exclusive)) return nullptr;
    return claim;
}

bool EmbeddedHost::layout_changed(const DiskInfo&, const DiskLayout&) { return true; }

bool EmbeddedHost::apply_read_only(const DiskInfo&, bool) { return true; }

}  // namespace platform::device
