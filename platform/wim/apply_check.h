// After an apply that failed: which files the apply left with bytes other
// than the image stores for them. wimlib stops at a damaged resource with
// the file it was writing half written, and says only which resource was
// damaged; each file's stored SHA-1 tells which ones are not what they
// should be, so that they can be named and removed rather than left looking
// like good copies.
#pragma once

#include <wimlib.h>

#include <string>
#include <vector>

#include "platform/wim/library.h"

namespace platform::wim {

// Removes every regular file below `target` that image `index` holds data
// for and that does not have the image's bytes (missing, short, or
// differing); gives their paths.
std::vector<std::string> RemoveFilesNotAsStored(const WimlibCalls& lib, WIMStruct* wim, int index,
                                                const std::string& target);

}  // namespace platform::wim
