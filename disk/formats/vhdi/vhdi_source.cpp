#include "disk/formats/vhdi/vhdi_source.h"

#include "disk/bindings/libvhdi.h"
#include "disk/formats/imagecheck/image_bytes.h"
#include "disk/formats/imagecheck/vhd_check.h"
#include "disk/formats/library/library_image.h"

namespace disk {

const LibraryImageKind& VhdiImageKind() {
    static const LibraryImageKind kind{
        .load = [] { return std::make_unique<TLibvhdi>(); },
        .check_file =
            [](const std::string& path) {
                CheckImageFile(path, [](const ImageBytes& file) {
                    if (LooksLikeVhdx(file))
                        CheckVhdxImage(file);
                    else
                        CheckVhdImage(file);
                    return NamedFiles{};
                });
                return std::vector<std::string>{};
            },
        .check = nullptr,
        .open_failed = "libvhdi_file_open failed: ",
        .read_failed = "libvhdi_file_read_buffer_at_offset failed: ",
        .media_size_failed = "libvhdi_get_media_size failed",
        .parent_missing = "parent VHD not found: ",
        .name = "vhdi",
    };
    return kind;
}

std::unique_ptr<ParallelSource> OpenVhdiSource(const std::string& path, unsigned readers, const ReaderWait& waiting) {
    return OpenLibraryImage(VhdiImageKind(), path, readers, waiting);
}

}  // namespace disk
