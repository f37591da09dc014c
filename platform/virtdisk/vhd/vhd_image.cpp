#include "platform/virtdisk/vhd/vhd_image.h"

#include <algorithm>
#include <cstring>

#include "platform/virtdisk/vhd/vhd_file.h"

namespace platform::virtdisk {

namespace {

constexpr std::int64_t kFooterSize = sizeof(VhdFooter);

bool AllZero(const std::uint8_t* data, std::size_t length) {
    return length == 0 || (data[0] == 0 && std::memcmp(data, data + 1, length - 1) == 0);
}

bool SectorMarked(const std::vector<std::uint8_t>& bitmap, std::uint64_t sector) {
    return (bitmap[sector / 8] >> (7 - sector % 8)) & 1;
}

void MarkSector(std::vector<std::uint8_t>& bitmap, std::uint64_t sector) {
    bitmap[sector / 8] = static_cast<std::uint8_t>(bitmap[sector / 8] | (0x80 >> (sector % 8)));
}

}  // namespace

DWORD VhdImage::Open(const std::string& path, bool writable, std::unique_ptr<VhdImage>& out) {
    std::unique_ptr<VhdImage> image(new VhdImage);
    if (DWORD opened = image->file_.open(path, writable); opened != ERROR_SUCCESS) return opened;
    image->writable_ = writable;
    const std::int64_t file_size = image->file_.size();
    if (file_size < kFooterSize) return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    VhdFooter& footer = image->footer_;
    if (!image->file_.read(footer, file_size - kFooterSize)) return LastFileError();
    if (!IsSound(footer)) {
        // Some writers leave only the copy at the start valid (a torn update);
        // a fixed image has no such copy.
        if (!image->file_.read(footer, 0) || !IsSound(footer) || footer.disk_type.value() == kVhdFixed)
            return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    }
    switch (footer.disk_type.value()) {
    case kVhdFixed: image->size_ = file_size - kFooterSize; break;
    case kVhdDynamic:
        if (DWORD opened = image->open_dynamic(file_size); opened != ERROR_SUCCESS) return opened;
        break;
    case kVhdDifferencing: return ERROR_NOT_SUPPORTED;
    default: return ERROR_VIRTDISK_NOT_VIRTUAL_DISK;
    }
    out = std::move(image);
    return ERROR_SUCCESS;
}

DWORD VhdImage::open_dynamic(std::int64_t file_size) {
    const std::uint64_t header_at = footer_.data_offset.value();
    if (header_at > static_cast<std::uint64_t>(file_size) || !file_.read(header_, static_cast<std::int64_t>(header_at)) ||
        !IsSound(header_) || !VhdTableIsSound(footer_, header_, file_size))
        return ERROR_INVALID_DATA;
    size_ = static_cast<std::int64_t>(static_cast<std::uint64_t>(footer_.current_size.value()));
    block_size_ = header_.block_size.value();
    bitmap_bytes_ = VhdBitmapBytes(block_size_);
    const std::uint32_t entries = header_.max_table_entries.value();
    const std::int64_t table_at = static_cast<std::int64_t>(static_cast<std::uint64_t>(header_.table_offset.value()));
    // Only the entries of the disk's own blocks are ever read or written: a
    // table the header counts larger (it lies in the file, sparse perhaps)
    // sizes neither what we read nor what we hold.
    const std::uint64_t needed = (static_cast<std::uint64_t>(size_) + block_size_ - 1) / block_size_;
    table_.assign(static_cast<std::size_t>(std::min<std::uint64_t>(entries, needed)), VhdTableEntry::of(kVhdUnusedBlock));
    if (!table_.empty() && !file_.read(table_.data(), table_.size() * sizeof(VhdTableEntry), table_at))
        return ERROR_INVALID_DATA;

    // Every block the table names lies whole inside the file; new blocks go
    // after the last of them, where the footer is.
    const std::int64_t span = static_cast<std::int64_t>(bitmap_bytes_ + block_size_);
    std::int64_t end = std::max<std::int64_t>(file_size - kFooterSize,
                                              table_at + static_cast<std::int64_t>(entries) * 4);
    end = std::max<std::int64_t>(end, static_cast<std::int64_t>(header_at) + static_cast<std::int64_t>(sizeof header_));
    for (const VhdTableEntry field : table_) {
        const std::uint32_t entry = field.value();
        if (entry == kVhdUnusedBlock) continue;
        const std::int64_t block_end = static_cast<std::int64_t>(entry) * 512 + span;
        if (block_end > file_size) return ERROR_INVALID_DATA;
        end = std::max(end, block_end);
    }
    next_block_at_ = (end + 511) / 512 * 512;
    bitmaps_.assign(table_.size(), {});
    bitmap_known_.assign(table_.size(), false);
    return ERROR_SUCCESS;
}

VhdImage::~VhdImage() = default;

DWORD VhdImage::bitmap_of(std::uint32_t block, const std::vector<std::uint8_t>*& bitmap) {
    bitmap = nullptr;
    if (!bitmap_known_[block]) {
        std::vector<std::uint8_t> bits(static_cast<std::size_t>(bitmap_bytes_));
        if (!file_.read(bits.data(), bits.size(), static_cast<std::int64_t>(table_[block].value()) * 512))
            return LastFileError();
        const std::uint64_t sectors = block_size_ / 512;
        bool all = true;
        for (std::uint64_t sector = 0; sector < sectors && all; ++sector) all = SectorMarked(bits, sector);
        if (!all) bitmaps_[block] = std::move(bits);
        bitmap_known_[block] = true;
    }
    if (!bitmaps_[block].empty()) bitmap = &bitmaps_[block];
    return ERROR_SUCCESS;
}

template <typename Piece>
DWORD VhdImage::for_each_piece(std::int64_t offset, std::size_t length, const Piece& piece) {
    for (std::size_t done = 0; done < length;) {
        const std::uint64_t at = static_cast<std::uint64_t>(offset) + done;
        const auto block = static_cast<std::uint32_t>(at / block_size_);
        const auto within = static_cast<std::uint32_t>(at % block_size_);
        const std::size_t n = std::min<std::size_t>(length - done, block_size_ - within);
        if (DWORD failed = piece(block, within, done, n); failed != ERROR_SUCCESS) return failed;
        done += n;
    }
    return ERROR_SUCCESS;
}

DWORD VhdImage::read(std::int64_t offset, void* buffer, std::size_t length) {
    if (offset < 0 || static_cast<std::uint64_t>(offset) + length > static_cast<std::uint64_t>(size_))
        return ERROR_INVALID_PARAMETER;
    auto* out = static_cast<std::uint8_t*>(buffer);
    if (footer_.disk_type.value() == kVhdFixed)
        return file_.read(out, length, offset) ? ERROR_SUCCESS : LastFileError();
    return for_each_piece(offset, length, [&](std::uint32_t block, std::uint32_t within, std::size_t done, std::size_t n) {
        return read_block(block, within, out + done, n);
    });
}

DWORD VhdImage::read_block(std::uint32_t block, std::uint32_t within, std::uint8_t* buffer, std::size_t length) {
    const std::uint32_t entry = table_[block].value();
    if (entry == kVhdUnusedBlock) {
        std::memset(buffer, 0, length);
        return ERROR_SUCCESS;
    }
    const std::int64_t data_at = static_cast<std::int64_t>(entry) * 512 + static_cast<std::int64_t>(bitmap_bytes_);
    if (!file_.read(buffer, length, data_at + within)) return LastFileError();
    const std::vector<std::uint8_t>* bitmap = nullptr;
    if (DWORD failed = bitmap_of(block, bitmap); failed != ERROR_SUCCESS) return failed;
    if (!bitmap) return ERROR_SUCCESS;
    // Sectors never written read as zeros, whatever the file holds there.
    for (std::uint64_t at = within; at < within + length;) {
        const std::uint64_t sector = at / 512;
        const std::uint64_t sector_end = std::min<std::uint64_t>((sector + 1) * 512, within + length);
        if (!SectorMarked(*bitmap, sector)) std::memset(buffer + (at - within), 0, static_cast<std::size_t>(sector_end - at));
        at = sector_end;
    }
    return ERROR_SUCCESS;
}

DWORD VhdImage::write(std::int64_t offset, const void* data, std::size_t length) {
    if (!writable_) return ERROR_ACCESS_DENIED;
    if (offset < 0 || static_cast<std::uint64_t>(offset) + length > static_cast<std::uint64_t>(size_))
        return ERROR_INVALID_PARAMETER;
    const auto* in = static_cast<const std::uint8_t*>(data);
    if (footer_.disk_type.value() == kVhdFixed)
        return file_.write(in, length, offset) ? ERROR_SUCCESS : LastFileError();
    return for_each_piece(offset, length, [&](std::uint32_t block, std::uint32_t within, std::size_t done, std::size_t n) {
        return write_block(block, within, in + done, n);
    });
}

DWORD VhdImage::allocate(std::uint32_t block) {
    // The footer moves past the new block first, so that the file ends in a
    // footer whatever happens next; then the block's bitmap, marking every
    // sector (its data is zeros until written: the file grows with holes);
    // then the table entry that makes it part of the disk.
    const std::int64_t at = next_block_at_;
    const std::int64_t span = static_cast<std::int64_t>(bitmap_bytes_ + block_size_);
    const std::vector<std::uint8_t> bitmap(static_cast<std::size_t>(bitmap_bytes_), 0xFF);
    const VhdTableEntry entry = VhdTableEntry::of(static_cast<std::uint32_t>(at / 512));
    const std::int64_t entry_at = static_cast<std::int64_t>(static_cast<std::uint64_t>(header_.table_offset.value())) +
                                  4 * static_cast<std::int64_t>(block);
    if (!file_.write(footer_, at + span) || !file_.write(bitmap.data(), bitmap.size(), at) || !file_.write(entry, entry_at))
        return LastFileError();
    table_[block] = entry;
    bitmaps_[block].clear();
    bitmap_known_[block] = true;
    next_block_at_ = at + span;
    return ERROR_SUCCESS;
}

DWORD VhdImage::write_block(std::uint32_t block, std::uint32_t within, const std::uint8_t* data, std::size_t length) {
    if (table_[block].value() == kVhdUnusedBlock) {
        if (AllZero(data, length)) return ERROR_SUCCESS;
        if (DWORD failed = allocate(block); failed != ERROR_SUCCESS) return failed;
    }
    const std::int64_t block_at = static_cast<std::int64_t>(table_[block].value()) * 512;
    const std::int64_t data_at = block_at + static_cast<std::int64_t>(bitmap_bytes_);
    const std::vector<std::uint8_t>* known = nullptr;
    if (DWORD failed = bitmap_of(block, known); failed != ERROR_SUCCESS) return failed;
    if (known) {
        // A sector never written takes this write's bytes and zeros around
        // them, not whatever the file held there.
        const std::uint64_t first = within / 512, last = (within + length - 1) / 512;
        static const std::uint8_t zeros[512] = {};
        for (std::uint64_t sector : {first, last})
            if (!SectorMarked(*known, sector) && !file_.write(zeros, sizeof zeros, data_at + static_cast<std::int64_t>(sector) * 512))
                return LastFileError();
    }
    if (!file_.write(data, length, data_at + within)) return LastFileError();
    if (!known) return ERROR_SUCCESS;
    std::vector<std::uint8_t>& bitmap = bitmaps_[block];
    for (std::uint64_t sector = within / 512; sector <= (within + length - 1) / 512; ++sector) MarkSector(bitmap, sector);
    if (!file_.write(bitmap.data(), bitmap.size(), block_at)) return LastFileError();
    return ERROR_SUCCESS;
}

DWORD VhdImage::sync() { return file_.sync() ? ERROR_SUCCESS : LastFileError(); }

DWORD VhdImage::close() {
    if (DWORD synced = sync(); synced != ERROR_SUCCESS) return synced;
    return file_.close() ? ERROR_SUCCESS : LastFileError();
}

}  // namespace platform::virtdisk
