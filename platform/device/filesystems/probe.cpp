#include "platform/device/filesystems/probe.h"

#include <bit>
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/base/byte_order.h"
#include "platform/device/records/mbr.h"

namespace platform::device {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Everything but btrfs identifies itself in the first 4 KiB: the boot sector
// of NTFS/FAT/exFAT, the XFS superblock at 0, the ext superblock at 1024.
constexpr std::int64_t kHeadBytes = 4096;


bool HasBytes(const Bytes& data, std::size_t offset, const char* text, std::size_t length) {
    return data.size() >= offset + length && std::memcmp(data.data() + offset, text, length) == 0;
}

bool HasBootSignature(const Bytes& head) {
    return head.size() >= sizeof(MasterBootRecord) && device::HasBootSignature(head.data());
}

bool IsNtfs(const Bytes& head) { return HasBootSignature(head) && HasBytes(head, 3, "NTFS    ", 8); }

bool IsExfat(const Bytes& head) { return HasBootSignature(head) && HasBytes(head, 3, "EXFAT   ", 8); }

// FAT has no magic of its own; a boot sector whose BIOS parameter block is
// self-consistent is taken as one. Windows tells FAT32 from FAT12/16 by the
// 16-bit sectors-per-FAT field being zero, and so does this.
const char* FatVariant(const Bytes& head) {
    if (!HasBootSignature(head)) return nullptr;
    const std::uint8_t* p = head.data();
    if (p[0] != 0xEB && p[0] != 0xE9) return nullptr;  // the jump over the BPB
    const std::uint16_t bytes_per_sector = LoadLe16(p + 11);
    const std::uint8_t sectors_per_cluster = p[13];
    const std::uint16_t reserved_sectors = LoadLe16(p + 14);
    const std::uint8_t fat_count = p[16];
    const std::uint16_t total_sectors16 = LoadLe16(p + 19);
    const std::uint8_t media = p[21];
    const std::uint16_t fat_size16 = LoadLe16(p + 22);
    const std::uint32_t total_sectors32 = LoadLe32(p + 32);
    const std::uint32_t fat_size32 = LoadLe32(p + 36);
    if (bytes_per_sector < 512 || bytes_per_sector > 4096 || !std::has_single_bit(bytes_per_sector)) return nullptr;
    if (!std::has_single_bit(sectors_per_cluster)) return nullptr;
    if (reserved_sectors == 0 || fat_count == 0) return nullptr;
    if (media != 0xF0 && media < 0xF8) return nullptr;
    if (total_sectors16 == 0 && total_sectors32 == 0) return nullptr;
    if (fat_size16 != 0) return "FAT";
    return fat_size32 != 0 ? "FAT32" : nullptr;
}

bool IsXfs(const Bytes& head) {
    if (!HasBytes(head, 0, "XFSB", 4) || head.size() < 8) return false;
    const std::uint32_t block_size = LoadBe32(head.data() + 4);
    return std::has_single_bit(block_size) && block_size >= 512 && block_size <= 65536;
}

// ext2/3/4 share one superblock at byte 1024; the generation is told by the
// features: any of extents, 64-bit or flexible block groups makes ext4, a
// journal without them ext3.
const char* ExtVariant(const Bytes& head) {
    constexpr std::size_t kSuper = 1024;
    constexpr std::size_t kNeeded = kSuper + 0x68;
    if (head.size() < kNeeded) return nullptr;
    const std::uint8_t* s = head.data() + kSuper;
    if (LoadLe16(s + 0x38) != 0xEF53) return nullptr;
    if (LoadLe32(s + 0x18) > 6) return nullptr;  // block size above 64 KiB
    constexpr std::uint32_t kCompatHasJournal = 0x4;
    constexpr std::uint32_t kIncompatExtents = 0x40;
    constexpr std::uint32_t kIncompat64Bit = 0x80;
    constexpr std::uint32_t kIncompatFlexBg = 0x200;
    const std::uint32_t compat = LoadLe32(s + 0x5C);
    const std::uint32_t incompat = LoadLe32(s + 0x60);
    if (incompat & (kIncompatExtents | kIncompat64Bit | kIncompatFlexBg)) return "ext4";
    if (compat & kCompatHasJournal) return "ext3";
    return "ext2";
}

constexpr std::int64_t kBtrfsMagicOffset = 0x10000 + 0x40;
constexpr char kBtrfsMagic[] = "_BHRfS_M";

}  // namespace

std::string BootSectorFileSystem(std::span<const std::uint8_t> sector) {
    if (IsNtfs(sector)) return "NTFS";
    if (IsExfat(sector)) return "exFAT";
    if (const char* fat = FatVariant(sector)) return fat;
    return "";
}

std::string ProbeFileSystem(const ReadAt& read, std::int64_t offset, std::int64_t length) {
    if (offset < 0 || length <= 0 || offset > std::numeric_limits<std::int64_t>::max() - length) return "";

    std::vector<std::uint8_t> head(static_cast<std::size_t>(std::min(length, kHeadBytes)));
    if (!read(offset, head.data(), head.size())) return "";
    if (std::string boot = BootSectorFileSystem(head); !boot.empty()) return boot;
    if (IsXfs(head)) return "XFS";
    if (const char* ext = ExtVariant(head)) return ext;

    const std::size_t magic_length = sizeof kBtrfsMagic - 1;
    if (length >= kBtrfsMagicOffset + static_cast<std::int64_t>(magic_length)) {
        std::vector<std::uint8_t> magic(magic_length);
        if (read(offset + kBtrfsMagicOffset, magic.data(), magic.size()) && HasBytes(magic, 0, kBtrfsMagic, magic_length))
            return "btrfs";
    }
    return "";
}

}  // namespace platform::device
