#include "disk/formats/vmdk/vmdk_source.h"

#include <stdexcept>

#include "disk/bindings/libvmdk.h"
#include "disk/formats/imagecheck/image_bytes.h"
#include "disk/formats/imagecheck/vmdk_check.h"
#include "disk/formats/library/library_image.h"

namespace disk {

const LibraryImageKind& VmdkImageKind() {
    static const LibraryImageKind kind{
        .load = [] { return std::make_unique<TLibVMDK>(); },
        .check_file =
            [](const std::string& path) {
                return CheckImageFile(path, [](const ImageBytes& file) { return CheckVmdkImage(file, file.name()); }).extents;
            },
        .check =
            [](ImageLibraryFile& image) {
                if (static_cast<TLibVMDK&>(image).OpenExtentDataFiles() != 1)
                    throw std::runtime_error("Unable to open extent data files");
            },
        .open_failed = "libvmdk_handle_open failed: ",
        .read_failed = "libvmdk_handle_read_buffer_at_offset failed: ",
        .media_size_failed = "libvmdk_get_media_size failed",
        .parent_missing = "parent VMDK not found: ",
        .name = "vmdk",
    };
    return kind;
}

std::unique_ptr<ParallelSource> OpenVmdkSource(const std::string& path, unsigned readers) {
    return OpenLibraryImage(VmdkImageKind(), path, readers);
}

}  // namespace disk
