// What a file to be restored holds, told by its bytes rather than its name:
// a raw disk, an LZ4 image (the legacy frame our images use, or the frame
// format lz4 writes by default), or the container of a virtual-disk or
// evidence format whose bytes written as they are would be no disk.
#pragma once

#include <string>

#include "disk/copy/copy_endpoints.h"

namespace disk {

enum class StoredFormat { Raw, Lz4Legacy, Lz4Frame, Vhd, Vhdx, Ewf, Qcow, Vmdk, Vdi };

// By the first bytes (a fixed VHD by the footer in its last 512); Raw for
// anything else, and for a source that cannot be read (the copy meets the
// failure again, and says so).
StoredFormat StoredFormatOf(CopySource& stored);
// The same for the file or device at `path`; Raw when it cannot be opened.
StoredFormat StoredFormatOfPath(const std::string& path);

// The name of a container format as the window's lists show it ("VHD",
// "EWF", "QCOW", "VMDK", "VDI"; a VHDX is a "VHD" there); "" for raw and LZ4.
std::string ContainerName(StoredFormat format);

}  // namespace disk
