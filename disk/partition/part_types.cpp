#include "disk/partition/part_types.h"

#include <pugixml.hpp>

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "platform/base/ascii.h"
#include "resources/carried.h"

namespace disk {

namespace {

// The carried table, parsed on first use; nothing when it cannot be read,
// which every look-up then reports by an empty result.
const std::optional<std::vector<PartTypeRow>>& CarriedTable() {
    static const std::optional<std::vector<PartTypeRow>> table = []() -> std::optional<std::vector<PartTypeRow>> {
        try {
            std::vector<PartTypeRow> rows = ParsePartTypeTable(resources::FindResource("TEXT", "types"));
            for (PartTypeRow& row : rows) row.key = platform::ToLower(row.key);
            return rows;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }();
    return table;
}

void AppendDescriptions(const std::string& key, std::string& result) {
    const auto& table = CarriedTable();
    if (!table) {
        result.clear();
        return;
    }
    const std::string wanted = platform::ToLower(key);
    for (const PartTypeRow& row : *table)
        if (row.key == wanted) result += " " + row.description;
}

}  // namespace

std::vector<PartTypeRow> ParsePartTypeTable(std::string_view xml) {
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(xml.data(), xml.size());
    if (!parsed) throw std::runtime_error(std::string("partition types: ") + parsed.description());
    const pugi::xml_node root = document.document_element();
    if (!root) throw std::runtime_error("partition types: no root element");
    std::vector<PartTypeRow> rows;
    for (pugi::xml_node node = root.child("node"); node; node = node.next_sibling("node"))
        rows.push_back({node.child("Cell").text().get(), node.child("Desc").text().get()});
    return rows;
}

void PartTypeNameMbr(std::uint8_t type, std::string& result) {
    char key[3];
    std::snprintf(key, sizeof key, "%02X", type);
    AppendDescriptions(key, result);
}

void PartTypeNameGpt(const std::string& guid, std::string& result) { AppendDescriptions(guid, result); }

}  // namespace disk
