// Where an archive item may be written: its path, as the archive's maker
// chose it, turned into plain names below the target folder, or refused.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace disk::sevenzip {

// The names of `item_path` below the target, separated by '/' or '\'
// (archives made on Windows use the latter); empty names and "." are
// dropped. Nothing for a path that would leave the target: one with "..",
// an absolute one ("/etc", "\\server\share"), one with a drive ("C:x"), or
// one with a NUL; and nothing when no name is left.
std::optional<std::vector<std::string>> ConfinedItemPath(const std::string& item_path);

// True for a path that names the target folder itself ("." or "./"), as
// tar archives list their top folder.
bool NamesTheTargetItself(const std::string& item_path);

// The name an item without a path is written under: the archive's file
// name without folder and last extension ("disk.vmdk" gives "disk"), or
// the whole file name when that leaves nothing.
std::string UnnamedItemName(const std::string& archive_path);

}  // namespace disk::sevenzip
