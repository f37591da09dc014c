#include "disk/formats/qcow/qcow_source.h"

#include <stdexcept>

#include "disk/bindings/libqcow.h"
#include "disk/formats/imagecheck/image_bytes.h"
#include "disk/formats/imagecheck/qcow_check.h"
#include "disk/formats/library/library_image.h"

namespace disk {

const LibraryImageKind& QcowImageKind() {
    static const LibraryImageKind kind{
        .load = [] { return std::make_unique<TLibqcow>(); },
        .check_file =
            [](const std::string& path) {
                return CheckImageFile(path, [](const ImageBytes& file) { return CheckQcowImage(file); }).extents;
            },
        .check =
            [](ImageLibraryFile& image, const std::string&) {
                if (static_cast<TLibqcow&>(image).IsEncrypted())
                    throw std::runtime_error("encrypted qcow images are not supported");
            },
        .open_failed = "libqcow_file_open failed: ",
        .read_failed = "libqcow_file_read_buffer_at_offset failed: ",
        .media_size_failed = "libqcow_get_media_size failed",
        .parent_missing = "qcow backing file not found: ",
        .name = "qcow",
    };
    return kind;
}

std::unique_ptr<ParallelSource> OpenQcowSource(const std::string& path, unsigned readers, const ReaderWait& waiting) {
    return OpenLibraryImage(QcowImageKind(), path, readers, waiting);
}

}  // namespace disk
