// Replacing a file only once its new content is complete: the new version
// is written beside the old one under a name of its own, made durable, and
// renamed over it in one step. Until then the old file stays exactly as it
// was; a replacement that is never committed (a writer failed, an exception
// passed) is removed, and the old file is still there.
#pragma once

#include <string>
#include <string_view>

namespace platform {

class UniqueFd;

class FileReplacement {
public:
    enum class Start {
        Empty,     // the new file is made here, empty, to be written through fd() or write()
        NameOnly,  // only its name is chosen, for a writer that makes the file itself (a tool, a library)
    };

    // The temporary is a hidden file in the target's folder that keeps the
    // target's extension, as some writers choose the format by it. When it
    // cannot be made the object is invalid and the last error says why.
    explicit FileReplacement(std::string target, Start start = Start::Empty);
    ~FileReplacement();
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    bool valid() const { return !path_.empty(); }
    explicit operator bool() const { return valid(); }
    // The temporary's path, for writers that open it by name.
    const std::string& path() const { return path_; }
    const std::string& target() const { return target_; }
    // The temporary, open for writing (Start::Empty only; -1 otherwise).
    int fd() const { return fd_; }

    // Appends all of `bytes` through fd(); false with the last error set.
    bool write(std::string_view bytes);

    // Syncs the new file to the medium, gives it the old file's permissions,
    // renames it over the target and syncs the folder, so that after a crash
    // the target is either all old or all new. False with the last error
    // set: the temporary is gone and the target untouched.
    bool commit();
    // As commit(), but the file the target held stays, under the name
    // `backup`; a file that already had that name is moved aside first and
    // removed only once the new target stands. Every rename is checked and a
    // failed one puts back what the earlier ones moved, so false (with the
    // last error of the step that failed) leaves the target and the backup
    // as they were and no temporary behind. The target must be a regular
    // file, and so must a `backup` that exists (ERROR_ACCESS_DENIED for a
    // folder there). When the earlier backup cannot be removed at the end,
    // `leftover` gets its new name.
    bool commit_keeping_old(const std::string& backup, std::string* leftover = nullptr);
    bool committed() const { return committed_; }

private:
    void discard();
    // The descriptor to sync the new file through: ours, or one opened into
    // `own` for a file a writer made itself. -1 (the temporary gone, the
    // last error set) when it cannot be opened.
    int sync_descriptor(UniqueFd& own);

    std::string target_;
    std::string path_;
    int fd_ = -1;
    bool committed_ = false;
};

// `contents` becomes the whole of the file at `path`, all or nothing.
bool ReplaceFileContents(const std::string& path, std::string_view contents);

// For writers that make several files at once (the segment files of an
// image) in a folder of their own: puts the complete file `from` in the
// place of `target` on the same file system as a FileReplacement commit
// does (synced, the old file's permissions, one rename, the folder synced).
// False with the last error set; `target` is then as it was.
bool MoveFileInPlace(const std::string& from, const std::string& target);

// Gives a file a new name, never taking the name from a file that has it:
// ERROR_FILE_EXISTS then, and both files stay as they were.
bool RenameWithoutReplacing(const std::string& from, const std::string& to);

}  // namespace platform
