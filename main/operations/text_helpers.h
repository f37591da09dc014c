// Small text routines the main window's operations and the tool windows share.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tarnovell {

// The pieces of `text` between occurrences of `separator`.
std::vector<std::string> SplitToList(const std::string& text, const std::string& separator);

// `text` filled with `fill` up to `length` characters; longer texts unchanged.
std::string PadRight(const std::string& text, char fill, std::size_t length);

// A number typed by the user: signed 32 bits, "$" for hexadecimal; nothing
// for any other text.
std::optional<int> ParseUserInteger(const std::string& text);
// The text a number that cannot be read is refused with.
std::string NotAnIntegerText(const std::string& text);

}  // namespace tarnovell
