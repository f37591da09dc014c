// The disk inside a fixed or dynamic VHD file, read and written by offset
// with our own code: no server, no attach, nothing between the caller and
// the file. A fixed image holds the disk's bytes as they are, followed by
// its footer; a dynamic one holds blocks in any order behind a block
// allocation table, and gets a block only where data first reaches it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/win_error.h"
#include "platform/virtdisk/vhd/vhd_io.h"
#include "platform/virtdisk/vhd/vhd_records.h"

namespace platform::virtdisk {

class VhdImage {
public:
    // Opens the image at `path`. Every record and every block the table
    // names is checked before anything is read or written: a file whose
    // footer does not hold (cookie, checksum) is ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    // a dynamic header, table or block that cannot be believed or lies
    // beyond the end of the file is ERROR_INVALID_DATA; a differencing
    // image (which needs its parent) is ERROR_NOT_SUPPORTED; the file's own
    // errors come as they are.
    static DWORD Open(const std::string& path, bool writable, std::unique_ptr<VhdImage>& out);

    ~VhdImage();
    VhdImage(const VhdImage&) = delete;
    VhdImage& operator=(const VhdImage&) = delete;

    std::uint32_t disk_type() const { return footer_.disk_type.value(); }
    // The bytes of the virtual disk.
    std::int64_t size() const { return size_; }

    // Reads [offset, offset + length) of the disk, which must lie inside it;
    // what no block holds reads as zeros. ERROR_SUCCESS or the error.
    DWORD read(std::int64_t offset, void* buffer, std::size_t length);
    // Writes [offset, offset + length), which must lie inside the disk. A
    // dynamic image gets a block where data first reaches it; zeros that
    // reach no block are not stored (they read as zeros already).
    DWORD write(std::int64_t offset, const void* data, std::size_t length);
    // Everything written is on the medium. May run beside write.
    DWORD sync();
    // Syncs and closes; the image is whole whether or not this is called.
    DWORD close();

private:
    VhdImage() = default;
    DWORD open_dynamic(std::int64_t file_size);
    // Calls piece(block, offset in block, bytes done, bytes) for each part of
    // [offset, offset + length) that lies in one block, in order.
    template <typename Piece>
    DWORD for_each_piece(std::int64_t offset, std::size_t length, const Piece& piece);
    DWORD read_block(std::uint32_t block, std::uint32_t within, std::uint8_t* buffer, std::size_t length);
    DWORD write_block(std::uint32_t block, std::uint32_t within, const std::uint8_t* data, std::size_t length);
    DWORD allocate(std::uint32_t block);
    // The sector bitmap of an allocated block, read once; empty when every
    // sector of the block is marked as written.
    DWORD bitmap_of(std::uint32_t block, const std::vector<std::uint8_t>*& bitmap);

    VhdFileIo file_;
    bool writable_ = false;
    VhdFooter footer_{};
    std::int64_t size_ = 0;
    // Dynamic images only.
    VhdDynamicHeader header_{};
    std::uint32_t block_size_ = 0;
    std::uint64_t bitmap_bytes_ = 0;
    std::vector<VhdTableEntry> table_;
    std::vector<std::vector<std::uint8_t>> bitmaps_;  // per block: not read yet, or partly marked
    std::vector<bool> bitmap_known_;
    std::int64_t next_block_at_ = 0;  // where the next new block goes (the footer is there now)
};

}  // namespace platform::virtdisk
