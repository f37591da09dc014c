#include "platform/device/filesystems/fat.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "platform/base/byte_order.h"
#include "platform/base/wide_text.h"

namespace platform::device::fat {

namespace {

// Code page 850 above 0x7F.
constexpr char16_t kCp850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC,
    0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00F8,
    0x00A3, 0x00D8, 0x00D7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x00AE,
    0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C,
    0x00E3, 0x00C3, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4, 0x00F0, 0x00D0, 0x00CA, 0x00CB,
    0x00C8, 0x0131, 0x00CD, 0x00CE, 0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580, 0x00D3, 0x00DF,
    0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE, 0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8, 0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2,
    0x25A0, 0x00A0,
};

constexpr std::size_t kEntrySize = 32;
// Windows stops a directory at 65,536 entries.
constexpr std::uint64_t kMaxDirectoryBytes = 65536 * kEntrySize;
constexpr std::size_t kFatPiece = 1 << 20;

struct Geometry {
    std::uint32_t bytes_per_sector = 0;
    std::uint32_t sectors_per_cluster = 0;
    std::uint64_t fat_start = 0;   // bytes
    std::uint64_t fat_bytes = 0;   // one FAT
    std::uint64_t root_start = 0;  // bytes; FAT12/16 only
    std::uint64_t root_bytes = 0;
    std::uint64_t data_start = 0;  // bytes, cluster 2
    std::uint64_t clusters = 0;
    int bits = 0;  // 12, 16 or 32
    std::uint32_t root_cluster = 0;

    std::uint64_t cluster_size() const { return std::uint64_t{bytes_per_sector} * sectors_per_cluster; }
    bool valid_cluster(std::uint64_t c) const { return c >= 2 && c < clusters + 2; }
};

std::optional<Geometry> ParseBpb(const std::uint8_t* b, bool fat32, std::int64_t volume_length) {
    Geometry g;
    g.bytes_per_sector = LoadLe16(b + 11);
    g.sectors_per_cluster = b[13];
    if (g.bytes_per_sector < 512 || g.sectors_per_cluster == 0) return std::nullopt;
    std::uint64_t reserved = LoadLe16(b + 14);
    std::uint64_t fats = b[16];
    std::uint64_t root_entries = LoadLe16(b + 17);
    std::uint64_t total = LoadLe16(b + 19) ? LoadLe16(b + 19) : LoadLe32(b + 32);
    std::uint64_t fat_sectors = LoadLe16(b + 22) ? LoadLe16(b + 22) : LoadLe32(b + 36);
    std::uint64_t root_sectors = (root_entries * kEntrySize + g.bytes_per_sector - 1) / g.bytes_per_sector;
    std::uint64_t meta = reserved + fats * fat_sectors + root_sectors;
    if (total <= meta || fats == 0 || fat_sectors == 0) return std::nullopt;
    g.clusters = (total - meta) / g.sectors_per_cluster;
    g.fat_start = reserved * g.bytes_per_sector;
    g.fat_bytes = fat_sectors * g.bytes_per_sector;
    g.root_start = (reserved + fats * fat_sectors) * g.bytes_per_sector;
    g.root_bytes = root_sectors * g.bytes_per_sector;
    g.data_start = meta * g.bytes_per_sector;
    g.bits = fat32 ? 32 : g.clusters < 4085 ? 12 : 16;
    if (fat32) g.root_cluster = LoadLe32(b + 44);
    // The table must have an entry for every cluster, and the volume room for them.
    std::uint64_t needed = g.bits == 12 ? (g.clusters + 2) * 3 / 2 + 1 : (g.clusters + 2) * (g.bits / 8);
    if (needed > g.fat_bytes) return std::nullopt;
    if (g.data_start > static_cast<std::uint64_t>(volume_length)) return std::nullopt;
    return g;
}

std::uint32_t EntryAt(const std::vector<std::uint8_t>& fat, std::uint64_t index, int bits) {
    if (bits == 12) {
        std::uint16_t pair = LoadLe16(fat.data() + index + index / 2);
        return (index & 1) ? pair >> 4 : pair & 0x0FFF;
    }
    if (bits == 16) return LoadLe16(fat.data() + index * 2);
    return LoadLe32(fat.data() + index * 4) & 0x0FFFFFFF;
}

// Counts the clusters the FAT marks free, reading it in pieces.
std::optional<std::uint64_t> CountFree(const VolumeBytes& v, const Geometry& g) {
    const std::uint64_t entries = g.clusters + 2;
    std::uint64_t free = 0;
    if (g.bits != 32) {  // at most 128 KiB: read whole
        std::vector<std::uint8_t> fat;
        std::size_t size = static_cast<std::size_t>(g.bits == 12 ? entries * 3 / 2 + 1 : entries * 2);
        if (!v.get(g.fat_start, fat, size)) return std::nullopt;
        for (std::uint64_t c = 2; c < entries; ++c)
            if (EntryAt(fat, c, g.bits) == 0) ++free;
        return free;
    }
    std::vector<std::uint8_t> piece;
    const std::uint64_t per_piece = kFatPiece / 4;
    for (std::uint64_t first = 0; first < entries; first += per_piece) {
        std::uint64_t count = std::min(per_piece, entries - first);
        if (!v.get(g.fat_start + first * 4, piece, static_cast<std::size_t>(count * 4))) return std::nullopt;
        for (std::uint64_t i = first < 2 ? 2 - first : 0; i < count; ++i)
            if ((LoadLe32(piece.data() + i * 4) & 0x0FFFFFFF) == 0) ++free;
    }
    return free;
}

std::optional<std::uint32_t> NextCluster(const VolumeBytes& v, const Geometry& g, std::uint32_t cluster) {
    std::uint8_t entry[4];
    if (!v.get(g.fat_start + std::uint64_t{cluster} * 4, entry, 4)) return std::nullopt;
    return LoadLe32(entry) & 0x0FFFFFFF;
}

// The label entry of the root directory: the 11 bytes, or nullopt when the
// directory has none (or cannot be read).
std::optional<std::vector<std::uint8_t>> RootLabel(const VolumeBytes& v, const Geometry& g) {
    std::vector<std::uint8_t> dir;
    // Looks through one stretch of the directory; true when the search is over.
    std::optional<std::vector<std::uint8_t>> found;
    auto scan = [&](const std::vector<std::uint8_t>& bytes) {
        for (std::size_t at = 0; at + kEntrySize <= bytes.size(); at += kEntrySize) {
            const std::uint8_t* e = bytes.data() + at;
            if (e[0] == 0x00) return true;  // the end of the directory
            if (e[0] == 0xE5) continue;     // deleted
            std::uint8_t attributes = e[11];
            if ((attributes & 0x0F) == 0x0F) continue;  // a piece of a long name
            if (attributes & 0x08) {
                found.emplace(e, e + 11);
                if ((*found)[0] == 0x05) (*found)[0] = 0xE5;  // a leading E5 is stored as 05
                return true;
            }
        }
        return false;
    };
    if (g.bits != 32) {
        if (!v.get(g.root_start, dir, static_cast<std::size_t>(std::min(g.root_bytes, kMaxDirectoryBytes))))
            return std::nullopt;
        scan(dir);
        return found;
    }
    std::uint32_t cluster = g.root_cluster;
    std::uint64_t read = 0;
    while (g.valid_cluster(cluster) && read < kMaxDirectoryBytes) {
        if (!v.get(g.data_start + (cluster - 2) * g.cluster_size(), dir, static_cast<std::size_t>(g.cluster_size())))
            return std::nullopt;
        if (scan(dir)) return found;
        read += g.cluster_size();
        std::optional<std::uint32_t> next = NextCluster(v, g, cluster);
        if (!next) return std::nullopt;
        cluster = *next;
    }
    return found;
}

}  // namespace

std::string OemLabelToUtf8(const std::uint8_t* bytes, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i < size && bytes[i] != 0; ++i)
        text.push_back(bytes[i] < 0x80 ? static_cast<char16_t>(bytes[i]) : kCp850High[bytes[i] - 0x80]);
    while (!text.empty() && text.back() == u' ') text.pop_back();
    return Utf16ToUtf8(text);
}

void ReadFacts(const VolumeBytes& volume, bool count_free, FileSystemFacts& f) {
    std::vector<std::uint8_t> boot;
    if (!volume.get(0, boot, 512)) return;
    const bool fat32 = f.name == "FAT32";
    std::optional<Geometry> g = ParseBpb(boot.data(), fat32, volume.length());
    if (!g) return;
    f.bytes_per_sector = g->bytes_per_sector;
    f.sectors_per_cluster = g->sectors_per_cluster;
    f.total_clusters = g->clusters;
    f.serial = LoadLe32(boot.data() + (fat32 ? 67 : 39));
    if (std::optional<std::vector<std::uint8_t>> entry = RootLabel(volume, *g)) {
        f.label = OemLabelToUtf8(entry->data(), entry->size());
    } else {
        f.label = OemLabelToUtf8(boot.data() + (fat32 ? 71 : 43), 11);
        if (f.label == "NO NAME") f.label.clear();
    }
    if (count_free) f.free_clusters = CountFree(volume, *g);
}

}  // namespace platform::device::fat
