// The crash reporter's own string toolkit. The reporter runs when the rest of
// the program may be broken, so it keeps its own small set of text operations
// instead of leaning on anything else: trimming, searching, replacing,
// splitting, padding and number formatting. Only its UTF-8 coder is the
// program's own, which holds no lock and no state.
//
// 8-bit ("ANSI") strings are std::string, wide strings std::u16string; an
// operation whose name ends in W is the wide twin of the one without.
// Positions are 1-based and 0 means "not found"; the two buffer search cores
// are 0-based and answer -1. Case-insensitive comparisons fold both sides
// through one fixed lower-case table; a wide character of 256 or more is
// compared exactly. No operation raises: out-of-range positions are clipped.
#pragma once

#include <array>
#include <bitset>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

namespace crashreport {

// A set of byte values (bit n set when byte n is a member).
using CharSet = std::bitset<256>;
CharSet MakeCharSet(std::string_view members);
CharSet CharRangeSet(unsigned char first, unsigned char last);

// Fixed at build time: A-Z to a-z, 0x8A/0x8C/0x8E to 0x9A/0x9C/0x9E, 0x9F to
// 0xFF and 0xC0-0xDE (without 0xD7) to 0xE0-0xFE.
extern const std::array<unsigned char, 256> kLowerCaseTable;
// 0-9 and A-F/a-f give their digit value, every other byte 0.
extern const std::array<unsigned char, 256> kDigitValueTable;

// Trimming, deleting, case
void TrimSpacesInPlace(std::string& s);
void TrimSpacesInPlaceW(std::u16string& s);
std::string TrimmedCopy(std::string_view s);
std::u16string TrimmedCopyW(std::u16string_view s);
bool RemoveCharAll(std::string& s, char ch);
bool RemoveCharSet(std::string& s, const CharSet& set);
std::string DeletedCopy(std::string_view s, int index, int count);
std::u16string DeletedCopyW(std::u16string_view s, int index, int count);
void KeepSubRange(std::string& s, int from, int count);
void KeepSubRangeW(std::u16string& s, int from, int count);
std::string RightChars(std::string_view s, int n);
std::u16string RightCharsW(std::u16string_view s, int n);
char UpperCharLatin(char ch);
std::string UpperCopy(std::string_view s);
std::u16string UpperCopyW(std::u16string_view s);
char LowerCharLatin(char ch);
std::string LowerCopy(std::string_view s);
bool SameTextLatin(std::string_view s1, std::string_view s2);
bool SameTextWide(std::u16string_view s1, std::u16string_view s2);
std::string PlusMinusText(bool flag);

// Searching. The cores take zero-terminated buffers; a length of 0 makes
// them measure up to the terminating zero. From > To searches backward.
int FindInPChar(const char* sub, const char* str, int sub_len, int from, int to, bool ignore_case,
                int str_len);
int FindInPCharW(const char16_t* sub, const char16_t* str, int sub_len, int from, int to,
                 bool ignore_case, int str_len);
int PosInRange(std::string_view sub, std::string_view s, int from = 1, int to = INT_MAX);
int PosInRangeW(std::u16string_view sub, std::u16string_view s, int from = 1, int to = INT_MAX);
int PosTextInRange(std::string_view sub, std::string_view s, int from = 1, int to = INT_MAX);
int PosTextInRangeW(std::u16string_view sub, std::u16string_view s, int from = 1, int to = INT_MAX);
bool StartsWithStr(std::string_view sub, std::string_view s);
bool StartsWithText(std::string_view sub, std::string_view s);
int FindCharSetInRange(const CharSet& set, std::string_view s, int from, int to);
int FindCharOutsideSetW(const CharSet& set, std::u16string_view s, int from, int to);
bool ContainsItemCase(std::string_view list, std::string_view item, char separator);
bool ContainsItemNoCase(std::string_view list, std::string_view item, char separator);

// Replacing, splitting. With `rescan` the search goes on at the inserted
// text, so runs collapse (callers use it only when the new text is shorter).
bool ReplaceSubStrCase(std::string& s, std::string_view sub, std::string_view replacement, bool rescan);
bool ReplaceSubStrNoCase(std::string& s, std::string_view sub, std::string_view replacement, bool rescan);
bool ReplaceSubStrCaseW(std::u16string& s, std::u16string_view sub, std::u16string_view replacement,
                        bool rescan);
bool ReplaceSubStrNoCaseW(std::u16string& s, std::u16string_view sub, std::u16string_view replacement,
                          bool rescan);
// 'a ,, b' becomes 'a,b': blanks and repeated separators around items go.
void TrimAroundSeparator(std::string& s, char separator);
int CountParts(std::string_view s, char delimiter);
std::string GetPart(std::string_view s, int index, char delimiter);

// Numbers to text: hex digits in lower case, no thousands separators.
std::string IntToText(std::int32_t value);
std::string Int64ToText(std::int64_t value);
std::u16string Int64ToTextW(std::int64_t value);
std::string CardToHex(std::uint32_t value);
std::u16string CardToHexW(std::uint32_t value);
std::string Int64ToHex(std::uint64_t value);
// Pads to abs(len) characters, at the left for len > 0; never shortens. A
// digit fill at the left of a negative number goes after the '-'.
std::string PadText(std::string_view s, int len, char fill);
std::string IntToTextPadded(std::int32_t value, int min_len, char fill);
std::string CardToTextPadded(std::uint32_t value, int min_len, char fill);
std::string Int64ToTextPadded(std::int64_t value, int min_len, char fill);
// Always with "$" in front: CardToHexPadded(0x1F, 8, '0') is '$0000001f',
// with a blank fill the blanks stand before the "$".
std::string IntToHexPadded(std::int32_t value, int min_len, char fill);
std::string CardToHexPadded(std::uint32_t value, int min_len, char fill);
std::string Int64ToHexPadded(std::uint64_t value, int min_len, char fill);
std::u16string CardToHexPaddedW(std::uint32_t value, int min_len, char16_t fill);
std::u16string CardToTextPaddedW(std::uint32_t value, int min_len, char16_t fill);
std::u16string Int64ToTextPaddedW(std::int64_t value, int min_len, char16_t fill);
std::string IntToTextPaddedA(int min_len, char fill, std::int32_t value);
std::string IntToHexPaddedA(int min_len, char fill, std::int32_t value);
std::string CardToTextPaddedA(int min_len, char fill, std::uint32_t value);
std::string Int64ToTextPaddedA(int min_len, char fill, std::int64_t value);
std::string CardToHexPaddedA(int min_len, char fill, std::uint32_t value);
std::string Int64ToHexPaddedA(int min_len, char fill, std::uint64_t value);
// '1023 Bytes', '1,50 KB', '1,00 MB' ... with two decimals, truncated.
std::string ByteSizeToText(std::int64_t count);
std::string ByteSizeToText(std::int64_t count, char decimal_separator);

// Text to numbers, conversion, messages
std::int64_t ParseNumberText(bool hex, const char* buffer, int length);
std::int64_t ParseNumberTextW(bool hex, const char16_t* buffer, int length);
// The decimal separator of the locale in force at the first call.
char DecimalSeparatorChar();
// The system's text for an error number, line breaks turned into blanks;
// "error $<hex>" when the system has none.
std::string ErrorCodeToText(std::uint32_t code);
std::string XorStrScramble(std::string_view s);
std::string WideToAnsiLowBytes(const char16_t* text);
// The program's one UTF-8 coder (platform/base/wide_text.h: no lock, no
// state), as the system's coder does it: invalid sequences and unpaired
// surrogates become U+FFFD, so that what it gives is always UTF-8.
std::u16string Utf8ToWideText(std::string_view text);
std::string WideToUtf8Text(std::u16string_view text);
// Widens 8-bit text byte by byte (the reverse of WideToAnsiLowBytes).
std::u16string AnsiToWideLowBytes(std::string_view text);

}  // namespace crashreport
