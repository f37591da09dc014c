#include "disk/formats/vdi/vdi_image.h"

#include <algorithm>
#include <cstring>
#include <ostream>
#include <stdexcept>

#include "disk/copy/copy_loop.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"

namespace disk {

namespace {

// The largest block we accept: VirtualBox makes 1 MiB ones.
constexpr std::uint32_t kMostBlockSize = 256u << 20;

std::string FixedText(const char* text, std::size_t size) { return std::string(text, strnlen(text, size)); }

void Trace(std::ostream* trace, const VdiHeader& header) {
    if (!trace) return;
    auto line = [&](const char* label, auto value) { *trace << label << value << "\n"; };
    line("szFileInfo:", FixedText(header.szFileInfo, sizeof header.szFileInfo));
    *trace << "u32Signature:" << std::hex << header.u32Signature.value() << std::dec << "\n";
    line("u32Version:", header.u32Version.value());
    line("cbHeader:", header.cbHeader.value());
    line("u32Type:", header.u32Type.value());
    line("fFlags:", header.fFlags.value());
    line("szComment:", FixedText(header.szComment, sizeof header.szComment));
    line("offBlocks:", header.offBlocks.value());
    line("offData:", header.offData.value());
    line("cCylinders:", header.cCylinders.value());
    line("cHeads:", header.cHeads.value());
    line("cSectors:", header.cSectors.value());
    line("cbSector:", header.cbSector.value());
    line("cbDisk:", header.cbDisk.value());
    line("cbBlock:", header.cbBlock.value());
    line("cbBlockExtra:", header.cbBlockExtra.value());
    line("cBlocks:", header.cBlocks.value());
    line("cBlocksAllocated:", header.cBlocksAllocated.value());
}

// Reads all of `buffer` at `offset`; false when the file ends first.
bool ReadFully(CopySource& file, std::int64_t offset, std::span<std::byte> buffer) {
    while (!buffer.empty()) {
        std::size_t done = 0;
        try {
            done = file.read(offset, buffer);
        } catch (const MediumError& e) {
            throw CopyFormatError("VDI image unreadable at " + std::to_string(offset) + ": " + e.what());
        }
        if (done == 0) return false;
        buffer = buffer.subspan(done);
        offset += static_cast<std::int64_t>(done);
    }
    return true;
}

}  // namespace

VdiImage::VdiImage(std::unique_ptr<CopySource> file, std::int64_t file_size, std::ostream* trace)
    : file_(std::move(file)), file_size_(file_size) {
    VdiHeader header{};
    if (!ReadFully(*file_, 0, std::as_writable_bytes(std::span(&header, 1))))
        throw CopyFormatError("not a VDI image: shorter than its header");
    Trace(trace, header);
    if (header.u32Signature.value() != kVdiSignature) throw CopyFormatError("not a VDI image: wrong signature");
    const std::uint32_t version = header.u32Version.value();
    if (version >> 16 != 1)
        throw CopyFormatError("VDI version " + std::to_string(version >> 16) + "." +
                              std::to_string(version & 0xFFFF) + " is not supported");
    const std::uint32_t type = header.u32Type.value();
    if (type == kVdiUndo || type == kVdiDifferencing)
        throw CopyFormatError("differencing VDI images are not supported");
    if (type != kVdiNormal && type != kVdiFixed)
        throw CopyFormatError("VDI image type " + std::to_string(type) + " is not supported");

    const std::uint32_t block = header.cbBlock.value();
    const std::uint32_t extra = header.cbBlockExtra.value();
    const std::uint64_t blocks = header.cBlocks.value();
    const std::uint64_t disk = header.cbDisk.value();
    if (block == 0 || block > kMostBlockSize || block % 512 != 0)
        throw CopyFormatError("VDI block size " + std::to_string(block) + " is not valid");
    if (extra > block) throw CopyFormatError("VDI block extra " + std::to_string(extra) + " is not valid");
    if (disk > blocks * block) throw CopyFormatError("VDI block map does not cover the disk");
    // The map the header counts must be in the file; only the entries of
    // the disk's blocks are ever read, so a header that counts more (up to
    // four thousand million) never sizes the map we hold, nor its read.
    const std::uint64_t map_end = header.offBlocks.value() + blocks * 4;
    if (map_end > static_cast<std::uint64_t>(file_size_))
        throw CopyFormatError("VDI block map lies past the end of the file");
    const std::uint64_t used = (disk + block - 1) / block;

    disk_size_ = static_cast<std::int64_t>(disk);
    data_offset_ = header.offData.value();
    block_size_ = block;
    block_extra_ = extra;
    map_.resize(used);
    if (!ReadFully(*file_, header.offBlocks.value(), std::as_writable_bytes(std::span(map_))))
        throw CopyFormatError("VDI block map lies past the end of the file");
    for (std::size_t i = 0; i < map_.size(); ++i) {
        map_[i] = platform::LoadLe32(&map_[i]);
        if (map_[i] != kVdiBlockFree && map_[i] != kVdiBlockZero && map_[i] >= blocks)
            throw CopyFormatError("VDI block map entry " + std::to_string(i) + " is out of range");
    }
}

std::size_t VdiImage::read(std::int64_t offset, std::span<std::byte> buffer) {
    try {
        return read_blocks(offset, buffer);
    } catch (const CopyFormatError& e) {
        if (name_.empty()) throw;
        throw CopyFormatError(name_ + ": " + e.what());
    }
}

std::size_t VdiImage::read_blocks(std::int64_t offset, std::span<std::byte> buffer) {
    std::size_t done = 0;
    if (offset < 0 || offset >= disk_size_) return 0;
    buffer = buffer.first(static_cast<std::size_t>(std::min<std::int64_t>(buffer.size(), disk_size_ - offset)));
    while (!buffer.empty()) {
        const std::int64_t index = offset / block_size_;
        const std::int64_t inside = offset % block_size_;
        const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(buffer.size(), block_size_ - inside));
        const std::uint32_t entry = map_[static_cast<std::size_t>(index)];
        if (entry == kVdiBlockFree || entry == kVdiBlockZero) {
            std::memset(buffer.data(), 0, n);
        } else {
            const std::int64_t at =
                data_offset_ + static_cast<std::int64_t>(entry) * (block_size_ + block_extra_) + block_extra_ + inside;
            if (!ReadFully(*file_, at, buffer.first(n)))
                throw CopyFormatError("VDI block " + std::to_string(index) + " lies past the end of the file");
        }
        buffer = buffer.subspan(n);
        offset += static_cast<std::int64_t>(n);
        done += n;
    }
    return done;
}

std::unique_ptr<VdiImage> vdi_open(const std::string& name, std::ostream* trace) {
    auto file = OpenFileSource(name);
    if (!file) {
        const platform::DWORD code = platform::GetLastError();
        throw std::runtime_error(platform::FailureLine("could not createfile (src)," + std::to_string(code), name, code));
    }
    const std::int64_t size = file->size();
    try {
        auto image = std::make_unique<VdiImage>(std::move(file), size, trace);
        image->set_name(name);
        return image;
    } catch (const CopyFormatError& e) {
        throw CopyFormatError(name + ": " + e.what());
    }
}

}  // namespace disk
