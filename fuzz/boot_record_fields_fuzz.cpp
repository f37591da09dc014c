// The Advanced tab's readers of a boot sector and of the MBR's four entries:
// any 512 bytes must show without reading past the sector, and the entries
// shown must build back into the very bytes they were read from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "main/operations/boot_sector_fields.h"
#include "main/operations/partition_table_fields.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    disk::SectorBuffer sector{};
    std::copy_n(data, std::min(size, sector.size()), sector.begin());

    const tarnovell::BootSectorText text = tarnovell::BootSectorTextOf(sector);
    if (text.fields[1].size() != 8) __builtin_trap();
    if (tarnovell::SerialPromptOf(sector)) {
        disk::SectorBuffer edited = sector;
        try {
            tarnovell::PatchSerial(edited, "$01020304");
        } catch (const std::runtime_error&) {
        }
    }

    const tarnovell::PartitionTableText table = tarnovell::PartitionTableTextOf(sector);
    const disk::SectorBuffer built = tarnovell::PartitionEntriesOf(table.rows);
    if (!std::equal(sector.begin() + 446, sector.begin() + 510, built.begin() + 446)) __builtin_trap();
    if (tarnovell::ParseDiskId(table.disk_id) != (sector[440] | sector[441] << 8 | sector[442] << 16 |
                                                  static_cast<std::uint32_t>(sector[443]) << 24))
        __builtin_trap();
    return 0;
}
