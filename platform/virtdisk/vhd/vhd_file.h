// Our own handling of the VHD format where the qemu tools stop: recognising
// a fixed VHD (which qemu takes for a raw file), reading its footer and
// dynamic header, and growing fixed and dynamic images in place. The records
// themselves are in vhd_records.h; reading and writing a disk's bytes in
// vhd_image.h.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/virtdisk/vhd/vhd_records.h"

namespace platform::virtdisk {

// The footer at the end of `path` when its cookie and checksum check out.
std::optional<VhdFooter> ReadVhdFooter(const std::string& path);
std::optional<VhdDynamicHeader> ReadVhdDynamicHeader(const std::string& path, const VhdFooter& footer);

// Whether the block table a dynamic header describes can be believed: a
// block size that is a power of two from 512 bytes to 256 MiB, at least
// enough entries for the disk and no more than the largest VHD (2040 GiB)
// could use, and a table that lies inside the file of `file_size` bytes.
// Callers refuse other headers with ERROR_INVALID_DATA before sizing
// anything by them.
bool VhdTableIsSound(const VhdFooter& footer, const VhdDynamicHeader& header, std::int64_t file_size);

// The CHS geometry the format derives from a size, packed as stored
// (cylinders u16, heads u8, sectors per track u8).
std::uint32_t VhdGeometry(std::uint64_t size);

// Grows the virtual disk of a fixed or dynamic VHD to `new_size` bytes (a
// multiple of 512, larger than now). Returns a Windows error code.
std::uint32_t ExpandVhd(const std::string& path, std::uint64_t new_size);

// Shrinks the virtual disk of a fixed or dynamic VHD to `new_size` bytes (a
// multiple of 512, smaller than now); the caller has made sure nothing of
// value lies past it. A fixed image loses its tail; a dynamic one keeps its
// blocks but no longer offers them.
std::uint32_t ShrinkVhd(const std::string& path, std::uint64_t new_size);

// Gives the VHD `copy` (a rebuild of `original`) the original's unique id
// and time stamp, in both copies of its footer, so that differencing disks
// made on the original still find it as their parent. Returns a Windows
// error code.
std::uint32_t KeepVhdIdentity(const std::string& original, const std::string& copy);

// ---- differencing disks -------------------------------------------------------

// Creates `child` as a differencing VHD over the VHD `parent` (same virtual
// size, 2 MiB blocks, nothing of its own yet). Returns a Windows error code.
std::uint32_t CreateDifferencingVhd(const std::string& child, const std::string& parent);

// The parent of a differencing VHD as its locators and name find it on this
// machine (the relative locator first, then the absolute one, then the name
// beside the child); "" when none of them is there.
std::string VhdParentPath(const std::string& child);

// Hands every run of sectors the differencing VHD holds itself to `take`
// (disk offset, bytes, length), in disk order; stops with ERROR_CANCELLED
// when `take` answers false. Returns a Windows error code.
using VhdRunSink = std::function<bool(std::int64_t offset, const void* data, std::size_t length)>;
std::uint32_t ForEachOwnRun(const std::string& child, const VhdRunSink& take);

}  // namespace platform::virtdisk
