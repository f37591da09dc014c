// libvmdk, the library we read VMDK images (a descriptor and its extent
// files, or one file holding both) with for conversion, bound at run time
// by name.
#pragma once

#include <string>

#include "disk/bindings/image_library.h"

namespace disk {

class TLibVMDK : public ImageLibraryFile {
public:
    // Loads the library; raises "could not find libvmdk.dll" when it (or one
    // of the entry points we call) is missing.
    explicit TLibVMDK(const std::string& library = "libvmdk.so.1");

    // Opens the extent files the descriptor names, beside it: 1 on success,
    // -1 otherwise (error() says why).
    int OpenExtentDataFiles();

private:
    using OpenExtentsFn = int (*)(void* handle, void** error);
    OpenExtentsFn open_extent_data_files_ = nullptr;
};

}  // namespace disk
