// Names of files and folders as the file system sees them, for the code
// above the platform: the working folder, a path with its links resolved,
// an entry found by its name in any case, folders made, a small file read
// whole. (Path arithmetic on names alone needs none of this.)
#pragma once

#include <optional>
#include <string>

namespace platform {

// The process's working folder; empty when it cannot be told (it was
// removed, or a part of it may not be read).
std::string CurrentFolder();

// `path` against the working folder, nothing resolved.
std::string AbsolutePath(const std::string& path);

// `path` made absolute, with links, "." and ".." resolved as far as it
// exists and the rest as it stands; nothing when the file system cannot say.
std::optional<std::string> ResolvedPath(const std::string& path);

// The entry of `folder` called `name` in any case, the exact name first;
// nothing when there is none (or the folder cannot be read).
std::optional<std::string> EntryNamedNoCase(const std::string& folder, const std::string& name);

// Makes `path` and every missing folder above it; false with the last error
// when that cannot be done (true when it is there already).
bool CreateFolders(const std::string& path);

// The bytes of the file at `path`; nothing when it cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

}  // namespace platform
