#include "platform/device/records/partition_table.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <set>

#include "platform/base/byte_order.h"
#include "platform/base/random_id.h"

#include "platform/device/records/gpt.h"
#include "platform/device/records/mbr.h"

namespace platform::device {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

// `lba * sector_size` as a byte offset, or nothing when it does not fit.
std::optional<std::int64_t> LbaToBytes(std::uint64_t lba, std::uint32_t sector_size) {
    if (lba > static_cast<std::uint64_t>(kInt64Max) / sector_size) return std::nullopt;
    return static_cast<std::int64_t>(lba) * sector_size;
}

// The record at `offset` of `bytes`, or nothing when fewer bytes were read.
template <class Record>
std::optional<Record> RecordAt(const Bytes& bytes, std::size_t offset = 0) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(Record)) return std::nullopt;
    Record record;
    std::memcpy(&record, bytes.data() + offset, sizeof record);
    return record;
}

// ---------------------------------------------------------------------------
// Bounded reads: nothing outside [0, disk_size) is ever asked of the device.

class DiskReader {
public:
    DiskReader(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size)
        : read_(read), disk_size_(disk_size), sector_size_(sector_size) {}

    std::uint32_t sector_size() const { return sector_size_; }
    std::uint64_t sector_count() const { return static_cast<std::uint64_t>(disk_size_) / sector_size_; }

    bool ReadBytes(std::int64_t offset, std::size_t length, Bytes& out) const {
        if (offset < 0 || offset > disk_size_) return false;
        if (static_cast<std::uint64_t>(length) > static_cast<std::uint64_t>(disk_size_ - offset)) return false;
        out.assign(length, 0);
        if (length == 0) return true;
        return read_(offset, out.data(), length);
    }

    bool ReadSector(std::uint64_t lba, Bytes& out) const {
        if (lba >= sector_count()) return false;
        return ReadBytes(static_cast<std::int64_t>(lba) * sector_size_, sector_size_, out);
    }

private:
    const ReadAt& read_;
    std::int64_t disk_size_;
    std::uint32_t sector_size_;
};

// ---------------------------------------------------------------------------
// MBR and EBR tables.

// The boot record in `sector`, or nothing when the sector is not one: no
// 0x55AA, or a boot flag that is neither 0x00 nor 0x80 (which is what boot
// code or a file system's boot sector looks like when read as a table).
std::optional<MasterBootRecord> ParseMbr(const Bytes& sector) {
    std::optional<MasterBootRecord> mbr = RecordAt<MasterBootRecord>(sector);
    if (!mbr || !mbr->has_signature()) return std::nullopt;
    for (const MbrPartitionRecord& entry : mbr->PartitionRecord)
        if (entry.BootIndicator != 0x00 && entry.BootIndicator != 0x80) return std::nullopt;
    return mbr;
}

// `base_lba` is what the entry's start is relative to.
PartitionRecord MakeMbrRecord(const MbrPartitionRecord& entry, std::uint64_t base_lba, std::uint32_t sector_size,
                              bool logical) {
    PartitionRecord record;
    record.style = PARTITION_STYLE_MBR;
    if (entry.OSType == 0) return record;  // empty slot: all zero, as Windows reports it
    record.mbr_type = entry.OSType;
    record.boot_indicator = entry.BootIndicator;
    record.hidden_sectors = entry.StartingLBA.value();
    record.logical = logical;
    // base_lba < 2^33 and the start < 2^32, sector_size <= 2^16: fits easily.
    record.start = static_cast<std::int64_t>(base_lba + entry.StartingLBA.value()) * sector_size;
    record.length = static_cast<std::int64_t>(entry.SizeInLBA.value()) * sector_size;
    record.recognized = !IsExtendedPartitionType(entry.OSType) && entry.OSType != kMbrTypeGptProtective;
    return record;
}

// The entries of one EBR in the order Windows reports them: the logical
// partition(s), then the link(s), then empty slots to make four. Returns the
// LBA (relative to the extended partition) of the next EBR, if there is a link.
std::optional<std::uint32_t> AppendEbrEntries(const MasterBootRecord& ebr, std::uint64_t ebr_lba,
                                              std::uint64_t extended_lba, std::uint32_t sector_size,
                                              std::vector<PartitionRecord>& out) {
    std::size_t added = 0;
    for (const MbrPartitionRecord& entry : ebr.PartitionRecord) {
        if (entry.OSType == 0 || IsExtendedPartitionType(entry.OSType)) continue;
        out.push_back(MakeMbrRecord(entry, ebr_lba, sector_size, true));
        ++added;
    }
    std::optional<std::uint32_t> next;
    for (const MbrPartitionRecord& entry : ebr.PartitionRecord) {
        if (!IsExtendedPartitionType(entry.OSType)) continue;
        out.push_back(MakeMbrRecord(entry, extended_lba, sector_size, true));
        ++added;
        if (!next) next = entry.StartingLBA.value();
    }
    for (; added < kMbrPartitionRecordCount; ++added) out.push_back(PartitionRecord{});
    return next;
}

// Walks the EBR chain of the extended partition `extended`, appending four
// entries per EBR. Stops at the first EBR that cannot be trusted.
void ReadExtendedChain(const DiskReader& disk, const MbrPartitionRecord& extended, std::vector<PartitionRecord>& out) {
    const std::uint64_t first = extended.StartingLBA.value();
    const std::uint64_t end = first + extended.SizeInLBA.value();  // one past the extended partition
    std::set<std::uint64_t> visited;
    std::uint64_t ebr_lba = first;
    Bytes sector;
    while (visited.size() < kMaxEbrChain) {
        if (ebr_lba < first || ebr_lba >= end) return;
        if (!visited.insert(ebr_lba).second) return;  // a loop
        if (!disk.ReadSector(ebr_lba, sector)) return;
        std::optional<MasterBootRecord> ebr = ParseMbr(sector);
        if (!ebr) return;
        std::optional<std::uint32_t> next = AppendEbrEntries(*ebr, ebr_lba, first, disk.sector_size(), out);
        if (!next) return;
        ebr_lba = first + *next;
    }
}

DiskLayout ReadMbrLayout(const DiskReader& disk, const MasterBootRecord& mbr) {
    DiskLayout layout;
    layout.style = PARTITION_STYLE_MBR;
    layout.mbr_signature = mbr.UniqueMBRDiskSignature.value();
    for (const MbrPartitionRecord& entry : mbr.PartitionRecord)
        layout.entries.push_back(MakeMbrRecord(entry, 0, disk.sector_size(), false));
    // Windows follows the first extended partition only.
    for (const MbrPartitionRecord& entry : mbr.PartitionRecord) {
        if (IsExtendedPartitionType(entry.OSType)) {
            ReadExtendedChain(disk, entry, layout.entries);
            break;
        }
    }
    return layout;
}

// ---------------------------------------------------------------------------
// GPT.

// Bounds on what a header may ask of us: no disk has needed more, and a
// corrupt count must not make us read (and checksum) gigabytes.
constexpr std::uint32_t kGptMaxEntryCount = 16384;
constexpr std::uint64_t kGptMaxArrayBytes = 4u << 20;

// 128 x 2^n: the only entry sizes UEFI firmware accepts for SizeOfPartitionEntry.
bool IsValidEntrySize(std::uint32_t size) {
    return size >= kGptPartitionEntrySize && size % kGptPartitionEntrySize == 0 &&
           ((size / kGptPartitionEntrySize) & (size / kGptPartitionEntrySize - 1)) == 0;
}

// The header at `lba`, when every field in it checks out against the disk.
std::optional<GptHeader> ReadGptHeader(const DiskReader& disk, std::uint64_t lba) {
    Bytes sector;
    if (!disk.ReadSector(lba, sector)) return std::nullopt;
    std::optional<GptHeader> header = RecordAt<GptHeader>(sector);
    if (!header || !header->has_signature()) return std::nullopt;
    const std::uint32_t header_size = header->HeaderSize.value();
    if ((header->Revision.value() >> 16) != (kGptRevision >> 16)) return std::nullopt;
    if (header_size < kGptHeaderSize || header_size > sector.size()) return std::nullopt;
    if (GptHeaderCrc32(sector.data(), header_size) != header->HeaderCRC32.value()) return std::nullopt;

    if (header->MyLBA.value() != lba) return std::nullopt;
    const std::uint32_t entry_size = header->SizeOfPartitionEntry.value();
    const std::uint32_t entry_count = header->NumberOfPartitionEntries.value();
    if (!IsValidEntrySize(entry_size)) return std::nullopt;
    if (entry_count > kGptMaxEntryCount) return std::nullopt;
    const std::uint64_t array_bytes = static_cast<std::uint64_t>(entry_count) * entry_size;
    if (array_bytes > kGptMaxArrayBytes) return std::nullopt;
    const std::uint64_t first_usable = header->FirstUsableLBA.value();
    const std::uint64_t last_usable = header->LastUsableLBA.value();
    if (first_usable > last_usable) return std::nullopt;
    if (last_usable == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
    if (!LbaToBytes(last_usable + 1, disk.sector_size())) return std::nullopt;

    // The array has to be on the disk and must not cover the header itself.
    const std::uint64_t entries_lba = header->PartitionEntryLBA.value();
    const std::uint64_t array_sectors = (array_bytes + disk.sector_size() - 1) / disk.sector_size();
    if (entries_lba >= disk.sector_count() || array_sectors > disk.sector_count() - entries_lba) return std::nullopt;
    if (lba >= entries_lba && lba < entries_lba + array_sectors) return std::nullopt;
    return header;
}

// The used entries of the array the header points at (read whole, its CRC
// checked); nothing when an entry describes an impossible range.
std::optional<std::vector<PartitionRecord>> ReadGptEntries(const DiskReader& disk, const GptHeader& header,
                                                          const Bytes& array) {
    const std::uint32_t entry_count = header.NumberOfPartitionEntries.value();
    const std::size_t entry_size = header.SizeOfPartitionEntry.value();
    std::vector<PartitionRecord> entries;
    for (std::uint32_t i = 0; i < entry_count; ++i) {
        const std::optional<GptPartitionEntry> entry = RecordAt<GptPartitionEntry>(array, i * entry_size);
        if (!entry) return std::nullopt;
        PartitionRecord record;
        record.style = PARTITION_STYLE_GPT;
        record.type_guid = entry->PartitionTypeGUID.value();
        if (IsNullGuid(record.type_guid)) continue;
        const std::uint64_t first_lba = entry->StartingLBA.value();
        const std::uint64_t last_lba = entry->EndingLBA.value();
        if (last_lba < first_lba || last_lba == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
        const std::optional<std::int64_t> start = LbaToBytes(first_lba, disk.sector_size());
        const std::optional<std::int64_t> end = LbaToBytes(last_lba + 1, disk.sector_size());
        if (!start || !end) return std::nullopt;
        record.start = *start;
        record.length = *end - *start;
        record.partition_id = entry->UniquePartitionGUID.value();
        record.attributes = entry->Attributes.value();
        record.name = entry->name();
        record.gpt_slot = i + 1;
        record.recognized = !(record.type_guid == kGptMsReserved);
        entries.push_back(std::move(record));
    }
    return entries;
}

std::optional<GptOnDisk> ReadGptCopyRaw(const DiskReader& disk, std::uint64_t header_lba) {
    std::optional<GptHeader> header = ReadGptHeader(disk, header_lba);
    if (!header) return std::nullopt;
    GptOnDisk copy;
    copy.header = *header;
    const std::size_t array_bytes =
        std::size_t{header->NumberOfPartitionEntries.value()} * header->SizeOfPartitionEntry.value();
    const std::optional<std::int64_t> offset = LbaToBytes(header->PartitionEntryLBA.value(), disk.sector_size());
    if (!offset || !disk.ReadBytes(*offset, array_bytes, copy.entries)) return std::nullopt;
    if (Crc32(copy.entries.data(), copy.entries.size()) != header->PartitionEntryArrayCRC32.value()) return std::nullopt;
    return copy;
}

std::optional<DiskLayout> ReadGptCopy(const DiskReader& disk, std::uint64_t header_lba) {
    std::optional<GptOnDisk> copy = ReadGptCopyRaw(disk, header_lba);
    if (!copy) return std::nullopt;
    std::optional<std::vector<PartitionRecord>> entries = ReadGptEntries(disk, copy->header, copy->entries);
    if (!entries) return std::nullopt;
    const GptHeader& header = copy->header;
    DiskLayout layout;
    layout.style = PARTITION_STYLE_GPT;
    layout.disk_id = header.DiskGUID.value();
    layout.usable_start = *LbaToBytes(header.FirstUsableLBA.value(), disk.sector_size());
    layout.usable_length = *LbaToBytes(header.LastUsableLBA.value() + 1, disk.sector_size()) - layout.usable_start;
    layout.max_partition_count = header.NumberOfPartitionEntries.value();
    layout.entries = std::move(*entries);
    return layout;
}

// The header LBAs to try, in order: the primary at LBA 1, else the backup
// where the primary says it is (a pointer that is only followed, never
// believed: the backup must check out on its own), else at the last LBA.
std::vector<std::uint64_t> GptHeaderCandidates(const DiskReader& disk) {
    std::vector<std::uint64_t> candidates{1};
    Bytes sector;
    if (disk.ReadSector(1, sector)) {
        const std::optional<GptHeader> damaged = RecordAt<GptHeader>(sector);
        const std::uint64_t alternate = damaged && damaged->has_signature() ? damaged->AlternateLBA.value() : 0;
        if (alternate > 1 && alternate < disk.sector_count()) candidates.push_back(alternate);
    }
    const std::uint64_t last = disk.sector_count() - 1;
    if (candidates.back() != last) candidates.push_back(last);
    return candidates;
}

std::optional<DiskLayout> ReadGptLayout(const DiskReader& disk) {
    if (disk.sector_count() < 3) return std::nullopt;
    for (std::uint64_t lba : GptHeaderCandidates(disk)) {
        if (std::optional<DiskLayout> copy = ReadGptCopy(disk, lba)) return copy;
    }
    return std::nullopt;
}

void NumberPartitions(DiskLayout& layout) {
    std::uint32_t number = 0;
    for (PartitionRecord& entry : layout.entries) {
        entry.number = (entry.is_empty() || entry.is_container()) ? 0 : ++number;
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses `digits` hex digits of `text` at `pos` into `value`.
bool ParseHex(const std::string& text, std::size_t pos, std::size_t digits, std::uint64_t& value) {
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int v = HexValue(text[pos + i]);
        if (v < 0) return false;
        value = (value << 4) | static_cast<std::uint64_t>(v);
    }
    return true;
}

}  // namespace

bool PartitionRecord::is_empty() const {
    return style == PARTITION_STYLE_GPT ? IsNullGuid(type_guid) : mbr_type == 0;
}

bool PartitionRecord::is_container() const {
    return style == PARTITION_STYLE_MBR && IsExtendedPartitionType(mbr_type);
}

std::vector<PartitionRecord> DiskLayout::volumes() const {
    std::vector<PartitionRecord> result;
    for (const PartitionRecord& entry : entries) {
        if (entry.recognized && !entry.is_empty() && !entry.is_container()) result.push_back(entry);
    }
    return result;
}

bool IsExtendedPartitionType(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

DiskLayout ReadDiskLayout(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size) {
    // Sector sizes are powers of two from 512 (an MBR needs that much) up.
    if (sector_size < 512 || sector_size > 65536 || (sector_size & (sector_size - 1)) != 0) return {};
    if (disk_size < static_cast<std::int64_t>(sector_size)) return {};
    const DiskReader disk(read, disk_size, sector_size);

    Bytes sector0;
    if (!disk.ReadSector(0, sector0)) return {};
    std::optional<MasterBootRecord> mbr = ParseMbr(sector0);
    if (!mbr) return {};

    bool protective = false;
    for (const MbrPartitionRecord& entry : mbr->PartitionRecord)
        protective = protective || entry.OSType == kMbrTypeGptProtective;
    std::optional<DiskLayout> gpt;
    if (protective) gpt = ReadGptLayout(disk);
    // A GPT that does not check out in either copy leaves the MBR as the truth,
    // with its 0xEE entry as an ordinary unrecognized partition.
    DiskLayout layout = gpt ? std::move(*gpt) : ReadMbrLayout(disk, *mbr);
    NumberPartitions(layout);
    return layout;
}

std::optional<GptOnDisk> ReadGptOnDisk(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size) {
    if (sector_size < 512 || sector_size > 65536 || (sector_size & (sector_size - 1)) != 0) return std::nullopt;
    if (disk_size < 3 * static_cast<std::int64_t>(sector_size)) return std::nullopt;
    const DiskReader disk(read, disk_size, sector_size);
    for (std::uint64_t lba : GptHeaderCandidates(disk)) {
        std::optional<GptOnDisk> copy = ReadGptCopyRaw(disk, lba);
        if (copy && ReadGptEntries(disk, copy->header, copy->entries)) return copy;
    }
    return std::nullopt;
}

GUID NewRandomGuid() {
    const std::array<std::uint8_t, 16> id = RandomUuidBytes();
    GUID guid{};
    guid.Data1 = LoadBe32(id.data());
    guid.Data2 = LoadBe16(id.data() + 4);
    guid.Data3 = LoadBe16(id.data() + 6);
    std::memcpy(guid.Data4, id.data() + 8, sizeof guid.Data4);
    return guid;
}

std::string GuidToString(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return text;
}

bool GuidFromString(const std::string& text, GUID& guid) {
    std::string body = text;
    if (body.size() == 38 && body.front() == '{' && body.back() == '}') body = body.substr(1, 36);
    if (body.size() != 36) return false;
    if (body[8] != '-' || body[13] != '-' || body[18] != '-' || body[23] != '-') return false;
    GUID parsed{};
    std::uint64_t value = 0;
    if (!ParseHex(body, 0, 8, value)) return false;
    parsed.Data1 = static_cast<std::uint32_t>(value);
    if (!ParseHex(body, 9, 4, value)) return false;
    parsed.Data2 = static_cast<std::uint16_t>(value);
    if (!ParseHex(body, 14, 4, value)) return false;
    parsed.Data3 = static_cast<std::uint16_t>(value);
    static constexpr std::size_t kByteAt[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (std::size_t i = 0; i < 8; ++i) {
        if (!ParseHex(body, kByteAt[i], 2, value)) return false;
        parsed.Data4[i] = static_cast<std::uint8_t>(value);
    }
    guid = parsed;
    return true;
}

bool IsNullGuid(const GUID& guid) {
    return guid == GUID{};
}

}  // namespace platform::device
