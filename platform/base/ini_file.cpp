#include "platform/base/ini_file.h"

#include <fstream>
#include <sstream>

#include "platform/base/ascii.h"
#include "platform/base/replace_file.h"

namespace platform {

namespace {

constexpr const char* kByteOrderMark = "\xEF\xBB\xBF";

// "value   ; remark" keeps "value"; a ';' inside a word is part of the value.
std::string StripTrailingComment(const std::string& value) {
    for (size_t i = 1; i < value.size(); ++i) {
        if ((value[i] == ';' || value[i] == '#') && (value[i - 1] == ' ' || value[i - 1] == '\t'))
            return value.substr(0, i);
    }
    return value;
}

}  // namespace

IniFile IniFile::Parse(const std::string& text) {
    IniFile ini;
    Section* current = nullptr;
    // An editor's UTF-8 byte-order mark is no part of the first line.
    const bool marked = text.compare(0, 3, kByteOrderMark) == 0;
    std::istringstream lines(marked ? text.substr(3) : text);
    std::string line;
    while (std::getline(lines, line)) {
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') continue;
        if (trimmed.front() == '[') {
            auto close = trimmed.find(']');
            std::string name = Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            current = ini.FindSectionMutable(name);
            if (!current) current = &ini.AddSection(name);
            continue;
        }
        if (!current) current = &ini.AddSection("");
        auto eq = trimmed.find('=');
        if (eq == std::string::npos) {
            current->entries.emplace_back(trimmed, "");
        } else {
            current->entries.emplace_back(Trim(trimmed.substr(0, eq)),
                                          Trim(StripTrailingComment(trimmed.substr(eq + 1))));
        }
    }
    return ini;
}

IniFile IniFile::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str());
}

std::string IniFile::Serialize() const {
    std::string out;
    for (const auto& section : sections_) {
        // Keys before any heading belong to the nameless section; anywhere
        // else it needs its "[]" so that its keys do not join the one above.
        if (!section.name.empty() || &section != &sections_.front()) out += "[" + section.name + "]\n";
        for (const auto& [key, value] : section.entries) out += key + "=" + value + "\n";
        out += "\n";
    }
    // A text that starts as a byte-order mark does would lose it to the
    // reader: a mark of its own in front keeps it.
    if (out.compare(0, 3, kByteOrderMark) == 0) out.insert(0, kByteOrderMark);
    return out;
}

bool IniFile::Save(const std::string& path) const { return ReplaceFileContents(path, Serialize()); }

const IniFile::Section* IniFile::FindSection(const std::string& section) const {
    const auto found = index_.find(ToLower(section));
    return found == index_.end() ? nullptr : &sections_[found->second];
}

IniFile::Section& IniFile::AddSection(const std::string& section) {
    index_.emplace(ToLower(section), sections_.size());
    sections_.push_back({section, {}});
    return sections_.back();
}

IniFile::Section* IniFile::FindSectionMutable(const std::string& section) {
    return const_cast<Section*>(std::as_const(*this).FindSection(section));
}

bool IniFile::HasSection(const std::string& section) const { return FindSection(section) != nullptr; }

std::optional<std::string> IniFile::Get(const std::string& section, const std::string& key) const {
    const Section* s = FindSection(section);
    if (!s) return std::nullopt;
    for (const auto& [k, v] : s->entries)
        if (EqualsNoCase(k, key)) return v;
    return std::nullopt;
}

std::string IniFile::GetString(const std::string& section, const std::string& key, const std::string& fallback) const {
    return Get(section, key).value_or(fallback);
}

long long IniFile::GetInt(const std::string& section, const std::string& key, long long fallback) const {
    auto value = Get(section, key);
    if (!value || value->empty()) return fallback;
    try {
        size_t used = 0;
        long long parsed = std::stoll(*value, &used, 0);
        return used == value->size() ? parsed : fallback;
    } catch (...) {
        return fallback;
    }
}

bool IniFile::GetBool(const std::string& section, const std::string& key, bool fallback) const {
    auto value = Get(section, key);
    if (!value) return fallback;
    std::string v = ToLower(*value);
    if (v == "1" || v == "true" || v == "yes" || v == "on") return true;
    if (v == "0" || v == "false" || v == "no" || v == "off") return false;
    return fallback;
}

void IniFile::Set(const std::string& section, const std::string& key, const std::string& value) {
    Section* s = FindSectionMutable(section);
    if (!s) s = &AddSection(section);
    for (auto& [k, v] : s->entries)
        if (EqualsNoCase(k, key)) {
            v = value;
            return;
        }
    s->entries.emplace_back(key, value);
}

void IniFile::Remove(const std::string& section, const std::string& key) {
    Section* s = FindSectionMutable(section);
    if (!s) return;
    std::erase_if(s->entries, [&](const auto& entry) { return EqualsNoCase(entry.first, key); });
}

void IniFile::RemoveSection(const std::string& section) {
    std::erase_if(sections_, [&](const Section& s) { return EqualsNoCase(s.name, section); });
    index_.clear();
    for (std::size_t i = 0; i < sections_.size(); ++i) index_.emplace(ToLower(sections_[i].name), i);
}

std::vector<std::string> IniFile::Keys(const std::string& section) const {
    std::vector<std::string> keys;
    if (const Section* s = FindSection(section))
        for (const auto& entry : s->entries) keys.push_back(entry.first);
    return keys;
}

}  // namespace platform
