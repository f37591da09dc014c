// Fresh random identifiers: the 16 bytes of a version-4 UUID, for the
// unique ids that disks, partitions and virtual disks carry.
#pragma once

#include <array>
#include <cstdint>

namespace platform {

// RFC 4122 byte order, version and variant bits set. From the kernel's
// random source; should that be unreadable, from a generator seeded with the
// time and process, which still differs from run to run.
std::array<std::uint8_t, 16> RandomUuidBytes();

}  // namespace platform
