#include "crashreport/text/string_toolkit.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "platform/base/wide_text.h"

namespace crashreport {

namespace {

constexpr std::array<unsigned char, 256> BuildLowerCaseTable() {
    std::array<unsigned char, 256> table{};
    for (int i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
    for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<unsigned char>(c + 32);
    table[0x8A] = 0x9A;
    table[0x8C] = 0x9C;
    table[0x8E] = 0x9E;
    table[0x9F] = 0xFF;
    for (int c = 0xC0; c <= 0xDE; ++c)
        if (c != 0xD7) table[c] = static_cast<unsigned char>(c + 32);
    return table;
}

constexpr std::array<unsigned char, 256> BuildDigitValueTable() {
    std::array<unsigned char, 256> table{};
    for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<unsigned char>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) table[c] = static_cast<unsigned char>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) table[c] = static_cast<unsigned char>(c - 'a' + 10);
    return table;
}

// Code unit value of a character of either width.
inline unsigned Unit(char c) { return static_cast<unsigned char>(c); }
inline unsigned Unit(char16_t c) { return c; }

template <class C>
inline unsigned Folded(C c) {
    unsigned u = Unit(c);
    return u < 256 ? kLowerCaseTable[u] : u;
}

template <class C>
void TrimInPlace(std::basic_string<C>& s) {
    std::size_t first = 0;
    while (first < s.size() && Unit(s[first]) <= 32) ++first;
    std::size_t last = s.size();
    while (last > first && Unit(s[last - 1]) <= 32) --last;
    s = s.substr(first, last - first);
}

template <class C>
std::basic_string<C> Deleted(std::basic_string_view<C> s, int index, int count) {
    std::basic_string<C> result(s);
    if (index < 1 || index > static_cast<int>(s.size()) || count <= 0) return result;
    result.erase(static_cast<std::size_t>(index - 1), static_cast<std::size_t>(count));
    return result;
}

template <class C>
void KeepRange(std::basic_string<C>& s, int from, int count) {
    if (from < 1) from = 1;
    if (count <= 0 || from > static_cast<int>(s.size())) {
        s.clear();
        return;
    }
    s = s.substr(static_cast<std::size_t>(from - 1), static_cast<std::size_t>(count));
}

template <class C>
std::basic_string<C> Right(std::basic_string_view<C> s, int n) {
    if (n <= 0) return {};
    if (n >= static_cast<int>(s.size())) return std::basic_string<C>(s);
    return std::basic_string<C>(s.substr(s.size() - static_cast<std::size_t>(n)));
}

template <class C>
int Measure(const C* text) {
    int n = 0;
    while (text[n] != 0) ++n;
    return n;
}

template <class C>
int FindCore(const C* sub, const C* str, int sub_len, int from, int to, bool ignore_case, int str_len) {
    if (sub == nullptr || str == nullptr) return -1;
    if (sub_len == 0) sub_len = Measure(sub);
    if (str_len == 0) str_len = Measure(str);
    if (sub_len <= 0 || str_len <= 0 || str_len < sub_len) return -1;
    const int last = str_len - sub_len;
    auto matches_at = [&](int start) {
        for (int k = 0; k < sub_len; ++k) {
            if (ignore_case ? Folded(str[start + k]) != Folded(sub[k]) : str[start + k] != sub[k]) return false;
        }
        return true;
    };
    if (to < from) {
        for (int i = std::min(last, from); i >= to && i >= 0; --i)
            if (matches_at(i)) return i;
    } else {
        for (int i = std::max(from, 0); i <= std::min(last, to); ++i)
            if (matches_at(i)) return i;
    }
    return -1;
}

template <class C>
int PosCore(std::basic_string_view<C> sub, std::basic_string_view<C> s, int from, int to, bool ignore_case) {
    if (from == 0 || to == 0 || sub.empty() || s.empty()) return 0;
    int found = FindCore(sub.data(), s.data(), static_cast<int>(sub.size()), from - 1, to - 1, ignore_case,
                         static_cast<int>(s.size()));
    return found + 1;
}

template <class C>
bool ReplaceCore(std::basic_string<C>& s, std::basic_string_view<C> sub, std::basic_string_view<C> replacement,
                 bool rescan, bool ignore_case) {
    if (sub.empty()) return false;
    bool found = false;
    std::size_t pos = 0;
    while (pos < s.size()) {
        int at = FindCore(sub.data(), s.data() + pos, static_cast<int>(sub.size()), 0, INT_MAX - 1, ignore_case,
                          static_cast<int>(s.size() - pos));
        if (at < 0) break;
        found = true;
        const std::size_t index = pos + static_cast<std::size_t>(at);
        s.replace(index, sub.size(), replacement);
        // A rescan that does not shrink the text would find its own insert
        // again for ever; only a shrinking one may look at the insert.
        pos = (rescan && replacement.size() < sub.size()) ? index : index + replacement.size();
    }
    return found;
}

template <class C>
std::basic_string<C> DecimalText(std::int64_t value) {
    // Work on the magnitude as unsigned so the most negative value is fine.
    std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    C digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<C>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::basic_string<C> text;
    if (value < 0) text.push_back(static_cast<C>('-'));
    while (n > 0) text.push_back(digits[--n]);
    return text;
}

template <class C>
std::basic_string<C> HexText(std::uint64_t value) {
    static const char kDigits[] = "0123456789abcdef";
    C digits[17];
    int n = 0;
    do {
        digits[n++] = static_cast<C>(kDigits[value & 15]);
        value >>= 4;
    } while (value != 0);
    std::basic_string<C> text;
    while (n > 0) text.push_back(digits[--n]);
    return text;
}

template <class C>
std::basic_string<C> Pad(std::basic_string_view<C> s, int len, C fill) {
    const std::size_t width = static_cast<std::size_t>(len < 0 ? -static_cast<std::int64_t>(len) : len);
    std::basic_string<C> result(s);
    if (result.size() >= width) return result;
    const std::size_t missing = width - result.size();
    if (len < 0) {
        result.append(missing, fill);
    } else if (Unit(fill) >= '0' && Unit(fill) <= '9' && !result.empty() && result[0] == static_cast<C>('-')) {
        result.insert(1, missing, fill);
    } else {
        result.insert(0, missing, fill);
    }
    return result;
}

template <class C>
bool IsHexDigit(C c) {
    unsigned u = Unit(c);
    return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
}

template <class C>
std::basic_string<C> HexPadded(std::uint64_t value, int min_len, C fill) {
    std::basic_string<C> digits = HexText<C>(value);
    std::basic_string<C> dollar(1, static_cast<C>('$'));
    if (min_len >= 0 && !IsHexDigit(fill)) return Pad<C>(dollar + digits, min_len + 1, fill);
    return dollar + Pad<C>(digits, min_len, fill);
}

template <class C>
std::int64_t ParseCore(bool hex, const C* buffer, int length) {
    if (buffer == nullptr || length <= 0) return 0;
    int i = 0;
    bool negative = false;
    if (buffer[0] == static_cast<C>('-')) {
        negative = true;
        i = 1;
    }
    std::uint64_t value = 0;
    const unsigned base = hex ? 16 : 10;
    for (; i < length; ++i) {
        unsigned u = Unit(buffer[i]);
        value = value * base + (u < 256 ? kDigitValueTable[u] : 0);
    }
    return negative ? static_cast<std::int64_t>(0 - value) : static_cast<std::int64_t>(value);
}

}  // namespace

const std::array<unsigned char, 256> kLowerCaseTable = BuildLowerCaseTable();
const std::array<unsigned char, 256> kDigitValueTable = BuildDigitValueTable();

CharSet MakeCharSet(std::string_view members) {
    CharSet set;
    for (char c : members) set.set(Unit(c));
    return set;
}

CharSet CharRangeSet(unsigned char first, unsigned char last) {
    CharSet set;
    for (unsigned c = first; c <= last; ++c) set.set(c);
    return set;
}

void TrimSpacesInPlace(std::string& s) { TrimInPlace(s); }
void TrimSpacesInPlaceW(std::u16string& s) { TrimInPlace(s); }

std::string TrimmedCopy(std::string_view s) {
    std::string copy(s);
    TrimInPlace(copy);
    return copy;
}

std::u16string TrimmedCopyW(std::u16string_view s) {
    std::u16string copy(s);
    TrimInPlace(copy);
    return copy;
}

bool RemoveCharAll(std::string& s, char ch) {
    const std::size_t before = s.size();
    std::erase(s, ch);
    return s.size() != before;
}

bool RemoveCharSet(std::string& s, const CharSet& set) {
    const std::size_t before = s.size();
    std::erase_if(s, [&](char c) { return set.test(Unit(c)); });
    return s.size() != before;
}

std::string DeletedCopy(std::string_view s, int index, int count) { return Deleted(s, index, count); }
std::u16string DeletedCopyW(std::u16string_view s, int index, int count) { return Deleted(s, index, count); }
void KeepSubRange(std::string& s, int from, int count) { KeepRange(s, from, count); }
void KeepSubRangeW(std::u16string& s, int from, int count) { KeepRange(s, from, count); }
std::string RightChars(std::string_view s, int n) { return Right(s, n); }
std::u16string RightCharsW(std::u16string_view s, int n) { return Right(s, n); }

char UpperCharLatin(char ch) {
    unsigned u = Unit(ch);
    if ((u >= 'a' && u <= 'z') || u == 0xE4 || u == 0xF6 || u == 0xFC) return static_cast<char>(u - 32);
    return ch;
}

std::string UpperCopy(std::string_view s) {
    std::string result(s);
    for (char& c : result) c = UpperCharLatin(c);
    return result;
}

std::u16string UpperCopyW(std::u16string_view s) {
    std::u16string result(s);
    for (char16_t& c : result)
        if (c < 256) c = static_cast<unsigned char>(UpperCharLatin(static_cast<char>(c)));
    return result;
}

char LowerCharLatin(char ch) { return static_cast<char>(kLowerCaseTable[Unit(ch)]); }

std::string LowerCopy(std::string_view s) {
    std::string result(s);
    for (char& c : result) {
        unsigned u = Unit(c);
        if ((u >= 'A' && u <= 'Z') || u == 0xC4 || u == 0xD6 || u == 0xDC) c = static_cast<char>(u + 32);
    }
    return result;
}

bool SameTextLatin(std::string_view s1, std::string_view s2) {
    if (s1.size() != s2.size()) return false;
    for (std::size_t i = 0; i < s1.size(); ++i)
        if (Folded(s1[i]) != Folded(s2[i])) return false;
    return true;
}

bool SameTextWide(std::u16string_view s1, std::u16string_view s2) {
    if (s1.size() != s2.size()) return false;
    for (std::size_t i = 0; i < s1.size(); ++i) {
        const bool low1 = s1[i] < 256, low2 = s2[i] < 256;
        if (low1 != low2) return false;
        if (Folded(s1[i]) != Folded(s2[i])) return false;
    }
    return true;
}

std::string PlusMinusText(bool flag) { return flag ? "+" : "-"; }

int FindInPChar(const char* sub, const char* str, int sub_len, int from, int to, bool ignore_case, int str_len) {
    return FindCore(sub, str, sub_len, from, to, ignore_case, str_len);
}

int FindInPCharW(const char16_t* sub, const char16_t* str, int sub_len, int from, int to, bool ignore_case,
                 int str_len) {
    return FindCore(sub, str, sub_len, from, to, ignore_case, str_len);
}

int PosInRange(std::string_view sub, std::string_view s, int from, int to) { return PosCore(sub, s, from, to, false); }
int PosInRangeW(std::u16string_view sub, std::u16string_view s, int from, int to) {
    return PosCore(sub, s, from, to, false);
}
int PosTextInRange(std::string_view sub, std::string_view s, int from, int to) {
    return PosCore(sub, s, from, to, true);
}
int PosTextInRangeW(std::u16string_view sub, std::u16string_view s, int from, int to) {
    return PosCore(sub, s, from, to, true);
}

bool StartsWithStr(std::string_view sub, std::string_view s) { return s.substr(0, sub.size()) == sub && sub.size() <= s.size(); }

bool StartsWithText(std::string_view sub, std::string_view s) {
    return sub.size() <= s.size() && SameTextLatin(sub, s.substr(0, sub.size()));
}

namespace {

template <class C, class Pred>
int FindInRange(std::basic_string_view<C> s, int from, int to, Pred member) {
    if (s.empty()) return 0;
    const int len = static_cast<int>(s.size());
    from = std::clamp(from, 1, len);
    to = std::clamp(to, 1, len);
    if (from <= to) {
        for (int i = from; i <= to; ++i)
            if (member(s[i - 1])) return i;
    } else {
        for (int i = from; i >= to; --i)
            if (member(s[i - 1])) return i;
    }
    return 0;
}

bool ContainsItem(std::string_view list, std::string_view item, char separator, bool ignore_case) {
    if (item.empty()) return false;
    for (int from = 1;;) {
        int at = PosCore(item, list, from, INT_MAX, ignore_case);
        if (at == 0) return false;
        const std::size_t start = static_cast<std::size_t>(at - 1), end = start + item.size();
        const bool starts = start == 0 || list[start - 1] == separator;
        const bool ends = end == list.size() || list[end] == separator;
        if (starts && ends) return true;
        from = at + 1;
    }
}

}  // namespace

int FindCharSetInRange(const CharSet& set, std::string_view s, int from, int to) {
    return FindInRange(s, from, to, [&](char c) { return set.test(Unit(c)); });
}

int FindCharOutsideSetW(const CharSet& set, std::u16string_view s, int from, int to) {
    return FindInRange(s, from, to, [&](char16_t c) { return c >= 256 || !set.test(c); });
}

bool ContainsItemCase(std::string_view list, std::string_view item, char separator) {
    return ContainsItem(list, item, separator, false);
}

bool ContainsItemNoCase(std::string_view list, std::string_view item, char separator) {
    return ContainsItem(list, item, separator, true);
}

bool ReplaceSubStrCase(std::string& s, std::string_view sub, std::string_view replacement, bool rescan) {
    return ReplaceCore(s, sub, replacement, rescan, false);
}
bool ReplaceSubStrNoCase(std::string& s, std::string_view sub, std::string_view replacement, bool rescan) {
    return ReplaceCore(s, sub, replacement, rescan, true);
}
bool ReplaceSubStrCaseW(std::u16string& s, std::u16string_view sub, std::u16string_view replacement, bool rescan) {
    return ReplaceCore(s, sub, replacement, rescan, false);
}
bool ReplaceSubStrNoCaseW(std::u16string& s, std::u16string_view sub, std::u16string_view replacement,
                          bool rescan) {
    return ReplaceCore(s, sub, replacement, rescan, true);
}

void TrimAroundSeparator(std::string& s, char separator) {
    CharSet keep = CharRangeSet(33, 255);
    keep.reset(Unit(separator));
    auto kept = [&](std::size_t i) { return keep.test(Unit(s[i])); };
    std::size_t first = 0;
    while (first < s.size() && !kept(first)) ++first;
    if (first == s.size()) {
        s.clear();
        return;
    }
    std::size_t last = s.size() - 1;
    while (!kept(last)) --last;
    s = s.substr(first, last - first + 1);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != separator) continue;
        std::size_t next = i + 1;
        while (next < s.size() && !kept(next)) ++next;
        s.erase(i + 1, next - i - 1);
        std::size_t previous = i;
        while (previous > 0 && !kept(previous - 1)) --previous;
        s.erase(previous, i - previous);
        i = previous;
    }
}

int CountParts(std::string_view s, char delimiter) {
    if (s.empty()) return 0;
    return static_cast<int>(std::count(s.begin(), s.end(), delimiter)) + 1;
}

std::string GetPart(std::string_view s, int index, char delimiter) {
    if (index < 1 || s.empty()) return {};
    std::size_t start = 0;
    for (int part = 1; part < index; ++part) {
        std::size_t at = s.find(delimiter, start);
        if (at == std::string_view::npos) return {};
        start = at + 1;
    }
    std::size_t end = s.find(delimiter, start);
    return std::string(s.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

std::string IntToText(std::int32_t value) { return DecimalText<char>(value); }
std::string Int64ToText(std::int64_t value) { return DecimalText<char>(value); }
std::u16string Int64ToTextW(std::int64_t value) { return DecimalText<char16_t>(value); }
std::string CardToHex(std::uint32_t value) { return HexText<char>(value); }
std::u16string CardToHexW(std::uint32_t value) { return HexText<char16_t>(value); }

std::string Int64ToHex(std::uint64_t value) {
    const auto high = static_cast<std::uint32_t>(value >> 32);
    const auto low = static_cast<std::uint32_t>(value);
    if (high == 0) return CardToHex(low);
    return CardToHex(high) + Pad<char>(CardToHex(low), 8, '0');
}

std::string PadText(std::string_view s, int len, char fill) { return Pad<char>(s, len, fill); }
std::string IntToTextPadded(std::int32_t value, int min_len, char fill) {
    return Pad<char>(IntToText(value), min_len, fill);
}
std::string CardToTextPadded(std::uint32_t value, int min_len, char fill) {
    return Pad<char>(Int64ToText(value), min_len, fill);
}
std::string Int64ToTextPadded(std::int64_t value, int min_len, char fill) {
    return Pad<char>(Int64ToText(value), min_len, fill);
}
std::string IntToHexPadded(std::int32_t value, int min_len, char fill) {
    return HexPadded<char>(static_cast<std::uint32_t>(value), min_len, fill);
}
std::string CardToHexPadded(std::uint32_t value, int min_len, char fill) { return HexPadded<char>(value, min_len, fill); }
std::string Int64ToHexPadded(std::uint64_t value, int min_len, char fill) {
    return HexPadded<char>(value, min_len, fill);
}
std::u16string CardToHexPaddedW(std::uint32_t value, int min_len, char16_t fill) {
    return HexPadded<char16_t>(value, min_len, fill);
}
std::u16string CardToTextPaddedW(std::uint32_t value, int min_len, char16_t fill) {
    return Pad<char16_t>(DecimalText<char16_t>(value), min_len, fill);
}
std::u16string Int64ToTextPaddedW(std::int64_t value, int min_len, char16_t fill) {
    return Pad<char16_t>(DecimalText<char16_t>(value), min_len, fill);
}
std::string IntToTextPaddedA(int min_len, char fill, std::int32_t value) { return IntToTextPadded(value, min_len, fill); }
std::string IntToHexPaddedA(int min_len, char fill, std::int32_t value) { return IntToHexPadded(value, min_len, fill); }
std::string CardToTextPaddedA(int min_len, char fill, std::uint32_t value) {
    return CardToTextPadded(value, min_len, fill);
}
std::string Int64ToTextPaddedA(int min_len, char fill, std::int64_t value) {
    return Int64ToTextPadded(value, min_len, fill);
}
std::string CardToHexPaddedA(int min_len, char fill, std::uint32_t value) {
    return CardToHexPadded(value, min_len, fill);
}
std::string Int64ToHexPaddedA(int min_len, char fill, std::uint64_t value) {
    return Int64ToHexPadded(value, min_len, fill);
}

std::string ByteSizeToText(std::int64_t count) { return ByteSizeToText(count, DecimalSeparatorChar()); }

std::string ByteSizeToText(std::int64_t count, char decimal_separator) {
    const std::uint64_t n = count < 0 ? 0 - static_cast<std::uint64_t>(count) : static_cast<std::uint64_t>(count);
    if (n < 1024) return DecimalText<char>(static_cast<std::int64_t>(n)) + " Bytes";
    std::uint64_t hundredths;
    const char* unit;
    if (n < 0x100000) {
        hundredths = n * 100 / 1024;
        unit = " KB";
    } else if (n < 0x40000000) {
        hundredths = (n / 1024) * 100 / 1024;
        unit = " MB";
    } else {
        hundredths = (n / 1024 / 1024) * 100 / 1024;
        unit = " GB";
    }
    std::string digits = DecimalText<char>(static_cast<std::int64_t>(hundredths));
    digits.insert(digits.size() - 2, 1, decimal_separator);
    return digits + unit;
}

std::int64_t ParseNumberText(bool hex, const char* buffer, int length) { return ParseCore(hex, buffer, length); }
std::int64_t ParseNumberTextW(bool hex, const char16_t* buffer, int length) {
    return ParseCore(hex, buffer, length);
}

char DecimalSeparatorChar() {
    static const char separator = [] {
        const std::lconv* conventions = std::localeconv();
        if (conventions == nullptr || conventions->decimal_point == nullptr || conventions->decimal_point[0] == 0)
            return ',';
        return conventions->decimal_point[0];
    }();
    return separator;
}

std::string ErrorCodeToText(std::uint32_t code) {
    std::string text;
    if (code <= 4095) {
        char buffer[256];
        // The GNU form: returns the text, which may or may not be `buffer`.
        const char* message = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
        if (message != nullptr && std::strncmp(message, "Unknown error", 13) != 0) text = message;
    }
    if (text.empty()) return "error " + CardToHexPadded(code, 1, '0');
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::erase(text, '\n');
    return text;
}

std::string XorStrScramble(std::string_view s) {
    std::string result(s);
    for (char& c : result) c = static_cast<char>(c ^ 0x55);
    return result;
}

std::string WideToAnsiLowBytes(const char16_t* text) {
    std::string result;
    if (text == nullptr) return result;
    for (; *text != 0; ++text) result.push_back(static_cast<char>(*text & 0xFF));
    return result;
}

std::u16string AnsiToWideLowBytes(std::string_view text) {
    std::u16string result;
    result.reserve(text.size());
    for (char c : text) result.push_back(static_cast<unsigned char>(c));
    return result;
}

std::u16string Utf8ToWideText(std::string_view text) { return platform::Utf8ToUtf16(text); }

std::string WideToUtf8Text(std::u16string_view text) { return platform::Utf16ToUtf8(text); }

}  // namespace crashreport
