// A VMDK image: a descriptor naming its extents, or a sparse extent (hosted
// or ESX) with or without a descriptor of its own. The input is stored as
// image.vmdk beside a flat extent flat.img of 1 MiB; our check runs, and
// when it accepts the image, libvmdk opens it, is handed its extents as a
// conversion hands them, and reads it.
#include "disk/bindings/libvmdk.h"
#include "disk/formats/imagecheck/vmdk_check.h"
#include "disk/formats/vmdk/vmdk_source.h"
#include "fuzz/image_library_fuzz.h"
#include "fuzz/memory_source.h"

namespace {
fuzz::RemoveAtExit remove_at_exit{"tarnovell-vmdk-fuzz-"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string folder = fuzz::ScratchFolder(remove_at_exit.prefix);
    static const bool extent_made = [&] {
        const std::vector<std::uint8_t> zeros(1 << 20);
        fuzz::WriteFile(folder + "/flat.img", zeros.data(), zeros.size());
        return true;
    }();
    (void)extent_made;
    const std::string path = folder + "/image.vmdk";
    fuzz::WriteFile(path, data, size);
    fuzz::MemorySource source(data, size);
    try {
        disk::CheckVmdkImage(disk::ImageBytes(source, path), path);
    } catch (const disk::ImageCheckError&) {
        return 0;
    }
    // A new library object each time: the extent files it is handed stay
    // with it until it goes. The first keeps the library loaded meanwhile.
    static const disk::TLibVMDK loaded;
    disk::TLibVMDK library;
    if (library.Open(path, 1) == 0) {
        try {
            disk::HandOverVmdkExtents(library, path);
            fuzz::ReadThrough(library);
        } catch (const std::exception&) {
            // Refused as a conversion would refuse it.
        }
    }
    return 0;
}
