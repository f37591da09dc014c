#include "platform/device/filesystems/ntfs.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "platform/base/byte_order.h"

namespace platform::device::ntfs {

namespace {

constexpr std::size_t kFixupBlock = 512;
// Largest attribute list we follow: far beyond what the system files carry.
constexpr std::uint64_t kMaxAttributeList = 1 << 20;
// Runs of one attribute: a $Bitmap or $MFT fragmented beyond this is taken as damage.
constexpr std::size_t kMaxRuns = 1 << 20;
// The bitmap is read in pieces of this many bytes.
constexpr std::size_t kBitmapPiece = 1 << 20;


// A little-endian integer of `size` bytes (0-8), signed or not.
std::int64_t LoadVariable(const std::uint8_t* p, unsigned size, bool is_signed) {
    std::uint64_t value = 0;
    for (unsigned i = size; i-- > 0;) value = (value << 8) | p[i];
    if (is_signed && size > 0 && size < 8 && (p[size - 1] & 0x80)) value |= ~std::uint64_t{0} << (8 * size);
    return static_cast<std::int64_t>(value);
}

// The run list must cover VCNs without gaps from `vcn` on; returns the VCN after it.
bool Contiguous(const std::vector<Run>& runs, std::int64_t& vcn) {
    for (const Run& r : runs) {
        if (r.vcn != vcn) return false;
        vcn += r.length;
    }
    return true;
}

}  // namespace

std::optional<BootSector> ParseBootSector(std::span<const std::uint8_t> s) {
    if (s.size() < 512 || std::memcmp(s.data() + 3, "NTFS    ", 8) != 0) return std::nullopt;
    if (s[510] != 0x55 || s[511] != 0xAA) return std::nullopt;
    BootSector b;
    b.bytes_per_sector = LoadLe16(s.data() + 11);
    if (b.bytes_per_sector < 256 || b.bytes_per_sector > 4096 || !std::has_single_bit(b.bytes_per_sector)) return std::nullopt;
    // Above 0x80 the byte is a negative power of two: 0xF4 means 2^12.
    std::uint8_t raw = s[13];
    if (raw > 0x80) {
        if (256 - raw > 12) return std::nullopt;
        b.sectors_per_cluster = 1u << (256 - raw);
    } else {
        b.sectors_per_cluster = raw;
    }
    if (!std::has_single_bit(b.sectors_per_cluster)) return std::nullopt;
    b.cluster_size = b.bytes_per_sector * b.sectors_per_cluster;
    if (b.cluster_size > (2u << 20)) return std::nullopt;
    b.total_sectors = LoadLe64(s.data() + 40);
    b.total_clusters = b.total_sectors / b.sectors_per_cluster;
    b.mft_lcn = LoadLe64(s.data() + 48);
    b.mft_mirror_lcn = LoadLe64(s.data() + 56);
    auto record_size = [&](std::int8_t value) -> std::uint64_t {
        if (value > 0) return static_cast<std::uint64_t>(value) * b.cluster_size;
        if (value < -31) return 0;
        return std::uint64_t{1} << -value;
    };
    std::uint64_t mft_record = record_size(static_cast<std::int8_t>(s[64]));
    std::uint64_t index_record = record_size(static_cast<std::int8_t>(s[68]));
    if (mft_record < kFixupBlock || mft_record > 65536 || !std::has_single_bit(mft_record)) return std::nullopt;
    if (index_record > (1u << 21)) return std::nullopt;
    b.mft_record_size = static_cast<std::uint32_t>(mft_record);
    b.index_record_size = static_cast<std::uint32_t>(index_record);
    if (b.total_clusters == 0 || b.mft_lcn >= b.total_clusters) return std::nullopt;
    b.serial = LoadLe64(s.data() + 72);
    return b;
}

bool ApplyFixups(std::span<std::uint8_t> record) {
    if (record.size() < kFixupBlock || record.size() % kFixupBlock != 0) return false;
    std::size_t at = LoadLe16(record.data() + 4);
    std::size_t count = LoadLe16(record.data() + 6);
    if (count != record.size() / kFixupBlock + 1) return false;
    if (at < 8 || at % 2 != 0 || at + count * 2 > kFixupBlock - 2) return false;
    const std::uint8_t* usa = record.data() + at;
    for (std::size_t block = 1; block < count; ++block) {
        std::uint8_t* tail = record.data() + block * kFixupBlock - 2;
        if (tail[0] != usa[0] || tail[1] != usa[1]) return false;
    }
    // Saved values go back only when every block checked out.
    for (std::size_t block = 1; block < count; ++block) {
        std::uint8_t* tail = record.data() + block * kFixupBlock - 2;
        tail[0] = usa[block * 2];
        tail[1] = usa[block * 2 + 1];
    }
    return true;
}

bool DecodeRuns(std::span<const std::uint8_t> pairs, std::int64_t lowest_vcn, std::uint64_t total_clusters,
                std::vector<Run>& runs) {
    if (lowest_vcn < 0) return false;
    std::int64_t vcn = lowest_vcn;
    std::int64_t lcn = 0;
    std::size_t at = 0;
    while (at < pairs.size() && pairs[at] != 0) {
        unsigned length_size = pairs[at] & 0x0F;
        unsigned offset_size = pairs[at] >> 4;
        if (length_size == 0 || length_size > 8 || offset_size > 8) return false;
        if (at + 1 + length_size + offset_size > pairs.size()) return false;
        std::int64_t length = LoadVariable(pairs.data() + at + 1, length_size, true);
        if (length <= 0 || length > static_cast<std::int64_t>(total_clusters)) return false;
        Run run{vcn, -1, length};
        if (offset_size > 0) {
            std::int64_t delta = LoadVariable(pairs.data() + at + 1 + length_size, offset_size, true);
            if ((delta > 0 && lcn > std::numeric_limits<std::int64_t>::max() - delta) ||
                (delta < 0 && lcn < std::numeric_limits<std::int64_t>::min() - delta))
                return false;
            lcn += delta;
            if (lcn < 0 || static_cast<std::uint64_t>(lcn) >= total_clusters ||
                static_cast<std::uint64_t>(length) > total_clusters - static_cast<std::uint64_t>(lcn))
                return false;
            run.lcn = lcn;
        }
        if (runs.size() >= kMaxRuns) return false;
        runs.push_back(run);
        vcn += length;
        at += 1 + length_size + offset_size;
    }
    return true;
}

std::optional<MftRecord> ParseMftRecord(std::span<const std::uint8_t> r) {
    if (r.size() < 48 || std::memcmp(r.data(), "FILE", 4) != 0) return std::nullopt;
    MftRecord record;
    record.flags = LoadLe16(r.data() + 22);
    record.base_record = LoadLe64(r.data() + 32) & 0xFFFFFFFFFFFFull;
    std::size_t used = LoadLe32(r.data() + 24);
    std::size_t at = LoadLe16(r.data() + 20);
    if (used > r.size() || at < 42 || at >= used) return std::nullopt;
    for (;;) {
        if (at + 4 > used) return std::nullopt;
        std::uint32_t type = LoadLe32(r.data() + at);
        if (type == kEndOfAttributes) break;
        if (at + 16 > used) return std::nullopt;
        std::size_t length = LoadLe32(r.data() + at + 4);
        if (length < 16 || length > used - at) return std::nullopt;
        const std::uint8_t* a = r.data() + at;
        Attribute attribute;
        attribute.type = type;
        attribute.non_resident = a[8] != 0;
        std::size_t name_length = a[9];
        std::size_t name_at = LoadLe16(a + 10);
        attribute.instance = LoadLe16(a + 14);
        if (name_length > 0) {
            if (name_at + name_length * 2 > length) return std::nullopt;
            for (std::size_t i = 0; i < name_length; ++i)
                attribute.name.push_back(static_cast<char16_t>(LoadLe16(a + name_at + 2 * i)));
        }
        if (!attribute.non_resident) {
            if (length < 24) return std::nullopt;
            std::size_t value_length = LoadLe32(a + 16);
            std::size_t value_at = LoadLe16(a + 20);
            if (value_at > length || value_length > length - value_at) return std::nullopt;
            attribute.value.assign(a + value_at, a + value_at + value_length);
            attribute.data_size = value_length;
        } else {
            if (length < 64) return std::nullopt;
            attribute.lowest_vcn = static_cast<std::int64_t>(LoadLe64(a + 16));
            attribute.highest_vcn = static_cast<std::int64_t>(LoadLe64(a + 24));
            std::size_t pairs_at = LoadLe16(a + 32);
            attribute.data_size = LoadLe64(a + 48);
            if (pairs_at < 64 || pairs_at > length) return std::nullopt;
            attribute.value.assign(a + pairs_at, a + length);
        }
        record.attributes.push_back(std::move(attribute));
        at += length;
    }
    return record;
}

std::optional<Volume> Volume::Open(const ReadAt& read, std::int64_t offset, std::int64_t length) {
    if (offset < 0 || length < 512 || offset > std::numeric_limits<std::int64_t>::max() - length) return std::nullopt;
    std::vector<std::uint8_t> sector(512);
    if (!read(offset, sector.data(), sector.size())) return std::nullopt;
    std::optional<BootSector> boot = ParseBootSector(sector);
    if (!boot) return std::nullopt;
    // The file system may claim less than its partition, never more.
    if (boot->total_clusters > static_cast<std::uint64_t>(length) / boot->cluster_size) return std::nullopt;
    Volume volume(read, offset, length, *boot);

    // $MFT's first extent is in its own record, at the place the boot
    // sector names; any further extents are found through it.
    std::vector<std::uint8_t> bytes(boot->mft_record_size);
    if (!volume.read_volume(boot->mft_lcn * boot->cluster_size, bytes) || !ApplyFixups(bytes)) return std::nullopt;
    std::optional<MftRecord> own = ParseMftRecord(bytes);
    if (!own || !own->in_use()) return std::nullopt;
    for (const Attribute& a : own->attributes)
        if (a.type == kData && a.non_resident && a.name.empty() && a.lowest_vcn == 0) {
            if (!DecodeRuns(a.value, 0, boot->total_clusters, volume.mft_runs_)) return std::nullopt;
            volume.mft_data_size_ = a.data_size;
        }
    if (volume.mft_runs_.empty()) return std::nullopt;
    Attribute whole;
    std::vector<Run> runs;
    if (!volume.attribute(kMftRecord, kData, whole, runs) || !whole.non_resident) return std::nullopt;
    volume.mft_runs_ = std::move(runs);
    volume.mft_data_size_ = whole.data_size;
    volume.load_bitmap();
    return volume;
}

bool Volume::read_volume(std::uint64_t at, std::span<std::uint8_t> out) const {
    if (at > static_cast<std::uint64_t>(length_) || out.size() > static_cast<std::uint64_t>(length_) - at) return false;
    if (out.empty()) return true;
    return read_(offset_ + static_cast<std::int64_t>(at), out.data(), out.size());
}

bool Volume::read_runs(const std::vector<Run>& runs, std::uint64_t at, std::span<std::uint8_t> out) const {
    const std::uint64_t cluster = boot_.cluster_size;
    std::size_t done = 0;
    auto run = runs.begin();
    while (done < out.size()) {
        std::uint64_t position = at + done;
        std::uint64_t vcn = position / cluster;
        while (run != runs.end() && static_cast<std::uint64_t>(run->vcn + run->length) <= vcn) ++run;
        if (run == runs.end() || static_cast<std::uint64_t>(run->vcn) > vcn) return false;
        std::uint64_t run_end = static_cast<std::uint64_t>(run->vcn + run->length) * cluster;
        std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(out.size() - done, run_end - position));
        std::span<std::uint8_t> target = out.subspan(done, piece);
        if (run->lcn < 0) {
            std::fill(target.begin(), target.end(), 0);
        } else {
            std::uint64_t disk = static_cast<std::uint64_t>(run->lcn) * cluster + (position - run->vcn * cluster);
            if (!read_volume(disk, target)) return false;
        }
        done += piece;
    }
    return true;
}

std::optional<MftRecord> Volume::record(std::uint64_t number) const {
    const std::uint64_t size = boot_.mft_record_size;
    if (number >= mft_data_size_ / size) return std::nullopt;
    std::vector<std::uint8_t> bytes(size);
    if (!read_runs(mft_runs_, number * size, bytes) || !ApplyFixups(bytes)) return std::nullopt;
    std::optional<MftRecord> parsed = ParseMftRecord(bytes);
    if (!parsed || !parsed->in_use()) return std::nullopt;
    return parsed;
}

bool Volume::attribute(std::uint64_t number, std::uint32_t type, Attribute& whole, std::vector<Run>& runs) const {
    std::optional<MftRecord> base = record(number);
    if (!base || base->base_record != 0) return false;

    // Where the parts are: the attribute list's entries for this type, or
    // the base record alone. Each part is (record, lowest VCN).
    std::vector<std::pair<std::uint64_t, std::int64_t>> parts;
    const Attribute* list = nullptr;
    for (const Attribute& a : base->attributes)
        if (a.type == kAttributeList) list = &a;
    if (list) {
        std::vector<std::uint8_t> entries;
        if (list->non_resident) {
            if (list->data_size > kMaxAttributeList) return false;
            std::vector<Run> list_runs;
            if (!DecodeRuns(list->value, list->lowest_vcn, boot_.total_clusters, list_runs)) return false;
            entries.resize(static_cast<std::size_t>(list->data_size));
            if (!read_runs(list_runs, 0, entries)) return false;
        } else {
            entries = list->value;
        }
        for (std::size_t at = 0; at + 26 <= entries.size();) {
            const std::uint8_t* e = entries.data() + at;
            std::size_t length = LoadLe16(e + 4);
            if (length < 26 || length > entries.size() - at) return false;
            if (LoadLe32(e) == type && e[6] == 0)
                parts.emplace_back(LoadLe64(e + 16) & 0xFFFFFFFFFFFFull, static_cast<std::int64_t>(LoadLe64(e + 8)));
            at += length;
        }
    } else {
        for (const Attribute& a : base->attributes)
            if (a.type == type && a.name.empty()) parts.emplace_back(number, a.lowest_vcn);
    }
    if (parts.empty()) return false;

    std::vector<Run> joined;
    bool missing_first = true;
    for (const auto& [where, lowest] : parts) {
        std::optional<MftRecord> other;
        const MftRecord* holder = &*base;
        if (where != number) {
            other = record(where);
            if (!other || other->base_record != number) return false;
            holder = &*other;
        }
        const Attribute* part = nullptr;
        for (const Attribute& a : holder->attributes)
            if (a.type == type && a.name.empty() && (!a.non_resident || a.lowest_vcn == lowest)) part = &a;
        if (!part) return false;
        if (!part->non_resident) {
            // A resident value is whole in one place.
            if (parts.size() != 1) return false;
            whole = *part;
            return true;
        }
        // Only the first extent knows the sizes of the value.
        if (part->lowest_vcn == 0) {
            whole = *part;
            missing_first = false;
        }
        if (!DecodeRuns(part->value, part->lowest_vcn, boot_.total_clusters, joined)) return false;
    }
    if (missing_first) return false;
    std::sort(joined.begin(), joined.end(), [](const Run& a, const Run& b) { return a.vcn < b.vcn; });
    std::int64_t vcn = 0;
    if (!Contiguous(joined, vcn)) return false;
    // The runs must hold every byte the value has.
    if (static_cast<std::uint64_t>(vcn) < (whole.data_size + boot_.cluster_size - 1) / boot_.cluster_size) return false;
    runs = std::move(joined);
    return true;
}

bool Volume::load_bitmap() {
    Attribute whole;
    std::vector<Run> runs;
    if (!attribute(kBitmapRecord, kData, whole, runs) || !whole.non_resident) return false;
    // One bit per cluster of the volume, or the count would be a guess.
    if (whole.data_size * 8 < boot_.total_clusters) return false;
    bitmap_runs_ = std::move(runs);
    bitmap_size_ = whole.data_size;
    return true;
}

std::optional<std::u16string> Volume::label() const {
    std::optional<MftRecord> volume = record(kVolumeRecord);
    if (!volume || volume->base_record != 0) return std::nullopt;
    for (const Attribute& a : volume->attributes) {
        if (a.type != kVolumeName || a.non_resident) continue;
        std::u16string label;
        for (std::size_t i = 0; i + 1 < a.value.size(); i += 2)
            label.push_back(static_cast<char16_t>(LoadLe16(a.value.data() + i)));
        return label;
    }
    return std::u16string();
}

bool Volume::read_bitmap(std::uint64_t first, std::span<std::uint8_t> out) const {
    if (bitmap_runs_.empty()) return false;
    const std::uint64_t needed = (boot_.total_clusters + 7) / 8;  // bytes covering the volume
    if (first > needed || out.size() > needed - first) return false;
    if (!read_runs(bitmap_runs_, first, out)) return false;
    // Clusters past the last one are no space of the volume.
    std::uint64_t last_byte = needed - 1;
    unsigned tail_bits = static_cast<unsigned>(boot_.total_clusters % 8);
    if (tail_bits != 0 && last_byte >= first && last_byte < first + out.size())
        out[last_byte - first] |= static_cast<std::uint8_t>(0xFF << tail_bits);
    return true;
}

std::optional<std::uint64_t> Volume::free_clusters() const {
    std::uint64_t free = 0;
    bool ok = for_each_free_run([&](std::uint64_t, std::uint64_t count) {
        free += count;
        return true;
    });
    if (!ok) return std::nullopt;
    return free;
}

bool Volume::for_each_free_run(const std::function<bool(std::uint64_t, std::uint64_t)>& run) const {
    if (bitmap_runs_.empty()) return false;
    const std::uint64_t bytes = (boot_.total_clusters + 7) / 8;
    std::vector<std::uint8_t> piece;
    std::uint64_t start = 0, count = 0;  // the free stretch being gathered
    for (std::uint64_t at = 0; at < bytes; at += piece.size()) {
        piece.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kBitmapPiece, bytes - at)));
        if (!read_bitmap(at, piece)) return false;
        for (std::size_t i = 0; i < piece.size(); ++i) {
            std::uint8_t b = piece[i];
            std::uint64_t lcn = (at + i) * 8;
            if (b == 0) {  // the common cases first: all free or all used
                if (count == 0) start = lcn;
                count += 8;
                continue;
            }
            if (b == 0xFF) {
                if (count > 0 && !run(start, count)) return true;
                count = 0;
                continue;
            }
            for (unsigned bit = 0; bit < 8; ++bit) {
                if (b & (1u << bit)) {
                    if (count > 0 && !run(start, count)) return true;
                    count = 0;
                } else {
                    if (count == 0) start = lcn + bit;
                    ++count;
                }
            }
        }
    }
    if (count > 0) run(start, count);
    return true;
}

}  // namespace platform::device::ntfs
