// FAT12/16/32 read as Windows reads them: the label is the volume-label
// entry of the root directory (what relabelling changes; the boot sector's
// copy counts only where that entry is missing), and the free space is
// what the FAT itself marks free, not the FSInfo hint.
#pragma once

#include <cstdint>
#include <string>

#include "platform/device/filesystems/facts.h"
#include "platform/device/filesystems/volume_bytes.h"

namespace platform::device::fat {

// An 11-byte OEM label (code page 850, as dosfstools writes it) as UTF-8,
// trailing blanks dropped.
std::string OemLabelToUtf8(const std::uint8_t* bytes, std::size_t size);

// Fills the geometry, serial, label and (with `count_free`) the free count
// of `f`, whose name the probe set to "FAT" or "FAT32"; leaves what cannot
// be read unset.
void ReadFacts(const VolumeBytes& volume, bool count_free, FileSystemFacts& f);

}  // namespace platform::device::fat
