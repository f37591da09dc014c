#include "platform/device/records/layout_writer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <set>

#include "platform/device/records/gpt.h"
#include "platform/device/records/mbr.h"

namespace platform::device {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kMaxMbrField = 0xFFFFFFFFu;
constexpr std::uint32_t kMinGptEntries = 128;
constexpr std::uint32_t kMaxGptEntries = 16384;
constexpr std::uint8_t kMbrTypeExtended = 0x05;

// A partition in sectors: [first, end).
struct Extent {
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};

class Planner {
public:
    Planner(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size)
        : read_(read), disk_size_(disk_size), ss_(sector_size),
          sectors_(static_cast<std::uint64_t>(std::max<std::int64_t>(disk_size, 0)) / sector_size) {}

    LayoutPlan& plan() { return plan_; }
    std::uint32_t sector_size() const { return ss_; }
    std::uint64_t sectors() const { return sectors_; }
    std::int64_t disk_size() const { return disk_size_; }
    const ReadAt& reader() const { return read_; }

    bool fail(DWORD error, std::string reason) {
        if (plan_.ok()) {
            plan_.error = error;
            plan_.reason = std::move(reason);
        }
        return false;
    }

    // The sector as it is on the disk; zeros where it cannot be read.
    Bytes sector(std::uint64_t lba) const {
        Bytes bytes(ss_, 0);
        if (lba >= sectors_ || !read_(static_cast<std::int64_t>(lba) * ss_, bytes.data(), bytes.size()))
            std::fill(bytes.begin(), bytes.end(), 0);
        return bytes;
    }

    void put(std::uint64_t lba, Bytes bytes) {
        plan_.writes.push_back({static_cast<std::int64_t>(lba) * ss_, std::move(bytes)});
    }

    // The partition an entry describes, in sectors, when it lies on sector
    // boundaries inside the disk; `what` names it in the reason.
    std::optional<Extent> extent_of(const PARTITION_INFORMATION_EX& e, const std::string& what) {
        if (e.StartingOffset < 0 || e.PartitionLength <= 0) {
            fail(ERROR_INVALID_PARAMETER, what + " has no length or starts before the disk");
            return std::nullopt;
        }
        if (e.StartingOffset % ss_ != 0 || e.PartitionLength % ss_ != 0) {
            fail(ERROR_INVALID_PARAMETER, what + " does not start and end on a sector boundary");
            return std::nullopt;
        }
        if (e.PartitionLength > disk_size_ - std::min(e.StartingOffset, disk_size_) || e.StartingOffset >= disk_size_) {
            fail(ERROR_INVALID_PARAMETER, what + " runs past the end of the disk");
            return std::nullopt;
        }
        const auto first = static_cast<std::uint64_t>(e.StartingOffset) / ss_;
        return Extent{first, first + static_cast<std::uint64_t>(e.PartitionLength) / ss_};
    }

    // Sectors 1 and last (and where a primary header says its backup is)
    // lose a GPT header found there, so that no tool takes what is left of
    // an old table for a table.
    void wipe_gpt_headers() {
        if (sectors_ < 3) return;
        std::set<std::uint64_t> places{1, sectors_ - 1};
        const Bytes primary = sector(1);
        GptHeader header{};
        std::memcpy(&header, primary.data(), sizeof header);
        if (header.has_signature() && header.AlternateLBA.value() > 1 && header.AlternateLBA.value() < sectors_)
            places.insert(header.AlternateLBA.value());
        for (std::uint64_t lba : places) {
            const Bytes old = sector(lba);
            if (std::memcmp(old.data(), kGptSignature, sizeof kGptSignature) == 0) put(lba, Bytes(ss_, 0));
        }
    }

private:
    const ReadAt& read_;
    std::int64_t disk_size_;
    std::uint32_t ss_;
    std::uint64_t sectors_;
    LayoutPlan plan_;
};

std::string EntryName(std::size_t index) { return "entry " + std::to_string(index + 1); }

bool AllZero(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    return std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
}

// Whether some entry of `extents` overlaps another; sorts them.
bool AnyOverlap(std::vector<Extent>& extents) {
    std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < extents.size(); ++i)
        if (extents[i].first < extents[i - 1].end) return true;
    return false;
}

MbrPartitionRecord MbrRecord(std::uint8_t type, bool boot, std::uint64_t stored_start, std::uint64_t absolute_start,
                             std::uint64_t sectors) {
    MbrPartitionRecord r{};
    r.BootIndicator = boot ? 0x80 : 0x00;
    r.OSType = type;
    LbaToChs(absolute_start, r.StartingCHS);
    LbaToChs(absolute_start + sectors - 1, r.EndingCHS);
    r.StartingLBA.set(static_cast<std::uint32_t>(stored_start));
    r.SizeInLBA.set(static_cast<std::uint32_t>(sectors));
    return r;
}

// The record as it was, when it says the same thing: its CHS bytes (which
// tools compute in different ways) stay as they are.
MbrPartitionRecord KeepIfSame(const MbrPartitionRecord& fresh, const MbrPartitionRecord& old) {
    const bool same = fresh.OSType == old.OSType && fresh.BootIndicator == old.BootIndicator &&
                      fresh.StartingLBA.value() == old.StartingLBA.value() &&
                      fresh.SizeInLBA.value() == old.SizeInLBA.value();
    return same ? old : fresh;
}

MasterBootRecord AsMbr(const Bytes& sector) {
    MasterBootRecord mbr{};
    std::memcpy(&mbr, sector.data(), sizeof mbr);
    return mbr;
}

void StoreMbr(Bytes& sector, const MasterBootRecord& mbr) { std::memcpy(sector.data(), &mbr, sizeof mbr); }

bool IsProtectiveMbr(const MasterBootRecord& mbr) {
    if (!mbr.has_signature()) return false;
    for (const MbrPartitionRecord& r : mbr.PartitionRecord)
        if (r.OSType == kMbrTypeGptProtective) return true;
    return false;
}

// ---------------------------------------------------------------------------
// MBR

struct Logical {
    std::size_t index = 0;  // in the layout
    Extent extent;
    std::uint8_t type = 0;
    bool boot = false;
    std::uint32_t hidden = 0;           // sectors from its EBR, as the caller gave it
    std::optional<std::uint64_t> hint;  // where the caller's previous link put this one's EBR
    std::uint64_t ebr = 0;
};

bool IsMbrEmpty(const PARTITION_INFORMATION_EX& e) {
    if (e.PartitionStyle == PARTITION_STYLE_MBR) return e.Mbr.PartitionType == 0;
    // An entry of the other style counts as empty only when it says nothing.
    return AllZero(&e.Gpt, sizeof e.Gpt) || IsNullGuid(e.Gpt.PartitionType);
}

// The primary table as it is to be written, and the extended partition in it.
struct PrimaryTable {
    MbrPartitionRecord records[kMbrPartitionRecordCount] = {};
    std::optional<Extent> container;
};

// The first four entries: each inside the disk, none over the table itself,
// each one that fits an MBR entry, no two overlapping, at most one extended.
bool PlanPrimaries(Planner& p, const std::vector<PARTITION_INFORMATION_EX>& entries, PrimaryTable& table) {
    std::vector<Extent> primaries;
    for (std::size_t i = 0; i < kMbrPartitionRecordCount && i < entries.size(); ++i) {
        const PARTITION_INFORMATION_EX& e = entries[i];
        if (IsMbrEmpty(e)) continue;
        if (e.PartitionStyle != PARTITION_STYLE_MBR)
            return p.fail(ERROR_INVALID_PARAMETER, EntryName(i) + " is not an MBR entry");
        std::optional<Extent> x = p.extent_of(e, EntryName(i));
        if (!x) return false;
        if (x->first == 0) return p.fail(ERROR_INVALID_PARAMETER, EntryName(i) + " covers the partition table");
        if (x->first > kMaxMbrField || x->end - x->first > kMaxMbrField)
            return p.fail(ERROR_INVALID_PARAMETER, EntryName(i) + " does not fit an MBR entry (2 TiB at 512 bytes a sector)");
        if (IsExtendedPartitionType(e.Mbr.PartitionType)) {
            if (table.container) return p.fail(ERROR_INVALID_PARAMETER, "more than one extended partition");
            table.container = x;
        }
        primaries.push_back(*x);
        table.records[i] = MbrRecord(e.Mbr.PartitionType, e.Mbr.BootIndicator != 0, x->first, x->first, x->end - x->first);
    }
    if (AnyOverlap(primaries)) return p.fail(ERROR_INVALID_PARAMETER, "partitions of the primary table overlap");
    return true;
}

// The logical partitions, one per extended boot record (each further group
// of four entries), in chain order, each with where the caller's previous
// link put its record.
bool GatherLogicals(Planner& p, const std::vector<PARTITION_INFORMATION_EX>& entries, std::vector<Logical>& logicals) {
    std::optional<std::uint64_t> next_hint;
    for (std::size_t first = kMbrPartitionRecordCount; first < entries.size(); first += kMbrPartitionRecordCount) {
        std::optional<Logical> logical;
        std::optional<std::uint64_t> link;
        for (std::size_t i = first; i < first + kMbrPartitionRecordCount; ++i) {
            const PARTITION_INFORMATION_EX& e = entries[i];
            if (IsMbrEmpty(e)) continue;
            if (e.PartitionStyle != PARTITION_STYLE_MBR)
                return p.fail(ERROR_INVALID_PARAMETER, EntryName(i) + " is not an MBR entry");
            if (IsExtendedPartitionType(e.Mbr.PartitionType)) {
                if (e.StartingOffset > 0 && e.StartingOffset % p.sector_size() == 0)
                    link = static_cast<std::uint64_t>(e.StartingOffset) / p.sector_size();
                continue;
            }
            if (logical) return p.fail(ERROR_INVALID_PARAMETER, "one extended boot record holds one logical partition");
            std::optional<Extent> x = p.extent_of(e, EntryName(i));
            if (!x) return false;
            logical = Logical{i, *x, e.Mbr.PartitionType, e.Mbr.BootIndicator != 0, e.Mbr.HiddenSectors, next_hint};
        }
        if (logical) logicals.push_back(*logical);
        next_hint = link;
    }
    return true;
}

// Where each logical partition's boot record goes: a sector of the extended
// partition before it that no partition and no other record takes. The
// chain starts at the container's first sector; a later record stays where
// it was, else goes where the caller's numbers or the previous link put it,
// else to the sector just before its partition.
bool PlaceBootRecords(Planner& p, const Extent& container, const DiskLayout& old_layout,
                      std::vector<Logical>& logicals) {
    std::vector<Extent> taken;
    for (const Logical& l : logicals) {
        if (l.extent.first <= container.first || l.extent.end > container.end)
            return p.fail(ERROR_INVALID_PARAMETER, EntryName(l.index) + " lies outside the extended partition");
        taken.push_back(l.extent);
    }
    if (AnyOverlap(taken)) return p.fail(ERROR_INVALID_PARAMETER, "logical partitions overlap");
    auto free_sector = [&](std::uint64_t lba, std::uint64_t before) {
        if (lba <= container.first || lba >= before) return false;
        return std::none_of(taken.begin(), taken.end(), [&](const Extent& x) { return lba >= x.first && lba < x.end; });
    };
    for (std::size_t n = 0; n < logicals.size(); ++n) {
        Logical& l = logicals[n];
        if (n == 0) {
            l.ebr = container.first;
            continue;
        }
        std::vector<std::uint64_t> candidates;
        for (const PartitionRecord& old : old_layout.entries)
            if (old.logical && !old.is_container() && old.start == static_cast<std::int64_t>(l.extent.first * p.sector_size()) &&
                old.hidden_sectors > 0 && old.hidden_sectors <= l.extent.first)
                candidates.push_back(l.extent.first - old.hidden_sectors);
        if (l.hidden > 0 && l.hidden <= l.extent.first) candidates.push_back(l.extent.first - l.hidden);
        if (l.hint) candidates.push_back(*l.hint);
        candidates.push_back(l.extent.first - 1);
        auto chosen = std::find_if(candidates.begin(), candidates.end(), [&](std::uint64_t lba) {
            if (!free_sector(lba, l.extent.first)) return false;
            return std::none_of(logicals.begin(), logicals.begin() + static_cast<std::ptrdiff_t>(n),
                                [&](const Logical& other) { return other.ebr == lba; });
        });
        if (chosen == candidates.end())
            return p.fail(ERROR_INVALID_PARAMETER, EntryName(l.index) + " leaves no room for its boot record");
        l.ebr = *chosen;
    }
    return true;
}

// The chain's records: each with its logical partition (the old record's
// CHS bytes kept where it says the same) and the link to the next; an empty
// chain is one record with nothing in it, so that an old chain is not read on.
void WriteChain(Planner& p, const Extent& container, const std::vector<Logical>& logicals) {
    for (std::size_t n = 0; n < logicals.size(); ++n) {
        const Logical& l = logicals[n];
        const Bytes old = p.sector(l.ebr);
        const MasterBootRecord old_ebr = AsMbr(old);
        Bytes sector = old_ebr.has_signature() ? old : Bytes(p.sector_size(), 0);
        MasterBootRecord ebr = AsMbr(sector);
        std::memset(ebr.PartitionRecord, 0, sizeof ebr.PartitionRecord);
        const MbrPartitionRecord fresh =
            MbrRecord(l.type, l.boot, l.extent.first - l.ebr, l.extent.first, l.extent.end - l.extent.first);
        ebr.PartitionRecord[0] = fresh;
        if (old_ebr.has_signature())
            for (const MbrPartitionRecord& r : old_ebr.PartitionRecord)
                if (r.OSType != 0 && !IsExtendedPartitionType(r.OSType)) {
                    ebr.PartitionRecord[0] = KeepIfSame(fresh, r);
                    break;
                }
        if (n + 1 < logicals.size()) {
            const Logical& next = logicals[n + 1];
            ebr.PartitionRecord[1] =
                MbrRecord(kMbrTypeExtended, false, next.ebr - container.first, next.ebr, next.extent.end - next.ebr);
        }
        ebr.Signature.set(kMbrSignature);
        StoreMbr(sector, ebr);
        p.put(l.ebr, std::move(sector));
    }
    if (logicals.empty()) {
        Bytes sector(p.sector_size(), 0);
        MasterBootRecord ebr = AsMbr(sector);
        ebr.Signature.set(kMbrSignature);
        StoreMbr(sector, ebr);
        p.put(container.first, std::move(sector));
    }
}

// Sector 0: the boot code and the two bytes after the signature stay, and
// so do the CHS bytes of an entry that says the same as before.
void WriteSectorZero(Planner& p, const DRIVE_LAYOUT_INFORMATION_EX_HEADER& header, const PrimaryTable& table,
                     const Bytes& old0) {
    const MasterBootRecord old_mbr = AsMbr(old0);
    Bytes sector = old_mbr.has_signature() ? old0 : Bytes(p.sector_size(), 0);
    MasterBootRecord mbr = AsMbr(sector);
    mbr.UniqueMBRDiskSignature.set(header.Mbr.Signature);
    for (std::size_t i = 0; i < kMbrPartitionRecordCount; ++i) {
        const MbrPartitionRecord& fresh = table.records[i];
        mbr.PartitionRecord[i] =
            fresh.OSType == 0 ? MbrPartitionRecord{}
                              : (old_mbr.has_signature() ? KeepIfSame(fresh, old_mbr.PartitionRecord[i]) : fresh);
    }
    mbr.Signature.set(kMbrSignature);
    StoreMbr(sector, mbr);
    p.put(0, std::move(sector));
}

bool PlanMbr(Planner& p, const DRIVE_LAYOUT_INFORMATION_EX_HEADER& header,
             const std::vector<PARTITION_INFORMATION_EX>& entries) {
    if (entries.size() % kMbrPartitionRecordCount != 0)
        return p.fail(ERROR_INVALID_PARAMETER, "an MBR layout has four entries for each table");
    if (p.sectors() < 2) return p.fail(ERROR_INVALID_PARAMETER, "the disk is too small for a partition table");
    PrimaryTable table;
    if (!PlanPrimaries(p, entries, table)) return false;
    std::vector<Logical> logicals;
    if (!GatherLogicals(p, entries, logicals)) return false;
    if (!logicals.empty() && !table.container)
        return p.fail(ERROR_INVALID_PARAMETER, "more than four partitions need an extended partition to hold them");

    // What is on the disk now, read before anything of the plan is written.
    const Bytes old0 = p.sector(0);
    if (table.container) {
        const DiskLayout old_layout = ReadDiskLayout(p.reader(), p.disk_size(), p.sector_size());
        if (!PlaceBootRecords(p, *table.container, old_layout, logicals)) return false;
        WriteChain(p, *table.container, logicals);
    }
    WriteSectorZero(p, header, table, old0);
    p.wipe_gpt_headers();
    return true;
}

// ---------------------------------------------------------------------------
// GPT

struct GptGeometry {
    std::uint32_t entry_count = kMinGptEntries;
    std::uint32_t entry_size = kGptPartitionEntrySize;
    std::uint64_t entries_lba = 2;
    std::uint64_t first_usable = 0;
    std::uint64_t array_sectors = 0;
    std::uint64_t last_lba = 0;
    std::uint64_t last_usable = 0;
    std::uint64_t backup_entries_lba = 0;
};

// The geometry of a table of `count` entries of `size` bytes on the disk,
// with usable space from `first_usable` at the earliest.
bool MakeGeometry(Planner& p, std::uint32_t count, std::uint32_t size, std::uint64_t first_usable, GptGeometry& g) {
    g.entry_count = count;
    g.entry_size = size;
    g.entries_lba = 2;
    const std::uint64_t array_bytes = std::uint64_t{count} * size;
    g.array_sectors = (array_bytes + p.sector_size() - 1) / p.sector_size();
    g.first_usable = std::max(first_usable, g.entries_lba + g.array_sectors);
    if (p.sectors() < 2 * g.array_sectors + 4)
        return p.fail(ERROR_INVALID_PARAMETER, "the disk is too small for a GUID partition table");
    g.last_lba = p.sectors() - 1;
    g.backup_entries_lba = g.last_lba - g.array_sectors;
    if (g.backup_entries_lba < 1 + g.first_usable)
        return p.fail(ERROR_INVALID_PARAMETER, "the disk is too small for a GUID partition table");
    g.last_usable = g.backup_entries_lba - 1;
    return true;
}

Bytes HeaderSector(Planner& p, const GptGeometry& g, const GUID& disk_id, std::uint32_t array_crc, bool primary) {
    GptHeader h{};
    std::memcpy(h.Signature, kGptSignature, sizeof h.Signature);
    h.Revision.set(kGptRevision);
    h.HeaderSize.set(kGptHeaderSize);
    h.MyLBA.set(primary ? 1 : g.last_lba);
    h.AlternateLBA.set(primary ? g.last_lba : 1);
    h.FirstUsableLBA.set(g.first_usable);
    h.LastUsableLBA.set(g.last_usable);
    h.DiskGUID.set(disk_id);
    h.PartitionEntryLBA.set(primary ? g.entries_lba : g.backup_entries_lba);
    h.NumberOfPartitionEntries.set(g.entry_count);
    h.SizeOfPartitionEntry.set(g.entry_size);
    h.PartitionEntryArrayCRC32.set(array_crc);
    h.HeaderCRC32.set(GptHeaderCrc32(&h, sizeof h));
    Bytes sector(p.sector_size(), 0);
    std::memcpy(sector.data(), &h, sizeof h);
    return sector;
}

// Puts the whole table on the plan: protective MBR, both headers, both arrays.
void PutGpt(Planner& p, const GptGeometry& g, const GUID& disk_id, const Bytes& array, const Bytes& boot_code) {
    Bytes mbr_sector(p.sector_size(), 0);
    if (!boot_code.empty())
        std::memcpy(mbr_sector.data(), boot_code.data(), std::min<std::size_t>(boot_code.size(), kMbrTableOffset));
    MasterBootRecord mbr = AsMbr(mbr_sector);
    std::memset(mbr.PartitionRecord, 0, sizeof mbr.PartitionRecord);
    MbrPartitionRecord& protective = mbr.PartitionRecord[0];
    protective.OSType = kMbrTypeGptProtective;
    protective.StartingCHS[0] = 0x00;
    protective.StartingCHS[1] = 0x02;
    protective.StartingCHS[2] = 0x00;
    LbaToChs(g.last_lba, protective.EndingCHS);
    protective.StartingLBA.set(1);
    protective.SizeInLBA.set(static_cast<std::uint32_t>(std::min<std::uint64_t>(g.last_lba, kMaxMbrField)));
    mbr.Signature.set(kMbrSignature);
    StoreMbr(mbr_sector, mbr);

    Bytes padded = array;
    padded.resize(g.array_sectors * p.sector_size(), 0);
    const std::uint32_t crc = Crc32(array.data(), array.size());
    p.put(0, std::move(mbr_sector));
    p.put(1, HeaderSector(p, g, disk_id, crc, true));
    p.put(g.entries_lba, padded);
    p.put(g.backup_entries_lba, std::move(padded));
    p.put(g.last_lba, HeaderSector(p, g, disk_id, crc, false));
}

struct OldSlot {
    GptPartitionEntry entry{};
    bool taken = false;
};

bool SameEntry(const GptPartitionEntry& old, const PARTITION_INFORMATION_EX& e, std::uint32_t ss) {
    if (old.PartitionTypeGUID.value() != e.Gpt.PartitionType || old.UniquePartitionGUID.value() != e.Gpt.PartitionId)
        return false;
    if (old.Attributes.value() != e.Gpt.Attributes) return false;
    if (static_cast<std::int64_t>(old.StartingLBA.value() * ss) != e.StartingOffset) return false;
    if (static_cast<std::int64_t>((old.EndingLBA.value() + 1 - old.StartingLBA.value()) * ss) != e.PartitionLength)
        return false;
    for (std::size_t i = 0; i < kGptPartitionNameUnits; ++i)
        if (old.PartitionName[i].value() != static_cast<std::uint16_t>(e.Gpt.Name[i])) return false;
    return true;
}

bool PlanGpt(Planner& p, const DRIVE_LAYOUT_INFORMATION_EX_HEADER& header,
             const std::vector<PARTITION_INFORMATION_EX>& entries) {
    const std::optional<GptOnDisk> old = ReadGptOnDisk(p.reader(), p.disk_size(), p.sector_size());
    GptGeometry g;
    const bool made = old ? MakeGeometry(p, old->header.NumberOfPartitionEntries.value(),
                                         old->header.SizeOfPartitionEntry.value(), old->header.FirstUsableLBA.value(), g)
                          : MakeGeometry(p, kMinGptEntries, kGptPartitionEntrySize, 0, g);
    if (!made) return false;

    // The entries that hold a partition, checked.
    std::vector<std::size_t> used;
    std::vector<Extent> extents;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PARTITION_INFORMATION_EX& e = entries[i];
        if (IsNullGuid(e.Gpt.PartitionType)) {
            if (e.PartitionStyle == PARTITION_STYLE_MBR && !AllZero(&e.Mbr, sizeof e.Mbr))
                return p.fail(ERROR_INVALID_PARAMETER, EntryName(i) + " is not a GPT entry");
            continue;
        }
        if (e.PartitionStyle != PARTITION_STYLE_GPT)
            return p.fail(ERROR_INVALID_PARAMETER, EntryName(i) + " is not a GPT entry");
        std::optional<Extent> x = p.extent_of(e, EntryName(i));
        if (!x) return false;
        if (x->first < g.first_usable || x->end - 1 > g.last_usable)
            return p.fail(ERROR_INVALID_PARAMETER, EntryName(i) + " lies outside the usable part of the disk");
        used.push_back(i);
        extents.push_back(*x);
    }
    if (AnyOverlap(extents)) return p.fail(ERROR_INVALID_PARAMETER, "partitions overlap");
    if (used.size() > g.entry_count) return p.fail(ERROR_INVALID_PARAMETER, "more partitions than the table has entries");

    // Slots: untouched entries stay where they are, the rest go where their
    // place in the layout says, or to the first free slot.
    std::vector<OldSlot> old_slots(g.entry_count);
    if (old)
        for (std::uint32_t s = 0; s < g.entry_count; ++s)
            std::memcpy(&old_slots[s].entry, old->entries.data() + std::size_t{s} * g.entry_size, sizeof(GptPartitionEntry));
    std::vector<std::optional<std::uint32_t>> slot_of(entries.size());
    std::vector<bool> slot_used(g.entry_count, false);
    for (std::size_t i : used) {
        if (entries[i].RewritePartition || !old) continue;
        for (std::uint32_t s = 0; s < g.entry_count; ++s) {
            OldSlot& o = old_slots[s];
            if (o.taken || IsNullGuid(o.entry.PartitionTypeGUID.value()) ||
                !SameEntry(o.entry, entries[i], p.sector_size()))
                continue;
            o.taken = true;
            slot_used[s] = true;
            slot_of[i] = s;
            break;
        }
    }
    for (std::size_t i : used) {
        if (slot_of[i]) continue;
        std::uint32_t s = i < g.entry_count && !slot_used[i] ? static_cast<std::uint32_t>(i) : 0;
        while (slot_used[s]) ++s;  // there is a free one: used.size() <= entry_count
        slot_used[s] = true;
        slot_of[i] = s;
    }

    Bytes array(std::size_t{g.entry_count} * g.entry_size, 0);
    std::set<std::string> ids;
    for (std::size_t i : used) {
        const PARTITION_INFORMATION_EX& e = entries[i];
        const std::size_t at = std::size_t{*slot_of[i]} * g.entry_size;
        const bool kept = old && old_slots[*slot_of[i]].taken;
        GptPartitionEntry entry{};
        if (kept) {
            std::memcpy(array.data() + at, old->entries.data() + at, g.entry_size);
            std::memcpy(&entry, array.data() + at, sizeof entry);
        } else {
            const auto first = static_cast<std::uint64_t>(e.StartingOffset) / p.sector_size();
            entry.PartitionTypeGUID.set(e.Gpt.PartitionType);
            entry.UniquePartitionGUID.set(IsNullGuid(e.Gpt.PartitionId) ? NewRandomGuid() : e.Gpt.PartitionId);
            entry.StartingLBA.set(first);
            entry.EndingLBA.set(first + static_cast<std::uint64_t>(e.PartitionLength) / p.sector_size() - 1);
            entry.Attributes.set(e.Gpt.Attributes);
            std::u16string name(e.Gpt.Name, e.Gpt.Name + kGptPartitionNameUnits);
            name.resize(std::min(name.find(u'\0'), name.size()));
            entry.set_name(name);
            std::memcpy(array.data() + at, &entry, sizeof entry);
        }
        if (!ids.insert(GuidToString(entry.UniquePartitionGUID.value())).second)
            return p.fail(ERROR_INVALID_PARAMETER, "two partitions have the same partition GUID");
    }

    GUID disk_id = header.Gpt.DiskId;
    if (IsNullGuid(disk_id)) disk_id = old ? old->header.DiskGUID.value() : NewRandomGuid();
    // A table edit keeps the boot code of a GPT disk; a disk that becomes
    // GPT starts from a clean protective MBR.
    Bytes boot_code = old ? p.sector(0) : Bytes{};
    PutGpt(p, g, disk_id, array, boot_code);
    return true;
}

}  // namespace

void LbaToChs(std::uint64_t lba, std::uint8_t chs[3]) {
    constexpr std::uint64_t kHeads = 255, kSectors = 63;
    const std::uint64_t cylinder = lba / (kHeads * kSectors);
    if (cylinder > 1023) {
        chs[0] = 0xFE;
        chs[1] = 0xFF;
        chs[2] = 0xFF;
        return;
    }
    const std::uint64_t head = (lba / kSectors) % kHeads;
    const std::uint64_t sector = lba % kSectors + 1;
    chs[0] = static_cast<std::uint8_t>(head);
    chs[1] = static_cast<std::uint8_t>(sector | ((cylinder >> 2) & 0xC0));
    chs[2] = static_cast<std::uint8_t>(cylinder & 0xFF);
}

LayoutPlan PlanDriveLayout(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size,
                           const DRIVE_LAYOUT_INFORMATION_EX_HEADER& header,
                           const std::vector<PARTITION_INFORMATION_EX>& entries) {
    Planner p(read, disk_size, sector_size);
    if (sector_size < 512 || (sector_size & (sector_size - 1)) != 0 || disk_size < sector_size) {
        p.fail(ERROR_INVALID_PARAMETER, "the disk has no sectors to hold a table");
        return std::move(p.plan());
    }
    switch (header.PartitionStyle) {
    case PARTITION_STYLE_MBR: PlanMbr(p, header, entries); break;
    case PARTITION_STYLE_GPT: PlanGpt(p, header, entries); break;
    default: p.fail(ERROR_INVALID_PARAMETER, "a layout is MBR or GPT; a raw disk is made with CREATE_DISK"); break;
    }
    if (!p.plan().ok()) p.plan().writes.clear();
    return std::move(p.plan());
}

LayoutPlan PlanCreateDisk(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size,
                          const CREATE_DISK& request) {
    Planner p(read, disk_size, sector_size);
    if (sector_size < 512 || (sector_size & (sector_size - 1)) != 0 || disk_size < sector_size) {
        p.fail(ERROR_INVALID_PARAMETER, "the disk has no sectors to hold a table");
        return std::move(p.plan());
    }
    const Bytes old0 = p.sector(0);
    const MasterBootRecord old_mbr = AsMbr(old0);
    switch (request.PartitionStyle) {
    case PARTITION_STYLE_MBR: {
        Bytes sector(sector_size, 0);
        if (old_mbr.has_signature() && !IsProtectiveMbr(old_mbr))
            std::memcpy(sector.data(), old0.data(), kMbrBootCodeSize);
        MasterBootRecord mbr = AsMbr(sector);
        mbr.UniqueMBRDiskSignature.set(request.Mbr.Signature);
        mbr.Signature.set(kMbrSignature);
        StoreMbr(sector, mbr);
        p.put(0, std::move(sector));
        p.wipe_gpt_headers();
        break;
    }
    case PARTITION_STYLE_GPT: {
        GptGeometry g;
        const std::uint32_t count = std::clamp(request.Gpt.MaxPartitionCount, kMinGptEntries, kMaxGptEntries);
        if (!MakeGeometry(p, count, kGptPartitionEntrySize, 0, g)) break;
        // Whatever the old table pointed at is gone with it; both backup
        // places of an old GPT are written over or wiped.
        p.wipe_gpt_headers();
        const GUID id = IsNullGuid(request.Gpt.DiskId) ? NewRandomGuid() : request.Gpt.DiskId;
        PutGpt(p, g, id, Bytes(std::size_t{g.entry_count} * g.entry_size, 0), Bytes{});
        break;
    }
    case PARTITION_STYLE_RAW: {
        // The boot code stays; the table and its signature go.
        Bytes sector = old0;
        std::memset(sector.data() + kMbrTableOffset, 0, kMbrTableAndSignatureSize);
        p.put(0, std::move(sector));
        p.wipe_gpt_headers();
        break;
    }
    default: p.fail(ERROR_INVALID_PARAMETER, "a disk is made MBR, GPT or RAW"); break;
    }
    if (!p.plan().ok()) p.plan().writes.clear();
    return std::move(p.plan());
}

ReadAt OverlayReader(ReadAt disk, std::vector<SectorWrite> writes) {
    return [disk = std::move(disk), writes = std::move(writes)](std::int64_t offset, void* buffer, std::size_t length) {
        if (!disk(offset, buffer, length)) return false;
        auto* out = static_cast<std::uint8_t*>(buffer);
        const std::int64_t end = offset + static_cast<std::int64_t>(length);
        for (const SectorWrite& w : writes) {
            const std::int64_t w_end = w.offset + static_cast<std::int64_t>(w.bytes.size());
            const std::int64_t from = std::max(offset, w.offset), to = std::min(end, w_end);
            if (from < to)
                std::memcpy(out + (from - offset), w.bytes.data() + (from - w.offset), static_cast<std::size_t>(to - from));
        }
        return true;
    };
}

DRIVE_LAYOUT_INFORMATION_EX_HEADER DriveLayoutHeaderOf(const DiskLayout& layout) {
    DRIVE_LAYOUT_INFORMATION_EX_HEADER header{};
    header.PartitionStyle = layout.style;
    header.PartitionCount = static_cast<std::uint32_t>(layout.entries.size());
    if (layout.style == PARTITION_STYLE_GPT) {
        header.Gpt.DiskId = layout.disk_id;
        header.Gpt.StartingUsableOffset = layout.usable_start;
        header.Gpt.UsableLength = layout.usable_length;
        header.Gpt.MaxPartitionCount = layout.max_partition_count;
    } else {
        header.Mbr.Signature = layout.mbr_signature;
    }
    return header;
}

PARTITION_INFORMATION_EX PartitionEntryOf(const PartitionRecord& p) {
    PARTITION_INFORMATION_EX e{};
    e.PartitionStyle = p.style;
    e.StartingOffset = p.start;
    e.PartitionLength = p.length;
    e.PartitionNumber = p.number;
    if (p.style == PARTITION_STYLE_GPT) {
        e.Gpt.PartitionType = p.type_guid;
        e.Gpt.PartitionId = p.partition_id;
        e.Gpt.Attributes = p.attributes;
        for (std::size_t i = 0; i < p.name.size() && i < kGptPartitionNameUnits; ++i) e.Gpt.Name[i] = p.name[i];
    } else {
        e.Mbr.PartitionType = p.mbr_type;
        e.Mbr.BootIndicator = p.boot_indicator;
        e.Mbr.RecognizedPartition = p.recognized ? 1 : 0;
        e.Mbr.HiddenSectors = p.hidden_sectors;
    }
    return e;
}

}  // namespace platform::device
