// A QCOW image file (version 1, 2 or 3): our check, and when it accepts
// the file, libqcow opening and reading it.
#include "disk/bindings/libqcow.h"
#include "disk/formats/imagecheck/qcow_check.h"
#include "fuzz/image_library_fuzz.h"
#include "fuzz/memory_source.h"

namespace {
fuzz::RemoveAtExit remove_at_exit{"tarnovell-qcow-fuzz-"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::MemorySource source(data, size);
    try {
        disk::CheckQcowImage(disk::ImageBytes(source, "image.qcow2"));
    } catch (const disk::ImageCheckError&) {
        return 0;  // refused with a reason, before any library saw it
    }
    static disk::TLibqcow library;
    const std::string path = fuzz::ScratchFolder(remove_at_exit.prefix) + "/image.qcow2";
    fuzz::WriteFile(path, data, size);
    if (library.Open(path, 1) == 0) {
        fuzz::ReadThrough(library);
        library.Close();
    }
    return 0;
}
