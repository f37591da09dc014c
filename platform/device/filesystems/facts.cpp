#include "platform/device/filesystems/facts.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/base/byte_order.h"

#include "platform/device/filesystems/probe.h"

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

class Reader {
public:
    Reader(const ReadAt& read, std::int64_t offset, std::int64_t length) : read_(read), offset_(offset), length_(length) {}
    bool get(std::int64_t at, Bytes& out, std::size_t size) const {
        if (at < 0 || at + static_cast<std::int64_t>(size) > length_) return false;
        out.assign(size, 0);
        return read_(offset_ + at, out.data(), size);
    }

private:
    const ReadAt& read_;
    std::int64_t offset_, length_;
};

void ExtFacts(const Reader& r, FileSystemFacts& f) {
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

// Free clusters of FAT12/16 by walking the table: small enough to read whole.
std::optional<std::uint64_t> CountFreeFat(const Reader& r, const Bytes& boot, std::uint64_t clusters, bool fat12) {
    const std::uint8_t* b = boot.data();
    std::uint32_t bps = LoadLe16(b + 11);
    std::uint32_t reserved = LoadLe16(b + 14);
    std::uint32_t fat_sectors = LoadLe16(b + 22);
    std::size_t size = static_cast<std::size_t>(fat_sectors) * bps;
    if (size == 0 || size > (1u << 20)) return std::nullopt;
    Bytes fat;
    if (!r.get(static_cast<std::int64_t>(reserved) * bps, fat, size)) return std::nullopt;
    std::uint64_t free = 0;
    for (std::uint64_t c = 2; c < clusters + 2; ++c) {
        std::uint32_t value;
        if (fat12) {
            std::size_t at = static_cast<std::size_t>(c + c / 2);
            if (at + 1 >= fat.size()) break;
            std::uint16_t pair = LoadLe16(fat.data() + at);
            value = (c & 1) ? pair >> 4 : pair & 0x0FFF;
        } else {
            std::size_t at = static_cast<std::size_t>(c * 2);
            if (at + 1 >= fat.size()) break;
            value = LoadLe16(fat.data() + at);
        }
        if (value == 0) ++free;
    }
    return free;
}

void FatFacts(const Reader& r, const Bytes& boot, FileSystemFacts& f) {
    const std::uint8_t* b = boot.data();
    std::uint32_t bps = LoadLe16(b + 11);
    std::uint32_t spc = boot[13];
    if (bps < 512 || spc == 0) return;
    std::uint32_t reserved = LoadLe16(b + 14);
    std::uint32_t fats = boot[16];
    std::uint32_t root_entries = LoadLe16(b + 17);
    std::uint64_t total = LoadLe16(b + 19) ? LoadLe16(b + 19) : LoadLe32(b + 32);
    std::uint64_t fat_size = LoadLe16(b + 22) ? LoadLe16(b + 22) : LoadLe32(b + 36);
    std::uint64_t root_sectors = (root_entries * 32ull + bps - 1) / bps;
    std::uint64_t meta = reserved + fats * fat_size + root_sectors;
    if (total <= meta) return;
    std::uint64_t clusters = (total - meta) / spc;
    f.bytes_per_sector = bps;
    f.sectors_per_cluster = spc;
    f.total_clusters = clusters;
    bool fat32 = f.name == "FAT32";
    std::size_t label_at = fat32 ? 71 : 43, serial_at = fat32 ? 67 : 39;
    f.serial = LoadLe32(b + serial_at);
    f.label = Label(boot, label_at, 11);
    if (f.label == "NO NAME") f.label.clear();
    if (fat32) {
        Bytes info;
        std::uint32_t info_sector = LoadLe16(b + 48);
        if (info_sector && r.get(static_cast<std::int64_t>(info_sector) * bps, info, 512) &&
            LoadLe32(info.data()) == 0x41615252 && LoadLe32(info.data() + 484) == 0x61417272 &&
            LoadLe32(info.data() + 488) != 0xFFFFFFFF)
            f.free_clusters = std::min<std::uint64_t>(LoadLe32(info.data() + 488), clusters);
    } else {
        f.free_clusters = CountFreeFat(r, boot, clusters, clusters < 4085);
    }
}

void NtfsFacts(const Bytes& boot, FileSystemFacts& f) {
    const std::uint8_t* b = boot.data();
    std::uint32_t bps = LoadLe16(b + 11);
    std::uint8_t raw = boot[13];
    // Above 0x80 the byte is a negative power of two: 0xF4 means 2^12.
    if (raw > 0x80 && 256 - raw > 31) return;
    std::uint32_t spc = raw <= 0x80 ? raw : (1u << (256 - raw));
    if (bps == 0 || spc == 0) return;
    f.bytes_per_sector = bps;
    f.sectors_per_cluster = spc;
    f.total_clusters = LoadLe64(b + 40) / spc;
    f.serial = static_cast<std::uint32_t>(LoadLe64(b + 72));
    // The label and the free count live in the MFT ($Volume, $Bitmap).
}

void ExfatFacts(const Bytes& boot, FileSystemFacts& f) {
    const std::uint8_t* b = boot.data();
    std::uint32_t bps_shift = boot[108], spc_shift = boot[109];
    if (bps_shift < 9 || bps_shift > 12 || spc_shift > 25) return;
    f.bytes_per_sector = 1u << bps_shift;
    f.sectors_per_cluster = 1u << spc_shift;
    f.total_clusters = LoadLe32(b + 92);
    f.serial = LoadLe32(b + 100);
    std::uint8_t percent_used = boot[112];
    if (percent_used <= 100) f.free_clusters = f.total_clusters * (100 - percent_used) / 100;
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

FileSystemFacts ReadFileSystemFacts(const ReadAt& read, std::int64_t offset, std::int64_t length) {
    FileSystemFacts f;
    f.name = ProbeFileSystem(read, offset, length);
    if (f.name.empty()) return f;
    Reader r(read, offset, length);
    Bytes head;
    if (!r.get(0, head, 512)) return f;
    if (f.name.rfind("ext", 0) == 0) ExtFacts(r, f);
    else if (f.name == "FAT" || f.name == "FAT32") FatFacts(r, head, f);
    else if (f.name == "NTFS") NtfsFacts(head, f);
    else if (f.name == "exFAT") ExfatFacts(head, f);
    else if (f.name == "XFS") XfsFacts(head, f);
    return f;
}

}  // namespace platform::device
