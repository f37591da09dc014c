// libvhdi, the library we read VHD and VHDX images with for conversion,
// bound at run time by name.
#pragma once

#include <string>

#include "disk/bindings/image_library.h"

namespace disk {

class TLibvhdi : public ImageLibraryFile {
public:
    // Loads the library; raises "could not find libvhdi.dll" when it (or one
    // of the entry points we call) is missing.
    explicit TLibvhdi(const std::string& library = "libvhdi.so.1");
};

}  // namespace disk
