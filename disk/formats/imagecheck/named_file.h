// Where a file that an image names (a VMDK extent, a backing file, a
// parent) is, and whether it may be read: only a regular file inside the
// image's own folder. An image from elsewhere must not make us read a
// device, a file of the system ("/etc/shadow", "../../secret") or, through
// a symbolic link, anything outside the folder it came in.
#pragma once

#include <optional>
#include <string>

#include "platform/device/handle.h"

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

// Opens, for reading, the file a VMDK extent line names beside the image at
// `image` (the StoredName::Relative rule), entering each folder on the way
// from the image's own and following no symbolic link: what is opened is a
// regular file inside that folder, whatever is swapped in meanwhile. Raises
// ImageCheckError naming the image, `field` and the name otherwise.
struct NamedFile {
    platform::Handle handle;
    std::string path;
};
NamedFile OpenNamedFile(const std::string& image, const std::string& stored, const std::string& field);

// The folder of a path ("." for a bare name).
std::string FolderOfPath(const std::string& path);

}  // namespace disk
