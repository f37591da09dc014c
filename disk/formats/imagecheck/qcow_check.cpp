#include "disk/formats/imagecheck/qcow_check.h"

#include <algorithm>
#include <string>

namespace disk {

namespace {

using platform::LoadBe64;

constexpr std::uint64_t kOffsetMask = 0x00fffffffffffe00ULL;  // bits 9-55 of an L1 or L2 entry
constexpr std::uint64_t kCompressed = 1ULL << 62;
constexpr std::uint64_t kCopied = 1ULL << 63;
constexpr std::uint64_t kZeroCluster = 1;
constexpr std::uint64_t kL1Reserved = ~(kOffsetMask | kCopied);
constexpr std::uint64_t kL2Reserved = ~(kOffsetMask | kCopied | kCompressed | kZeroCluster);
constexpr std::uint64_t kMostL1Bytes = 32ULL << 20;  // what qemu itself writes at most
constexpr std::uint32_t kMostSnapshots = 65536;
constexpr std::uint32_t kMostBackingName = 1023;
constexpr std::uint64_t kDirty = 1;  // the only incompatible feature that reading can ignore
constexpr std::uint32_t kExternalDataFile = 0x44415441;


void CheckBackingName(const ImageBytes& file, std::uint64_t offset, std::uint32_t size, NamedFiles& named) {
    if (offset == 0) return;
    if (size == 0 || size > kMostBackingName)
        file.refuse("backing_file_size", std::to_string(size) + " is not a file name's length");
    std::string name(size, '\0');
    file.read(offset, std::as_writable_bytes(std::span(name)), "backing_file_offset");
    named.parent = name;
}

// A version 1 image: L2 tables of 8 << l2_bits bytes anywhere in the file.
NamedFiles CheckVersion1(const ImageBytes& file) {
    const auto header = file.record<QcowHeaderV1>(0, "header");
    NamedFiles named;
    CheckBackingName(file, header.backing_file_offset.value(), header.backing_file_size.value(), named);
    const unsigned cluster_bits = header.cluster_bits;
    const unsigned l2_bits = header.l2_bits;
    if (cluster_bits < 9 || cluster_bits > 16) file.refuse("cluster_bits", std::to_string(cluster_bits) + " is not valid");
    if (l2_bits < 6 || l2_bits > 13) file.refuse("l2_bits", std::to_string(l2_bits) + " is not valid");
    const std::uint64_t cluster = 1ULL << cluster_bits;
    const std::uint64_t l1_entries = CeilDiv(header.size.value(), 1ULL << (cluster_bits + l2_bits));
    if (l1_entries * 8 > kMostL1Bytes) file.refuse("size", std::to_string(header.size.value()) + " is too large");
    const std::uint64_t l2_entries = 1ULL << l2_bits;
    DirectoryTables l2_tables(file, l2_entries * 8, "L1");
    file.for_each_entry(header.l1_table_offset.value(), l1_entries, 8, "l1_table_offset",
                        [&](std::uint64_t i, const std::byte* entry) {
                            if (const std::uint64_t l2 = LoadBe64(entry); l2 != 0) l2_tables.add(l2, i);
                        });
    const std::uint64_t size_mask = cluster - 1;
    const unsigned size_shift = 63 - cluster_bits;
    for (const auto& [l2_offset, l1_entry] : l2_tables) {
        const std::uint64_t i = l1_entry;
        file.for_each_entry(l2_offset, l2_entries, 8, Entry("L1", i), [&](std::uint64_t j, const std::byte* bytes) {
            const std::uint64_t entry = LoadBe64(bytes);
            if (entry == 0) return;
            if (entry >> 63) {
                const std::uint64_t offset = entry & ((1ULL << size_shift) - 1);
                file.require_inside(offset, (entry >> size_shift) & size_mask, Entry("L2", i * l2_entries + j));
            } else {
                file.require_inside(entry, cluster, Entry("L2", i * l2_entries + j));
            }
        });
    }
    return named;
}

void CheckExtensions(const ImageBytes& file, std::uint64_t from, std::uint64_t cluster) {
    const std::uint64_t end = std::min<std::uint64_t>(cluster, file.size());
    for (std::uint64_t at = from; at + sizeof(QcowExtensionHeader) <= end;) {
        const auto extension = file.record<QcowExtensionHeader>(at, "header extension");
        const std::uint32_t type = extension.type.value();
        if (type == 0) return;
        if (type == kExternalDataFile) file.refuse("header extension", "names an external data file, which is not read");
        const std::uint64_t length = (extension.length.value() + 7ULL) / 8 * 8;
        at += sizeof(QcowExtensionHeader);
        if (length > end - at) file.refuse("header extension", "at " + Hex(at) + " runs past the header's cluster");
        at += length;
    }
}

void CheckSnapshots(const ImageBytes& file, const QcowHeaderV2& header, std::uint64_t cluster) {
    const std::uint32_t count = header.nb_snapshots.value();
    if (count == 0) return;
    if (count > kMostSnapshots) file.refuse("nb_snapshots", std::to_string(count) + " is too many");
    std::uint64_t at = header.snapshots_offset.value();
    if (at % cluster != 0) file.refuse("snapshots_offset", Hex(at) + " is not at a cluster");
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string field = "snapshot " + std::to_string(i);
        const auto snapshot = file.record<QcowSnapshotHeader>(at, field);
        const std::uint64_t length = sizeof(QcowSnapshotHeader) + std::uint64_t{snapshot.extra_data_size.value()} +
                                     snapshot.id_str_size.value() + snapshot.name_size.value();
        file.require_inside(at, length, field);
        file.require_inside(snapshot.l1_table_offset.value(), std::uint64_t{snapshot.l1_size.value()} * 8,
                            field + " l1_table_offset");
        at += (length + 7) / 8 * 8;
    }
}

NamedFiles CheckVersion2(const ImageBytes& file, std::uint32_t version) {
    // Version 2 ends its header at 72 bytes: the rest reads as zeros.
    QcowHeaderV2 header{};
    const std::uint64_t fixed = version == 2 ? 72 : sizeof header;
    file.read(0, std::as_writable_bytes(std::span(&header, 1)).first(fixed), "header");
    NamedFiles named;
    const std::uint32_t cluster_bits = header.cluster_bits.value();
    if (cluster_bits < 9 || cluster_bits > 21) file.refuse("cluster_bits", std::to_string(cluster_bits) + " is not valid");
    const std::uint64_t cluster = 1ULL << cluster_bits;
    std::uint64_t header_length = fixed;
    if (version == 3) {
        header_length = header.header_length.value();
        if (header_length < sizeof header || header_length > cluster)
            file.refuse("header_length", std::to_string(header_length) + " is not valid");
        if (header.refcount_order.value() > 6)
            file.refuse("refcount_order", std::to_string(header.refcount_order.value()) + " is not valid");
        const std::uint64_t incompatible = header.incompatible_features.value();
        if (incompatible & 2) file.refuse("incompatible_features", "mark the image corrupt");
        if (incompatible & ~kDirty)
            file.refuse("incompatible_features", Hex(incompatible) + " ask for what is not read here");
    }
    CheckBackingName(file, header.backing_file_offset.value(), header.backing_file_size.value(), named);
    CheckExtensions(file, header_length, cluster);

    const std::uint64_t l2_entries = cluster / 8;
    const std::uint64_t needed = CeilDiv(header.size.value(), cluster * l2_entries);
    const std::uint64_t l1_entries = header.l1_size.value();
    if (l1_entries < needed)
        file.refuse("l1_size", std::to_string(l1_entries) + " does not cover the disk (" + std::to_string(needed) +
                                   " entries needed)");
    if (l1_entries * 8 > kMostL1Bytes) file.refuse("l1_size", std::to_string(l1_entries) + " is too large");
    const std::uint64_t l1_offset = header.l1_table_offset.value();
    if (l1_offset % cluster != 0) file.refuse("l1_table_offset", Hex(l1_offset) + " is not at a cluster");
    file.require_entries(l1_offset, l1_entries, 8, "l1_table_offset");

    // The refcount table lies in the file as the header sizes it; only the
    // entries that cover the file's own clusters are read.
    const std::uint64_t refcount_offset = header.refcount_table_offset.value();
    if (refcount_offset % cluster != 0)
        file.refuse("refcount_table_offset", Hex(refcount_offset) + " is not at a cluster");
    const std::uint64_t refcount_entries = std::uint64_t{header.refcount_table_clusters.value()} * cluster / 8;
    file.require_entries(refcount_offset, refcount_entries, 8, "refcount_table_offset");
    const std::uint64_t refcount_order = version == 3 ? header.refcount_order.value() : 4;
    const std::uint64_t clusters_per_block = cluster * 8 >> refcount_order;
    const std::uint64_t refcounts_needed =
        std::min(refcount_entries, CeilDiv(CeilDiv(file.size(), cluster), clusters_per_block));
    file.for_each_entry(refcount_offset, refcounts_needed, 8, "refcount_table_offset",
                        [&](std::uint64_t i, const std::byte* entry) {
                            const std::uint64_t block = LoadBe64(entry) & ~std::uint64_t{511};
                            if (block == 0) return;
                            if (block % cluster != 0)
                                file.refuse(Entry("refcount table", i), Hex(block) + " is not at a cluster");
                            file.require_inside(block, cluster, Entry("refcount table", i));
                        });
    CheckSnapshots(file, header, cluster);

    // An entry with a reserved bit set is refused, not read past: libqcow
    // does not mask what we would, and would follow it elsewhere.
    DirectoryTables l2_tables(file, cluster, "L1");
    file.for_each_entry(l1_offset, needed, 8, "l1_table_offset", [&](std::uint64_t i, const std::byte* bytes) {
        const std::uint64_t entry = LoadBe64(bytes);
        if (entry & kL1Reserved) file.refuse(Entry("L1", i), Hex(entry) + " has reserved bits set");
        const std::uint64_t l2_offset = entry & kOffsetMask;
        if (l2_offset == 0) return;
        if (l2_offset % cluster != 0) file.refuse(Entry("L1", i), Hex(l2_offset) + " is not at a cluster");
        l2_tables.add(l2_offset, i);
    });

    const unsigned size_shift = 62 - (cluster_bits - 8);
    const std::uint64_t sectors_mask = (1ULL << (cluster_bits - 8)) - 1;
    const std::uint64_t file_end = (file.size() + 511) / 512 * 512;
    // Version 3 marks a cluster that reads as zeros in bit 0; version 2 has no such bit.
    const std::uint64_t l2_reserved = version == 3 ? kL2Reserved : kL2Reserved | kZeroCluster;
    for (const auto& [l2_offset, l1_entry] : l2_tables) {
        const std::uint64_t i = l1_entry;
        file.for_each_entry(l2_offset, l2_entries, 8, Entry("L1", i), [&](std::uint64_t j, const std::byte* bytes) {
            const std::uint64_t entry = LoadBe64(bytes);
            const std::uint64_t index = i * l2_entries + j;
            if (entry & kCompressed) {
                if (entry & kCopied) file.refuse(Entry("L2", index), Hex(entry) + " has reserved bits set");
                // The data may end inside its last sector, which the file
                // then holds only in part.
                const std::uint64_t offset = entry & ((1ULL << size_shift) - 1);
                const std::uint64_t sectors = ((entry >> size_shift) & sectors_mask) + 1;
                const std::uint64_t end = (offset & ~std::uint64_t{511}) + sectors * 512;
                if (offset >= file.size() || end > file_end)
                    file.refuse(Entry("L2", index), "(compressed, " + Hex(offset) + ") lies past the end of the file (" +
                                                        std::to_string(file.size()) + " bytes)");
                return;
            }
            if (entry & l2_reserved) file.refuse(Entry("L2", index), Hex(entry) + " has reserved bits set");
            const std::uint64_t offset = entry & kOffsetMask;
            if (offset == 0) return;
            if (offset % cluster != 0) file.refuse(Entry("L2", index), Hex(offset) + " is not at a cluster");
            file.require_inside(offset, cluster, Entry("L2", index));
        });
    }
    return named;
}

}  // namespace

bool LooksLikeQcow(const ImageBytes& file) {
    if (file.size() < 4) return false;
    return file.record<platform::be32>(0, "magic").value() == kQcowMagic;
}

NamedFiles CheckQcowImage(const ImageBytes& file) {
    if (!LooksLikeQcow(file)) file.refuse("magic", "is not that of a QCOW image");
    const std::uint32_t version = file.record<platform::be32>(4, "version").value();
    if (version == 1) return CheckVersion1(file);
    if (version == 2 || version == 3) return CheckVersion2(file, version);
    file.refuse("version", std::to_string(version) + " is not supported");
}

}  // namespace disk
