#include "disk/bindings/registry_text.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "platform/base/byte_order.h"
#include "platform/offreg/offreg.h"
#include "platform/base/wide_text.h"

namespace disk {

using namespace platform::offreg;
using platform::DWORD;

namespace {

// ---- Reading. ----

std::string StringText(const std::string& bytes) {
    const std::u16string units = platform::Utf16FromLeBytes(bytes);
    return platform::Utf16ToUtf8(std::u16string_view(units).substr(0, units.find(u'\0')));
}

// The strings of the list, joined by NULs. The list ends at its empty string
// (the double NUL) or where the data ends.
std::string MultiStringText(const std::string& bytes) {
    const std::u16string units = platform::Utf16FromLeBytes(bytes);
    std::u16string_view rest(units);
    std::string text;
    bool first = true;
    while (!rest.empty()) {
        const auto end = rest.find(u'\0');
        const std::u16string_view item = rest.substr(0, end);
        if (item.empty()) break;
        if (!first) text.push_back('\0');
        text += platform::Utf16ToUtf8(item);
        first = false;
        if (end == std::u16string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return text;
}

// The number a REG_DWORD (4 bytes) or REG_QWORD (8 bytes) holds.
std::uint64_t NumberValue(const std::string& bytes, std::size_t width, const char* type_name) {
    if (bytes.size() < width)
        throw std::runtime_error(std::string(type_name) + " value holds " + std::to_string(bytes.size()) +
                                 " bytes, not " + std::to_string(width));
    return width == 4 ? platform::LoadLe32(bytes.data()) : platform::LoadLe64(bytes.data());
}

std::string BinaryText(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : bytes) {
        if (!text.empty()) text.push_back(',');
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

// ---- Writing. ----

std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

[[noreturn]] void RaiseNotInteger(std::string_view text) {
    throw std::runtime_error("'" + std::string(text) + "' is not a valid integer value");
}

// A decimal number that must fit a `width`-byte value, signed or unsigned:
// its two's complement bits.
std::uint64_t ParseDecimal(std::string_view text, std::size_t width) {
    std::string_view digits = Trimmed(text);
    bool negative = false;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    if (digits.empty() || digits.front() == '+' || digits.front() == '-') RaiseNotInteger(text);
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size()) RaiseNotInteger(text);

    const unsigned bits = static_cast<unsigned>(8 * width);
    const std::uint64_t unsigned_max = bits == 64 ? ~0ull : (1ull << bits) - 1;
    const std::uint64_t negative_max = 1ull << (bits - 1);  // magnitude of the most negative value
    if (negative ? magnitude > negative_max : magnitude > unsigned_max) RaiseNotInteger(text);
    const std::uint64_t value = negative ? (~magnitude + 1) : magnitude;
    return value & unsigned_max;
}

std::string NumberBytes(std::uint64_t value, std::size_t width) {
    std::string bytes(width, '\0');
    if (width == 4) platform::StoreLe32(bytes.data(), static_cast<std::uint32_t>(value));
    else platform::StoreLe64(bytes.data(), value);
    return bytes;
}

// The text and its terminating NUL; a list gets the second NUL that ends it.
std::string StringBytes(const std::string& text, bool list) {
    std::u16string units = platform::Utf8ToUtf16(text);
    units.push_back(u'\0');
    if (list) units.push_back(u'\0');
    return platform::Utf16ToLeBytes(units);
}

std::string MultiStringBytes(std::string text) {
    for (char& c : text)
        if (c == ' ') c = '\0';
    return StringBytes(text, true);
}

// Comma-separated hexadecimal bytes; the empty text is no bytes.
std::string BinaryBytes(const std::string& text) {
    std::string bytes;
    if (Trimmed(text).empty()) return bytes;
    std::string_view rest(text);
    while (true) {
        const auto comma = rest.find(',');
        const std::string_view item = Trimmed(rest.substr(0, comma));
        unsigned value = 0;
        auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), value, 16);
        if (item.empty() || item.size() > 2 || error != std::errc() || end != item.data() + item.size())
            throw std::runtime_error("'" + std::string(item) + "' is not a valid hexadecimal byte");
        bytes.push_back(static_cast<char>(value));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return bytes;
}

}  // namespace

std::string RegistryValueText(DWORD type, const std::string& bytes) {
    if (bytes.empty()) return {};
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: return StringText(bytes);
    case REG_MULTI_SZ: return MultiStringText(bytes);
    case REG_DWORD: return std::to_string(NumberValue(bytes, 4, "REG_DWORD"));
    case REG_QWORD: return std::to_string(NumberValue(bytes, 8, "REG_QWORD"));
    case REG_BINARY: return BinaryText(bytes);
    default: return {};
    }
}

std::optional<std::string> RegistryValueBytes(DWORD type, const std::string& text) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ: return StringBytes(text, false);
    case REG_MULTI_SZ: return MultiStringBytes(text);
    case REG_DWORD: return NumberBytes(ParseDecimal(text, 4), 4);
    case REG_QWORD: return NumberBytes(ParseDecimal(text, 8), 8);
    case REG_BINARY: return BinaryBytes(text);
    default: return std::nullopt;
    }
}

}  // namespace disk
