#include "platform/base/ini_file.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/base/ascii.h"
#include "platform/base/replace_file.h"

namespace platform {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// "value   ; remark" keeps "value"; a ';' inside a word is part of the value.
std::string WithoutComment(std::string_view value) {
    for (std::size_t i = 1; i < value.size(); ++i)
        if ((value[i] == ';' || value[i] == '#') && (value[i - 1] == ' ' || value[i - 1] == '\t'))
            return Trim(value.substr(0, i));
    return Trim(value);
}

IniLine SplitLine(std::string text, int number) {
    IniLine line;
    line.number = number;
    line.text = std::move(text);
    const std::string& t = line.text;
    if (t[0] == '[') {
        line.kind = IniLine::Kind::Heading;
        const std::size_t close = t.find(']');
        if (close == std::string::npos) {
            line.name = Trim(std::string_view(t).substr(1));
            line.fault = "a section heading without its ']': " + t;
            return line;
        }
        line.name = Trim(std::string_view(t).substr(1, close - 1));
        const std::string after = Trim(std::string_view(t).substr(close + 1));
        if (!after.empty() && after[0] != ';' && after[0] != '#') line.fault = "text after the section heading: " + t;
        return line;
    }
    const std::size_t equals = t.find('=');
    if (equals == std::string::npos) {
        line.fault = "neither a section heading nor key=value: " + t;
        return line;
    }
    line.kind = IniLine::Kind::Entry;
    line.name = Trim(std::string_view(t).substr(0, equals));
    line.value = WithoutComment(std::string_view(t).substr(equals + 1));
    if (line.name.empty()) line.fault = "a value without its key: " + t;
    return line;
}

}  // namespace

std::vector<IniLine> ReadIniLines(std::string_view text) {
    std::vector<IniLine> lines;
    // An editor's UTF-8 byte-order mark is no part of the first line.
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
    int number = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string line = Trim(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        ++number;
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        lines.push_back(SplitLine(std::move(line), number));
    }
    return lines;
}

// Tolerant: a heading without its ']' names what follows the '[', text
// after a heading is passed over, a line without '=' is a key without a
// value, and keys before the first heading belong to the nameless section.
IniFile IniFile::Parse(const std::string& text) {
    IniFile ini;
    Section* current = nullptr;
    for (IniLine& line : ReadIniLines(text)) {
        if (line.kind == IniLine::Kind::Heading) {
            current = ini.FindSectionMutable(line.name);
            if (!current) current = &ini.AddSection(line.name);
            continue;
        }
        if (!current) current = &ini.AddSection("");
        if (line.kind == IniLine::Kind::Entry)
            current->entries.emplace_back(std::move(line.name), std::move(line.value));
        else
            current->entries.emplace_back(std::move(line.text), "");
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
    if (std::string_view(out).substr(0, kByteOrderMark.size()) == kByteOrderMark) out.insert(0, kByteOrderMark);
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
