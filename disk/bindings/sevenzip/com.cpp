#include "disk/bindings/sevenzip/com.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/wide_text.h"
#include "platform/base/win_error.h"

namespace disk::sevenzip {

static_assert(sizeof(wchar_t) == 4, "the library's wide text is UTF-32");

bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

GUID SevenZipInterface(std::uint8_t group, std::uint8_t id) {
    return GUID{0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, group, 0x00, id, 0x00, 0x00}};
}

GUID SevenZipHandler(std::uint8_t format) {
    return GUID{0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, format, 0x00, 0x00}};
}

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

const GUID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const GUID IID_ISequentialInStream = SevenZipInterface(3, 1);
const GUID IID_ISequentialOutStream = SevenZipInterface(3, 2);
const GUID IID_IInStream = SevenZipInterface(3, 3);
const GUID IID_IOutStream = SevenZipInterface(3, 4);
const GUID IID_IStreamGetSize = SevenZipInterface(3, 6);
const GUID IID_IProgress = SevenZipInterface(0, 5);
const GUID IID_ICryptoGetTextPassword = SevenZipInterface(5, 0x10);
const GUID IID_IArchiveOpenCallback = SevenZipInterface(6, 0x10);
const GUID IID_IArchiveExtractCallback = SevenZipInterface(6, 0x20);
const GUID IID_IArchiveOpenSetSubArchiveName = SevenZipInterface(6, 0x50);
const GUID IID_IInArchive = SevenZipInterface(6, 0x60);

BSTR SysAllocString(const std::u32string& text) {
    const std::size_t bytes = text.size() * sizeof(wchar_t);
    auto* block = static_cast<std::uint32_t*>(std::malloc(sizeof(std::uint32_t) + bytes + sizeof(wchar_t)));
    if (!block) return nullptr;
    *block = static_cast<std::uint32_t>(bytes);
    auto* chars = reinterpret_cast<wchar_t*>(block + 1);
    for (std::size_t i = 0; i < text.size(); ++i) chars[i] = static_cast<wchar_t>(text[i]);
    chars[text.size()] = 0;
    return chars;
}

void SysFreeString(BSTR text) {
    if (text) std::free(reinterpret_cast<std::uint32_t*>(text) - 1);
}

std::uint32_t SysStringLen(BSTR text) {
    return text ? *(reinterpret_cast<std::uint32_t*>(text) - 1) / sizeof(wchar_t) : 0;
}

void PropVariantClear(PROPVARIANT& value) {
    if (value.vt == VT_BSTR) SysFreeString(value.bstrVal);
    std::memset(&value, 0, sizeof value);
}

std::string WideToUtf8(const wchar_t* text) {
    if (!text) return {};
    std::u32string units;
    for (; *text; ++text) units += static_cast<char32_t>(*text);
    return platform::Utf32ToUtf8(units);
}

std::u32string Utf8ToWide(const std::string& text) { return platform::Utf8ToUtf32(text); }

std::string HResultText(HRESULT result) {
    const auto code = static_cast<std::uint32_t>(result);
    switch (code) {
    case 0x80004001u: return "Not implemented";
    case 0x80004002u: return "No such interface supported";
    case 0x80004004u: return "Operation aborted";
    case 0x80004005u: return "Unspecified error";
    case 0x8000FFFFu: return "Catastrophic failure";
    case 0x80030001u: return "Unable to perform requested operation";
    case 0x80040111u: return "ClassFactory cannot supply requested class";
    default: break;
    }
    if ((code & 0xFFFF0000u) == 0x80070000u || code < 0x10000u) return platform::SysErrorMessage(code & 0xFFFF);
    char text[32];
    std::snprintf(text, sizeof text, "Error 0x%08X", code);
    return text;
}

}  // namespace disk::sevenzip
