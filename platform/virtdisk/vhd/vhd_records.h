// The records of a VHD file as they lie on disk: the hard disk footer (at
// the end of every image, and at the start of a dynamic one), the dynamic
// disk header and its parent locators, and the block allocation table. Each
// field is named as the format names it; every number is big-endian on
// disk, which the field's type says and handles.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/base/byte_order.h"

namespace platform::virtdisk {

using platform::be16;
using platform::be32;
using platform::be64;

enum : std::uint32_t { kVhdFixed = 2, kVhdDynamic = 3, kVhdDifferencing = 4 };

constexpr std::uint64_t kVhdNoDataOffset = ~0ull;    // a fixed disk's footer points nowhere
constexpr std::uint32_t kVhdUnusedBlock = 0xFFFFFFFFu;  // a table entry without a block
constexpr std::uint32_t kVhdSector = 512;
// The largest virtual disk the format can describe.
constexpr std::uint64_t kVhdMaxSize = 2040ull << 30;

struct VhdFooter {
    std::array<char, 8> cookie;  // "conectix"
    be32 features;
    be32 file_format_version;
    be64 data_offset;  // the dynamic header; all ones for a fixed disk
    be32 time_stamp;   // seconds since 2000-01-01 00:00 UTC
    std::array<char, 4> creator_application;
    be32 creator_version;
    be32 creator_host_os;
    be64 original_size;
    be64 current_size;
    be32 disk_geometry;  // cylinders u16, heads u8, sectors per track u8
    be32 disk_type;
    be32 checksum;
    std::array<std::uint8_t, 16> unique_id;
    std::uint8_t saved_state;
    std::array<std::uint8_t, 427> reserved;
};
static_assert(sizeof(VhdFooter) == 512);
static_assert(offsetof(VhdFooter, features) == 8 && offsetof(VhdFooter, data_offset) == 16 &&
              offsetof(VhdFooter, time_stamp) == 24 && offsetof(VhdFooter, creator_application) == 28 &&
              offsetof(VhdFooter, original_size) == 40 && offsetof(VhdFooter, current_size) == 48 &&
              offsetof(VhdFooter, disk_geometry) == 56 && offsetof(VhdFooter, disk_type) == 60 &&
              offsetof(VhdFooter, checksum) == 64 && offsetof(VhdFooter, unique_id) == 68 &&
              offsetof(VhdFooter, saved_state) == 84 && offsetof(VhdFooter, reserved) == 85);

struct VhdParentLocatorEntry {
    be32 platform_code;  // "W2ru" relative, "W2ku" absolute Windows path
    be32 platform_data_space;
    be32 platform_data_length;
    be32 reserved;
    be64 platform_data_offset;
};
static_assert(sizeof(VhdParentLocatorEntry) == 24 && offsetof(VhdParentLocatorEntry, platform_data_offset) == 16);

struct VhdDynamicHeader {
    std::array<char, 8> cookie;  // "cxsparse"
    be64 data_offset;            // unused: all ones
    be64 table_offset;
    be32 header_version;
    be32 max_table_entries;
    be32 block_size;
    be32 checksum;
    std::array<std::uint8_t, 16> parent_unique_id;  // differencing disks
    be32 parent_time_stamp;
    be32 reserved;
    std::array<be16, 256> parent_unicode_name;  // UTF-16, big-endian
    std::array<VhdParentLocatorEntry, 8> parent_locator_entries;
    std::array<std::uint8_t, 256> reserved2;
};
static_assert(sizeof(VhdDynamicHeader) == 1024);
static_assert(offsetof(VhdDynamicHeader, table_offset) == 16 && offsetof(VhdDynamicHeader, header_version) == 24 &&
              offsetof(VhdDynamicHeader, max_table_entries) == 28 && offsetof(VhdDynamicHeader, block_size) == 32 &&
              offsetof(VhdDynamicHeader, checksum) == 36 && offsetof(VhdDynamicHeader, parent_unique_id) == 40 &&
              offsetof(VhdDynamicHeader, parent_time_stamp) == 56 &&
              offsetof(VhdDynamicHeader, parent_unicode_name) == 64 &&
              offsetof(VhdDynamicHeader, parent_locator_entries) == 576 && offsetof(VhdDynamicHeader, reserved2) == 768);

// A block allocation table entry: the sector of a block's bitmap.
using VhdTableEntry = be32;
static_assert(sizeof(VhdTableEntry) == 4);

// The checksum of a raw record: the ones' complement of its byte sum with
// the checksum field taken as zero.
std::uint32_t VhdChecksum(const std::uint8_t* record, std::size_t size, std::size_t checksum_at);

// The checksum the record should carry, and the record sealed with it.
std::uint32_t ChecksumOf(const VhdFooter& footer);
std::uint32_t ChecksumOf(const VhdDynamicHeader& header);
void Seal(VhdFooter& footer);
void Seal(VhdDynamicHeader& header);

// A footer with its cookie and a checksum that holds; a header likewise.
bool IsSound(const VhdFooter& footer);
bool IsSound(const VhdDynamicHeader& header);

// The bytes of a block's sector bitmap, padded to whole sectors.
std::uint64_t VhdBitmapBytes(std::uint32_t block_size);

}  // namespace platform::virtdisk
