#include "tools/parteditor/partition_rows.h"

#include <charconv>
#include <cstdio>
#include <utility>

#include "disk/device/endpoint_overlap.h"
#include "disk/partition/part_types.h"
#include "platform/base/ascii.h"
#include "platform/device/path.h"
#include "platform/device/records/partition_table.h"

namespace tarnovell {

namespace {

constexpr std::int64_t kMiB = 1048576;
// The gap Create Partition leaves after a GPT row numbered "0".
constexpr std::int64_t kAfterGptFiller = 65536;
constexpr std::size_t kGptMinimumRows = 4;

struct TypeName {
    const char* name;
    const char* code;
};

constexpr TypeName kMbrTypes[] = {
    {"ENTRY_UNUSED", "0"},
    {"FAT16", "4"},
    {"EXTENDED", "5"},
    {"IFS", "7"},
    {"FAT32", "11"},
    {"HIDDEN FAT16", "20"},
    {"HIDDEN IFS", "23"},
    {"HIDDEN FAT32", "27"},
    {"FAT32 or NTFS RESCUE", "39"},
    {"DYNAMIC DISK", "66"},
    {"EFI GPT", "238"},
    {"EFI SYSTEM PARTITION", "239"},
};

constexpr TypeName kGptTypes[] = {
    {"ENTRY_UNUSED_GUID", "{00000000-0000-0000-0000-000000000000}"},
    {"BASIC_DATA_GUID", "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}"},
    {"MSFT_RESERVED_GUID", "{e3c9e316-0b5c-4db8-817d-f92df00215ae}"},
    {"MSFT_RECOVERY_GUID", "{de94bba4-06d1-4d40-a16a-bfd50179d6ac}"},
    {"SYSTEM_GUID", "{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}"},
};

std::string Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// The columns both styles show alike.
EditorRow RowOf(const platform::PARTITION_INFORMATION_EX& e) {
    EditorRow row;
    row.number = e.PartitionNumber == 0 ? "-" : std::to_string(e.PartitionNumber);
    row.offset = std::to_string(e.StartingOffset);
    row.length = std::to_string(e.PartitionLength);
    return row;
}

EditorRow MbrRow(const platform::PARTITION_INFORMATION_EX& e) {
    EditorRow row = RowOf(e);
    row.hidden_or_id = std::to_string(e.Mbr.HiddenSectors);
    row.type = MbrTypeText(e.Mbr.PartitionType);
    row.boot = e.Mbr.BootIndicator ? "True" : "False";
    return row;
}

EditorRow GptRow(const platform::PARTITION_INFORMATION_EX& e) {
    EditorRow row = RowOf(e);
    row.hidden_or_id = platform::device::GuidToString(e.Gpt.PartitionId);
    row.type = GptTypeText(e.Gpt.PartitionType);
    row.attributes = "0x" + Hex(e.Gpt.Attributes, 16);
    return row;
}

std::optional<std::int64_t> ParseTextNumber(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    return value;
}

}  // namespace

EditorLayout EditorLayoutOf(const disk::DriveLayoutBuffer& layout) {
    EditorLayout out;
    out.style = layout.Header.PartitionStyle;
    out.count = layout.Header.PartitionCount;
    const std::uint32_t shown =
        std::min<std::uint32_t>(layout.Header.PartitionCount, static_cast<std::uint32_t>(platform::kMaxLayoutEntries));
    if (out.style == kEditorGpt) {
        out.gpt_disk_id = layout.Header.Gpt.DiskId;
        out.usable_end = layout.Header.Gpt.StartingUsableOffset + layout.Header.Gpt.UsableLength;
        for (std::uint32_t i = 0; i < shown; ++i) out.rows.push_back(GptRow(layout.PartitionEntry[i]));
        while (out.rows.size() < kGptMinimumRows) {
            EditorRow filler;
            filler.number = "0";
            filler.offset = filler.length = "0";
            out.rows.push_back(filler);
        }
    } else {
        if (out.style == kEditorMbr) out.mbr_signature = layout.Header.Mbr.Signature;
        for (std::uint32_t i = 0; i < shown; ++i) out.rows.push_back(MbrRow(layout.PartitionEntry[i]));
    }
    return out;
}

std::string LayoutStatusText(std::uint32_t style, std::uint32_t count) {
    const char* name = style == kEditorMbr ? "MBR" : style == kEditorGpt ? "GPT" : "";
    return std::string("Style: ") + name + ", Count=" + std::to_string(count);
}

std::string MbrTypeText(std::uint8_t type) {
    std::string descriptions;
    disk::PartTypeNameMbr(type, descriptions);
    if (descriptions.empty()) return std::to_string(type);
    return "(0x" + Hex(type, 2) + ")" + descriptions;
}

std::string GptTypeText(const platform::GUID& type) {
    const std::string guid = platform::device::GuidToString(type);
    std::string descriptions;
    disk::PartTypeNameGpt(guid, descriptions);
    return descriptions.empty() ? guid : descriptions;
}

const std::vector<std::string>& MbrChangeTypeNames() {
    static const std::vector<std::string> names = {
        "ENTRY_UNUSED", "FAT16",        "EXTENDED",           "IFS",     "FAT32", "HIDDEN FAT16",
        "HIDDEN IFS",   "HIDDEN FAT32", "FAT32 or NTFS RESCUE", "EFI GPT", "EFI SYSTEM PARTITION"};
    return names;
}

const std::vector<std::string>& MbrCreateTypeNames() {
    static const std::vector<std::string> names = {"ENTRY_UNUSED", "EXTENDED", "IFS",
                                                   "FAT32",        "HIDDEN IFS", "HIDDEN FAT32",
                                                   "EFI GPT",      "EFI SYSTEM PARTITION", "DYNAMIC DISK"};
    return names;
}

const std::vector<std::string>& GptTypeNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> list;
        for (const TypeName& t : kGptTypes) list.push_back(t.name);
        return list;
    }();
    return names;
}

std::string PartitionTypeCode(std::uint32_t style, const std::string& name) {
    if (style == kEditorMbr)
        for (const TypeName& t : kMbrTypes)
            if (name == t.name) return t.code;
    if (style == kEditorGpt)
        for (const TypeName& t : kGptTypes)
            if (name == t.name) return t.code;
    return name;
}

std::optional<int> EntryNumberOf(int selected_row) {
    const int entry = selected_row + 1;
    if (entry < 1 || entry > 255) return std::nullopt;
    return entry;
}

bool CanBecomeFirst(int entry) { return entry >= 2 && entry <= 4; }

NewPartitionProposal ProposeNewPartition(const EditorLayout& layout, int entry) {
    NewPartitionProposal proposal;
    proposal.offset = layout.style == kEditorGpt ? 65536 : kMiB;
    if (entry > 1 && static_cast<std::size_t>(entry - 1) <= layout.rows.size()) {
        const EditorRow& above = layout.rows[static_cast<std::size_t>(entry - 2)];
        const std::optional<std::int64_t> offset = ParseTextNumber(above.offset);
        const std::optional<std::int64_t> length = ParseTextNumber(above.length);
        if (above.number == "0") {
            if (offset) proposal.offset = *offset + kAfterGptFiller;
        } else if (offset && length) {
            proposal.offset = *offset + *length;
        }
    }
    if (layout.usable_end > proposal.offset) proposal.size_mb = (layout.usable_end - proposal.offset) / kMiB;
    return proposal;
}

std::optional<std::int64_t> ParseTypedNumber(const std::string& typed) {
    const std::string text = platform::Trim(typed);
    if (text.empty() || text[0] != '$') return ParseTextNumber(text);
    const std::string digits = text.substr(1);
    std::uint64_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [stop, error] = std::from_chars(digits.data(), end, value, 16);
    if (digits.empty() || error != std::errc() || stop != end) return std::nullopt;
    return static_cast<std::int64_t>(value);
}

std::optional<std::uint32_t> ParseDiskSignature(const std::string& text) {
    const std::optional<std::int64_t> value = ParseTypedNumber(text);
    if (!value) return std::nullopt;
    const bool hex = platform::Trim(text)[0] == '$';
    if (hex ? (*value < 0 || *value > 0xFFFFFFFFLL) : (*value < INT32_MIN || *value > INT32_MAX))
        return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

std::optional<bool> ParseTypedBoolean(const std::string& typed) {
    const std::string text = platform::ToLower(platform::Trim(typed));
    if (text == "1" || text == "true") return true;
    if (text == "0" || text == "false") return false;
    return std::nullopt;
}

bool SameDevice(const std::string& first, const std::string& second) {
    namespace device = platform::device;
    return device::IsDevicePath(first) && device::IsDevicePath(second) && disk::EndpointsOverlap(first, second);
}

}  // namespace tarnovell
