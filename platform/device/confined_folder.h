// Files written or read below a folder that may never be left: what an
// archive's extraction writes, whose item names come from whoever made the
// archive, and the files an image names (a VMDK's extents), read with it.
// Each folder on the way is entered relative to the one before it and never
// through a symbolic link, so neither "..", nor an absolute name, nor a link
// already in the target (or swapped in while we write) leads outside.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/device/handle.h"

namespace platform {

class UniqueFd;

class ConfinedFolder {
public:
    ConfinedFolder();
    ~ConfinedFolder();
    ConfinedFolder(ConfinedFolder&&) noexcept;
    ConfinedFolder& operator=(ConfinedFolder&&) noexcept;
    // Opens `folder` (which must exist). Invalid, with the last error set,
    // when it cannot be opened as a folder.
    static ConfinedFolder Open(const std::string& folder);

    bool valid() const { return root_ != nullptr; }
    explicit operator bool() const { return valid(); }
    const std::string& path() const { return path_; }

    // Creates the file at `components` below the folder (replacing a file
    // there), making the folders on the way. Every component must be a
    // plain name: not empty, not "." or "..", without '/' or NUL. An
    // invalid Handle with the last error set on failure; ERROR_ACCESS_DENIED
    // when something on the way is a link or no folder.
    Handle CreateFileBelow(const std::vector<std::string>& components) const;
    // Opens the regular file at `components` below the folder for reading.
    // Nothing else is ever opened, not even for a moment: a device node
    // (some act when opened), a FIFO (whose open would wait for a writer).
    // An invalid Handle with the last error set on failure;
    // ERROR_ACCESS_DENIED when something on the way is a link or not what
    // it must be.
    Handle OpenFileBelow(const std::vector<std::string>& components) const;
    // Makes the folders of `components` (all of them) below the folder.
    bool CreateFoldersBelow(const std::vector<std::string>& components) const;
    // Removes the regular file at `components`; nothing else is ever removed.
    bool RemoveFileBelow(const std::vector<std::string>& components) const;

private:
    std::unique_ptr<UniqueFd> root_;
    std::string path_;
};

// True when `name` may be one component of a path below a confined folder.
bool IsPlainName(const std::string& name);

}  // namespace platform
