// Writing a partition table: the sectors a new drive layout (or a new, empty
// disk) puts on a disk, worked out without touching it. The device layer
// reads the disk through `read`, checks the plan against what is in use, and
// only then writes its sectors.
//
// A plan is refused, with the Windows error code a caller sees and a reason
// for people, when the layout could not be read back as given: entries that
// overlap, leave the disk or the GPT's usable range, start or end off a
// sector, do not fit the 32-bit fields of an MBR entry, or are logical
// partitions without an extended partition to hold them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/base/win_error.h"
#include "platform/device/records/partition_table.h"
#include "platform/device/records/winioctl.h"

namespace platform::device {

// `bytes` go to byte `offset` of the disk.
struct SectorWrite {
    std::int64_t offset = 0;
    std::vector<std::uint8_t> bytes;
};

struct LayoutPlan {
    DWORD error = ERROR_SUCCESS;
    std::string reason;
    std::vector<SectorWrite> writes;

    bool ok() const { return error == ERROR_SUCCESS; }
};

// The table IOCTL_DISK_SET_DRIVE_LAYOUT_EX is given, over the disk as it is.
//
// MBR: entries come in fours, the first four the primary table and each
// further four one extended boot record, chained in that order. Only the
// logical partition of each four counts; the links between the records are
// worked out anew. The first extended partition of the primary table holds
// the chain.
//
// GPT: an entry that is not marked for rewriting and is on the disk as it
// stands keeps its slot and its bytes; every other entry goes to the slot of
// its place in the layout when that is free, else to the first free one. A
// table already on the disk keeps its size and usable start; the backup
// moves to the disk's end. Null partition GUIDs get fresh ones.
//
// Entries that are not touched keep their bytes (CHS values, reserved
// fields), and so do the boot code and the bytes around the disk signature.
LayoutPlan PlanDriveLayout(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size,
                           const DRIVE_LAYOUT_INFORMATION_EX_HEADER& header,
                           const std::vector<PARTITION_INFORMATION_EX>& entries);

// A new, empty table (IOCTL_DISK_CREATE_DISK). MBR keeps the boot code of a
// plain MBR and wipes both GPT headers; GPT starts from a clean protective
// MBR; RAW clears the partition table and its signature and wipes both GPT
// headers, so that no tool finds a table afterwards.
LayoutPlan PlanCreateDisk(const ReadAt& read, std::int64_t disk_size, std::uint32_t sector_size,
                          const CREATE_DISK& request);

// The disk as it reads once `writes` are on it.
ReadAt OverlayReader(ReadAt disk, std::vector<SectorWrite> writes);

// A layout in the shape of the Windows record.
DRIVE_LAYOUT_INFORMATION_EX_HEADER DriveLayoutHeaderOf(const DiskLayout& layout);
PARTITION_INFORMATION_EX PartitionEntryOf(const PartitionRecord& record);

// The CHS address an MBR entry stores for `lba` (255 heads, 63 sectors per
// track); past what CHS can address, the largest address (FE FF FF).
void LbaToChs(std::uint64_t lba, std::uint8_t chs[3]);

}  // namespace platform::device
