// The process's current folder, where the file dialogs of the backup and
// virtual-disk commands start.
#pragma once

#include <string>

namespace platform {

// The current folder; empty when it cannot be told (it was removed, or a
// part of it may not be read).
std::string CurrentFolder();

}  // namespace platform
