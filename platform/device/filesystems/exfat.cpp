#include "platform/device/filesystems/exfat.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <vector>

#include "platform/base/byte_order.h"
#include "platform/base/wide_text.h"

namespace platform::device::exfat {

namespace {

constexpr std::size_t kEntrySize = 32;
constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint8_t kAllocationBitmap = 0x81;
constexpr std::uint8_t kVolumeLabel = 0x83;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;
// A directory may not pass 256 MiB.
constexpr std::uint64_t kMaxDirectoryBytes = 256u << 20;
constexpr std::size_t kBitmapPiece = 1 << 20;

struct Geometry {
    std::uint32_t bytes_per_sector = 0;
    std::uint32_t sectors_per_cluster = 0;
    std::uint64_t fat_start = 0;   // bytes
    std::uint64_t heap_start = 0;  // bytes, cluster 2
    std::uint32_t clusters = 0;
    std::uint32_t root_cluster = 0;
    bool second_fat_active = false;

    std::uint64_t cluster_size() const { return std::uint64_t{bytes_per_sector} * sectors_per_cluster; }
    bool valid_cluster(std::uint64_t c) const { return c >= 2 && c < std::uint64_t{clusters} + 2; }
    std::uint64_t cluster_at(std::uint32_t c) const { return heap_start + (c - 2) * cluster_size(); }
};

std::optional<Geometry> ParseBoot(const std::uint8_t* b, std::int64_t volume_length) {
    unsigned bps_shift = b[108], spc_shift = b[109];
    if (bps_shift < 9 || bps_shift > 12 || spc_shift > 25 - bps_shift) return std::nullopt;
    Geometry g;
    g.bytes_per_sector = 1u << bps_shift;
    g.sectors_per_cluster = 1u << spc_shift;
    g.fat_start = std::uint64_t{LoadLe32(b + 80)} << bps_shift;
    g.heap_start = std::uint64_t{LoadLe32(b + 88)} << bps_shift;
    g.clusters = LoadLe32(b + 92);
    g.root_cluster = LoadLe32(b + 96);
    g.second_fat_active = (LoadLe16(b + 106) & 1) != 0 && b[110] == 2;
    if (g.second_fat_active) g.fat_start += std::uint64_t{LoadLe32(b + 84)} << bps_shift;
    // The heap must fit the volume, or the counts are not the volume's.
    if (g.heap_start + std::uint64_t{g.clusters} * g.cluster_size() > static_cast<std::uint64_t>(volume_length))
        return std::nullopt;
    if (!g.valid_cluster(g.root_cluster)) return std::nullopt;
    return g;
}

std::optional<std::uint32_t> NextCluster(const VolumeBytes& v, const Geometry& g, std::uint32_t cluster) {
    std::uint8_t entry[4];
    if (!v.get(g.fat_start + std::uint64_t{cluster} * 4, entry, 4)) return std::nullopt;
    return LoadLe32(entry);
}

struct RootFacts {
    std::optional<std::u16string> label;
    std::uint32_t bitmap_cluster = 0;
    std::uint64_t bitmap_bytes = 0;
};

// The label and the allocation bitmap's place, from the root directory's
// entries. nullopt when the directory cannot be read.
std::optional<RootFacts> ReadRoot(const VolumeBytes& v, const Geometry& g) {
    RootFacts facts;
    std::vector<std::uint8_t> cluster_bytes;
    std::uint32_t cluster = g.root_cluster;
    const unsigned bitmap_index = g.second_fat_active ? 1 : 0;
    for (std::uint64_t read = 0; read < kMaxDirectoryBytes; read += g.cluster_size()) {
        if (!g.valid_cluster(cluster)) return facts;
        if (!v.get(g.cluster_at(cluster), cluster_bytes, static_cast<std::size_t>(g.cluster_size()))) return std::nullopt;
        for (std::size_t at = 0; at + kEntrySize <= cluster_bytes.size(); at += kEntrySize) {
            const std::uint8_t* e = cluster_bytes.data() + at;
            if (e[0] == kEndOfDirectory) return facts;
            if (e[0] == kVolumeLabel && !facts.label) {
                std::size_t count = std::min<std::size_t>(e[1], 11);
                std::u16string label;
                for (std::size_t i = 0; i < count; ++i) label.push_back(static_cast<char16_t>(LoadLe16(e + 2 + 2 * i)));
                facts.label = label;
            } else if (e[0] == kAllocationBitmap && (e[1] & 1) == bitmap_index && facts.bitmap_cluster == 0) {
                facts.bitmap_cluster = LoadLe32(e + 20);
                facts.bitmap_bytes = LoadLe64(e + 24);
            }
        }
        std::optional<std::uint32_t> next = NextCluster(v, g, cluster);
        if (!next) return std::nullopt;
        if (*next == kEndOfChain) return facts;
        cluster = *next;
    }
    return facts;
}

// Clear bits of the allocation bitmap over the volume's clusters. The bitmap
// is read along its cluster chain; where the FAT keeps no chain for it (a
// contiguous bitmap), cluster after cluster.
std::optional<std::uint64_t> CountFree(const VolumeBytes& v, const Geometry& g, const RootFacts& root) {
    const std::uint64_t needed = (std::uint64_t{g.clusters} + 7) / 8;
    if (!g.valid_cluster(root.bitmap_cluster) || root.bitmap_bytes < needed) return std::nullopt;
    const std::uint64_t cluster_size = g.cluster_size();
    std::uint64_t used = 0;
    std::uint64_t done = 0;  // bitmap bytes counted
    std::uint32_t cluster = root.bitmap_cluster;
    std::vector<std::uint8_t> piece;
    while (done < needed) {
        if (!g.valid_cluster(cluster)) return std::nullopt;
        std::uint64_t size = std::min<std::uint64_t>({cluster_size, needed - done, kBitmapPiece});
        // A piece never spans two clusters: the chain may jump between them.
        std::uint64_t in_cluster = done % cluster_size;
        size = std::min(size, cluster_size - in_cluster);
        if (!v.get(g.cluster_at(cluster) + in_cluster, piece, static_cast<std::size_t>(size))) return std::nullopt;
        std::uint64_t first_bit = done * 8;
        for (std::size_t i = 0; i < piece.size(); ++i) {
            std::uint8_t b = piece[i];
            std::uint64_t bit = first_bit + i * 8;
            if (bit + 8 > g.clusters) b &= static_cast<std::uint8_t>((1u << (g.clusters - bit)) - 1);
            used += static_cast<std::uint64_t>(std::popcount(b));
        }
        done += size;
        if (done % cluster_size == 0 && done < needed) {
            std::optional<std::uint32_t> next = NextCluster(v, g, cluster);
            if (!next) return std::nullopt;
            cluster = *next == 0 ? cluster + 1 : *next;
        }
    }
    return std::uint64_t{g.clusters} - std::min<std::uint64_t>(used, g.clusters);
}

}  // namespace

void ReadFacts(const VolumeBytes& volume, bool count_free, FileSystemFacts& f) {
    std::vector<std::uint8_t> boot;
    if (!volume.get(0, boot, 512)) return;
    std::optional<Geometry> g = ParseBoot(boot.data(), volume.length());
    if (!g) return;
    f.bytes_per_sector = g->bytes_per_sector;
    f.sectors_per_cluster = g->sectors_per_cluster;
    f.total_clusters = g->clusters;
    f.serial = LoadLe32(boot.data() + 100);
    std::optional<RootFacts> root = ReadRoot(volume, *g);
    if (!root) return;
    if (root->label) f.label = Utf16ToUtf8(*root->label);
    if (count_free) f.free_clusters = CountFree(volume, *g, *root);
}

}  // namespace platform::device::exfat
