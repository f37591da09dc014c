#include "disk/engines/stored_format.h"

#include <array>
#include <cstring>
#include <string_view>

#include "disk/formats/imagecheck/qcow_check.h"
#include "disk/formats/imagecheck/vmdk_check.h"
#include "disk/formats/lz4/lz4_frame.h"
#include "disk/formats/vdi/vdi_image.h"
#include "platform/base/byte_order.h"

namespace disk {

namespace {

// The standard LZ4 frame format (what the lz4 tool writes by default), which
// images are not stored in.
constexpr std::uint32_t kLz4FrameMagic = 0x184D2204;
constexpr std::string_view kEwfSignature{"EVF\x09\x0d\x0a\xff\x00", 8};
constexpr std::string_view kVmdkDescriptor = "# Disk DescriptorFile";
constexpr std::int64_t kVdiSignatureAt = 0x40;
constexpr std::int64_t kVhdFooterSize = 512;

// The bytes from `offset` that fit `into`, or fewer when the source ends
// or fails.
std::string_view ReadAt(CopySource& stored, std::int64_t offset, std::span<std::byte> into) {
    std::size_t got = 0;
    try {
        got = stored.read(offset, into);
    } catch (const MediumError&) {
        return {};
    }
    return {reinterpret_cast<const char*>(into.data()), got};
}

}  // namespace

StoredFormat StoredFormatOf(CopySource& stored) {
    std::array<std::byte, 0x44> head{};
    const std::string_view first = ReadAt(stored, 0, head);
    if (first.size() >= 4) {
        const std::uint32_t le = platform::LoadLe32(first.data());
        const std::uint32_t be = platform::LoadBe32(first.data());
        if (le == kLz4LegacyMagic) return StoredFormat::Lz4Legacy;
        if (le == kLz4FrameMagic) return StoredFormat::Lz4Frame;
        if (be == kQcowMagic) return StoredFormat::Qcow;
        if (le == kVmdkSparseMagic || le == kVmdkCowdMagic) return StoredFormat::Vmdk;
    }
    if (first.starts_with("vhdxfile")) return StoredFormat::Vhdx;
    // A dynamic VHD starts with a copy of its footer.
    if (first.starts_with("conectix")) return StoredFormat::Vhd;
    if (first.starts_with(kEwfSignature)) return StoredFormat::Ewf;
    if (first.starts_with(kVmdkDescriptor)) return StoredFormat::Vmdk;
    if (first.size() >= kVdiSignatureAt + 4 && platform::LoadLe32(first.data() + kVdiSignatureAt) == kVdiSignature)
        return StoredFormat::Vdi;
    // A fixed VHD is its disk followed by the footer.
    const std::int64_t size = stored.size();
    std::array<std::byte, 8> cookie{};
    if (size > kVhdFooterSize && ReadAt(stored, size - kVhdFooterSize, cookie) == "conectix") return StoredFormat::Vhd;
    return StoredFormat::Raw;
}

StoredFormat StoredFormatOfPath(const std::string& path) {
    std::unique_ptr<FileSource> stored = OpenFileSource(path);
    return stored ? StoredFormatOf(*stored) : StoredFormat::Raw;
}

std::string ContainerName(StoredFormat format) {
    switch (format) {
    case StoredFormat::Vhd:
    case StoredFormat::Vhdx: return "VHD";
    case StoredFormat::Ewf: return "EWF";
    case StoredFormat::Qcow: return "QCOW";
    case StoredFormat::Vmdk: return "VMDK";
    case StoredFormat::Vdi: return "VDI";
    case StoredFormat::Raw:
    case StoredFormat::Lz4Legacy:
    case StoredFormat::Lz4Frame: break;
    }
    return "";
}

}  // namespace disk
