// The GPT entry list shown by "Open GPT part table": the used entries of a
// disk's or image's GUID partition table, six lines each.
#pragma once

#include <string>
#include <vector>

#include "disk/copy/operation_context.h"

namespace tarnovell {

// Adds, for every used entry of the GPT of `path` (a disk or an image
// file), the lines "Type:", "ID:", "Start:", "End:" (the first byte of the
// last sector), "Total bytes:" and "Label:", then an empty line. Offsets
// count the device's own sectors. The table is believed only when its
// header and entry array check out (the backup copy stands in for a
// damaged primary); entries are walked by the count and size the header
// gives, empty ones skipped. True when at least one entry was listed;
// false with nothing listed for a path that cannot be opened, an MBR disk
// or a table that does not check out. A first sector that cannot be read
// is said ("readfile error:").
bool ReadGptEntries(const std::string& path, std::vector<std::string>& lines, const disk::OperationContext& context = {});

}  // namespace tarnovell
