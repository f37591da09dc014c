#include "disk/iso/iso9660.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/base/ascii.h"
#include "platform/base/byte_order.h"
#include "platform/device/handle.h"

namespace disk {

namespace {

// Bounds of the walks. A real image stays far below each; a crafted one
// cannot make a walk read more than these.
constexpr int kMaxVolumeDescriptors = 256;
constexpr std::uint32_t kMaxPathTableSize = 16u << 20;
constexpr std::uint32_t kMaxDirectoryLength = 64u << 20;

constexpr std::size_t kDirectoryRecordMinimum = 33;

bool IsDescriptor(const std::uint8_t* sector) { return std::memcmp(sector + 1, "CD001", 5) == 0; }

// Reads `length` bytes at sector `sector`, or raises IsoFormatError when
// they lie outside the image.
std::vector<std::uint8_t> ReadSectors(IsoImage& image, std::uint32_t sector, std::uint32_t length) {
    const std::int64_t offset = static_cast<std::int64_t>(sector) * kIsoSectorSize;
    if (offset >= image.size() || static_cast<std::int64_t>(length) > image.size() - offset)
        throw IsoFormatError("sector " + std::to_string(sector) + " lies outside the image");
    std::vector<std::uint8_t> bytes(length);
    if (length > 0 && !image.read(offset, bytes.data(), length)) throw std::runtime_error("ReadFile failed");
    return bytes;
}

// Calls `visit` with each record of a directory held in `bytes`. Records do
// not cross sector ends: a zero length byte, or a record that would cross
// or is malformed, sends the walk to the next sector.
void WalkRecords(const std::vector<std::uint8_t>& bytes, std::int64_t base,
                 const std::function<bool(const DirectoryRecord&)>& visit) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t sector_end =
            std::min<std::size_t>(bytes.size(), (at / kIsoSectorSize + 1) * kIsoSectorSize);
        const std::size_t length = bytes[at];
        const std::size_t name_length = at + 32 < sector_end ? bytes[at + 32] : 0;
        if (length < kDirectoryRecordMinimum + 1 || at + length > sector_end ||
            kDirectoryRecordMinimum + name_length > length || name_length == 0) {
            at = sector_end;
            continue;
        }
        const std::uint8_t* record = bytes.data() + at;
        const bool self_or_parent = name_length == 1 && (record[33] == 0 || record[33] == 1);
        if (!self_or_parent) {
            DirectoryRecord found;
            found.offset = base + static_cast<std::int64_t>(at);
            found.extent = platform::LoadLe32(record + 2);
            found.length = platform::LoadLe32(record + 10);
            found.is_directory = (record[25] & 2) != 0;
            found.identifier.assign(reinterpret_cast<const char*>(record + 33), name_length);
            if (!visit(found)) return;
        }
        at += length;
    }
}

// The length a directory gives itself in its "." record, bounded by the
// image and by kMaxDirectoryLength; one sector when the record is unusable.
std::uint32_t DirectoryLength(IsoImage& image, std::uint32_t extent) {
    const std::vector<std::uint8_t> first = ReadSectors(image, extent, kIsoSectorSize);
    std::uint32_t length = kIsoSectorSize;
    if (first[0] >= kDirectoryRecordMinimum + 1) length = std::max<std::uint32_t>(length, platform::LoadLe32(&first[10]));
    const std::int64_t room = image.size() - static_cast<std::int64_t>(extent) * kIsoSectorSize;
    return static_cast<std::uint32_t>(std::min<std::int64_t>({length, room, kMaxDirectoryLength}));
}

}  // namespace

bool MemoryIsoImage::read(std::int64_t offset, void* buffer, std::size_t length) {
    if (offset < 0 || offset > size() || static_cast<std::int64_t>(length) > size() - offset) return false;
    std::memcpy(buffer, bytes_.data() + offset, length);
    return true;
}

bool MemoryIsoImage::write(std::int64_t offset, const void* buffer, std::size_t length) {
    if (offset < 0 || offset > size() || static_cast<std::int64_t>(length) > size() - offset) return false;
    std::memcpy(bytes_.data() + offset, buffer, length);
    return true;
}

FileIsoImage::FileIsoImage(const std::string& path, bool writable)
    : handle_(std::make_unique<platform::Handle>(platform::CreateFile(
          path, writable ? platform::GENERIC_READ | platform::GENERIC_WRITE : platform::GENERIC_READ,
          platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0))) {
    if (!*handle_ || !platform::GetFileSizeEx(*handle_, &size_))
        throw std::runtime_error("Cannot open file \"" + path + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
}

FileIsoImage::~FileIsoImage() = default;

bool FileIsoImage::read(std::int64_t offset, void* buffer, std::size_t length) {
    std::size_t done = 0;
    return platform::ReadAt(*handle_, offset, buffer, length, &done) && done == length;
}

bool FileIsoImage::write(std::int64_t offset, const void* buffer, std::size_t length) {
    std::size_t done = 0;
    return platform::WriteAt(*handle_, offset, buffer, length, &done) && done == length;
}

PrimaryVolume ReadPrimaryVolume(IsoImage& image) {
    for (int i = 0; i < kMaxVolumeDescriptors; ++i) {
        const std::uint32_t sector = kPrimaryVolumeDescriptorSector + static_cast<std::uint32_t>(i);
        if (static_cast<std::int64_t>(sector + 1) * kIsoSectorSize > image.size()) break;
        const std::vector<std::uint8_t> descriptor = ReadSectors(image, sector, kIsoSectorSize);
        if (!IsDescriptor(descriptor.data()) || descriptor[0] == 255) break;
        if (descriptor[0] != 1) continue;
        if (platform::LoadLe16(&descriptor[128]) != kIsoSectorSize)
            throw IsoFormatError("the image's logical blocks are not 2048 bytes");
        PrimaryVolume volume;
        volume.path_table_size = platform::LoadLe32(&descriptor[132]);
        volume.path_table_sector = platform::LoadLe32(&descriptor[140]);
        volume.root_sector = platform::LoadLe32(&descriptor[158]);
        volume.root_length = platform::LoadLe32(&descriptor[166]);
        return volume;
    }
    throw IsoFormatError("the image has no primary volume descriptor");
}

void ForEachPathTableDirectory(IsoImage& image, const PrimaryVolume& volume,
                               const std::function<bool(std::string_view, std::uint32_t)>& visit) {
    const std::uint32_t size = std::min(volume.path_table_size, kMaxPathTableSize);
    const std::vector<std::uint8_t> table = ReadSectors(image, volume.path_table_sector, size);
    std::size_t at = 0;
    while (at + 8 <= table.size()) {
        const std::size_t name_length = table[at];
        if (name_length == 0 || at + 8 + name_length > table.size()) break;
        const std::string_view identifier(reinterpret_cast<const char*>(&table[at + 8]), name_length);
        if (!visit(identifier, platform::LoadLe32(&table[at + 2]))) return;
        at += 8 + name_length + (name_length & 1);
    }
}

void ForEachDirectoryRecord(IsoImage& image, std::uint32_t extent,
                            const std::function<bool(const DirectoryRecord&)>& visit) {
    const std::uint32_t length = DirectoryLength(image, extent);
    WalkRecords(ReadSectors(image, extent, length), static_cast<std::int64_t>(extent) * kIsoSectorSize, visit);
}

std::string IsoFileIdentifier(const std::string& file_name) {
    return platform::ToUpper(file_name) + (file_name.find('.') == std::string::npos ? ".;1" : ";1");
}

std::uint32_t IsoFindFile(IsoImage& image, const std::string& file_name) {
    const std::string target = IsoFileIdentifier(file_name);
    std::uint32_t found = 0;
    try {
        const PrimaryVolume volume = ReadPrimaryVolume(image);
        // Each directory is walked once, and all of them together read no
        // more than the image holds: a table that names one directory over
        // and over cannot make the walk long.
        std::set<std::uint32_t> walked;
        std::int64_t budget = image.size();
        ForEachPathTableDirectory(image, volume, [&](std::string_view, std::uint32_t extent) {
            if (!walked.insert(extent).second) return true;
            try {
                const std::uint32_t length = DirectoryLength(image, extent);
                budget -= length;
                if (budget < 0) return false;
                WalkRecords(ReadSectors(image, extent, length), 0, [&](const DirectoryRecord& record) {
                    if (!platform::EqualsNoCase(record.identifier, target)) return true;
                    found = record.extent;
                    return false;
                });
            } catch (const IsoFormatError&) {
                // A directory outside the image holds nothing to find.
            }
            return found == 0;
        });
    } catch (const IsoFormatError&) {
        return 0;
    }
    return found;
}

std::uint32_t IsoFindFile(const std::string& image_path, const std::string& file_name) {
    FileIsoImage image(image_path, false);
    return IsoFindFile(image, file_name);
}

BootCatalog ReadBootCatalog(IsoImage& image) {
    static constexpr char kElTorito[] = "EL TORITO SPECIFICATION";
    for (int i = 0; i < kMaxVolumeDescriptors; ++i) {
        const std::uint32_t sector = kPrimaryVolumeDescriptorSector + static_cast<std::uint32_t>(i);
        if (static_cast<std::int64_t>(sector + 1) * kIsoSectorSize > image.size()) break;
        const std::vector<std::uint8_t> descriptor = ReadSectors(image, sector, kIsoSectorSize);
        if (!IsDescriptor(descriptor.data()) || descriptor[0] == 255) break;
        if (descriptor[0] != 0 || descriptor[6] != 1 ||
            std::memcmp(&descriptor[7], kElTorito, sizeof kElTorito - 1) != 0)
            continue;
        BootCatalog catalog;
        catalog.sector = platform::LoadLe32(&descriptor[71]);
        const std::vector<std::uint8_t> bytes = ReadSectors(image, catalog.sector, kIsoSectorSize);
        std::uint16_t sum = 0;
        for (int word = 0; word < 16; ++word) sum = static_cast<std::uint16_t>(sum + platform::LoadLe16(&bytes[2 * word]));
        if (bytes[0] != 1 || bytes[30] != 0x55 || bytes[31] != 0xAA || sum != 0)
            throw IsoFormatError("the boot catalog's validation entry is not valid");
        if (bytes[32] != 0x88 && bytes[32] != 0x00)
            throw IsoFormatError("the boot catalog's default entry is not valid");
        std::memcpy(catalog.bytes, bytes.data(), kIsoSectorSize);
        return catalog;
    }
    throw IsoFormatError("the image has no El Torito boot record");
}

bool RenameDirectoryRecord(IsoImage& image, std::uint32_t directory_extent, std::string_view old_identifier,
                           std::string_view replacement) {
    if (replacement.size() != old_identifier.size() + 1) return false;
    std::optional<DirectoryRecord> target;
    ForEachDirectoryRecord(image, directory_extent, [&](const DirectoryRecord& record) {
        if (!platform::EqualsNoCase(record.identifier, old_identifier)) return true;
        target = record;
        return false;
    });
    if (!target) return false;
    // The record lies wholly inside one sector: rewrite that sector.
    const std::int64_t sector_offset = target->offset / kIsoSectorSize * kIsoSectorSize;
    std::uint8_t sector[kIsoSectorSize];
    if (!image.read(sector_offset, sector, sizeof sector)) throw std::runtime_error("ReadFile failed");
    std::memcpy(sector + (target->offset - sector_offset) + 32, replacement.data(), replacement.size());
    if (!image.write(sector_offset, sector, sizeof sector)) throw std::runtime_error("WriteFile failed");
    return true;
}

std::optional<std::uint32_t> FindPathTableDirectory(IsoImage& image, const PrimaryVolume& volume,
                                                    std::string_view name) {
    std::optional<std::uint32_t> extent;
    ForEachPathTableDirectory(image, volume, [&](std::string_view identifier, std::uint32_t at) {
        if (!platform::EqualsNoCase(identifier, name)) return true;
        extent = at;
        return false;
    });
    return extent;
}

}  // namespace disk
