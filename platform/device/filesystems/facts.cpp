#include "platform/device/filesystems/facts.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/base/byte_order.h"
#include "platform/base/wide_text.h"
#include "platform/device/filesystems/exfat.h"
#include "platform/device/filesystems/fat.h"
#include "platform/device/filesystems/ntfs.h"
#include "platform/device/filesystems/probe.h"
#include "platform/device/filesystems/volume_bytes.h"

namespace platform::device {

namespace {

using Bytes = std::vector<std::uint8_t>;

// A fixed-width label field: up to the first NUL, trailing blanks dropped.
std::string Label(const Bytes& b, std::size_t at, std::size_t width) {
    std::string text;
    for (std::size_t i = at; i < at + width && i < b.size() && b[i] != 0; ++i) text += static_cast<char>(b[i]);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// The free blocks the block group descriptors count. The superblock's own
// count is brought up to date only when the file system is unmounted: a
// mounted one, and every byte copy of it, keeps the live counts in its
// descriptors. Nothing when they cannot be read here (descriptors spread
// over the groups, sizes that do not add up).
std::optional<std::uint64_t> ExtGroupFreeBlocks(const VolumeBytes& r, const std::uint8_t* s, std::uint32_t block,
                                                bool wide, std::uint64_t blocks) {
    constexpr std::uint32_t kMetaBg = 0x10;
    if (LoadLe32(s + 0x60) & kMetaBg) return std::nullopt;
    const std::uint32_t per_group = LoadLe32(s + 32);
    const std::uint32_t first = LoadLe32(s + 20);
    if (per_group == 0 || blocks <= first) return std::nullopt;
    const std::uint64_t groups = (blocks - first + per_group - 1) / per_group;
    std::uint32_t size = 32;
    if (wide) {
        size = LoadLe16(s + 0xFE);
        if (size < 64 || size > 1024 || (size & (size - 1)) != 0) return std::nullopt;
    }
    if (groups > (std::uint64_t{64} << 20) / size) return std::nullopt;
    Bytes table;
    if (!r.get((std::uint64_t{first} + 1) * block, table, static_cast<std::size_t>(groups * size))) return std::nullopt;
    std::uint64_t free = 0;
    for (std::uint64_t g = 0; g < groups; ++g) {
        const std::uint8_t* d = table.data() + g * size;
        free += LoadLe16(d + 0x0C) | (size >= 64 ? std::uint64_t{LoadLe16(d + 0x2C)} << 16 : 0);
    }
    if (free > blocks) return std::nullopt;
    return free;
}

void ExtFacts(const VolumeBytes& r, bool count_free, FileSystemFacts& f) {
    Bytes sb;
    if (!r.get(1024, sb, 1024)) return;
    const std::uint8_t* s = sb.data();
    std::uint32_t block = 1024u << std::min<std::uint32_t>(LoadLe32(s + 24), 6);
    bool wide = (LoadLe32(s + 0x60) & 0x80) != 0;  // 64-bit block numbers
    std::uint64_t blocks = LoadLe32(s + 4) | (wide ? static_cast<std::uint64_t>(LoadLe32(s + 0x150)) << 32 : 0);
    std::uint64_t free = LoadLe32(s + 12) | (wide ? static_cast<std::uint64_t>(LoadLe32(s + 0x158)) << 32 : 0);
    f.bytes_per_sector = 512;
    f.sectors_per_cluster = block / 512;
    f.total_clusters = blocks;
    if (count_free) f.free_clusters = std::min(ExtGroupFreeBlocks(r, s, block, wide, blocks).value_or(free), blocks);
    f.label = Label(sb, 0x78, 16);
    f.serial = LoadBe32(s + 0x68);  // the start of the file system's UUID, as the UUID text shows it
}

void NtfsFacts(const ReadAt& read, std::int64_t offset, std::int64_t length, bool count_free, FileSystemFacts& f) {
    std::optional<ntfs::Volume> volume = ntfs::Volume::Open(read, offset, length);
    if (!volume) return;
    const ntfs::BootSector& boot = volume->boot();
    f.bytes_per_sector = boot.bytes_per_sector;
    f.sectors_per_cluster = boot.sectors_per_cluster;
    f.total_clusters = boot.total_clusters;
    f.serial = static_cast<std::uint32_t>(boot.serial);
    if (std::optional<std::u16string> label = volume->label()) f.label = Utf16ToUtf8(*label);
    if (count_free) f.free_clusters = volume->free_clusters();
}

void XfsFacts(const Bytes& sb, FileSystemFacts& f) {
    const std::uint8_t* s = sb.data();
    std::uint32_t block = LoadBe32(s + 4);
    if (block < 512 || block % 512) return;
    f.bytes_per_sector = 512;
    f.sectors_per_cluster = block / 512;
    f.total_clusters = LoadBe64(s + 8);
    f.free_clusters = std::min(LoadBe64(s + 0x90), f.total_clusters);
    f.label = Label(sb, 0x6C, 12);
    f.serial = LoadBe32(s + 32);
}

}  // namespace

FileSystemFacts ReadFileSystemFacts(const ReadAt& read, std::int64_t offset, std::int64_t length, FactsWanted wanted) {
    FileSystemFacts f;
    f.name = ProbeFileSystem(read, offset, length);
    if (f.name.empty()) return f;
    VolumeBytes r(read, offset, length);
    Bytes head;
    if (!r.get(0, head, 512)) return f;
    const bool count_free = wanted == FactsWanted::Everything;
    if (f.name.rfind("ext", 0) == 0) ExtFacts(r, count_free, f);
    else if (f.name == "FAT" || f.name == "FAT32") fat::ReadFacts(r, count_free, f);
    else if (f.name == "NTFS") NtfsFacts(read, offset, length, count_free, f);
    else if (f.name == "exFAT") exfat::ReadFacts(r, count_free, f);
    else if (f.name == "XFS") XfsFacts(head, f);
    return f;
}

}  // namespace platform::device
