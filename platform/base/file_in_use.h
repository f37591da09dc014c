// Whether a file is in use as a disk: the image behind one of the machine's
// disks (an image the host serves, a file a loop device stands on). Such a
// file is written only through its disk, where mounted volumes and locks are
// seen to; written as a file it would change a disk under its users, as the
// system refuses an attached virtual disk's file. The device layer answers;
// before it is there, no file is in use.
#pragma once

#include <string>

namespace platform {

using FileInUseQuery = bool (*)(const std::string& path);

void SetFileInUseQuery(FileInUseQuery query);
bool FileInUseAsDisk(const std::string& path);

}  // namespace platform
