#include "disk/formats/imagecheck/vmdk_check.h"

#include <bit>
#include <algorithm>
#include <cctype>
#include <sstream>

#include "disk/formats/imagecheck/named_file.h"
#include "platform/base/ascii.h"
#include "platform/base/win_error.h"
#include "platform/os/file_facts.h"

namespace disk {

namespace {

using platform::LoadLe32;

constexpr std::uint64_t kSector = 512;
constexpr std::uint64_t kGrainDirectoryAtEnd = ~std::uint64_t{0};
constexpr std::uint32_t kCompressedGrains = 1u << 16;
constexpr std::uint32_t kRedundantTable = 1u << 1;
constexpr std::uint64_t kMostGrainSectors = 1u << 17;  // 64 MiB
constexpr std::uint32_t kMostTableEntries = 1u << 16;
constexpr std::uint32_t kCowdTableEntries = 4096;
// A descriptor is a page of text; one larger is no descriptor.
constexpr std::uint64_t kMostDescriptor = 1u << 20;

// The shape of a sparse extent's tables.
struct GrainGeometry {
    std::uint64_t directory_entries = 0;  // as the header sizes the directory
    std::uint64_t needed_entries = 0;     // those of the disk's sectors
    std::uint64_t table_entries = 0;
    std::uint64_t grain_sectors = 0;
    bool compressed = false;
};

// The grain tables a directory at `directory` (in sectors) points at, and
// every grain in them, inside the file. The directory must lie in the file
// as the header sizes it, but only the entries of the disk's own sectors
// are followed (no read goes further).
void CheckGrainTables(const ImageBytes& file, const GrainGeometry& shape, std::uint64_t directory, const char* name) {
    if (directory > file.size() / kSector) file.refuse(name, Hex(directory) + " lies past the end of the file");
    file.require_entries(directory * kSector, shape.directory_entries, 4, name);
    DirectoryTables tables(file, shape.table_entries * 4, "grain directory");
    file.for_each_entry(directory * kSector, shape.needed_entries, 4, name, [&](std::uint64_t i, const std::byte* entry) {
        if (const std::uint64_t table = LoadLe32(entry); table != 0) tables.add(table * kSector, i);
    });
    for (const auto& [table, directory_entry] : tables) {
        const std::uint64_t i = directory_entry;
        file.for_each_entry(table, shape.table_entries, 4, Entry("grain directory", i),
                            [&](std::uint64_t j, const std::byte* entry) {
                                const std::uint64_t grain = LoadLe32(entry);
                                if (grain <= 1) return;  // not allocated, or a grain of zeros
                                const std::string field = Entry("grain table", i * shape.table_entries + j);
                                if (shape.compressed) {
                                    const auto marker = file.record<VmdkGrainMarker>(grain * kSector, field);
                                    file.require_inside(grain * kSector + sizeof marker, marker.size.value(), field);
                                } else {
                                    file.require_inside(grain * kSector, shape.grain_sectors * kSector, field);
                                }
                            });
    }
}

void CheckHostedSparse(const ImageBytes& file, std::uint64_t sectors) {
    auto header = file.record<VmdkSparseHeader>(0, "header");
    if (header.gdOffset.value() == kGrainDirectoryAtEnd) {
        // A stream-optimized extent keeps its grain directory's place in
        // the footer: a copy of the header before the end-of-stream marker.
        if (file.size() < 3 * kSector) file.refuse("gdOffset", "points at a footer the file does not have");
        const auto footer = file.record<VmdkSparseHeader>(file.size() - 2 * kSector, "footer");
        if (footer.magicNumber.value() != kVmdkSparseMagic || footer.gdOffset.value() == kGrainDirectoryAtEnd)
            file.refuse("footer", "is not a sparse header");
        header.gdOffset = footer.gdOffset;
    }
    GrainGeometry shape;
    shape.compressed = header.flags.value() & kCompressedGrains;
    shape.grain_sectors = header.grainSize.value();
    if (!std::has_single_bit(shape.grain_sectors) || shape.grain_sectors > kMostGrainSectors)
        file.refuse("grainSize", std::to_string(shape.grain_sectors) + " is not valid");
    shape.table_entries = header.numGTEsPerGT.value();
    if (shape.table_entries == 0 || shape.table_entries > kMostTableEntries)
        file.refuse("numGTEsPerGT", std::to_string(shape.table_entries) + " is not valid");
    const std::uint64_t capacity = header.capacity.value();
    if (capacity < sectors)
        file.refuse("capacity", std::to_string(capacity) + " sectors is less than the descriptor's " +
                                    std::to_string(sectors));
    const std::uint64_t span = shape.grain_sectors * shape.table_entries;
    shape.directory_entries = CeilDiv(capacity, span);
    shape.needed_entries = CeilDiv(sectors != 0 ? sectors : capacity, span);
    CheckGrainTables(file, shape, header.gdOffset.value(), "gdOffset");
    if (header.flags.value() & kRedundantTable) CheckGrainTables(file, shape, header.rgdOffset.value(), "rgdOffset");
}

void CheckCowd(const ImageBytes& file, std::uint64_t sectors) {
    const auto header = file.record<VmdkCowdHeader>(0, "header");
    GrainGeometry shape;
    shape.grain_sectors = header.grainSize.value();
    if (!std::has_single_bit(shape.grain_sectors) || shape.grain_sectors > kMostGrainSectors)
        file.refuse("grainSize", std::to_string(shape.grain_sectors) + " is not valid");
    const std::uint64_t capacity = header.numSectors.value();
    if (capacity < sectors)
        file.refuse("numSectors", std::to_string(capacity) + " is less than the descriptor's " + std::to_string(sectors));
    shape.table_entries = kCowdTableEntries;
    shape.directory_entries = header.numGDEntries.value();
    const std::uint64_t span = shape.grain_sectors * kCowdTableEntries;
    if (shape.directory_entries < CeilDiv(capacity, span))
        file.refuse("numGDEntries", std::to_string(shape.directory_entries) + " does not cover the disk");
    shape.needed_entries = CeilDiv(sectors != 0 ? sectors : capacity, span);
    CheckGrainTables(file, shape, header.gdOffset.value(), "gdOffset");
}

// The words of an extent line; a quoted file name is one word.
std::vector<std::string> Words(const std::string& line, bool& unclosed) {
    std::vector<std::string> words;
    unclosed = false;
    for (std::size_t at = 0; at < line.size();) {
        if (std::isspace(static_cast<unsigned char>(line[at]))) {
            ++at;
        } else if (line[at] == '"') {
            const std::size_t close = line.find('"', at + 1);
            if (close == std::string::npos) {
                unclosed = true;
                return words;
            }
            words.push_back(line.substr(at + 1, close - at - 1));
            at = close + 1;
        } else {
            std::size_t end = at;
            while (end < line.size() && !std::isspace(static_cast<unsigned char>(line[end]))) ++end;
            words.push_back(line.substr(at, end - at));
            at = end;
        }
    }
    return words;
}

bool Number(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

bool IsSparse(std::uint32_t magic) { return magic == kVmdkSparseMagic || magic == kVmdkCowdMagic; }

std::uint32_t MagicOf(const ImageBytes& file) {
    return file.size() >= 4 ? file.record<platform::le32>(0, "magicNumber").value() : 0;
}

void CheckExtentFile(const ImageBytes& top, const ImageBytes& file, const VmdkExtentLine& extent,
                     const std::string& field) {
    const std::string type = platform::ToUpper(extent.type);
    if (type == "FLAT" || type == "VMFS") {
        if (extent.offset > file.size() / kSector || extent.sectors > file.size() / kSector - extent.offset)
            top.refuse(field, "\"" + extent.file + "\" holds fewer than the " + std::to_string(extent.sectors) +
                                  " sectors from " + std::to_string(extent.offset) + " it is said to hold");
        return;
    }
    CheckVmdkSparseExtent(file, extent.sectors);
}

}  // namespace

VmdkDescriptor ParseVmdkDescriptor(const std::string& text, const std::string& name) {
    VmdkDescriptor descriptor;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        const std::string trimmed = platform::Trim(line);
        if (trimmed.empty() || trimmed[0] == '#') continue;
        bool unclosed = false;
        const auto words = Words(trimmed, unclosed);
        const std::string field = "extent line " + std::to_string(number);
        const std::string access = words.empty() ? "" : platform::ToUpper(words[0]);
        // An extent line is one whatever its file name holds (an '=' too).
        if (access != "RW" && access != "RDONLY" && access != "NOACCESS") {
            const std::size_t equals = trimmed.find('=');
            if (equals != std::string::npos &&
                platform::EqualsNoCase(platform::Trim(trimmed.substr(0, equals)), "parentFileNameHint")) {
                std::string value = platform::Trim(trimmed.substr(equals + 1));
                if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                    value = value.substr(1, value.size() - 2);
                descriptor.parent = value;
            }
            continue;
        }
        if (unclosed) throw ImageCheckError(name + ": " + field + " has a file name without its closing quote");
        VmdkExtentLine extent;
        if (words.size() < 3 || !Number(words[1], extent.sectors))
            throw ImageCheckError(name + ": " + field + " is not an extent line: " + trimmed);
        extent.type = words[2];
        if (words.size() > 3) extent.file = words[3];
        if (words.size() > 4 && !Number(words[4], extent.offset))
            throw ImageCheckError(name + ": " + field + " has no offset in sectors: " + trimmed);
        if (words.size() > 5)
            throw ImageCheckError(name + ": " + field + " holds more than a file name and an offset: " + trimmed);
        descriptor.extents.push_back(std::move(extent));
    }
    return descriptor;
}

void CheckVmdkSparseExtent(const ImageBytes& file, std::uint64_t sectors) {
    if (file.size() < 4) file.refuse("magicNumber", "is missing: the file is too short");
    const std::uint32_t magic = MagicOf(file);
    if (magic == kVmdkSparseMagic) return CheckHostedSparse(file, sectors);
    if (magic == kVmdkCowdMagic) return CheckCowd(file, sectors);
    file.refuse("magicNumber", "is not that of a sparse extent");
}

std::string VmdkDescriptorText(const ImageBytes& file) {
    const std::uint32_t magic = MagicOf(file);
    if (magic == kVmdkCowdMagic) return "";
    std::uint64_t offset = 0, length = file.size();
    if (magic == kVmdkSparseMagic) {
        const auto header = file.record<VmdkSparseHeader>(0, "header");
        offset = header.descriptorOffset.value();
        if (offset == 0) return "";
        const std::uint64_t sectors = header.descriptorSize.value();
        if (sectors > kMostDescriptor / kSector || offset > file.size() / kSector)
            file.refuse("descriptorSize", std::to_string(sectors) + " sectors is not valid");
        offset *= kSector;
        length = sectors * kSector;
    } else if (length > kMostDescriptor) {
        file.refuse("descriptor", "is too large for a VMDK descriptor");
    }
    const std::string field = magic == kVmdkSparseMagic ? "descriptorOffset" : "descriptor";
    file.require_inside(offset, length, field);
    std::string text(static_cast<std::size_t>(length), '\0');
    file.read(offset, std::as_writable_bytes(std::span(text)), field);
    // A descriptor may be padded with zeros to a whole sector.
    text.resize(std::min(text.size(), text.find('\0')));
    return text;
}

NamedFiles CheckVmdkImage(const ImageBytes& file, const std::string& path) {
    const bool sparse = IsSparse(MagicOf(file));
    const std::string text = VmdkDescriptorText(file);
    if (sparse && text.empty()) file.refuse("descriptorOffset", "is 0: the extent carries no descriptor");
    const VmdkDescriptor descriptor = ParseVmdkDescriptor(text, file.name());
    if (descriptor.extents.empty()) file.refuse("descriptor", "names no extent");
    const auto top_facts = platform::FileFactsOf(path);
    bool top_checked = false;
    NamedFiles named;
    named.parent = descriptor.parent;
    for (std::size_t i = 0; i < descriptor.extents.size(); ++i) {
        const VmdkExtentLine& extent = descriptor.extents[i];
        const std::string field = "extent " + std::to_string(i + 1);
        const std::string type = platform::ToUpper(extent.type);
        if (type == "ZERO") continue;
        if (type != "FLAT" && type != "VMFS" && type != "SPARSE" && type != "VMFSSPARSE")
            file.refuse(field, "of type " + extent.type + " is not read here");
        NamedFile named_file = OpenNamedFile(path, extent.file, field);
        const std::string resolved = named_file.path;
        FileSource opened(std::move(named_file.handle));
        const auto facts = platform::FileFactsOf(resolved);
        // The descriptor's own sparse file is read from the bytes we were given.
        const bool is_top = top_facts && facts && facts->same_file(*top_facts);
        top_checked = top_checked || (is_top && sparse && (type == "SPARSE" || type == "VMFSSPARSE"));
        if (is_top) CheckExtentFile(file, file, extent, field);
        else CheckExtentFile(file, ImageBytes(opened, resolved), extent, field);
        named.extents.push_back(resolved);
    }
    // A sparse file whose descriptor does not read it as a sparse extent
    // is still opened as one.
    if (sparse && !top_checked) CheckVmdkSparseExtent(file, 0);
    return named;
}

}  // namespace disk
