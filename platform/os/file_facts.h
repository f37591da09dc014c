// What a path names, for the code above the platform: its kind, which file
// system it lives on, and which file it is, so that two names of one file
// can be told apart from two files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

enum class FileKind { Regular, Folder, BlockDevice, CharacterDevice, Link, Other };

struct FileFacts {
    FileKind kind = FileKind::Other;
    std::uint64_t file_system = 0;  // the device the file lives on
    std::uint64_t file = 0;         // its number there (inode)
    std::uint64_t device = 0;       // for a device node: the device it stands for
    std::int64_t size = 0;

    bool is_regular() const { return kind == FileKind::Regular; }
    bool is_block_device() const { return kind == FileKind::BlockDevice; }
    // The same file, whatever the names it was reached by.
    bool same_file(const FileFacts& other) const { return file_system == other.file_system && file == other.file; }
};

// The facts of what `path` names, through symbolic links; nothing when
// there is nothing there (or it cannot be looked at).
std::optional<FileFacts> FileFactsOf(const std::string& path);
// The same for the name itself: a symbolic link is a Link.
std::optional<FileFacts> LinkFactsOf(const std::string& path);

// `path` with every link, "." and ".." resolved, from the root; nothing when
// there is nothing there (or it cannot be looked at).
std::optional<std::string> RealPathOf(const std::string& path);

// The bytes in use on the file system `path` lives on, as it counts them
// itself; nothing when it cannot be asked.
std::optional<std::int64_t> UsedBytesOf(const std::string& path);

// Whether `path` (which need not exist yet) is `folder` or lies anywhere
// below it, told by the files themselves: links, "..", bind mounts and
// other names of the folder are seen through. False when `folder` is not
// there.
bool IsInsideFolder(const std::string& path, const std::string& folder);

}  // namespace platform
