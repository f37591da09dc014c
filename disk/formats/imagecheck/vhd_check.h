// Our own check of a VHD or VHDX image before libvhdi opens it.
//
// VHD: the footer, the dynamic header, the block allocation table and the
// parent locators inside the file, and every block the table points at.
// VHDX: the file identifier, the headers, the region table, the metadata
// table and the items the library reads (block size, disk size, sector
// size, parent locator), the BAT covering the disk, and every block and
// sector bitmap the BAT points at inside the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "disk/formats/imagecheck/image_bytes.h"
#include "platform/base/byte_order.h"

namespace disk {

using VhdxGuid = std::array<std::uint8_t, 16>;  // as stored: the first three fields little-endian

#pragma pack(push, 1)
struct VhdxHeader {
    char signature[4];  // "head"
    platform::le32 checksum;
    platform::le64 sequence_number;
    VhdxGuid file_write_guid;
    VhdxGuid data_write_guid;
    VhdxGuid log_guid;
    platform::le16 log_version;
    platform::le16 version;
    platform::le32 log_length;
    platform::le64 log_offset;
};
struct VhdxRegionTableHeader {
    char signature[4];  // "regi"
    platform::le32 checksum;
    platform::le32 entry_count;
    platform::le32 reserved;
};
struct VhdxRegionEntry {
    VhdxGuid guid;
    platform::le64 file_offset;
    platform::le32 length;
    platform::le32 required;
};
struct VhdxMetadataTableHeader {
    char signature[8];  // "metadata"
    platform::le16 reserved;
    platform::le16 entry_count;
    std::uint8_t reserved2[20];
};
struct VhdxMetadataEntry {
    VhdxGuid item_id;
    platform::le32 offset;
    platform::le32 length;
    platform::le32 flags;
    platform::le32 reserved;
};
struct VhdxParentLocatorHeader {
    VhdxGuid locator_type;
    platform::le16 reserved;
    platform::le16 key_value_count;
};
struct VhdxParentLocatorEntry {
    platform::le32 key_offset;
    platform::le32 value_offset;
    platform::le16 key_length;
    platform::le16 value_length;
};
#pragma pack(pop)
static_assert(sizeof(VhdxHeader) == 80);
static_assert(offsetof(VhdxHeader, log_guid) == 48 && offsetof(VhdxHeader, log_offset) == 72);
static_assert(sizeof(VhdxRegionTableHeader) == 16);
static_assert(sizeof(VhdxRegionEntry) == 32);
static_assert(sizeof(VhdxMetadataTableHeader) == 32);
static_assert(sizeof(VhdxMetadataEntry) == 32);
static_assert(sizeof(VhdxParentLocatorHeader) == 20);
static_assert(sizeof(VhdxParentLocatorEntry) == 12);

// True when the file starts with VHDX's file identifier ("vhdxfile").
bool LooksLikeVhdx(const ImageBytes& file);

// Checks a VHDX image; raises ImageCheckError naming the file and the field.
void CheckVhdxImage(const ImageBytes& file);
// Checks a VHD image (fixed, dynamic or differencing) the same way.
void CheckVhdImage(const ImageBytes& file);

}  // namespace disk
