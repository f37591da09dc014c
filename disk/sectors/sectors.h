// Single sectors and short runs of sectors between devices and files: an
// MBR backed up or restored (whole or by regions), a boot sector restored
// (optionally keeping the device's own BPB), the partition table alone, one
// sector at a sector number, N sectors into a new file.
//
// Positions are sector numbers of 512 bytes, 64-bit, and checked against
// the size of the device or file before anything is read or written. Writes
// to a device go through an unbuffered handle; a file that is no whole
// number of the device's sectors is written by reading the sectors it
// touches, changing its bytes in them and writing them back. Runs of
// sectors are copied by the one copy loop, in bounded blocks.
//
// A device refuses a write under a volume in use, and a write to a disk
// whose table would then delete, move or cut short a volume in use (a
// restored MBR without the partition someone has mounted): nothing of it
// is written, and the routines say "a volume of " + path + " is still in
// use: nothing was written".
//
// Messages and questions go through the context's interaction, with the
// lower-case caption these tools have always used; each routine returns
// whether it did its work (false also when the person declined).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "disk/copy/operation_context.h"

namespace disk {

constexpr std::int64_t kSectorBytes = 512;

using SectorBuffer = std::array<std::uint8_t, kSectorBytes>;

// Which regions of sector 0 a restore takes from the file (true) rather
// than keeping the device's.
struct TMbrParts {
    bool BootCode = false;        // bytes 0..439
    bool DiskSignature = false;   // 440..443
    bool Reserved = false;        // 444..445
    bool PartitionTable = false;  // 446..509
    bool BootSignature = false;   // 510..511
};

// Writes `file` at a sector number asked for (a disk or a file) or at 0 (a
// volume). With `keep_bpb` the device's jump and BPB (bytes 0..83) and its
// boot signature stay; the signature is offered a fix when it is not 55 AA.
bool RestoreBootSector(const std::string& device, const std::string& file, bool keep_bpb,
                       const OperationContext& context = {});

// Copies `count` sectors of `source` into the new file `file` (an existing
// file is refused). An image file as the source is read from a sector
// number asked for (63 offered), a device from its start.
bool BackupSectors(const std::string& source, const std::string& file, std::int64_t count,
                   const OperationContext& context = {});

// Writes an MBR file at the start of `device`: the whole file, or with
// `merge` only the regions `parts` chooses (and the file's bytes past 512).
// Raises "could not createfile" when either cannot be opened; without
// `merge` also "readfile error:" / "WriteFile error:" with the system text.
bool RestoreMbr(const std::string& device, const std::string& file, bool merge, const TMbrParts& parts,
                const OperationContext& context = {});

// Replaces bytes 446..509 of sector 0 of `device` with those of `image`.
bool WritePartitionTable(const std::string& device, const SectorBuffer& image, const OperationContext& context = {});

// One sector at `sector` of a disk, volume or file. For a disk or a file,
// sector 0 without `no_prompt` means "ask which sector"; an empty answer
// reads or writes nothing. WriteSector is true only when all 512 bytes
// were written.
bool ReadSector(const std::string& path, SectorBuffer& buffer, std::int64_t sector, bool no_prompt,
                const OperationContext& context = {});
bool WriteSector(const std::string& path, const SectorBuffer& buffer, std::int64_t sector, bool no_prompt,
                 const OperationContext& context = {});
bool ReadFirstSector(const std::string& path, SectorBuffer& buffer, const OperationContext& context = {});

// Copies `count` sectors of `device` from byte `offset` into `file`, which
// is replaced when it is a regular file. Raises "could not createfile",
// "readfile error:" or "WriteFile error:" with the system text.
bool CopySectorsToFile(const std::string& device, const std::string& file, std::int64_t count, std::int64_t offset,
                       const OperationContext& context = {});

// A sector number typed by the person: decimal, or hexadecimal after "$";
// nothing when it is empty, negative or no number.
std::optional<std::int64_t> ParseSectorNumber(const std::string& text);

}  // namespace disk
