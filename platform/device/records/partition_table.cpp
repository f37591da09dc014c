#include "platform/device/records/partition_table.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <set>

namespace platform::device {

const GUID kGptBasicData = {0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};
const GUID kGptEfiSystem = {0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};
const GUID kGptMsReserved = {0xE3C9E316, 0x0B5C, 0x4DB8, {0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE}};
const GUID kGptMsRecovery = {0xDE94BBA4, 0x06D1, 0x4D40, {0xA1, 0x6A, 0xBF, 0xD5, 0x01, 0x79, 0xD6, 0xAC}};
const GUID kGptLinuxData = {0x0FC63DAF, 0x8483, 0x4772, {0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4}};

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Little-endian field access. Disks are little-endian whatever the host is.

std::uint16_t le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(le32(p)) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

// GUIDs are stored with the first three fields little-endian and the last
// eight bytes in order, which is the in-memory GUID of a little-endian host.
GUID GuidAt(const std::uint8_t* p) {
    GUID guid{};
    guid.Data1 = le32(p);
    guid.Data2 = le16(p + 4);
    guid.Data3 = le16(p + 6);
    std::memcpy(guid.Data4, p + 8, sizeof guid.Data4);
    return guid;
}

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

// `lba * sector_size` as a byte offset, or nothing when it does not fit.
std::optional<std::int64_t> LbaToBytes(std::uint64_t lba, std::uint32_t sector_size) {
    if (lba > static_cast<std::uint64_t>(kInt64Max) / sector_size) return std::nullopt;
    return static_cast<std::int64_t>(lba) * sector_size;
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

constexpr std::size_t kMbrTableOffset = 446;
constexpr std::size_t kMbrEntrySize = 16;
constexpr std::size_t kMbrSignatureOffset = 510;
constexpr std::size_t kMbrDiskSignatureOffset = 440;
constexpr std::uint8_t kProtectiveMbrType = 0xEE;

struct MbrEntry {
    std::uint8_t boot = 0;
    std::uint8_t type = 0;
    std::uint32_t start_lba = 0;  // relative to the table's base
    std::uint32_t sectors = 0;
};

using MbrTable = std::array<MbrEntry, 4>;

bool HasBootSignature(const Bytes& sector) {
    return sector.size() >= 512 && sector[kMbrSignatureOffset] == 0x55 && sector[kMbrSignatureOffset + 1] == 0xAA;
}

// The four entries of a boot record, or nothing when the sector is not one:
// no 0x55AA, or a boot flag that is neither 0x00 nor 0x80 (which is what boot
// code or a file system's boot sector looks like when read as a table).
std::optional<MbrTable> ParseMbrTable(const Bytes& sector) {
    if (!HasBootSignature(sector)) return std::nullopt;
    MbrTable table;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const std::uint8_t* p = sector.data() + kMbrTableOffset + i * kMbrEntrySize;
        MbrEntry& entry = table[i];
        entry.boot = p[0];
        entry.type = p[4];
        entry.start_lba = le32(p + 8);
        entry.sectors = le32(p + 12);
        if (entry.boot != 0x00 && entry.boot != 0x80) return std::nullopt;
    }
    return table;
}

// `base_lba` is what the entry's start is relative to.
PartitionRecord MakeMbrRecord(const MbrEntry& entry, std::uint64_t base_lba, std::uint32_t sector_size, bool logical) {
    PartitionRecord record;
    record.style = PARTITION_STYLE_MBR;
    if (entry.type == 0) return record;  // empty slot: all zero, as Windows reports it
    record.mbr_type = entry.type;
    record.boot_indicator = entry.boot;
    record.hidden_sectors = entry.start_lba;
    record.logical = logical;
    // base_lba < 2^33 and start_lba < 2^32, sector_size <= 2^16: fits easily.
    record.start = static_cast<std::int64_t>(base_lba + entry.start_lba) * sector_size;
    record.length = static_cast<std::int64_t>(entry.sectors) * sector_size;
    record.recognized = !IsExtendedPartitionType(entry.type) && entry.type != kProtectiveMbrType;
    return record;
}

// The entries of one EBR in the order Windows reports them: the logical
// partition(s), then the link(s), then empty slots to make four. Returns the
// LBA (relative to the extended partition) of the next EBR, if there is a link.
std::optional<std::uint32_t> AppendEbrEntries(const MbrTable& table, std::uint64_t ebr_lba, std::uint64_t extended_lba,
                                              std::uint32_t sector_size, std::vector<PartitionRecord>& out) {
    std::size_t added = 0;
    for (const MbrEntry& entry : table) {
        if (entry.type == 0 || IsExtendedPartitionType(entry.type)) continue;
        out.push_back(MakeMbrRecord(entry, ebr_lba, sector_size, true));
        ++added;
    }
    std::optional<std::uint32_t> next;
    for (const MbrEntry& entry : table) {
        if (!IsExtendedPartitionType(entry.type)) continue;
        out.push_back(MakeMbrRecord(entry, extended_lba, sector_size, true));
        ++added;
        if (!next) next = entry.start_lba;
    }
    for (; added < table.size(); ++added) out.push_back(PartitionRecord{});
    return next;
}

// Walks the EBR chain of the extended partition `extended`, appending four
// entries per EBR. Stops at the first EBR that cannot be trusted.
void ReadExtendedChain(const DiskReader& disk, const MbrEntry& extended, std::vector<PartitionRecord>& out) {
    const std::uint64_t first = extended.start_lba;
    const std::uint64_t end = first + extended.sectors;  // one past the extended partition
    std::set<std::uint64_t> visited;
    std::uint64_t ebr_lba = first;
    Bytes sector;
    while (visited.size() < kMaxEbrChain) {
        if (ebr_lba < first || ebr_lba >= end) return;
        if (!visited.insert(ebr_lba).second) return;  // a loop
        if (!disk.ReadSector(ebr_lba, sector)) return;
        std::optional<MbrTable> table = ParseMbrTable(sector);
        if (!table) return;
        std::optional<std::uint32_t> next = AppendEbrEntries(*table, ebr_lba, first, disk.sector_size(), out);
        if (!next) return;
        ebr_lba = first + *next;
    }
}

DiskLayout ReadMbrLayout(const DiskReader& disk, const MbrTable& table, const Bytes& sector0) {
    DiskLayout layout;
    layout.style = PARTITION_STYLE_MBR;
    layout.mbr_signature = le32(sector0.data() + kMbrDiskSignatureOffset);
    for (const MbrEntry& entry : table) layout.entries.push_back(MakeMbrRecord(entry, 0, disk.sector_size(), false));
    // Windows follows the first extended partition only.
    for (const MbrEntry& entry : table) {
        if (IsExtendedPartitionType(entry.type)) {
            ReadExtendedChain(disk, entry, layout.entries);
            break;
        }
    }
    return layout;
}

// ---------------------------------------------------------------------------
// GPT.

constexpr char kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr std::uint32_t kGptMinHeaderSize = 92;
constexpr std::uint32_t kGptMinEntrySize = 128;
constexpr std::uint32_t kGptMaxEntryCount = 16384;
constexpr std::uint64_t kGptMaxArrayBytes = 4u << 20;
constexpr std::size_t kGptNameUnits = 36;

struct GptHeader {
    std::uint64_t my_lba = 0;
    std::uint64_t alternate_lba = 0;
    std::uint64_t first_usable = 0;
    std::uint64_t last_usable = 0;
    GUID disk_id{};
    std::uint64_t entries_lba = 0;
    std::uint32_t entry_count = 0;
    std::uint32_t entry_size = 0;
    std::uint32_t entries_crc = 0;
};

bool HasGptSignature(const Bytes& sector) {
    return sector.size() >= sizeof kGptSignature && std::memcmp(sector.data(), kGptSignature, sizeof kGptSignature) == 0;
}

GptHeader DecodeGptHeader(const Bytes& sector) {
    const std::uint8_t* p = sector.data();
    GptHeader header;
    header.my_lba = le64(p + 24);
    header.alternate_lba = le64(p + 32);
    header.first_usable = le64(p + 40);
    header.last_usable = le64(p + 48);
    header.disk_id = GuidAt(p + 56);
    header.entries_lba = le64(p + 72);
    header.entry_count = le32(p + 80);
    header.entry_size = le32(p + 84);
    header.entries_crc = le32(p + 88);
    return header;
}

bool HeaderCrcMatches(const Bytes& sector, std::uint32_t header_size) {
    Bytes copy(sector.begin(), sector.begin() + header_size);
    const std::uint32_t stored = le32(copy.data() + 16);
    std::memset(copy.data() + 16, 0, 4);
    return Crc32(copy.data(), copy.size()) == stored;
}

// The header at `lba`, when every field in it checks out against the disk.
std::optional<GptHeader> ReadGptHeader(const DiskReader& disk, std::uint64_t lba) {
    Bytes sector;
    if (!disk.ReadSector(lba, sector) || !HasGptSignature(sector)) return std::nullopt;
    const std::uint32_t revision = le32(sector.data() + 8);
    const std::uint32_t header_size = le32(sector.data() + 12);
    if ((revision >> 16) != 1) return std::nullopt;
    if (header_size < kGptMinHeaderSize || header_size > sector.size()) return std::nullopt;
    if (!HeaderCrcMatches(sector, header_size)) return std::nullopt;

    GptHeader header = DecodeGptHeader(sector);
    if (header.my_lba != lba) return std::nullopt;
    if (header.entry_size < kGptMinEntrySize || header.entry_size % 8 != 0) return std::nullopt;
    if (header.entry_count > kGptMaxEntryCount) return std::nullopt;
    const std::uint64_t array_bytes = static_cast<std::uint64_t>(header.entry_count) * header.entry_size;
    if (array_bytes > kGptMaxArrayBytes) return std::nullopt;
    if (header.first_usable > header.last_usable) return std::nullopt;
    if (header.last_usable == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
    if (!LbaToBytes(header.last_usable + 1, disk.sector_size())) return std::nullopt;

    // The array has to be on the disk and must not cover the header itself.
    const std::uint64_t array_sectors = (array_bytes + disk.sector_size() - 1) / disk.sector_size();
    if (header.entries_lba >= disk.sector_count() || array_sectors > disk.sector_count() - header.entries_lba)
        return std::nullopt;
    if (lba >= header.entries_lba && lba < header.entries_lba + array_sectors) return std::nullopt;
    return header;
}

std::u16string DecodeGptName(const std::uint8_t* p) {
    std::u16string name;
    for (std::size_t i = 0; i < kGptNameUnits; ++i) {
        const char16_t unit = static_cast<char16_t>(le16(p + 2 * i));
        if (unit == 0) break;
        name.push_back(unit);
    }
    return name;
}

// The used entries of the array the header points at; nothing when the array
// fails its CRC or an entry describes an impossible range.
std::optional<std::vector<PartitionRecord>> ReadGptEntries(const DiskReader& disk, const GptHeader& header) {
    const std::size_t array_bytes = static_cast<std::size_t>(header.entry_count) * header.entry_size;
    Bytes array;
    const std::optional<std::int64_t> offset = LbaToBytes(header.entries_lba, disk.sector_size());
    if (!offset || !disk.ReadBytes(*offset, array_bytes, array)) return std::nullopt;
    if (Crc32(array.data(), array.size()) != header.entries_crc) return std::nullopt;

    std::vector<PartitionRecord> entries;
    for (std::uint32_t i = 0; i < header.entry_count; ++i) {
        const std::uint8_t* p = array.data() + static_cast<std::size_t>(i) * header.entry_size;
        PartitionRecord record;
        record.style = PARTITION_STYLE_GPT;
        record.type_guid = GuidAt(p);
        if (IsNullGuid(record.type_guid)) continue;
        const std::uint64_t first_lba = le64(p + 32);
        const std::uint64_t last_lba = le64(p + 40);
        if (last_lba < first_lba || last_lba == std::numeric_limits<std::uint64_t>::max()) return std::nullopt;
        const std::optional<std::int64_t> start = LbaToBytes(first_lba, disk.sector_size());
        const std::optional<std::int64_t> end = LbaToBytes(last_lba + 1, disk.sector_size());
        if (!start || !end) return std::nullopt;
        record.start = *start;
        record.length = *end - *start;
        record.partition_id = GuidAt(p + 16);
        record.attributes = le64(p + 48);
        record.name = DecodeGptName(p + 56);
        record.gpt_slot = i + 1;
        record.recognized = !(record.type_guid == kGptMsReserved);
        entries.push_back(std::move(record));
    }
    return entries;
}

std::optional<DiskLayout> ReadGptCopy(const DiskReader& disk, std::uint64_t header_lba) {
    std::optional<GptHeader> header = ReadGptHeader(disk, header_lba);
    if (!header) return std::nullopt;
    std::optional<std::vector<PartitionRecord>> entries = ReadGptEntries(disk, *header);
    if (!entries) return std::nullopt;
    DiskLayout layout;
    layout.style = PARTITION_STYLE_GPT;
    layout.disk_id = header->disk_id;
    layout.usable_start = *LbaToBytes(header->first_usable, disk.sector_size());
    layout.usable_length = *LbaToBytes(header->last_usable + 1, disk.sector_size()) - layout.usable_start;
    layout.max_partition_count = header->entry_count;
    layout.entries = std::move(*entries);
    return layout;
}

// The primary copy at LBA 1, else the backup: where the primary says it is
// (a pointer that is only followed, never believed: the backup must check out
// on its own), else at the last LBA.
std::optional<DiskLayout> ReadGptLayout(const DiskReader& disk) {
    if (disk.sector_count() < 3) return std::nullopt;
    if (std::optional<DiskLayout> primary = ReadGptCopy(disk, 1)) return primary;

    std::vector<std::uint64_t> candidates;
    Bytes sector;
    if (disk.ReadSector(1, sector) && HasGptSignature(sector)) {
        const std::uint64_t alternate = le64(sector.data() + 32);
        if (alternate > 1 && alternate < disk.sector_count()) candidates.push_back(alternate);
    }
    const std::uint64_t last = disk.sector_count() - 1;
    if (candidates.empty() || candidates.front() != last) candidates.push_back(last);
    for (std::uint64_t lba : candidates) {
        if (std::optional<DiskLayout> backup = ReadGptCopy(disk, lba)) return backup;
    }
    return std::nullopt;
}

void NumberPartitions(DiskLayout& layout) {
    std::uint32_t number = 0;
    for (PartitionRecord& entry : layout.entries) {
        entry.number = (entry.is_empty() || entry.is_container()) ? 0 : ++number;
    }
}

struct Crc32Table {
    std::array<std::uint32_t, 256> values{};
    constexpr Crc32Table() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            values[i] = c;
        }
    }
};
constexpr Crc32Table kCrc32Table;

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

std::uint32_t Crc32(const void* data, std::size_t length, std::uint32_t crc) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < length; ++i) crc = kCrc32Table.values[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

DiskLayout ReadDiskLayout(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size) {
    // Sector sizes are powers of two from 512 (an MBR needs that much) up.
    if (sector_size < 512 || sector_size > 65536 || (sector_size & (sector_size - 1)) != 0) return {};
    if (disk_size < static_cast<std::int64_t>(sector_size)) return {};
    const DiskReader disk(read, disk_size, sector_size);

    Bytes sector0;
    if (!disk.ReadSector(0, sector0)) return {};
    std::optional<MbrTable> mbr = ParseMbrTable(sector0);
    if (!mbr) return {};

    bool protective = false;
    for (const MbrEntry& entry : *mbr) protective = protective || entry.type == kProtectiveMbrType;
    std::optional<DiskLayout> gpt;
    if (protective) gpt = ReadGptLayout(disk);
    // A GPT that does not check out in either copy leaves the MBR as the truth,
    // with its 0xEE entry as an ordinary unrecognized partition.
    DiskLayout layout = gpt ? std::move(*gpt) : ReadMbrLayout(disk, *mbr, sector0);
    NumberPartitions(layout);
    return layout;
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
