// Reading a disk's partition table (MBR with its chain of EBRs, or GPT) into
// the shape the Windows drive-layout record has.
//
// The parser never trusts the disk: every count, offset and CRC is checked
// against what was read, and a table that does not check out is reported as
// a raw (unpartitioned) disk rather than half-believed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/device/records/gpt.h"
#include "platform/device/records/mbr.h"
#include "platform/device/records/winioctl.h"

namespace platform::device {

// Reads `length` bytes at byte `offset` of the disk; false when the range
// cannot be read completely.
using ReadAt = std::function<bool(std::int64_t offset, void* buffer, std::size_t length)>;

struct PartitionRecord {
    PARTITION_STYLE style = PARTITION_STYLE_MBR;
    std::int64_t start = 0;   // bytes from the start of the disk
    std::int64_t length = 0;  // bytes
    // Windows numbering: 1, 2, ... over the entries that hold a partition, in
    // table order; 0 for empty slots and for MBR extended/link entries.
    std::uint32_t number = 0;
    bool recognized = false;  // the entry makes a volume

    // MBR
    std::uint8_t mbr_type = 0;
    std::uint8_t boot_indicator = 0;
    std::uint32_t hidden_sectors = 0;  // the start LBA as stored in its table
    bool logical = false;              // lives in an EBR

    // GPT
    GUID type_guid{};
    GUID partition_id{};
    std::uint64_t attributes = 0;
    std::u16string name;
    std::uint32_t gpt_slot = 0;  // 1-based index in the GPT entry array

    bool is_empty() const;
    bool is_container() const;  // MBR extended partition or EBR link
};

struct DiskLayout {
    PARTITION_STYLE style = PARTITION_STYLE_RAW;
    std::uint32_t mbr_signature = 0;
    GUID disk_id{};
    std::int64_t usable_start = 0;
    std::int64_t usable_length = 0;
    std::uint32_t max_partition_count = 0;
    // In the order Windows reports them: for MBR four entries for the primary
    // table and four for each EBR (empty slots included); for GPT the used
    // entries of the array in array order.
    std::vector<PartitionRecord> entries;

    // The entries that carry a volume (recognized, not containers).
    std::vector<PartitionRecord> volumes() const;
};

// The longest chain of EBRs followed; past it the chain is taken as corrupt.
constexpr std::size_t kMaxEbrChain = 1024;

// MBR partition types that are containers of logical partitions.
bool IsExtendedPartitionType(std::uint8_t type);

DiskLayout ReadDiskLayout(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size);

// The GPT copy ReadDiskLayout believes (the primary, else the backup): its
// header and the raw bytes of the entry array it points at. What a writer
// needs to keep the table's geometry and its untouched entries as they are.
struct GptOnDisk {
    GptHeader header{};
    std::vector<std::uint8_t> entries;  // NumberOfPartitionEntries x SizeOfPartitionEntry bytes
};
std::optional<GptOnDisk> ReadGptOnDisk(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size);

// GUID helpers shared by the layout code and the device registry.
std::string GuidToString(const GUID& guid);  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case
bool GuidFromString(const std::string& text, GUID& guid);  // with or without braces, any case
bool IsNullGuid(const GUID& guid);
// A fresh random (version 4) GUID.
GUID NewRandomGuid();

}  // namespace platform::device
