// Where a file that an image names (a VMDK extent, a backing file, a
// parent) is, and whether it may be read: only a regular file inside the
// image's own folder. An image from elsewhere must not make us read a
// device, a file of the system ("/etc/shadow", "../../secret") or, through
// a symbolic link, anything outside the folder it came in.
#pragma once

#include <optional>
#include <string>

namespace disk {

enum class StoredName {
    // The library itself joins the name to the image's folder (VMDK
    // extents): only a relative name without ".." will do.
    Relative,
    // We find the file (backing files, parents): a name written on another
    // system ("C:\images\base.vhd", "/srv/base.qcow2") is looked for by its
    // last component beside the image.
    LastComponentBeside,
};

// The path of the file `stored` names for the image at `image` (a Linux
// path). Raises ImageCheckError naming the image, `field` and the name when
// it is absolute or climbs out (for Relative), when nothing is there, when
// it is no regular file (a device, a folder), or when it lies, links seen
// through, outside the image's folder.
std::string ResolveNamedFile(const std::string& image, const std::string& stored, const std::string& field,
                             StoredName rule);

// The same, giving nothing (rather than refusing) when no file of that
// name is there.
std::optional<std::string> FindNamedFile(const std::string& image, const std::string& stored,
                                         const std::string& field, StoredName rule);

// The folder of a path ("." for a bare name).
std::string FolderOfPath(const std::string& path);

}  // namespace disk
