// Changing a disk's partition table through the drive-layout requests rather
// than by writing sectors: each edit reads the whole layout, changes one
// entry or one header field, marks it for rewriting, writes the layout back
// and has the system re-read the disk. The same family makes a fresh MBR,
// GPT or raw disk and grows or shrinks volumes.
//
// A disk is named by its path or a bare number ("\\.\PhysicalDrive1", "1"),
// except for the two MBR setters, which open the path they are given. Entry
// numbers are 1-based places in the layout as read; a number outside it is
// refused, never quietly ignored. Failures of the setters are shown in a box
// captioned "tarnovell" and answered False; the create routines raise.
#pragma once

#include <cstdint>
#include <string>

namespace disk {

bool SetGptDiskId(const std::string& disk, const std::string& guid);
bool SetMbrDiskSignature(const std::string& disk, std::uint32_t signature);
bool SetGptAttributes(const std::string& disk, int entry, std::int64_t attributes);
bool SetGptPartitionId(const std::string& disk, int entry, const std::string& guid);
bool SetGptPartitionType(const std::string& disk, int entry, const std::string& guid);
bool SetMbrBootIndicator(const std::string& path, int entry, bool boot);
bool SetMbrPartitionType(const std::string& path, int entry, std::uint8_t type);
// Entries 1 and k change places; each keeps its own partition number.
bool MovePartitionToFirst(const std::string& disk, int entry);
bool DeletePartitionMbr(const std::string& disk, int entry);
bool DeletePartitionEx(const std::string& disk, int entry);

// A new partition in entry k. Entry 1 with offset and length 0 takes the
// disk from 1 MiB to its last whole MiB. Writes "partition_number:",
// "offset:" and "size:" lines to standard output first. Raises
// "IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed:", "IOCTL_DISK_GET_LENGTH_INFO
// failed:" or "IOCTL_DISK_SET_DRIVE_LAYOUT failed:" (MBR) /
// "IOCTL_DISK_SET_DRIVE_LAYOUT_EX failed:" (GPT) with the system's text.
bool CreatePartitionMbr(const std::string& disk, int entry, bool boot, std::uint8_t type, std::int64_t length,
                        std::int64_t offset);
bool CreatePartitionEx(const std::string& disk, int entry, const std::string& type_guid, std::int64_t length,
                       std::int64_t offset);

// Partition styles of CreateDiskLayout.
enum : std::uint8_t { kLayoutMbr = 0, kLayoutGpt = 1, kLayoutRaw = 2 };
// A new, empty layout: MBR with the signature 01020304 hexadecimal, GPT with
// a fresh disk GUID and room for 128 entries, or none. Raises
// "IOCTL_DISK_CREATE_DISK failed:" with the system's text.
bool CreateDiskLayout(const std::string& disk, std::uint8_t style);

// The file system of a volume grows to (or shrinks to) a size in sectors;
// the partition that holds a path grows by a (signed) byte count. Failures
// are shown in a box and answered False.
bool ExtendVolumeIoctl(const std::string& volume, std::int64_t sectors);
bool ShrinkVolumeIoctl(const std::string& volume, std::int64_t sectors);
bool GrowPartitionIoctl(const std::string& path, std::int64_t bytes);

}  // namespace disk
