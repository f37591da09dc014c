// The program's INI files: one reader of their lines, and on it a small
// reader and writer of whole files (IniFile). Sections and keys are
// case-insensitive, values trimmed, CR LF line ends and a UTF-8 byte-order
// mark at the start tolerated, ';' and '#' comment lines, and a ';' or '#'
// after white space ending a value. Order of sections and keys is kept.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace platform {

// One line of an INI text that is neither blank nor a comment, as the one
// reader splits it. `fault` says what is wrong with a line that is not a
// well-formed heading or key=value: a strict reader (the machine manifest)
// refuses the line with it, a tolerant one (IniFile) takes what it can.
struct IniLine {
    enum class Kind { Heading, Entry, Other };
    Kind kind = Kind::Other;
    int number = 0;     // from 1, counting every line of the text
    std::string text;   // the line without the blanks at its ends
    std::string name;   // a heading's section name, an entry's key
    std::string value;  // an entry's value, trimmed, without a comment after a blank
    std::string fault;  // empty for a well-formed line
};

// The lines of `text` in order, without blank and comment lines; a UTF-8
// byte-order mark at the start is no part of the first line.
std::vector<IniLine> ReadIniLines(std::string_view text);

class IniFile {
public:
    struct Section {
        std::string name;
        std::vector<std::pair<std::string, std::string>> entries;
    };

    IniFile() = default;
    static IniFile Parse(const std::string& text);
    // An absent or unreadable file gives an empty IniFile.
    static IniFile Load(const std::string& path);
    // Replaces the file only once the new text is complete and on the
    // medium; a failure leaves the old file as it was. False on failure.
    bool Save(const std::string& path) const;
    std::string Serialize() const;

    std::optional<std::string> Get(const std::string& section, const std::string& key) const;
    std::string GetString(const std::string& section, const std::string& key, const std::string& fallback = "") const;
    long long GetInt(const std::string& section, const std::string& key, long long fallback) const;
    bool GetBool(const std::string& section, const std::string& key, bool fallback) const;

    void Set(const std::string& section, const std::string& key, const std::string& value);
    void Remove(const std::string& section, const std::string& key);
    void RemoveSection(const std::string& section);

    bool HasSection(const std::string& section) const;
    const std::vector<Section>& sections() const { return sections_; }
    const Section* FindSection(const std::string& section) const;
    // Key names of a section in file order; lines without '=' appear as keys with empty values.
    std::vector<std::string> Keys(const std::string& section) const;

private:
    Section* FindSectionMutable(const std::string& section);
    Section& AddSection(const std::string& section);
    std::vector<Section> sections_;
    // Lower-case name -> index in sections_: a file of many sections is
    // read in time linear in its size, not in the square of its sections.
    std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace platform
