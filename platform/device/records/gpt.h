// The GUID partition table as it lies on disk: a header at LBA 1 (and its
// backup at the last LBA) pointing at an array of partition entries. Field
// names are the ones UEFI firmware documents use for the header and the
// partition entry, so the code reads like the layout it copies.
//
// These are the bytes on disk: copy a sector's first sizeof(GptHeader) bytes
// into a GptHeader, or one entry's first sizeof(GptPartitionEntry) bytes into
// a GptPartitionEntry, then check what was read; to write, fill them, seal the
// CRCs with the helpers below and copy them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/base/byte_order.h"
#include "platform/device/records/winioctl.h"

namespace platform::device {

// A GUID as GPT stores it: the first three fields little-endian, the last
// eight bytes in order.
struct PackedGuid {
    le32 Data1;
    le16 Data2;
    le16 Data3;
    std::uint8_t Data4[8];

    GUID value() const;
    void set(const GUID& guid);
};
static_assert(sizeof(PackedGuid) == 16 && alignof(PackedGuid) == 1);

constexpr char kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr std::uint32_t kGptRevision = 0x00010000;  // 1.0: the only major revision there is
constexpr std::uint32_t kGptHeaderSize = 92;        // the fields below; the rest of the sector is reserved
constexpr std::uint32_t kGptPartitionEntrySize = 128;
constexpr std::size_t kGptPartitionNameUnits = 36;

struct GptHeader {
    char Signature[8];
    le32 Revision;
    le32 HeaderSize;
    le32 HeaderCRC32;  // over HeaderSize bytes, this field taken as zero
    le32 Reserved;
    le64 MyLBA;
    le64 AlternateLBA;
    le64 FirstUsableLBA;
    le64 LastUsableLBA;
    PackedGuid DiskGUID;
    le64 PartitionEntryLBA;
    le32 NumberOfPartitionEntries;
    le32 SizeOfPartitionEntry;
    le32 PartitionEntryArrayCRC32;

    bool has_signature() const;
};
static_assert(sizeof(GptHeader) == kGptHeaderSize);
static_assert(offsetof(GptHeader, Revision) == 8);
static_assert(offsetof(GptHeader, HeaderSize) == 12);
static_assert(offsetof(GptHeader, HeaderCRC32) == 16);
static_assert(offsetof(GptHeader, MyLBA) == 24);
static_assert(offsetof(GptHeader, AlternateLBA) == 32);
static_assert(offsetof(GptHeader, FirstUsableLBA) == 40);
static_assert(offsetof(GptHeader, LastUsableLBA) == 48);
static_assert(offsetof(GptHeader, DiskGUID) == 56);
static_assert(offsetof(GptHeader, PartitionEntryLBA) == 72);
static_assert(offsetof(GptHeader, NumberOfPartitionEntries) == 80);
static_assert(offsetof(GptHeader, SizeOfPartitionEntry) == 84);
static_assert(offsetof(GptHeader, PartitionEntryArrayCRC32) == 88);
static_assert(std::is_trivially_copyable_v<GptHeader>);

struct GptPartitionEntry {
    PackedGuid PartitionTypeGUID;  // all zero: the slot is unused
    PackedGuid UniquePartitionGUID;
    le64 StartingLBA;
    le64 EndingLBA;  // inclusive
    le64 Attributes;
    le16 PartitionName[kGptPartitionNameUnits];  // UTF-16LE, NUL-terminated unless it fills the field

    std::u16string name() const;
    // Longer names are cut to the field.
    void set_name(std::u16string_view name);
};
static_assert(sizeof(GptPartitionEntry) == kGptPartitionEntrySize);
static_assert(offsetof(GptPartitionEntry, UniquePartitionGUID) == 16);
static_assert(offsetof(GptPartitionEntry, StartingLBA) == 32);
static_assert(offsetof(GptPartitionEntry, EndingLBA) == 40);
static_assert(offsetof(GptPartitionEntry, Attributes) == 48);
static_assert(offsetof(GptPartitionEntry, PartitionName) == 56);
static_assert(std::is_trivially_copyable_v<GptPartitionEntry>);

// The IEEE/zlib CRC-32 GPT headers and entry arrays carry; `crc` continues a
// running value (0 to start).
std::uint32_t Crc32(const void* data, std::size_t length, std::uint32_t crc = 0);

// The HeaderCRC32 of the `header_size` bytes at `header` (a header and the
// reserved bytes after it that HeaderSize covers): their CRC-32 with the
// HeaderCRC32 field counted as zero. `header_size` is at least kGptHeaderSize.
std::uint32_t GptHeaderCrc32(const void* header, std::size_t header_size);

// Partition type GUIDs the program itself has to know.
extern const GUID kGptBasicData;   // EBD0A0A2-B9E5-4433-87C0-68B6B72699C7
extern const GUID kGptEfiSystem;   // C12A7328-F81F-11D2-BA4B-00A0C93EC93B
extern const GUID kGptMsReserved;  // E3C9E316-0B5C-4DB8-817D-F92DF00215AE
extern const GUID kGptMsRecovery;  // DE94BBA4-06D1-4D40-A16A-BFD50179D6AC
extern const GUID kGptLinuxData;   // 0FC63DAF-8483-4772-8E79-3D69D8477DE4

}  // namespace platform::device
