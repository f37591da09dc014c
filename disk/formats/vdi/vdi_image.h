// VirtualBox disk images (VDI), read by our own code: a 512-byte header and
// a map of 32-bit block numbers, the blocks stored in the order they were
// allocated.
//
// The header and the map come from the file and are checked before anything
// is read through them: signature, version, image type, block size (0 would
// divide by zero), a map that covers the disk and lies inside the file, and
// map entries that point at blocks the image can have. A differencing image
// (its parent is another file) is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "disk/copy/copy_endpoints.h"
#include "platform/base/byte_order.h"

namespace disk {

#pragma pack(push, 1)
struct VdiHeader {
    char szFileInfo[64];
    platform::le32 u32Signature;
    platform::le32 u32Version;
    platform::le32 cbHeader;
    platform::le32 u32Type;
    platform::le32 fFlags;
    char szComment[256];
    platform::le32 offBlocks;
    platform::le32 offData;
    platform::le32 cCylinders;
    platform::le32 cHeads;
    platform::le32 cSectors;
    platform::le32 cbSector;
    platform::le32 u32Reserved;
    platform::le64 cbDisk;
    platform::le32 cbBlock;
    platform::le32 cbBlockExtra;
    platform::le32 cBlocks;
    platform::le32 cBlocksAllocated;
    std::uint8_t rest[120];
};
#pragma pack(pop)
static_assert(sizeof(VdiHeader) == 512);
static_assert(offsetof(VdiHeader, offBlocks) == 340);
static_assert(offsetof(VdiHeader, cbDisk) == 368);
static_assert(offsetof(VdiHeader, cBlocksAllocated) == 388);

constexpr std::uint32_t kVdiSignature = 0xBEDA107F;
constexpr std::uint32_t kVdiBlockFree = 0xFFFFFFFF;  // never written: reads as zeros
constexpr std::uint32_t kVdiBlockZero = 0xFFFFFFFE;  // discarded: reads as zeros
enum : std::uint32_t { kVdiNormal = 1, kVdiFixed = 2, kVdiUndo = 3, kVdiDifferencing = 4 };

// The disk a VDI image holds, as a source: reads are split at block ends and
// end at the disk's end.
class VdiImage : public CopySource {
public:
    // Reads and checks the header and block map of the image stored in
    // `file` (`file_size` bytes), writing the header's fields to `trace`
    // when there is one. Raises CopyFormatError with a text that says what
    // is wrong with the image.
    VdiImage(std::unique_ptr<CopySource> file, std::int64_t file_size, std::ostream* trace = nullptr);

    // cbDisk: the size of the disk.
    std::int64_t size() override { return disk_size_; }
    // Raises CopyFormatError for a block the file does not hold in full.
    std::size_t read(std::int64_t offset, std::span<std::byte> buffer) override;
    // The file's name, which the failures of later reads then start with.
    void set_name(std::string name) { name_ = std::move(name); }

private:
    std::unique_ptr<CopySource> file_;
    std::int64_t file_size_ = 0;
    std::int64_t disk_size_ = 0;
    std::int64_t data_offset_ = 0;
    std::int64_t block_size_ = 0;
    std::int64_t block_extra_ = 0;
    std::vector<std::uint32_t> map_;
    std::string name_;

    std::size_t read_blocks(std::int64_t offset, std::span<std::byte> buffer);
};

// Opens the VDI image at `name` (a file path) for reading. Raises
// std::runtime_error: "could not createfile (src)," with the error code, the
// path and the system's text when the file cannot be opened, CopyFormatError
// (starting with the name) when it is no image we can read.
std::unique_ptr<VdiImage> vdi_open(const std::string& name, std::ostream* trace = nullptr);

}  // namespace disk
