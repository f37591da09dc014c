// Registry values as the registry tools show and take them: plain text,
// converted to and from the bytes a hive stores according to the value type.
// The forms are listed in disk/bindings/offreg.h.
#pragma once

#include <optional>
#include <string>

#include "platform/base/win_error.h"

namespace disk {

// The text form of `bytes` stored as `type`. Strings end at their first NUL
// or at the end of the data, whichever comes first. Raises std::runtime_error
// for a REG_DWORD shorter than 4 bytes or a REG_QWORD shorter than 8 (empty
// data reads as the empty text whatever the type).
std::string RegistryValueText(platform::DWORD type, const std::string& bytes);

// The bytes to store for `text` as `type`; nothing for a type that has no
// text form. Raises std::runtime_error for a malformed or out-of-range number
// or byte.
std::optional<std::string> RegistryValueBytes(platform::DWORD type, const std::string& text);

}  // namespace disk
