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

void ExtFacts(const VolumeBytes& r, FileSystemFacts& f) {
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
    f.free_clusters = std::min(free, blocks);
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
    if (f.name.rfind("ext", 0) == 0) ExtFacts(r, f);
    else if (f.name == "FAT" || f.name == "FAT32") fat::ReadFacts(r, count_free, f);
    else if (f.name == "NTFS") NtfsFacts(read, offset, length, count_free, f);
    else if (f.name == "exFAT") exfat::ReadFacts(r, count_free, f);
    else if (f.name == "XFS") XfsFacts(head, f);
    return f;
}

}  // namespace platform::device
