#include "disk/formats/imagecheck/vhd_check.h"

#include <bit>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "platform/virtdisk/vhd/vhd_records.h"

namespace disk {

namespace {

using platform::LoadLe64;

constexpr std::uint64_t kKiB = 1024;
constexpr std::uint64_t kMiB = 1024 * kKiB;
constexpr std::uint64_t kHeaderAt[] = {64 * kKiB, 128 * kKiB};
constexpr std::uint64_t kRegionTableAt[] = {192 * kKiB, 256 * kKiB};
constexpr std::uint32_t kMostEntries = 2047;
constexpr std::uint64_t kMostVhdxDisk = 64ULL << 40;

// A GUID written as its text reads, in the order VHDX stores it.
constexpr VhdxGuid Guid(std::uint32_t a, std::uint16_t b, std::uint16_t c, std::uint64_t d) {
    const auto data1 = platform::le32::of(a);
    const auto data2 = platform::le16::of(b);
    const auto data3 = platform::le16::of(c);
    const auto data4 = platform::be64::of(d);
    VhdxGuid g{};
    auto at = std::copy(std::begin(data1.bytes), std::end(data1.bytes), g.begin());
    at = std::copy(std::begin(data2.bytes), std::end(data2.bytes), at);
    at = std::copy(std::begin(data3.bytes), std::end(data3.bytes), at);
    std::copy(std::begin(data4.bytes), std::end(data4.bytes), at);
    return g;
}

constexpr VhdxGuid kBatRegion = Guid(0x2DC27766, 0xF623, 0x4200, 0x9D64115E9BFD4A08);
constexpr VhdxGuid kMetadataRegion = Guid(0x8B7CA206, 0x4790, 0x4B9A, 0xB8FE575F050F886E);
constexpr VhdxGuid kFileParameters = Guid(0xCAA16737, 0xFA36, 0x4D43, 0xB3B633F0AA44E76B);
constexpr VhdxGuid kVirtualDiskSize = Guid(0x2FA54224, 0xCD1B, 0x4876, 0xB2115DBED83BF4B8);
constexpr VhdxGuid kLogicalSectorSize = Guid(0x8141BF1D, 0xA96F, 0x4709, 0xBA47F233A8FAAB5F);
constexpr VhdxGuid kParentLocator = Guid(0xA8D35F2D, 0xB30B, 0x454D, 0xABF7D3D84834AB0C);


struct Region {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

struct Regions {
    Region bat;
    Region metadata;
};

Regions ReadRegionTable(const ImageBytes& file, std::uint64_t at, const std::string& field) {
    const auto header = file.record<VhdxRegionTableHeader>(at, field);
    if (std::memcmp(header.signature, "regi", 4) != 0) file.refuse(field, "has no \"regi\" signature");
    const std::uint32_t count = header.entry_count.value();
    if (count > kMostEntries) file.refuse(field + " entry_count", std::to_string(count) + " is too many");
    Regions regions;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string entry_field = field + " entry " + std::to_string(i);
        const auto entry = file.record<VhdxRegionEntry>(at + sizeof header + i * sizeof(VhdxRegionEntry), entry_field);
        const Region region{entry.file_offset.value(), entry.length.value()};
        if (region.offset % kMiB != 0 || region.offset < kMiB)
            file.refuse(entry_field + " file_offset", Hex(region.offset) + " is not a whole MiB past the headers");
        file.require_inside(region.offset, region.length, entry_field);
        if (entry.guid == kBatRegion) regions.bat = region;
        else if (entry.guid == kMetadataRegion) regions.metadata = region;
        else if (entry.required.value() & 1) file.refuse(entry_field, "is a required region this program does not know");
    }
    if (regions.bat.length == 0) file.refuse(field, "has no BAT region");
    if (regions.metadata.length == 0) file.refuse(field, "has no metadata region");
    return regions;
}

struct Metadata {
    std::uint32_t block_size = 0;
    bool has_parent = false;
    std::uint64_t disk_size = 0;
    std::uint32_t logical_sector = 0;
};

Metadata ReadMetadata(const ImageBytes& file, const Region& region) {
    const auto header = file.record<VhdxMetadataTableHeader>(region.offset, "metadata table");
    if (std::memcmp(header.signature, "metadata", 8) != 0) file.refuse("metadata table", "has no \"metadata\" signature");
    const std::uint32_t count = header.entry_count.value();
    if (count > kMostEntries) file.refuse("metadata table entry_count", std::to_string(count) + " is too many");
    Metadata metadata;
    bool have_parameters = false, have_size = false, have_sector = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string field = "metadata entry " + std::to_string(i);
        const auto entry = file.record<VhdxMetadataEntry>(region.offset + sizeof header + i * sizeof(VhdxMetadataEntry), field);
        const std::uint64_t offset = entry.offset.value();
        const std::uint64_t length = entry.length.value();
        if (length == 0) continue;
        if (offset < 64 * kKiB || offset > region.length || length > region.length - offset)
            file.refuse(field, "(" + Hex(offset) + ", " + std::to_string(length) + " bytes) lies outside the metadata region");
        const std::uint64_t at = region.offset + offset;
        if (entry.item_id == kFileParameters) {
            if (length < 8) file.refuse("file parameters", "are too short");
            metadata.block_size = file.record<platform::le32>(at, "file parameters").value();
            metadata.has_parent = file.record<platform::le32>(at + 4, "file parameters").value() & 2;
            have_parameters = true;
        } else if (entry.item_id == kVirtualDiskSize) {
            if (length < 8) file.refuse("virtual disk size", "is too short");
            metadata.disk_size = file.record<platform::le64>(at, "virtual disk size").value();
            have_size = true;
        } else if (entry.item_id == kLogicalSectorSize) {
            if (length < 4) file.refuse("logical sector size", "is too short");
            metadata.logical_sector = file.record<platform::le32>(at, "logical sector size").value();
            have_sector = true;
        } else if (entry.item_id == kParentLocator) {
            if (length < sizeof(VhdxParentLocatorHeader)) file.refuse("parent locator", "is too short");
            const auto locator = file.record<VhdxParentLocatorHeader>(at, "parent locator");
            const std::uint64_t pairs = locator.key_value_count.value();
            if (sizeof locator + pairs * sizeof(VhdxParentLocatorEntry) > length)
                file.refuse("parent locator key_value_count", std::to_string(pairs) + " runs past the locator");
            for (std::uint64_t k = 0; k < pairs; ++k) {
                const std::string pair_field = "parent locator entry " + std::to_string(k);
                const auto pair = file.record<VhdxParentLocatorEntry>(
                    at + sizeof locator + k * sizeof(VhdxParentLocatorEntry), pair_field);
                if (std::uint64_t{pair.key_offset.value()} + pair.key_length.value() > length ||
                    std::uint64_t{pair.value_offset.value()} + pair.value_length.value() > length)
                    file.refuse(pair_field, "lies outside the parent locator");
            }
        }
    }
    if (!have_parameters) file.refuse("metadata", "has no file parameters");
    if (!have_size) file.refuse("metadata", "has no virtual disk size");
    if (!have_sector) file.refuse("metadata", "has no logical sector size");
    if (!std::has_single_bit(metadata.block_size) || metadata.block_size < kMiB || metadata.block_size > 256 * kMiB)
        file.refuse("block size", std::to_string(metadata.block_size) + " is not valid");
    if (metadata.logical_sector != 512 && metadata.logical_sector != 4096)
        file.refuse("logical sector size", std::to_string(metadata.logical_sector) + " is not valid");
    if (metadata.disk_size == 0 || metadata.disk_size > kMostVhdxDisk || metadata.disk_size % metadata.logical_sector)
        file.refuse("virtual disk size", std::to_string(metadata.disk_size) + " is not valid");
    return metadata;
}

void CheckBat(const ImageBytes& file, const Region& region, const Metadata& metadata) {
    const std::uint64_t chunk_ratio = (std::uint64_t{1} << 23) * metadata.logical_sector / metadata.block_size;
    const std::uint64_t blocks = CeilDiv(metadata.disk_size, metadata.block_size);
    const std::uint64_t bitmaps = CeilDiv(blocks, chunk_ratio);
    const std::uint64_t entries = metadata.has_parent ? bitmaps * (chunk_ratio + 1) : blocks + (blocks - 1) / chunk_ratio;
    if (entries * 8 > region.length)
        file.refuse("BAT region", "holds " + std::to_string(region.length / 8) + " entries where the disk needs " +
                                      std::to_string(entries));
    file.for_each_entry(region.offset, entries, 8, "BAT region", [&](std::uint64_t i, const std::byte* bytes) {
        const std::uint64_t entry = LoadLe64(bytes);
        const unsigned state = entry & 7;
        if (state != 6 && state != 7) return;  // nothing stored for this block
        const std::uint64_t offset = (entry >> 20) * kMiB;
        const bool bitmap = (i + 1) % (chunk_ratio + 1) == 0;
        const std::string field = "BAT entry " + std::to_string(i);
        if (offset < kMiB) file.refuse(field, "points into the headers");
        file.require_inside(offset, bitmap ? kMiB : metadata.block_size, field);
    });
}

}  // namespace

bool LooksLikeVhdx(const ImageBytes& file) {
    if (file.size() < 8) return false;
    char identifier[8];
    file.read(0, std::as_writable_bytes(std::span(identifier)), "file identifier");
    return std::memcmp(identifier, "vhdxfile", 8) == 0;
}

void CheckVhdxImage(const ImageBytes& file) {
    if (!LooksLikeVhdx(file)) file.refuse("file identifier", "is not \"vhdxfile\"");
    int headers = 0;
    for (int i = 0; i < 2; ++i) {
        const std::string field = "header " + std::to_string(i + 1);
        const auto header = file.record<VhdxHeader>(kHeaderAt[i], field);
        if (std::memcmp(header.signature, "head", 4) != 0) continue;
        ++headers;
        if (header.log_guid != VhdxGuid{})
            file.refuse(field + " log_guid", "is set: the image has a log to replay (it was not closed cleanly)");
        if (header.log_length.value() > 0)
            file.require_inside(header.log_offset.value(), header.log_length.value(), field + " log_offset");
    }
    if (headers == 0) file.refuse("headers", "have no \"head\" signature");
    const Regions regions = ReadRegionTable(file, kRegionTableAt[0], "region table");
    ReadRegionTable(file, kRegionTableAt[1], "region table 2");
    CheckBat(file, regions.bat, ReadMetadata(file, regions.metadata));
}

void CheckVhdImage(const ImageBytes& file) {
    using namespace platform::virtdisk;
    if (file.size() < sizeof(VhdFooter)) file.refuse("footer", "is missing: the file is too short");
    const auto footer = file.record<VhdFooter>(file.size() - sizeof(VhdFooter), "footer");
    if (std::memcmp(footer.cookie.data(), "conectix", 8) != 0) file.refuse("footer cookie", "is not \"conectix\"");
    const std::uint64_t disk = static_cast<std::uint64_t>(footer.current_size.value());
    const std::uint32_t type = footer.disk_type.value();
    if (type == kVhdFixed) {
        if (disk > file.size() - sizeof(VhdFooter))
            file.refuse("current_size", std::to_string(disk) + " is more than the file holds");
        return;
    }
    if (type != kVhdDynamic && type != kVhdDifferencing) file.refuse("disk_type", std::to_string(type) + " is not valid");
    if (disk > kVhdMaxSize) file.refuse("current_size", std::to_string(disk) + " is too large");
    const auto header =
        file.record<VhdDynamicHeader>(static_cast<std::uint64_t>(footer.data_offset.value()), "data_offset");
    if (std::memcmp(header.cookie.data(), "cxsparse", 8) != 0) file.refuse("dynamic header cookie", "is not \"cxsparse\"");
    const std::uint64_t block = static_cast<std::uint64_t>(header.block_size.value());
    if (!std::has_single_bit(block) || block < kVhdSector || block > 256 * kMiB)
        file.refuse("block_size", std::to_string(block) + " is not valid");
    const std::uint64_t entries = static_cast<std::uint64_t>(header.max_table_entries.value());
    const std::uint64_t needed = CeilDiv(disk, block);
    if (entries < needed) file.refuse("max_table_entries", std::to_string(entries) + " does not cover the disk");
    // The table lies in the file as the header sizes it; only the entries
    // of the disk's blocks are read: the rest are never asked for.
    const auto table_offset = static_cast<std::uint64_t>(header.table_offset.value());
    file.require_entries(table_offset, entries, 4, "table_offset");
    const std::uint64_t bitmap = CeilDiv(block / kVhdSector, 8 * kVhdSector) * kVhdSector;
    file.for_each_entry(table_offset, needed, 4, "table_offset", [&](std::uint64_t i, const std::byte* entry) {
        const std::uint32_t sector = platform::LoadBe32(entry);
        if (sector == kVhdUnusedBlock) return;
        file.require_inside(std::uint64_t{sector} * kVhdSector, bitmap + block, "BAT entry " + std::to_string(i));
    });
    if (type == kVhdDifferencing)
        for (std::size_t i = 0; i < header.parent_locator_entries.size(); ++i) {
            const auto& locator = header.parent_locator_entries[i];
            if (static_cast<std::uint64_t>(locator.platform_code.value()) == 0) continue;
            file.require_inside(static_cast<std::uint64_t>(locator.platform_data_offset.value()),
                                static_cast<std::uint64_t>(locator.platform_data_length.value()),
                                "parent locator " + std::to_string(i));
        }
}

}  // namespace disk
