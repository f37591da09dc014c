// Our own check of a QCOW image (versions 1, 2 and 3) before libqcow opens
// it: the header's fields, the L1, refcount and snapshot tables inside the
// file, and every L1 and L2 entry the library will follow pointing at
// whole clusters inside the file. libqcow trusts these offsets; a cut or
// crafted file made it read past its buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "disk/formats/imagecheck/image_bytes.h"
#include "platform/base/byte_order.h"

namespace disk {

#pragma pack(push, 1)
// Version 1: "QFI\xfb", all fields big-endian.
struct QcowHeaderV1 {
    platform::be32 magic;
    platform::be32 version;
    platform::be64 backing_file_offset;
    platform::be32 backing_file_size;
    platform::be32 mtime;
    platform::be64 size;
    std::uint8_t cluster_bits;
    std::uint8_t l2_bits;
    platform::be16 padding;
    platform::be32 crypt_method;
    platform::be64 l1_table_offset;
};
// Versions 2 and 3; the fields from incompatible_features on are version 3's.
struct QcowHeaderV2 {
    platform::be32 magic;
    platform::be32 version;
    platform::be64 backing_file_offset;
    platform::be32 backing_file_size;
    platform::be32 cluster_bits;
    platform::be64 size;
    platform::be32 crypt_method;
    platform::be32 l1_size;
    platform::be64 l1_table_offset;
    platform::be64 refcount_table_offset;
    platform::be32 refcount_table_clusters;
    platform::be32 nb_snapshots;
    platform::be64 snapshots_offset;
    platform::be64 incompatible_features;
    platform::be64 compatible_features;
    platform::be64 autoclear_features;
    platform::be32 refcount_order;
    platform::be32 header_length;
};
// One entry of the snapshot table, followed by its extra data, its id and
// its name, padded to 8 bytes.
struct QcowSnapshotHeader {
    platform::be64 l1_table_offset;
    platform::be32 l1_size;
    platform::be16 id_str_size;
    platform::be16 name_size;
    platform::be32 date_sec;
    platform::be32 date_nsec;
    platform::be64 vm_clock_nsec;
    platform::be32 vm_state_size;
    platform::be32 extra_data_size;
};
// A header extension: type and length, then the data padded to 8 bytes.
struct QcowExtensionHeader {
    platform::be32 type;
    platform::be32 length;
};
#pragma pack(pop)
static_assert(sizeof(QcowHeaderV1) == 48);
static_assert(offsetof(QcowHeaderV1, l1_table_offset) == 40);
static_assert(sizeof(QcowHeaderV2) == 104);
static_assert(offsetof(QcowHeaderV2, l1_size) == 36);
static_assert(offsetof(QcowHeaderV2, snapshots_offset) == 64);
static_assert(offsetof(QcowHeaderV2, header_length) == 100);
static_assert(sizeof(QcowSnapshotHeader) == 40);
static_assert(sizeof(QcowExtensionHeader) == 8);

constexpr std::uint32_t kQcowMagic = 0x514649FB;  // "QFI\xfb"

// True when the file starts as a QCOW image does.
bool LooksLikeQcow(const ImageBytes& file);

// Checks the image; raises ImageCheckError naming the file and the field.
// Gives the backing file's name as stored (the image's parent).
NamedFiles CheckQcowImage(const ImageBytes& file);

}  // namespace disk
