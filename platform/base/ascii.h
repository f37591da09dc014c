// ASCII text helpers: case folding and trimming that ignore the locale, as
// device names, INI keys, DLL names and command-line switches are ASCII and
// must compare the same on every machine. Bytes above 0x7F are left alone.
#pragma once

#include <string>
#include <string_view>

namespace platform {

constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string ToLower(std::string text) {
    for (char& c : text) c = AsciiLower(c);
    return text;
}

inline std::string ToUpper(std::string text) {
    for (char& c : text) c = AsciiUpper(c);
    return text;
}

// Space, tab, CR or LF: the blanks Trim takes away.
constexpr bool IsAsciiBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// True when `part` stands anywhere in `text`.
inline bool ContainsNoCase(std::string_view text, std::string_view part) {
    return ToLower(std::string(text)).find(ToLower(std::string(part))) != std::string::npos;
}

// Without the blanks (space, tab, CR, LF) at either end.
inline std::string Trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return "";
    const std::size_t last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace platform
