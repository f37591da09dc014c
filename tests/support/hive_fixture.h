// The smallest registry hive file that hivex and Windows accept: a regf base
// block, one 4 KiB hbin holding a root key with no subkeys and no values, the
// security cell every key must point at, and one free cell for the rest.
// hivex can change a hive but not create one, so tests start from this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/base/byte_order.h"
#include "support/test_support.h"

namespace test_support {

namespace hive_layout {

inline constexpr std::size_t kBaseBlockSize = 0x1000;
inline constexpr std::size_t kBinSize = 0x1000;
inline constexpr std::size_t kBinHeaderSize = 0x20;
// Offsets inside the hive bins, as the cells refer to each other.
inline constexpr std::uint32_t kRootCell = 0x20;
inline constexpr std::uint32_t kRootCellSize = 0x58;
inline constexpr std::uint32_t kSecurityCell = kRootCell + kRootCellSize;
inline constexpr std::uint32_t kSecurityCellSize = 0x30;
inline constexpr std::uint32_t kFreeCell = kSecurityCell + kSecurityCellSize;
inline constexpr std::uint32_t kNoCell = 0xFFFFFFFFu;

// The base block checksum: the XOR of its first 127 double words, with the
// two values Windows reserves moved aside.
inline std::uint32_t BaseBlockChecksum(const std::string& bytes) {
    std::uint32_t sum = 0;
    for (std::size_t at = 0; at < 0x1FC; at += 4) sum ^= platform::LoadLe32(&bytes[at]);
    if (sum == 0xFFFFFFFFu) return 0xFFFFFFFEu;
    if (sum == 0) return 1;
    return sum;
}

}  // namespace hive_layout

// The bytes of an empty hive whose root key is called `root_name` (ASCII).
inline std::string EmptyHiveBytes(const std::string& root_name = "ROOT") {
    using namespace hive_layout;
    std::string hive(kBaseBlockSize + kBinSize, '\0');

    // Base block.
    hive.replace(0, 4, "regf");
    platform::StoreLe32(&hive[0x04], 1);  // primary sequence number
    platform::StoreLe32(&hive[0x08], 1);  // secondary sequence number: equal, so the hive is consistent
    platform::StoreLe32(&hive[0x14], 1);  // format 1.5
    platform::StoreLe32(&hive[0x18], 5);
    platform::StoreLe32(&hive[0x1C], 0);  // primary file
    platform::StoreLe32(&hive[0x20], 1);  // direct memory load
    platform::StoreLe32(&hive[0x24], kRootCell);
    platform::StoreLe32(&hive[0x28], static_cast<std::uint32_t>(kBinSize));
    platform::StoreLe32(&hive[0x2C], 1);  // clustering factor
    platform::StoreLe32(&hive[0x1FC], BaseBlockChecksum(hive));

    // The hbin header.
    const std::size_t bin = kBaseBlockSize;
    hive.replace(bin, 4, "hbin");
    platform::StoreLe32(&hive[bin + 0x04], 0);
    platform::StoreLe32(&hive[bin + 0x08], static_cast<std::uint32_t>(kBinSize));

    // Root key cell (allocated cells carry a negative size).
    const std::size_t nk = bin + kRootCell;
    platform::StoreLe32(&hive[nk], static_cast<std::uint32_t>(-static_cast<std::int32_t>(kRootCellSize)));
    hive.replace(nk + 0x04, 2, "nk");
    platform::StoreLe16(&hive[nk + 0x06], 0x2C);     // hive entry, not deletable, ASCII name
    platform::StoreLe32(&hive[nk + 0x14], kNoCell);  // parent
    platform::StoreLe32(&hive[nk + 0x18], 0);        // subkeys
    platform::StoreLe32(&hive[nk + 0x1C], 0);        // volatile subkeys
    platform::StoreLe32(&hive[nk + 0x20], kNoCell);  // subkey list
    platform::StoreLe32(&hive[nk + 0x24], kNoCell);  // volatile subkey list
    platform::StoreLe32(&hive[nk + 0x28], 0);        // values
    platform::StoreLe32(&hive[nk + 0x2C], kNoCell);  // value list
    platform::StoreLe32(&hive[nk + 0x30], kSecurityCell);
    platform::StoreLe32(&hive[nk + 0x34], kNoCell);  // class name
    const std::string name = root_name.substr(0, kRootCellSize - 0x50);
    platform::StoreLe16(&hive[nk + 0x4C], static_cast<std::uint16_t>(name.size()));
    hive.replace(nk + 0x50, name.size(), name);

    // Security cell: alone in its ring, used by the root key, holding a
    // self-relative descriptor with a null DACL (everyone may do anything).
    const std::size_t sk = bin + kSecurityCell;
    platform::StoreLe32(&hive[sk], static_cast<std::uint32_t>(-static_cast<std::int32_t>(kSecurityCellSize)));
    hive.replace(sk + 0x04, 2, "sk");
    platform::StoreLe32(&hive[sk + 0x08], kSecurityCell);  // previous in the ring
    platform::StoreLe32(&hive[sk + 0x0C], kSecurityCell);  // next in the ring
    platform::StoreLe32(&hive[sk + 0x10], 1);              // references
    platform::StoreLe32(&hive[sk + 0x14], 20);             // descriptor size
    hive[sk + 0x18] = 1;                                   // revision
    platform::StoreLe16(&hive[sk + 0x1A], 0x8004);         // self-relative, DACL present (null)

    // Everything after is one free cell.
    platform::StoreLe32(&hive[bin + kFreeCell], static_cast<std::uint32_t>(kBinSize - kFreeCell));
    return hive;
}

inline void WriteEmptyHive(const std::string& path, const std::string& root_name = "ROOT") {
    WriteWholeFile(path, EmptyHiveBytes(root_name));
}

}  // namespace test_support
