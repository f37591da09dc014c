#include "disk/util/lib_helpers.h"

#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/base/ascii.h"
#include "platform/base/byte_order.h"
#include "platform/base/replace_file.h"
#include "platform/base/win_error.h"
#include "platform/os/file_facts.h"

namespace disk {

bool BitIsSet(std::uint32_t value, int n) { return (value >> (n & 31)) & 1u; }

std::uint32_t BitSet(std::uint32_t value, int n) { return value | (1u << (n & 31)); }

std::uint32_t CtlCode(std::uint32_t deviceType, std::uint32_t function, std::uint32_t method,
                      std::uint32_t access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

std::string PadHexEven(const std::string& hex) { return hex.size() % 2 ? "0" + hex : hex; }

std::string BoolToText(bool value) { return value ? "True" : "False"; }

namespace {

// Splits "15.4.0" into numbers; false when a field is empty, not a number or
// too big for a version field.
bool ParseVersionFields(std::string_view text, std::vector<std::uint16_t>& fields) {
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view field = text.substr(0, dot);
        std::uint16_t number = 0;
        const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), number);
        if (field.empty() || error != std::errc() || end != field.data() + field.size()) return false;
        fields.push_back(number);
        if (dot == std::string_view::npos) return true;
        text.remove_prefix(dot + 1);
    }
}

}  // namespace

bool FileVersionOf(const std::string& path, std::uint16_t& major, std::uint16_t& minor,
                   std::uint16_t& release, std::uint16_t& build) {
    const std::optional<std::string> real = platform::RealPathOf(path);
    const auto facts = real ? platform::FileFactsOf(*real) : std::nullopt;
    if (!facts || !facts->is_regular()) return false;

    // The version is what follows the last ".so." of the file's own name; a
    // name like libfoo.so.bar.so.2 still gives 2.
    const std::string name = real->substr(real->rfind('/') + 1);
    const std::size_t marker = name.rfind(".so.");
    if (marker == std::string::npos) return false;
    std::vector<std::uint16_t> fields;
    if (!ParseVersionFields(std::string_view(name).substr(marker + 4), fields)) return false;

    fields.resize(4);  // missing fields read as 0, any past the fourth are dropped
    major = fields[0];
    minor = fields[1];
    release = fields[2];
    build = fields[3];
    return true;
}

int WindowsVersionClassOf(const platform::OSVERSIONINFOA& info) {
    if (info.dwPlatformId == 1) return 1;
    if (info.dwPlatformId != platform::kPlatformWin32NT) return 0;

    const std::uint32_t major = info.dwMajorVersion;
    const std::uint32_t minor = info.dwMinorVersion;
    if (major <= 4) return 2;
    if (major == 5 && minor == 0) return 3;
    if (major == 5 && minor == 1) {
        // The service pack text need not be terminated inside its buffer.
        const std::string_view csd(info.szCSDVersion, strnlen(info.szCSDVersion, sizeof(info.szCSDVersion)));
        return csd.find("Service Pack 2") != std::string_view::npos ? 5 : 4;
    }
    if (major == 5 && minor == 2) return 6;
    if (major == 6 && minor == 0) return 7;
    if (major == 6 && minor == 1) return 8;
    if (major == 6 && minor == 2) return 9;
    if (major == 10) return 10;
    return 0;
}

int GetWindowsVersionClass() {
    platform::OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
    if (!platform::GetVersionExA(info)) return 0;
    return WindowsVersionClassOf(info);
}

int PowerOfTwo(int n) {
    if (n <= 0) return 1;
    if (n >= 32) return 0;
    // Unsigned, so 2^31 wraps to INT_MIN instead of overflowing.
    return static_cast<int>(1u << n);
}

int BinToInt(const std::string& bits) {
    std::uint32_t result = 0;
    const std::size_t length = bits.size();
    for (std::size_t i = 0; i < length; ++i) {
        const char digit = bits[i];
        if (digit != '0' && digit != '1') throw std::runtime_error("It is not a binary number");
        if (digit == '1') result += static_cast<std::uint32_t>(PowerOfTwo(static_cast<int>(length - 1 - i)));
    }
    return static_cast<int>(result);
}

std::string IntToBin(int value) {
    // Negate in unsigned arithmetic: -INT_MIN does not fit in an int.
    const std::uint32_t magnitude =
        value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
    std::string bits(32, '0');
    for (int i = 0; i < 32; ++i)
        if (magnitude & (1u << (31 - i))) bits[static_cast<std::size_t>(i)] = '1';
    const std::size_t first_one = bits.find('1');
    return first_one == std::string::npos ? bits : bits.substr(first_one);
}

std::optional<std::int64_t> ParseUserNumber(const std::string& text, std::int64_t min, std::int64_t max) {
    const std::string trimmed = platform::Trim(text);
    const bool hex = !trimmed.empty() && trimmed[0] == '$';
    const std::string_view digits = std::string_view(trimmed).substr(hex ? 1 : 0);
    // from_chars takes a sign for decimal only where we say so: "$-1" and
    // "+1" are no numbers here.
    if (digits.empty() || digits[0] == '+' || (hex && digits[0] == '-')) return std::nullopt;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (value < min || value > max) return std::nullopt;
    return value;
}

void WriteTextFile(const std::string& path, const std::string& text) {
    if (!platform::ReplaceFileContents(path, text))
        throw std::runtime_error("Cannot create file \"" + path + "\". " +
                                 platform::SysErrorMessage(platform::GetLastError()));
}

void FileSizeByFind(const std::string& path, std::int64_t& size) { size = FileSize64(path); }

std::int64_t FileSize64(const std::string& path) {
    const auto facts = platform::FileFactsOf(path);
    return facts && facts->is_regular() ? facts->size : 0;
}

std::uint32_t ByteSum(const void* buffer, std::size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum += bytes[i];
    return ~sum;
}

std::uint32_t Swap16(std::uint32_t value) {
    return (value & 0xFFFF0000u) | platform::ByteSwap16(static_cast<std::uint16_t>(value));
}

std::uint32_t Swap32(std::uint32_t value) { return platform::ByteSwap32(value); }

std::int64_t Swap64(std::int64_t value) {
    return static_cast<std::int64_t>(platform::ByteSwap64(static_cast<std::uint64_t>(value)));
}

bool IsInCharSet(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == '.')) return false;
    return true;
}

std::string GetWindowsDir() { return platform::GetWindowsDirectoryA(); }

std::string GetEnvVar(const std::string& name) {
    bool exists = false;
    return platform::GetEnvironmentVariableA(name, exists);
}

}  // namespace disk
