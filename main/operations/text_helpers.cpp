#include "main/operations/text_helpers.h"

#include <cstdint>
#include <exception>

#include "platform/base/ascii.h"

namespace tarnovell {

std::vector<std::string> SplitToList(const std::string& text, const std::string& separator) {
    std::vector<std::string> pieces;
    if (separator.empty()) {
        pieces.push_back(text);
        return pieces;
    }
    std::size_t start = 0;
    for (std::size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + separator.size())
        pieces.push_back(text.substr(start, at - start));
    pieces.push_back(text.substr(start));
    return pieces;
}

std::string PadRight(const std::string& text, char fill, std::size_t length) {
    return text.size() >= length ? text : text + std::string(length - text.size(), fill);
}

std::optional<int> ParseUserInteger(const std::string& text) {
    const std::string trimmed = platform::Trim(text);
    const bool hex = !trimmed.empty() && trimmed[0] == '$';
    const std::string digits = hex ? trimmed.substr(1) : trimmed;
    if (digits.empty()) return std::nullopt;
    try {
        std::size_t used = 0;
        long long value = std::stoll(digits, &used, hex ? 16 : 10);
        if (used != digits.size() || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
        return static_cast<int>(value);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string NotAnIntegerText(const std::string& text) { return "'" + text + "' is not a valid integer value"; }

}  // namespace tarnovell
