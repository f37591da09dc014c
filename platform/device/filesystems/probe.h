// Naming the file system a volume holds from its first sectors, with the
// names Windows uses for the ones it mounts.
#pragma once

#include <cstdint>
#include <string>

#include "platform/device/records/partition_table.h"

namespace platform::device {

// The file system in bytes [offset, offset + length) of the disk `read`
// reads: "NTFS", "FAT32", "FAT" (FAT12/16), "exFAT", "ext2", "ext3", "ext4",
// "XFS", "btrfs", or "" when none is recognized. Reads nothing outside the
// range: the first 4 KiB of it and, for btrfs, a few bytes at 64 KiB.
std::string ProbeFileSystem(const ReadAt& read, std::int64_t offset, std::int64_t length);

}  // namespace platform::device
