// exFAT read as Windows reads it: the label from the volume-label entry of
// the root directory (UTF-16), the free space from the allocation bitmap.
#pragma once

#include "platform/device/filesystems/facts.h"
#include "platform/device/filesystems/volume_bytes.h"

namespace platform::device::exfat {

// Fills the geometry, serial, label and (with `count_free`) the free count
// of `f`; leaves what cannot be read unset.
void ReadFacts(const VolumeBytes& volume, bool count_free, FileSystemFacts& f);

}  // namespace platform::device::exfat
