// The image reader child: the program started with "--image-reader" reads
// a QCOW, VMDK, VHD/VHDX or EWF image through its library on behalf of the
// program that started it (see disk/formats/library/library_image.h), so
// that a library's fault on a hostile image ends the child, not the program.
#pragma once

#include <string>
#include <vector>

namespace disk {

// True when `args` (the program's arguments) start the image reader.
bool IsImageReaderInvocation(const std::vector<std::string>& args);
// Serves the reads; the exit status (2 for arguments it does not know).
int RunImageReader(const std::vector<std::string>& args);

}  // namespace disk
