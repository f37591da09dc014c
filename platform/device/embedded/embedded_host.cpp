#include "platform/device/embedded/embedded_host.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "platform/device/host/attached_disks.h"
#include "platform/base/ascii.h"
#include "platform/base/ini_file.h"
#include "platform/base/unique_fd.h"
#include "platform/base/win_error.h"

namespace platform::device {

namespace fs = std::filesystem;

std::uint32_t BusTypeFromName(const std::string& name) {
    static const std::map<std::string, std::uint32_t> names = {
        {"scsi", BusTypeScsi}, {"atapi", BusTypeAtapi}, {"ata", BusTypeAta},   {"1394", BusType1394},
        {"ssa", BusTypeSsa},   {"fibre", BusTypeFibre}, {"usb", BusTypeUsb},   {"raid", BusTypeRAID},
        {"iscsi", BusTypeiScsi}, {"sas", BusTypeSas},   {"sata", BusTypeSata}, {"unknown", BusTypeUnknown},
    };
    auto it = names.find(ToLower(Trim(name)));
    return it == names.end() ? BusTypeSata : it->second;
}

namespace {

// The size a fixed VHD offers: the file less its footer. Other images offer
// all of the file.
std::int64_t OfferedSize(const std::string& image) {
    struct stat st {};
    if (::stat(image.c_str(), &st) != 0) return -1;
    std::int64_t size = st.st_size;
    if (size >= 512) {
        UniqueFd fd(::open(image.c_str(), O_RDONLY | O_CLOEXEC));
        char cookie[8];
        if (fd && ::pread(fd.get(), cookie, 8, size - 512) == 8 && std::memcmp(cookie, "conectix", 8) == 0)
            size -= 512;
    }
    return size;
}

int DiskNumberOfSection(const std::string& section) {
    if (section.size() < 5 || !EqualsNoCase(section.substr(0, 4), "disk")) return -1;
    int n = 0;
    for (char c : section.substr(4)) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
        if (n > 999) return -1;
    }
    return n;
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
    IniFile manifest = IniFile::Load(manifest_path_);
    fs::path folder = fs::path(manifest_path_).parent_path();
    std::map<int, DiskInfo> disks;
    for (const auto& section : manifest.sections()) {
        int number = DiskNumberOfSection(section.name);
        if (number < 0 || disks.count(number)) continue;
        std::string image = manifest.GetString(section.name, "image");
        if (image.empty()) continue;
        fs::path image_path = fs::path(image).is_absolute() ? fs::path(image) : folder / image;
        std::int64_t size = OfferedSize(image_path.string());
        if (size < 0) continue;  // the image is gone: so is the disk

        DiskInfo disk;
        disk.number = number;
        disk.backing = image_path.lexically_normal().string();
        std::error_code ec;
        auto canonical = fs::weakly_canonical(image_path, ec);
        disk.identity = "embedded:" + (ec ? disk.backing : canonical.string());
        disk.size = size;
        long long sector = manifest.GetInt(section.name, "sector_size", 512);
        disk.sector_size = (sector == 512 || sector == 1024 || sector == 2048 || sector == 4096)
                               ? static_cast<std::uint32_t>(sector)
                               : 512;
        disk.physical_sector_size = disk.sector_size;
        disk.vendor = manifest.GetString(section.name, "vendor");
        disk.product = manifest.GetString(section.name, "product", "Embedded Disk " + std::to_string(number));
        disk.revision = manifest.GetString(section.name, "revision");
        disk.serial = manifest.GetString(section.name, "serial");
        disk.bus_type = BusTypeFromName(manifest.GetString(section.name, "bus", "Sata"));
        disk.removable = manifest.GetBool(section.name, "removable", false);
        disk.media_read_only = manifest.GetBool(section.name, "readonly", false) ||
                               ::access(disk.backing.c_str(), W_OK) != 0;
        disks[number] = std::move(disk);
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
    IniFile manifest = IniFile::Load(manifest_path_);
    std::set<int> numbers;
    for (const auto& section : manifest.sections())
        if (int number = DiskNumberOfSection(section.name); number >= 0) numbers.insert(number);
    return numbers;
}

bool EmbeddedHost::attach_virtual_disk(VirtualDiskAttachment& attachment) {
    const std::set<int> taken_by_manifest = manifest_numbers();
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
