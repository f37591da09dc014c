// Overwriting with zeros: a whole disk or volume ("Wipe Disk", "Wipe
// Volume", the command line's -wipe), or only the free clusters of an NTFS
// volume ("Clean Volume"). Both run on the caller's thread, report through
// the context (bar, status line, console dots) and stop on its cancel flag.
#pragma once

#include <cstdint>
#include <string>

#include "disk/copy/operation_context.h"

namespace tarnovell {

enum class WipeResult { Completed, Declined, Cancelled, Failed };

// Asks "Wipe <path>?", then writes zeros over all of the disk or volume
// through the copy loop: a disk with its volumes locked, a volume locked
// and dismounted. Ends with "done in ... KBytes/sec" on the status line.
WipeResult WipeDevice(const std::string& path, const disk::OperationContext& context);

// Asks, then writes zeros over every cluster the NTFS volume's bitmap marks
// free, and no other. The volume is locked and dismounted before its bitmap
// is read and stays so while the clusters are written; a volume that cannot
// be locked is left alone. Free clusters next to each other are written
// together, up to 1 MiB at a time. Ends with "zeroed clusters : " on the
// status line.
WipeResult ZeroFreeClusters(const std::string& volume, const disk::OperationContext& context);

// The most bytes one write of ZeroFreeClusters covers.
constexpr std::int64_t kMostZeroedAtOnce = 1 << 20;

}  // namespace tarnovell
