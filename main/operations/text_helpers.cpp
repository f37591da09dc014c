#include "main/operations/text_helpers.h"

#include <cstdint>

#include "disk/util/lib_helpers.h"
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
    std::optional<std::int64_t> value = disk::ParseUserNumber(text, INT32_MIN, INT32_MAX);
    if (!value) return std::nullopt;
    return static_cast<int>(*value);
}

std::string NotAnIntegerText(const std::string& text) { return "'" + text + "' is not a valid integer value"; }

}  // namespace tarnovell
