// NTFS read as Windows reads it, from the volume's own bytes: the boot
// sector, MFT records (with their update-sequence fixups and attribute
// lists), resident values and the data runs of non-resident ones. It
// answers what the device list and the free-space tools ask of a volume
// that is not mounted here: its label ($Volume), its cluster bitmap
// ($Bitmap) and the free clusters that bitmap counts.
//
// Nothing read is trusted: every count, offset and run is checked against
// the record or volume it came from, and a check that fails makes the
// volume unreadable (nullopt / false), never a wrong answer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/device/records/partition_table.h"

namespace platform::device::ntfs {

// The MFT records the program looks into.
constexpr std::uint64_t kMftRecord = 0;
constexpr std::uint64_t kVolumeRecord = 3;
constexpr std::uint64_t kBitmapRecord = 6;

// Attribute types.
constexpr std::uint32_t kAttributeList = 0x20;
constexpr std::uint32_t kVolumeName = 0x60;
constexpr std::uint32_t kData = 0x80;
constexpr std::uint32_t kEndOfAttributes = 0xFFFFFFFF;

struct BootSector {
    std::uint32_t bytes_per_sector = 0;
    std::uint32_t sectors_per_cluster = 0;
    std::uint32_t cluster_size = 0;
    std::uint64_t total_sectors = 0;
    std::uint64_t total_clusters = 0;
    std::uint64_t mft_lcn = 0;
    std::uint64_t mft_mirror_lcn = 0;
    std::uint32_t mft_record_size = 0;
    std::uint32_t index_record_size = 0;
    std::uint64_t serial = 0;
};

// The boot sector's geometry; nullopt when it is no NTFS boot sector or
// its numbers cannot hold (cluster above 2 MiB, record size out of range,
// the MFT outside the volume).
std::optional<BootSector> ParseBootSector(std::span<const std::uint8_t> sector);

// Undoes the update-sequence protection of a multi-sector record ("FILE",
// "INDX") in place: the last two bytes of each 512-byte block must carry
// the sequence number and get back their saved value. False when the array
// does not fit the record or a block was torn.
bool ApplyFixups(std::span<std::uint8_t> record);

struct Run {
    std::int64_t vcn = 0;
    std::int64_t lcn = -1;  // -1: sparse, reads as zeros
    std::int64_t length = 0;
};

// Decodes the mapping pairs of a non-resident attribute that starts at
// `lowest_vcn` into runs. False when a pair overruns the bytes, a length is
// not positive, or a run leaves [0, total_clusters).
bool DecodeRuns(std::span<const std::uint8_t> pairs, std::int64_t lowest_vcn, std::uint64_t total_clusters,
                std::vector<Run>& runs);

struct Attribute {
    std::uint32_t type = 0;
    bool non_resident = false;
    std::u16string name;
    std::uint16_t instance = 0;
    // Resident: the value. Non-resident: the mapping pairs.
    std::vector<std::uint8_t> value;
    std::int64_t lowest_vcn = 0;
    std::int64_t highest_vcn = -1;
    std::uint64_t data_size = 0;  // bytes of the value (both kinds)
};

struct MftRecord {
    std::uint16_t flags = 0;
    std::uint64_t base_record = 0;  // 0 for a base record, else the record this one extends
    std::vector<Attribute> attributes;

    bool in_use() const { return (flags & 1) != 0; }
};

// Parses one MFT record whose fixups are applied. nullopt when it is not a
// FILE record or an attribute does not fit it.
std::optional<MftRecord> ParseMftRecord(std::span<const std::uint8_t> record);

class Volume {
public:
    // Reads the boot sector and $MFT's own record at byte `offset` of
    // `read`, within `length` bytes. nullopt when it is not a readable NTFS.
    static std::optional<Volume> Open(const ReadAt& read, std::int64_t offset, std::int64_t length);

    const BootSector& boot() const { return boot_; }

    // The label of $Volume; empty when there is none. nullopt when the
    // record cannot be read.
    std::optional<std::u16string> label() const;

    // The bytes of $MFT in use (its data size), for the volume data record.
    std::uint64_t mft_data_size() const { return mft_data_size_; }

    // Bytes of the cluster bitmap from byte `first` (clusters 8*first on)
    // into `out`. Bits of clusters past the end of the volume read as used,
    // so a walk over whole bytes never takes them for free space.
    bool read_bitmap(std::uint64_t first, std::span<std::uint8_t> out) const;

    // Clear bits of the bitmap over the volume's clusters.
    std::optional<std::uint64_t> free_clusters() const;

    // Calls `run` for each stretch of free clusters in order (first cluster,
    // count), each as long as the bitmap makes it. `run` returns false to
    // stop. False when the bitmap could not be read.
    bool for_each_free_run(const std::function<bool(std::uint64_t, std::uint64_t)>& run) const;

private:
    Volume(const ReadAt& read, std::int64_t offset, std::int64_t length, const BootSector& boot)
        : read_(read), offset_(offset), length_(length), boot_(boot) {}

    bool read_volume(std::uint64_t at, std::span<std::uint8_t> out) const;
    bool read_runs(const std::vector<Run>& runs, std::uint64_t at, std::span<std::uint8_t> out) const;
    std::optional<MftRecord> record(std::uint64_t number) const;
    // All of an unnamed attribute of a base record, across its attribute
    // list: the value of a resident one, the joined runs of a non-resident one.
    bool attribute(std::uint64_t number, std::uint32_t type, Attribute& whole, std::vector<Run>& runs) const;
    bool load_bitmap();

    ReadAt read_;
    std::int64_t offset_ = 0;
    std::int64_t length_ = 0;
    BootSector boot_;
    std::vector<Run> mft_runs_;
    std::uint64_t mft_data_size_ = 0;
    std::vector<Run> bitmap_runs_;
    std::uint64_t bitmap_size_ = 0;
};

}  // namespace platform::device::ntfs
