#include "disk/formats/imagecheck/ewf_check.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace disk {

namespace {

constexpr std::uint8_t kEwfSignature[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
constexpr std::uint8_t kEwf2Signature[8] = {'E', 'V', 'F', '2', 0x0d, 0x0a, 0x81, 0x00};
constexpr std::uint8_t kLogicalSignature[8] = {'L', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
constexpr std::uint64_t kMostChunk = 1ULL << 30;

std::string TypeOf(const EwfSectionDescriptor& descriptor) {
    return std::string(descriptor.type, strnlen(descriptor.type, sizeof descriptor.type));
}

// The entries of a table lie in its section, before the section that
// follows, and are no more than the image has chunks (when its volume
// section said so): they are read a piece at a time, never as a whole.
void CheckTable(const ImageBytes& file, std::uint64_t at, std::uint64_t size, std::uint64_t next,
                std::uint64_t chunks, const std::string& field) {
    const std::uint64_t data = at + sizeof(EwfSectionDescriptor);
    const auto table = file.record<EwfTableHeader>(data, field);
    const std::uint64_t entries = table.number_of_entries.value();
    const std::uint64_t extent = std::min(size, next - at);
    const std::uint64_t room = extent > sizeof(EwfSectionDescriptor) + sizeof table
                                   ? extent - sizeof(EwfSectionDescriptor) - sizeof table
                                   : 0;
    if (entries > room / 4)
        file.refuse(field + " number_of_entries", std::to_string(entries) + " runs past the section");
    if (chunks != 0 && entries > chunks)
        file.refuse(field + " number_of_entries",
                    std::to_string(entries) + " is more than the image's " + std::to_string(chunks) + " chunks");
    const std::uint64_t base = table.base_offset.value();
    file.for_each_entry(data + sizeof table, entries, 4, field, [&](std::uint64_t i, const std::byte* entry) {
        const std::uint64_t chunk = base + (platform::LoadLe32(entry) & 0x7FFFFFFFu);
        if (chunk >= file.size())
            file.refuse(field + " entry " + std::to_string(i),
                        "(" + Hex(chunk) + ") lies past the end of the file (" + std::to_string(file.size()) + " bytes)");
    });
}

// The number of chunks the image holds.
std::uint64_t CheckVolume(const ImageBytes& file, std::uint64_t at, const std::string& field) {
    const auto volume = file.record<EwfVolumeStart>(at + sizeof(EwfSectionDescriptor), field);
    const std::uint64_t chunk = std::uint64_t{volume.sectors_per_chunk.value()} * volume.bytes_per_sector.value();
    if (chunk == 0 || chunk > kMostChunk)
        file.refuse(field + " sectors_per_chunk", std::to_string(volume.sectors_per_chunk.value()) + " of " +
                                                      std::to_string(volume.bytes_per_sector.value()) +
                                                      " bytes is not a valid chunk");
    return volume.number_of_chunks.value();
}

}  // namespace

void CheckEwfSegment(const ImageBytes& file, std::uint16_t segment) {
    const auto header = file.record<EwfFileHeader>(0, "file header");
    if (std::memcmp(header.signature, kEwf2Signature, 8) == 0)
        file.refuse("file header", "is of an EWF2 (Ex01) segment, which is not read here");
    if (std::memcmp(header.signature, kLogicalSignature, 8) == 0)
        file.refuse("file header", "is of a logical evidence file (L01), not of a disk image");
    if (std::memcmp(header.signature, kEwfSignature, 8) != 0) file.refuse("file header", "is not an EWF signature");
    if (header.segment_number.value() != segment)
        file.refuse("segment_number", std::to_string(header.segment_number.value()) + " stands where segment " +
                                          std::to_string(segment) + " belongs");
    std::uint64_t at = sizeof header;
    std::uint64_t chunks = 0;  // unknown until a volume section tells
    for (int index = 0;; ++index) {
        const std::string field = "section " + std::to_string(index);
        const auto descriptor = file.record<EwfSectionDescriptor>(at, field);
        const std::string type = TypeOf(descriptor);
        if (type == "done" || type == "next") return;
        const std::uint64_t next = descriptor.next.value();
        const std::uint64_t size = descriptor.size.value();
        if (size != 0) file.require_inside(at, size, field + " (" + type + ") size");
        if (next <= at) file.refuse(field + " (" + type + ") next", Hex(next) + " does not lead forward");
        if (next >= file.size())
            file.refuse(field + " (" + type + ") next",
                        Hex(next) + " lies past the end of the file: the chain ends without \"done\" or \"next\"");
        if (type == "table" || type == "table2") CheckTable(file, at, size, next, chunks, field + " (" + type + ")");
        if (type == "volume" || type == "disk") chunks = CheckVolume(file, at, field + " (" + type + ")");
        at = next;
    }
}

}  // namespace disk
