// UTF-16 text, the form of every "wide" string the Windows entry points take
// and give, and its conversion to and from the program's UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Invalid UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// A zero-terminated wide text; nullptr gives "".
std::string Utf16ToUtf8(const char16_t* text);
// True when `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);
// At most `max_units` units of a wide text that need not be terminated.
std::string Utf16ToUtf8Bounded(const char16_t* text, std::size_t max_units);

// UTF-32 text, the wide text of libraries built for Unix wchar_t.
// Invalid input becomes U+FFFD as above.
std::u32string Utf8ToUtf32(std::string_view text);
std::string Utf32ToUtf8(std::u32string_view text);

// UTF-16 as it is stored in little-endian records and values, whatever the
// host's order; an odd last byte is no whole unit and is left out.
std::string Utf16ToLeBytes(std::u16string_view units);
std::u16string Utf16FromLeBytes(std::string_view bytes);

}  // namespace platform
