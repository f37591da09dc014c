// Text put into HTML or XML: the five characters markup gives a meaning to
// become entities, so whatever a person or a device named a thing shows as
// it is and never as markup.
#pragma once

#include <string>
#include <string_view>

namespace platform {

inline std::string EscapeMarkup(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

}  // namespace platform
