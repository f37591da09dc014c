// Where the program keeps what it only needs for a while: one rule for the
// whole program (TMPDIR when it names a folder we can write into, else
// /tmp), and scratch folders that clean up after themselves.
#pragma once

#include <string>

namespace platform {

// The temporary folder, without a trailing '/'.
std::string TemporaryFolder();

// A new folder of our own (mode 0700), "<prefix>" plus six random
// characters, inside `parent` (the temporary folder when empty). It goes,
// with everything in it, when the object does, unless released. The
// removal stays on the folder's own file system: whatever is mounted inside
// it (a file system we brought back for a moment, a FUSE server's mount) is
// left alone rather than emptied.
class ScratchFolder {
public:
    ScratchFolder() = default;
    // Invalid (with the last error set) when the folder could not be made.
    static ScratchFolder Create(const std::string& prefix, const std::string& parent = "");
    ~ScratchFolder();
    ScratchFolder(ScratchFolder&& other) noexcept;
    ScratchFolder& operator=(ScratchFolder&& other) noexcept;
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    bool valid() const { return !path_.empty(); }
    explicit operator bool() const { return valid(); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Keeps the folder: whoever takes the path removes it.
    std::string release();
    // Removes it now; false when something in it could not go.
    bool remove();

private:
    std::string path_;
};

// Removes `path` and, for a folder, everything below it that lives on the
// same file system; a mount inside is neither entered nor removed. False
// when something could not go. Nothing there counts as removed.
bool RemoveTreeOnOneFileSystem(const std::string& path);

}  // namespace platform
