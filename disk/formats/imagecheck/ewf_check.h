// Our own check of an EWF segment file (.E01, .E02 ...) before libewf
// opens its set: the file header and its segment number, and the chain of
// sections from the first to the "done" or "next" that ends it, each
// section inside the file and after the one before; of each table, its
// entries inside the section and the chunks they point at inside the file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/formats/imagecheck/image_bytes.h"
#include "platform/base/byte_order.h"

namespace disk {

#pragma pack(push, 1)
struct EwfFileHeader {
    std::uint8_t signature[8];  // "EVF\x09\x0d\x0a\xff\x00"
    std::uint8_t fields_start;
    platform::le16 segment_number;
    platform::le16 fields_end;
};
struct EwfSectionDescriptor {
    char type[16];
    platform::le64 next;  // the file offset of the next section
    platform::le64 size;  // of the section, this descriptor included
    std::uint8_t padding[40];
    platform::le32 checksum;
};
// What follows the descriptor of a "table" or "table2" section: then the
// entries, 32-bit offsets of the chunks from base_offset.
struct EwfTableHeader {
    platform::le32 number_of_entries;
    std::uint8_t padding[4];
    platform::le64 base_offset;
    std::uint8_t padding2[4];
    platform::le32 checksum;
};
// The start of a "volume" or "disk" section's data.
struct EwfVolumeStart {
    std::uint8_t media_type;
    std::uint8_t unknown[3];
    platform::le32 number_of_chunks;
    platform::le32 sectors_per_chunk;
    platform::le32 bytes_per_sector;
    platform::le64 number_of_sectors;
};
#pragma pack(pop)
static_assert(sizeof(EwfFileHeader) == 13);
static_assert(sizeof(EwfSectionDescriptor) == 76 && offsetof(EwfSectionDescriptor, size) == 24);
static_assert(sizeof(EwfTableHeader) == 24);
static_assert(sizeof(EwfVolumeStart) == 24);

// Checks segment file number `segment` (1 for .E01) of a set.
void CheckEwfSegment(const ImageBytes& file, std::uint16_t segment);

}  // namespace disk
