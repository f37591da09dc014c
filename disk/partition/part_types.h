// Readable names of partition types for the partition editor: the table of
// type codes and descriptions the program carries (resources/
// partition_types.xml, resource TEXT "TYPES"), read once and kept.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace disk {

struct PartTypeRow {
    std::string key;          // as the table has it: "07", "{ebd0a0a2-...}"
    std::string description;  // UTF-8
};

// The rows of a partition-type document in document order: the `node`
// children of its root element, each with its `Cell` and `Desc` texts.
// Raises std::runtime_error for a document that is not well-formed XML.
std::vector<PartTypeRow> ParsePartTypeTable(std::string_view xml);

// Appends a blank and the description of every row whose key is the type
// byte as two hexadecimal digits, in table order: code 07 gives all four of
// its descriptions. Callers pass an empty text; it stays empty for a code
// the table does not know, and is cleared when the table cannot be read.
void PartTypeNameMbr(std::uint8_t type, std::string& result);
// The same for a GPT partition type GUID as text, braced, in any case.
void PartTypeNameGpt(const std::string& guid, std::string& result);

}  // namespace disk
