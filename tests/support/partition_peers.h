// What the partitioning peers make of a disk image or device: sfdisk's JSON
// dump of the table and sgdisk's verdict on a GPT.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace test_support {

struct PeerPartition {
    int number = 0;  // as the kernel would number it: the digits that end "node"
    std::int64_t start = 0, size = 0;  // sectors
    std::string type;  // "83", "5", or a GPT type GUID in upper case
    std::string uuid;  // GPT only
    std::string name;  // GPT only
    bool boot = false;
};

struct PeerTable {
    bool read = false;   // sfdisk found a table
    std::string label;   // "dos" or "gpt"
    std::string id;      // "0x01020304" or the disk GUID
    std::string output;  // what sfdisk said, for failure messages
    std::vector<PeerPartition> partitions;
};

inline std::string JsonString(const std::string& object, const std::string& key) {
    std::smatch m;
    if (std::regex_search(object, m, std::regex("\"" + key + "\":\\s*\"([^\"]*)\""))) return m[1];
    return {};
}

inline std::int64_t JsonNumber(const std::string& object, const std::string& key) {
    std::smatch m;
    if (std::regex_search(object, m, std::regex("\"" + key + "\":\\s*([0-9]+)"))) return std::stoll(m[1]);
    return -1;
}

// `sfdisk --json` of the image or device at `path`.
inline PeerTable SfdiskTable(const std::string& path) {
    PeerTable table;
    CommandResult r = Run("sfdisk --json " + Quote(path) + " 2>&1");
    table.output = r.output;
    if (r.exit_code != 0) return table;
    table.read = true;
    table.label = JsonString(r.output, "label");
    table.id = JsonString(r.output, "id");
    const std::size_t list = r.output.find("\"partitions\"");
    if (list == std::string::npos) return table;
    const std::string rest = r.output.substr(list);
    const std::regex object("\\{[^{}]*\\}");
    for (auto it = std::sregex_iterator(rest.begin(), rest.end(), object); it != std::sregex_iterator(); ++it) {
        const std::string text = it->str();
        PeerPartition p;
        const std::string node = JsonString(text, "node");
        std::smatch digits;
        if (std::regex_search(node, digits, std::regex("([0-9]+)$"))) p.number = std::stoi(digits[1]);
        p.start = JsonNumber(text, "start");
        p.size = JsonNumber(text, "size");
        p.type = JsonString(text, "type");
        p.uuid = JsonString(text, "uuid");
        p.name = JsonString(text, "name");
        p.boot = text.find("\"bootable\": true") != std::string::npos;
        table.partitions.push_back(p);
    }
    return table;
}

// `sgdisk -v` finds nothing wrong with the GPT at `path`.
inline ::testing::AssertionResult SgdiskVerifies(const std::string& path) {
    CommandResult r = Run("sgdisk -v " + Quote(path) + " 2>&1");
    if (r.exit_code == 0 && r.output.find("No problems found") != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "sgdisk -v " << path << ":\n" << r.output;
}

}  // namespace test_support
