#include "platform/virtdisk/vhd/vhd_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/base/random_id.h"
#include "platform/base/unique_fd.h"
#include "platform/base/wide_text.h"
#include "platform/base/win_error.h"
#include "platform/virtdisk/vhd/vhd_io.h"

namespace platform::virtdisk {

namespace {

constexpr std::int64_t kFooterSize = sizeof(VhdFooter);
constexpr std::uint32_t kSmallestBlock = 512;
constexpr std::uint32_t kLargestBlock = 256u << 20;

template <typename Record>
std::uint32_t RecordChecksum(const Record& record) {
    return VhdChecksum(reinterpret_cast<const std::uint8_t*>(&record), sizeof record, offsetof(Record, checksum));
}

std::uint64_t GeometryBytes(std::uint32_t geometry) {
    return static_cast<std::uint64_t>(geometry >> 16) * ((geometry >> 8) & 0xFF) * (geometry & 0xFF) * 512;
}

// Whether readers that follow the format's creators (qemu among them) take
// the disk's size from the footer's size field rather than from its CHS
// geometry: images of the Windows tools, Disk2vhd, XenServer and qemu's
// own exact-size images.
bool CreatorSizesByFooter(const VhdFooter& footer) {
    static const char* const kCreators[] = {"win ", "qem2", "d2v ", "CTXS", "tap\0"};
    for (const char* creator : kCreators)
        if (std::memcmp(footer.creator_application.data(), creator, 4) == 0) return true;
    return false;
}

// Sets the size fields of a footer and seals it again. The geometry rarely
// spans the new size exactly; an image whose readers would go by the
// geometry, and so see a smaller disk, is marked as one the Windows tools
// made, whose size is the footer's.
void ResizeFooter(VhdFooter& footer, std::uint64_t new_size) {
    footer.current_size.set(new_size);
    footer.disk_geometry.set(VhdGeometry(new_size));
    if (GeometryBytes(footer.disk_geometry.value()) != new_size && !CreatorSizesByFooter(footer))
        std::memcpy(footer.creator_application.data(), "win ", 4);
    Seal(footer);
}

DWORD Errno() { return LastFileError(); }

DWORD ExpandFixed(const VhdFileIo& file, std::int64_t file_size, VhdFooter& footer, std::uint64_t new_size) {
    // The old footer becomes data of the disk: it must read as zeros.
    const VhdFooter zeros{};
    ResizeFooter(footer, new_size);
    if (!file.truncate(static_cast<std::int64_t>(new_size) + kFooterSize)) return Errno();
    if (!file.write(zeros, file_size - kFooterSize)) return Errno();
    if (!file.write(footer, static_cast<std::int64_t>(new_size))) return Errno();
    return file.sync() ? ERROR_SUCCESS : Errno();
}

DWORD ExpandDynamic(const VhdFileIo& file, std::int64_t file_size, VhdFooter& footer, std::uint64_t new_size) {
    VhdDynamicHeader header{};
    if (!file.read(header, static_cast<std::int64_t>(footer.data_offset.value()))) return ERROR_READ_FAULT;
    if (std::memcmp(header.cookie.data(), "cxsparse", 8) != 0) return ERROR_INVALID_PARAMETER;
    if (!VhdTableIsSound(footer, header, file_size)) return ERROR_INVALID_DATA;
    const std::uint64_t table_offset = header.table_offset.value();
    const std::uint32_t entries = header.max_table_entries.value();
    const std::uint32_t block_size = header.block_size.value();
    const std::uint64_t wanted64 = (new_size + block_size - 1) / block_size;
    if (wanted64 > 0x7FFFFFFFu) return ERROR_INVALID_PARAMETER;
    const auto wanted = static_cast<std::uint32_t>(wanted64);

    std::vector<VhdTableEntry> table(std::max(entries, wanted), VhdTableEntry::of(kVhdUnusedBlock));
    if (entries > 0 && !file.read(table.data(), static_cast<std::size_t>(entries) * sizeof(VhdTableEntry),
                                  static_cast<std::int64_t>(table_offset)))
        return ERROR_READ_FAULT;
    const std::uint64_t block_span = VhdBitmapBytes(block_size) + block_size;
    const std::uint64_t table_end = table_offset + (static_cast<std::uint64_t>(table.size()) * 4 + 511) / 512 * 512;

    // Blocks the longer table would cover move to the end of the file, where
    // the footer is now.
    std::uint64_t append_at = static_cast<std::uint64_t>(file_size - kFooterSize);
    std::vector<std::uint8_t> block;
    for (auto& entry : table) {
        if (entry.value() == kVhdUnusedBlock) continue;
        std::uint64_t at = static_cast<std::uint64_t>(entry.value()) * 512;
        if (at + block_span <= table_offset || at >= table_end) continue;
        block.resize(static_cast<std::size_t>(block_span));
        if (!file.read(block.data(), block.size(), static_cast<std::int64_t>(at))) return ERROR_READ_FAULT;
        if (append_at < table_end) append_at = table_end;
        append_at = (append_at + 511) / 512 * 512;
        if (!file.write(block.data(), block.size(), static_cast<std::int64_t>(append_at))) return Errno();
        entry.set(static_cast<std::uint32_t>(append_at / 512));
        append_at += block_span;
    }
    if (append_at < table_end) append_at = table_end;
    if (!file.sync()) return Errno();  // the moved blocks are safe before the table points at them

    std::vector<VhdTableEntry> raw_table((table_end - table_offset) / sizeof(VhdTableEntry),
                                         VhdTableEntry::of(kVhdUnusedBlock));
    std::copy(table.begin(), table.end(), raw_table.begin());
    if (!file.write(raw_table.data(), raw_table.size() * sizeof(VhdTableEntry), static_cast<std::int64_t>(table_offset)))
        return Errno();

    header.max_table_entries.set(static_cast<std::uint32_t>(table.size()));
    Seal(header);
    if (!file.write(header, static_cast<std::int64_t>(footer.data_offset.value()))) return Errno();

    ResizeFooter(footer, new_size);
    if (!file.write(footer, 0)) return Errno();
    if (!file.write(footer, static_cast<std::int64_t>(append_at))) return Errno();
    if (!file.truncate(static_cast<std::int64_t>(append_at) + kFooterSize)) return Errno();
    return file.sync() ? ERROR_SUCCESS : Errno();
}

}  // namespace

std::uint32_t VhdChecksum(const std::uint8_t* record, std::size_t size, std::size_t checksum_at) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        if (i < checksum_at || i >= checksum_at + 4) sum += record[i];
    return ~sum;
}

std::uint32_t ChecksumOf(const VhdFooter& footer) { return RecordChecksum(footer); }
std::uint32_t ChecksumOf(const VhdDynamicHeader& header) { return RecordChecksum(header); }
void Seal(VhdFooter& footer) { footer.checksum.set(ChecksumOf(footer)); }
void Seal(VhdDynamicHeader& header) { header.checksum.set(ChecksumOf(header)); }

bool IsSound(const VhdFooter& footer) {
    return std::memcmp(footer.cookie.data(), "conectix", 8) == 0 && footer.checksum.value() == ChecksumOf(footer);
}

bool IsSound(const VhdDynamicHeader& header) {
    return std::memcmp(header.cookie.data(), "cxsparse", 8) == 0 && header.checksum.value() == ChecksumOf(header);
}

std::uint64_t VhdBitmapBytes(std::uint32_t block_size) { return (block_size / 512 / 8 + 511) / 512 * 512; }

std::uint32_t VhdGeometry(std::uint64_t size) {
    std::uint64_t total = size / 512;
    std::uint64_t sectors_per_track, heads, cylinder_times_heads;
    if (total > 65535ull * 16 * 255) total = 65535ull * 16 * 255;
    if (total >= 65535ull * 16 * 63) {
        sectors_per_track = 255;
        heads = 16;
        cylinder_times_heads = total / sectors_per_track;
    } else {
        sectors_per_track = 17;
        cylinder_times_heads = total / sectors_per_track;
        heads = (cylinder_times_heads + 1023) / 1024;
        if (heads < 4) heads = 4;
        if (cylinder_times_heads >= heads * 1024 || heads > 16) {
            sectors_per_track = 31;
            heads = 16;
            cylinder_times_heads = total / sectors_per_track;
        }
        if (cylinder_times_heads >= heads * 1024) {
            sectors_per_track = 63;
            heads = 16;
            cylinder_times_heads = total / sectors_per_track;
        }
    }
    std::uint64_t cylinders = cylinder_times_heads / heads;
    return static_cast<std::uint32_t>((cylinders << 16) | (heads << 8) | sectors_per_track);
}

std::optional<VhdFooter> ReadVhdFooter(const std::string& path) {
    VhdFileIo file;
    if (file.open(path, false) != ERROR_SUCCESS) return std::nullopt;
    std::int64_t size = file.size();
    if (size < kFooterSize) return std::nullopt;
    VhdFooter footer{};
    if (!file.read(footer, size - kFooterSize)) return std::nullopt;
    if (!IsSound(footer)) {
        // Some writers leave only the copy at the start valid (a torn update).
        if (!file.read(footer, 0) || !IsSound(footer)) return std::nullopt;
        if (footer.disk_type.value() == kVhdFixed) return std::nullopt;
    }
    return footer;
}

std::optional<VhdDynamicHeader> ReadVhdDynamicHeader(const std::string& path, const VhdFooter& footer) {
    if (footer.disk_type.value() == kVhdFixed) return std::nullopt;
    VhdFileIo file;
    VhdDynamicHeader header{};
    if (file.open(path, false) != ERROR_SUCCESS ||
        !file.read(header, static_cast<std::int64_t>(footer.data_offset.value())) || !IsSound(header))
        return std::nullopt;
    return header;
}

bool VhdTableIsSound(const VhdFooter& footer, const VhdDynamicHeader& header, std::int64_t file_size) {
    const std::uint32_t block = header.block_size.value();
    if (block < kSmallestBlock || block > kLargestBlock || (block & (block - 1)) != 0) return false;
    const std::uint64_t size = footer.current_size.value();
    const std::uint64_t needed = size / block + (size % block != 0);
    const std::uint64_t most = (kVhdMaxSize + block - 1) / block;
    if (header.max_table_entries.value() < needed || header.max_table_entries.value() > most) return false;
    const std::uint64_t table_bytes =
        static_cast<std::uint64_t>(header.max_table_entries.value()) * sizeof(VhdTableEntry);
    const std::uint64_t table_offset = header.table_offset.value();
    return file_size >= 0 && table_offset <= static_cast<std::uint64_t>(file_size) &&
           table_bytes <= static_cast<std::uint64_t>(file_size) - table_offset;
}

namespace {

// A VHD opened for a change of its size: the file, its length and its
// checked footer.
struct OpenedVhd {
    VhdFileIo file;
    std::int64_t file_size = 0;
    VhdFooter footer{};
};

std::uint32_t OpenVhdForResize(const std::string& path, OpenedVhd& vhd) {
    if (DWORD opened = vhd.file.open(path, true); opened != ERROR_SUCCESS) return opened;
    vhd.file_size = vhd.file.size();
    if (vhd.file_size < kFooterSize) return ERROR_INVALID_PARAMETER;
    if (!vhd.file.read(vhd.footer, vhd.file_size - kFooterSize) || !IsSound(vhd.footer)) return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

}  // namespace

std::uint32_t ExpandVhd(const std::string& path, std::uint64_t new_size) {
    OpenedVhd vhd;
    if (std::uint32_t error = OpenVhdForResize(path, vhd)) return error;
    if (new_size % 512 != 0 || new_size <= vhd.footer.current_size.value() || new_size > kVhdMaxSize)
        return ERROR_INVALID_PARAMETER;
    switch (vhd.footer.disk_type.value()) {
    case kVhdFixed: return ExpandFixed(vhd.file, vhd.file_size, vhd.footer, new_size);
    case kVhdDynamic: return ExpandDynamic(vhd.file, vhd.file_size, vhd.footer, new_size);
    default: return ERROR_NOT_SUPPORTED;  // a differencing disk grows with its parent
    }
}

std::uint32_t ShrinkVhd(const std::string& path, std::uint64_t new_size) {
    OpenedVhd vhd;
    if (std::uint32_t error = OpenVhdForResize(path, vhd)) return error;
    if (new_size == 0 || new_size % 512 != 0 || new_size >= vhd.footer.current_size.value())
        return ERROR_INVALID_PARAMETER;
    const VhdFileIo& file = vhd.file;
    const std::uint32_t disk_type = vhd.footer.disk_type.value();
    ResizeFooter(vhd.footer, new_size);
    switch (disk_type) {
    case kVhdFixed:
        // The footer goes first, at the new end, so that a cut short here still leaves a valid image.
        if (!file.write(vhd.footer, static_cast<std::int64_t>(new_size))) return Errno();
        if (!file.truncate(static_cast<std::int64_t>(new_size) + kFooterSize)) return Errno();
        break;
    case kVhdDynamic:
        if (!file.write(vhd.footer, 0)) return Errno();
        if (!file.write(vhd.footer, vhd.file_size - kFooterSize)) return Errno();
        break;
    default: return ERROR_NOT_SUPPORTED;
    }
    return file.sync() ? ERROR_SUCCESS : Errno();
}

std::uint32_t KeepVhdIdentity(const std::string& original, const std::string& copy) {
    OpenedVhd source;
    if (std::uint32_t error = OpenVhdForResize(original, source)) return error;
    source.file.close();
    OpenedVhd target;
    if (std::uint32_t error = OpenVhdForResize(copy, target)) return error;
    VhdFooter& footer = target.footer;
    footer.time_stamp.set(source.footer.time_stamp.value());
    footer.unique_id = source.footer.unique_id;
    Seal(footer);
    // A dynamic disk keeps a copy of its footer at its start.
    if (footer.disk_type.value() != kVhdFixed && !target.file.write(footer, 0)) return Errno();
    if (!target.file.write(footer, target.file_size - kFooterSize)) return Errno();
    return target.file.sync() ? ERROR_SUCCESS : Errno();
}

// ---- differencing disks -------------------------------------------------------

namespace {

constexpr std::uint32_t kDifferencingBlockSize = 2u << 20;
constexpr std::uint32_t kLocatorRelative = 0x57327275;  // "W2ru"
constexpr std::uint32_t kLocatorAbsolute = 0x57326B75;  // "W2ku"
// The format counts time in seconds from 2000-01-01 00:00 UTC.
constexpr std::int64_t kVhdEpoch = 946684800;

std::vector<std::uint8_t> Utf16LeBytes(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    for (char16_t c : Utf8ToUtf16(text)) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

std::uint64_t RoundToSector(std::uint64_t bytes) { return (bytes + 511) / 512 * 512; }

std::string FolderOf(const std::string& path) {
    auto cut = path.find_last_of('/');
    return cut == std::string::npos ? "." : path.substr(0, cut == 0 ? 1 : cut);
}

std::string BaseNameOf(const std::string& path) {
    auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A locator's text as a path of this machine: Windows separators become
// ours, and a drive-letter path keeps only its name (looked for beside the child).
std::string LocatorPath(std::string text, const std::string& child_folder) {
    for (auto& c : text)
        if (c == '\\') c = '/';
    if (text.size() >= 2 && text[1] == ':') return child_folder + "/" + BaseNameOf(text);
    if (!text.empty() && text[0] == '/') return text;
    if (text.rfind("./", 0) == 0) text = text.substr(2);
    return child_folder + "/" + text;
}

}  // namespace

std::uint32_t CreateDifferencingVhd(const std::string& child, const std::string& parent) {
    auto parent_footer = ReadVhdFooter(parent);
    if (!parent_footer) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    const std::uint64_t size = parent_footer->current_size.value();
    const std::uint64_t entries = (size + kDifferencingBlockSize - 1) / kDifferencingBlockSize;
    const std::uint64_t table_offset = sizeof(VhdFooter) + sizeof(VhdDynamicHeader);
    const std::uint64_t table_bytes = RoundToSector(entries * sizeof(VhdTableEntry));

    const std::string relative = ".\\" + BaseNameOf(parent);
    const std::vector<std::uint8_t> relative_bytes = Utf16LeBytes(relative), absolute_bytes = Utf16LeBytes(parent);
    const std::uint64_t relative_at = table_offset + table_bytes;
    const std::uint64_t absolute_at = relative_at + RoundToSector(relative_bytes.size());
    const std::uint64_t footer_at = absolute_at + RoundToSector(absolute_bytes.size());

    VhdFooter footer{};
    std::memcpy(footer.cookie.data(), "conectix", 8);
    footer.features.set(2);
    footer.file_format_version.set(0x00010000);
    footer.data_offset.set(sizeof(VhdFooter));
    footer.time_stamp.set(static_cast<std::uint32_t>(::time(nullptr) - kVhdEpoch));
    std::memcpy(footer.creator_application.data(), "tnvl", 4);
    footer.creator_version.set(0x00010000);
    footer.creator_host_os.set(0x5769326B);  // "Wi2k"
    footer.original_size.set(size);
    footer.disk_type.set(kVhdDifferencing);
    footer.unique_id = RandomUuidBytes();
    ResizeFooter(footer, size);

    VhdDynamicHeader header{};
    std::memcpy(header.cookie.data(), "cxsparse", 8);
    header.data_offset.set(kVhdNoDataOffset);
    header.table_offset.set(table_offset);
    header.header_version.set(0x00010000);
    header.max_table_entries.set(static_cast<std::uint32_t>(entries));
    header.block_size.set(kDifferencingBlockSize);
    header.parent_unique_id = parent_footer->unique_id;
    header.parent_time_stamp.set(parent_footer->time_stamp.value());
    std::u16string name = Utf8ToUtf16(BaseNameOf(parent));
    for (std::size_t i = 0; i < name.size() && i < header.parent_unicode_name.size(); ++i)
        header.parent_unicode_name[i].set(name[i]);
    auto locator = [&](int slot, std::uint32_t code, std::uint64_t at, std::size_t length) {
        VhdParentLocatorEntry& entry = header.parent_locator_entries[static_cast<std::size_t>(slot)];
        entry.platform_code.set(code);
        entry.platform_data_space.set(static_cast<std::uint32_t>(RoundToSector(length)));
        entry.platform_data_length.set(static_cast<std::uint32_t>(length));
        entry.platform_data_offset.set(at);
    };
    locator(0, kLocatorRelative, relative_at, relative_bytes.size());
    locator(1, kLocatorAbsolute, absolute_at, absolute_bytes.size());
    Seal(header);

    VhdFileIo file;
    if (DWORD created = file.create(child); created != ERROR_SUCCESS) return created;
    std::vector<VhdTableEntry> table(table_bytes / sizeof(VhdTableEntry), VhdTableEntry::of(kVhdUnusedBlock));
    bool ok = file.write(footer, 0) && file.write(header, sizeof(VhdFooter)) &&
              file.write(table.data(), table.size() * sizeof(VhdTableEntry), static_cast<std::int64_t>(table_offset)) &&
              file.write(relative_bytes.data(), relative_bytes.size(), static_cast<std::int64_t>(relative_at)) &&
              file.write(absolute_bytes.data(), absolute_bytes.size(), static_cast<std::int64_t>(absolute_at)) &&
              file.write(footer, static_cast<std::int64_t>(footer_at)) && file.sync();
    if (!ok) {
        DWORD error = Errno();
        ::unlink(child.c_str());
        return error;
    }
    return ERROR_SUCCESS;
}

std::string VhdParentPath(const std::string& child) {
    auto footer = ReadVhdFooter(child);
    if (!footer || footer->disk_type.value() != kVhdDifferencing) return "";
    VhdFileIo file;
    VhdDynamicHeader header{};
    if (file.open(child, false) != ERROR_SUCCESS ||
        !file.read(header, static_cast<std::int64_t>(footer->data_offset.value())))
        return "";
    const std::string folder = FolderOf(child);
    const std::int64_t file_size = file.size();
    for (std::uint32_t wanted : {kLocatorRelative, kLocatorAbsolute}) {
        for (const VhdParentLocatorEntry& entry : header.parent_locator_entries) {
            if (entry.platform_code.value() != wanted) continue;
            const std::uint64_t length = entry.platform_data_length.value(), at = entry.platform_data_offset.value();
            if (length == 0 || length > 4096 || length % 2 != 0 || at + length > static_cast<std::uint64_t>(file_size)) continue;
            std::vector<std::uint8_t> raw(static_cast<std::size_t>(length));
            if (!file.read(raw.data(), raw.size(), static_cast<std::int64_t>(at))) continue;
            std::u16string text;
            for (std::size_t i = 0; i + 1 < raw.size(); i += 2) text.push_back(static_cast<char16_t>(raw[i] | (raw[i + 1] << 8)));
            std::string candidate = LocatorPath(Utf16ToUtf8(text), folder);
            if (Exists(candidate)) return candidate;
        }
    }
    std::u16string name;
    for (const be16 field : header.parent_unicode_name) {
        const std::uint16_t c = field.value();
        if (c == 0) break;
        name.push_back(static_cast<char16_t>(c));
    }
    std::string beside = folder + "/" + BaseNameOf(Utf16ToUtf8(name));
    return !name.empty() && Exists(beside) ? beside : "";
}

std::uint32_t ForEachOwnRun(const std::string& child, const VhdRunSink& take) {
    auto footer = ReadVhdFooter(child);
    if (!footer || footer->disk_type.value() != kVhdDifferencing) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    auto header = ReadVhdDynamicHeader(child, *footer);
    if (!header) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    VhdFileIo file;
    if (DWORD opened = file.open(child, false); opened != ERROR_SUCCESS) return opened;
    if (!VhdTableIsSound(*footer, *header, file.size())) return ERROR_INVALID_DATA;
    const std::uint32_t entries = header->max_table_entries.value();
    std::vector<VhdTableEntry> table(entries);
    if (!table.empty() && !file.read(table.data(), table.size() * sizeof(VhdTableEntry),
                                     static_cast<std::int64_t>(header->table_offset.value())))
        return ERROR_READ_FAULT;
    const std::uint32_t block_size = header->block_size.value();
    const std::uint64_t sectors_per_block = block_size / 512;
    const std::uint64_t bitmap_bytes = VhdBitmapBytes(block_size);
    const std::uint64_t disk_size = footer->current_size.value();
    std::vector<std::uint8_t> bitmap(static_cast<std::size_t>(bitmap_bytes)), data;
    for (std::uint32_t block = 0; block < entries; ++block) {
        const std::uint32_t entry = table[block].value();
        if (entry == kVhdUnusedBlock) continue;
        const std::uint64_t at = static_cast<std::uint64_t>(entry) * 512;
        if (!file.read(bitmap.data(), bitmap.size(), static_cast<std::int64_t>(at))) return ERROR_READ_FAULT;
        auto own = [&](std::uint64_t sector) { return (bitmap[sector / 8] >> (7 - sector % 8)) & 1; };
        for (std::uint64_t sector = 0; sector < sectors_per_block;) {
            if (!own(sector)) {
                ++sector;
                continue;
            }
            std::uint64_t end = sector;
            while (end < sectors_per_block && own(end)) ++end;
            std::uint64_t offset = static_cast<std::uint64_t>(block) * block_size + sector * 512;
            std::uint64_t length = (end - sector) * 512;
            if (offset < disk_size) {
                length = std::min(length, disk_size - offset);
                data.resize(static_cast<std::size_t>(length));
                if (!file.read(data.data(), data.size(), static_cast<std::int64_t>(at + bitmap_bytes + sector * 512)))
                    return ERROR_READ_FAULT;
                if (!take(static_cast<std::int64_t>(offset), data.data(), data.size())) return ERROR_CANCELLED;
            }
            sector = end;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace platform::virtdisk
