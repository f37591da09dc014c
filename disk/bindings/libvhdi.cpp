#include "disk/bindings/libvhdi.h"

namespace disk {

namespace {

const ImageLibraryNames kVhdiNames{
    .missing = "could not find libvhdi.dll",
    .initialize = "libvhdi_file_initialize",
    .free = "libvhdi_file_free",
    .open = "libvhdi_file_open",
    .close = "libvhdi_file_close",
    .read_at = "libvhdi_file_read_buffer_at_offset",
    .media_size = "libvhdi_file_get_media_size",
    .error_sprint = "libvhdi_error_sprint",
    .error_free = "libvhdi_error_free",
    .parent_name_size = "libvhdi_file_get_utf8_parent_filename_size",
    .parent_name = "libvhdi_file_get_utf8_parent_filename",
    .set_parent = "libvhdi_file_set_parent_file",
};

}  // namespace

TLibvhdi::TLibvhdi(const std::string& library) : ImageLibraryFile(kVhdiNames, library) {}

}  // namespace disk
