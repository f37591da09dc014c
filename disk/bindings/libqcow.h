// libqcow, the library we read QCOW images (version 1, 2 and 3) with for
// conversion, bound at run time by name.
#pragma once

#include <cstdint>
#include <string>

#include "disk/bindings/image_library.h"

namespace disk {

class TLibqcow : public ImageLibraryFile {
public:
    // Loads the library; raises "could not find libqcow.dll" when it (or one
    // of the entry points we call) is missing.
    explicit TLibqcow(const std::string& library = "libqcow.so.1");

    // True when the open image is encrypted (AES or LUKS): without its key
    // the library would hand out cipher text as if it were the disk.
    bool IsEncrypted();

private:
    using EncryptionMethodFn = int (*)(void* file, std::uint32_t* method, void** error);
    EncryptionMethodFn encryption_method_ = nullptr;
};

}  // namespace disk
