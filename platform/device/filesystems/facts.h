// What a file system says about itself in its own superblock, boot
// sector and metadata: label, serial number, cluster geometry and free
// space, read where the owning system reads them. These
// answer the volume-information and free-space questions for volumes that
// are not mounted on this machine (the image-file disks, or unmounted
// partitions).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/device/records/partition_table.h"

namespace platform::device {

struct FileSystemFacts {
    std::string name;    // as ProbeFileSystem names it; empty when unknown
    std::string label;
    std::uint32_t serial = 0;
    std::uint32_t bytes_per_sector = 512;
    std::uint32_t sectors_per_cluster = 0;  // 0 when not known
    std::uint64_t total_clusters = 0;
    std::optional<std::uint64_t> free_clusters;  // not every file system records it where we can read it
};

// What is asked of a file system: counting free space means reading its
// whole cluster bitmap or table, which a question for the label need not pay.
enum class FactsWanted { Everything, NoFreeSpace };

// Reads only inside [offset, offset + length).
FileSystemFacts ReadFileSystemFacts(const ReadAt& read, std::int64_t offset, std::int64_t length,
                                    FactsWanted wanted = FactsWanted::Everything);

}  // namespace platform::device
