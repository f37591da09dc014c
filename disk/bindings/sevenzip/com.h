// The little of COM that 7-Zip's plug-in interfaces are made of, declared
// here as the library's own build for this system lays it out: GUIDs,
// HRESULTs, PROPVARIANTs and BSTRs of 4-byte wchar_t, and interface
// pointers whose first word points at a table of functions. On this system
// a table may start with two destructor slots after IUnknown's three, when
// the library was built that way; the library says which.
#pragma once

#include <cstdint>
#include <string>

namespace disk::sevenzip {

using HRESULT = std::int32_t;
using PROPID = std::uint32_t;
using VARTYPE = std::uint16_t;
using BSTR = wchar_t*;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);

// An HRESULT that carries a system error code.
constexpr HRESULT HResultFromWin32(std::uint32_t code) {
    return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFF) | 0x80070000u);
}

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);
bool operator==(const GUID& a, const GUID& b);

// {23170F69-40C1-278A-0000-00gg00ii0000}: 7-Zip interface ii of group gg.
GUID SevenZipInterface(std::uint8_t group, std::uint8_t id);
// {23170F69-40C1-278A-1000-000110XX0000}: the handler of format XX.
GUID SevenZipHandler(std::uint8_t format);
// "{00000000-0000-0000-0000-000000000000}" and its kin.
std::string GuidText(const GUID& guid);

extern const GUID IID_IUnknown;
extern const GUID IID_ISequentialInStream;   // 3, 1
extern const GUID IID_ISequentialOutStream;  // 3, 2
extern const GUID IID_IInStream;             // 3, 3
extern const GUID IID_IOutStream;            // 3, 4
extern const GUID IID_IStreamGetSize;        // 3, 6
extern const GUID IID_IProgress;             // 0, 5
extern const GUID IID_ICryptoGetTextPassword;         // 5, 0x10
extern const GUID IID_IArchiveOpenCallback;           // 6, 0x10
extern const GUID IID_IArchiveExtractCallback;        // 6, 0x20
extern const GUID IID_IArchiveOpenSetSubArchiveName;  // 6, 0x50
extern const GUID IID_IInArchive;                     // 6, 0x60

enum : VARTYPE { VT_EMPTY = 0, VT_I4 = 3, VT_BSTR = 8, VT_BOOL = 11, VT_UI4 = 19, VT_UI8 = 21, VT_FILETIME = 64 };

struct PROPVARIANT {
    VARTYPE vt;
    std::uint16_t wReserved1;
    std::uint16_t wReserved2;
    std::uint16_t wReserved3;
    union {
        std::int16_t boolVal;  // VARIANT_BOOL: -1 true, 0 false
        std::uint32_t ulVal;
        std::int32_t lVal;
        std::uint64_t uhVal;
        BSTR bstrVal;
    };
};
static_assert(sizeof(PROPVARIANT) == 16);

// The library's BSTR: a 32-bit byte count before the characters, the whole
// allocated with malloc, so that either side can free what the other made.
BSTR SysAllocString(const std::u32string& text);
void SysFreeString(BSTR text);
std::uint32_t SysStringLen(BSTR text);
// Frees what a PROPVARIANT owns and empties it.
void PropVariantClear(PROPVARIANT& value);
// RAII for a PROPVARIANT the library filled.
struct ScopedPropVariant {
    PROPVARIANT value{};
    ~ScopedPropVariant() { PropVariantClear(value); }
    ScopedPropVariant() = default;
    ScopedPropVariant(const ScopedPropVariant&) = delete;
    ScopedPropVariant& operator=(const ScopedPropVariant&) = delete;
};

std::string WideToUtf8(const wchar_t* text);
std::u32string Utf8ToWide(const std::string& text);

// The system's text for a result code.
std::string HResultText(HRESULT result);

// Where an interface's own methods start in its table of functions.
enum class TableLayout {
    Plain,              // QueryInterface, AddRef, Release, methods...
    WithDestructors,    // ... Release, two destructor slots, methods...
};
inline int FirstMethodSlot(TableLayout layout) { return layout == TableLayout::Plain ? 3 : 5; }

}  // namespace disk::sevenzip
