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

// The grain tables a directory at `directory` (in sectors) points at, and
// every grain in them, inside the file.
void CheckGrainTables(const ImageBytes& file, std::uint64_t directory, std::uint64_t directory_entries,
                      std::uint64_t table_entries, std::uint64_t grain_sectors, bool compressed, const char* name) {
    if (directory > file.size() / kSector) file.refuse(name, Hex(directory) + " lies past the end of the file");
    const auto gd = file.table(directory * kSector, directory_entries * 4, name);
    for (std::uint64_t i = 0; i < directory_entries; ++i) {
        const std::uint64_t table = LoadLe32(&gd[i * 4]);
        if (table == 0) continue;
        const auto gt = file.table(table * kSector, table_entries * 4, Entry("grain directory", i));
        for (std::uint64_t j = 0; j < table_entries; ++j) {
            const std::uint64_t grain = LoadLe32(&gt[j * 4]);
            if (grain <= 1) continue;  // not allocated, or a grain of zeros
            const std::string field = Entry("grain table", i * table_entries + j);
            if (compressed) {
                const auto marker = file.record<VmdkGrainMarker>(grain * kSector, field);
                file.require_inside(grain * kSector + sizeof marker, marker.size.value(), field);
            } else {
                file.require_inside(grain * kSector, grain_sectors * kSector, field);
            }
        }
    }
}

std::string CheckHostedSparse(const ImageBytes& file, std::uint64_t sectors) {
    auto header = file.record<VmdkSparseHeader>(0, "header");
    const bool compressed = header.flags.value() & kCompressedGrains;
    if (header.gdOffset.value() == kGrainDirectoryAtEnd) {
        // A stream-optimized extent keeps its grain directory's place in
        // the footer: a copy of the header before the end-of-stream marker.
        if (file.size() < 3 * kSector) file.refuse("gdOffset", "points at a footer the file does not have");
        const std::string descriptor_field = "footer";
        const auto footer = file.record<VmdkSparseHeader>(file.size() - 2 * kSector, descriptor_field);
        if (footer.magicNumber.value() != kVmdkSparseMagic || footer.gdOffset.value() == kGrainDirectoryAtEnd)
            file.refuse("footer", "is not a sparse header");
        header.gdOffset = footer.gdOffset;
    }
    const std::uint64_t grain = header.grainSize.value();
    if (!std::has_single_bit(grain) || grain > kMostGrainSectors)
        file.refuse("grainSize", std::to_string(grain) + " is not valid");
    const std::uint32_t per_table = header.numGTEsPerGT.value();
    if (per_table == 0 || per_table > kMostTableEntries)
        file.refuse("numGTEsPerGT", std::to_string(per_table) + " is not valid");
    const std::uint64_t capacity = header.capacity.value();
    if (capacity < sectors)
        file.refuse("capacity", std::to_string(capacity) + " sectors is less than the descriptor's " +
                                    std::to_string(sectors));
    const std::uint64_t directory_entries = CeilDiv(capacity, grain * per_table);
    CheckGrainTables(file, header.gdOffset.value(), directory_entries, per_table, grain, compressed, "gdOffset");
    if (header.flags.value() & kRedundantTable)
        CheckGrainTables(file, header.rgdOffset.value(), directory_entries, per_table, grain, compressed, "rgdOffset");

    const std::uint64_t descriptor = header.descriptorOffset.value();
    const std::uint64_t descriptor_sectors = header.descriptorSize.value();
    if (descriptor == 0) return "";
    if (descriptor_sectors * kSector > kMostDescriptor || descriptor > file.size() / kSector)
        file.refuse("descriptorSize", std::to_string(descriptor_sectors) + " sectors is not valid");
    const auto bytes = file.table(descriptor * kSector, descriptor_sectors * kSector, "descriptorOffset");
    std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    text.resize(std::min(text.size(), text.find('\0')));
    return text;
}

void CheckCowd(const ImageBytes& file, std::uint64_t sectors) {
    const auto header = file.record<VmdkCowdHeader>(0, "header");
    const std::uint64_t grain = header.grainSize.value();
    if (!std::has_single_bit(grain) || grain > kMostGrainSectors)
        file.refuse("grainSize", std::to_string(grain) + " is not valid");
    const std::uint64_t capacity = header.numSectors.value();
    if (capacity < sectors)
        file.refuse("numSectors", std::to_string(capacity) + " is less than the descriptor's " + std::to_string(sectors));
    const std::uint64_t entries = header.numGDEntries.value();
    if (entries < CeilDiv(capacity, grain * kCowdTableEntries))
        file.refuse("numGDEntries", std::to_string(entries) + " does not cover the disk");
    CheckGrainTables(file, header.gdOffset.value(), entries, kCowdTableEntries, grain, false, "gdOffset");
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

void CheckExtentFile(const ImageBytes& top, const std::string& path, const VmdkExtentLine& extent,
                     const std::string& field, const platform::FileFacts& top_facts) {
    auto opened = OpenFileSource(path);
    if (!opened)
        throw ImageCheckError(top.name() + ": " + field + " " + path + " cannot be opened: " +
                              platform::SysErrorMessage(platform::GetLastError()));
    ImageBytes file(*opened, path);
    const std::string type = platform::ToUpper(extent.type);
    if (type == "FLAT" || type == "VMFS") {
        if (extent.offset > file.size() / kSector || extent.sectors > file.size() / kSector - extent.offset)
            top.refuse(field, "\"" + extent.file + "\" holds fewer than the " + std::to_string(extent.sectors) +
                                  " sectors from " + std::to_string(extent.offset) + " it is said to hold");
        return;
    }
    // The descriptor's own sparse file was checked as the image itself.
    if (const auto facts = platform::FileFactsOf(path); facts && facts->same_file(top_facts)) return;
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
        descriptor.extents.push_back(std::move(extent));
    }
    return descriptor;
}

std::string CheckVmdkSparseExtent(const ImageBytes& file, std::uint64_t sectors) {
    if (file.size() < 4) file.refuse("magicNumber", "is missing: the file is too short");
    const std::uint32_t magic = file.record<platform::le32>(0, "magicNumber").value();
    if (magic == kVmdkSparseMagic) return CheckHostedSparse(file, sectors);
    if (magic == kVmdkCowdMagic) {
        CheckCowd(file, sectors);
        return "";
    }
    file.refuse("magicNumber", "is not that of a sparse extent");
}

NamedFiles CheckVmdkImage(const ImageBytes& file, const std::string& path) {
    std::string text;
    std::uint32_t magic = 0;
    if (file.size() >= 4) magic = file.record<platform::le32>(0, "magicNumber").value();
    if (magic == kVmdkSparseMagic || magic == kVmdkCowdMagic) {
        text = CheckVmdkSparseExtent(file, 0);
        if (text.empty()) file.refuse("descriptorOffset", "is 0: the extent carries no descriptor");
    } else {
        if (file.size() > kMostDescriptor) file.refuse("descriptor", "is too large for a VMDK descriptor");
        const auto bytes = file.table(0, file.size(), "descriptor");
        // A descriptor may be padded with zeros to a whole sector.
        text.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        text.resize(std::min(text.size(), text.find('\0')));
    }
    const VmdkDescriptor descriptor = ParseVmdkDescriptor(text, file.name());
    if (descriptor.extents.empty()) file.refuse("descriptor", "names no extent");
    const auto top_facts = platform::FileFactsOf(path).value_or(platform::FileFacts{});
    NamedFiles named;
    named.parent = descriptor.parent;
    for (std::size_t i = 0; i < descriptor.extents.size(); ++i) {
        const VmdkExtentLine& extent = descriptor.extents[i];
        const std::string field = "extent " + std::to_string(i + 1);
        const std::string type = platform::ToUpper(extent.type);
        if (type == "ZERO") continue;
        if (type != "FLAT" && type != "VMFS" && type != "SPARSE" && type != "VMFSSPARSE")
            file.refuse(field, "of type " + extent.type + " is not read here");
        const std::string resolved = ResolveNamedFile(path, extent.file, field, StoredName::Relative);
        CheckExtentFile(file, resolved, extent, field, top_facts);
        named.extents.push_back(resolved);
    }
    return named;
}

}  // namespace disk
