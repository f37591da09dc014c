// The master boot record as it lies in sector 0 of a disk, and the extended
// boot records (EBRs) of an extended partition, which have the same layout
// with only the table and the signature used. Field names are the ones UEFI
// firmware documents use for the legacy MBR and its partition records.
//
// These are the bytes on disk: read a sector, copy its first 512 bytes into a
// MasterBootRecord, check the signature; to write, fill one and copy it out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/base/byte_order.h"

namespace platform::device {

struct MbrPartitionRecord {
    std::uint8_t BootIndicator;   // 0x80 active, 0x00 not; anything else: no table
    std::uint8_t StartingCHS[3];  // head, sector (bits 0-5) + cylinder bits 8-9, cylinder bits 0-7
    std::uint8_t OSType;          // the partition type
    std::uint8_t EndingCHS[3];
    // In an MBR from the start of the disk; in an EBR a logical partition
    // counts from its EBR and the link to the next EBR from the start of the
    // extended partition.
    le32 StartingLBA;
    le32 SizeInLBA;
};
static_assert(sizeof(MbrPartitionRecord) == 16);
static_assert(offsetof(MbrPartitionRecord, BootIndicator) == 0);
static_assert(offsetof(MbrPartitionRecord, StartingCHS) == 1);
static_assert(offsetof(MbrPartitionRecord, OSType) == 4);
static_assert(offsetof(MbrPartitionRecord, EndingCHS) == 5);
static_assert(offsetof(MbrPartitionRecord, StartingLBA) == 8);
static_assert(offsetof(MbrPartitionRecord, SizeInLBA) == 12);

constexpr std::size_t kMbrBootCodeSize = 440;
constexpr std::size_t kMbrPartitionRecordCount = 4;
constexpr std::uint16_t kMbrSignature = 0xAA55;  // bytes 0x55, 0xAA at offset 510

struct MasterBootRecord {
    std::uint8_t BootCode[kMbrBootCodeSize];
    le32 UniqueMBRDiskSignature;
    std::uint8_t Unknown[2];
    MbrPartitionRecord PartitionRecord[kMbrPartitionRecordCount];
    le16 Signature;

    bool has_signature() const { return Signature.value() == kMbrSignature; }
};
static_assert(sizeof(MasterBootRecord) == 512);
static_assert(offsetof(MasterBootRecord, BootCode) == 0);
static_assert(offsetof(MasterBootRecord, UniqueMBRDiskSignature) == 440);
static_assert(offsetof(MasterBootRecord, Unknown) == 444);
static_assert(offsetof(MasterBootRecord, PartitionRecord) == 446);
static_assert(offsetof(MasterBootRecord, Signature) == 510);
static_assert(std::is_trivially_copyable_v<MasterBootRecord>);

// Byte offsets of the parts of the record that are rewritten as one piece:
// the partition table and its signature.
constexpr std::size_t kMbrTableOffset = offsetof(MasterBootRecord, PartitionRecord);
constexpr std::size_t kMbrTableAndSignatureSize = sizeof(MasterBootRecord) - kMbrTableOffset;

// Partition types the table code itself has to know.
constexpr std::uint8_t kMbrTypeGptProtective = 0xEE;

// True when the 512 bytes at `sector` end with the boot signature, whatever
// they are (an MBR, an EBR or a file system's boot sector).
inline bool HasBootSignature(const void* sector) {
    return LoadLe16(static_cast<const std::uint8_t*>(sector) + offsetof(MasterBootRecord, Signature)) ==
           kMbrSignature;
}

}  // namespace platform::device
