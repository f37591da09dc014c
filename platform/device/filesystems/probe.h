// Naming the file system a volume holds from its first sectors, with the
// names Windows uses for the ones it mounts.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/device/records/partition_table.h"

namespace platform::device {

// The file system in bytes [offset, offset + length) of the disk `read`
// reads: "NTFS", "FAT32", "FAT" (FAT12/16), "exFAT", "ext2", "ext3", "ext4",
// "XFS", "btrfs", or "" when none is recognized. Reads nothing outside the
// range: the first 4 KiB of it and, for btrfs, a few bytes at 64 KiB.
// The file system a boot sector belongs to, told from the sector alone (the
// first 512 bytes of `sector`; a shorter one is none): "NTFS", "exFAT",
// "FAT32", "FAT" (FAT12/16, whose 16-bit sectors-per-FAT field is not
// zero), or "" when its parameter block is not one these file systems
// would write.
std::string BootSectorFileSystem(std::span<const std::uint8_t> sector);

std::string ProbeFileSystem(const ReadAt& read, std::int64_t offset, std::int64_t length);

}  // namespace platform::device
