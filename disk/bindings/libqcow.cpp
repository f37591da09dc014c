#include "disk/bindings/libqcow.h"

#include <stdexcept>

namespace disk {

namespace {

const ImageLibraryNames kQcowNames{
    .missing = "could not find libqcow.dll",
    .initialize = "libqcow_file_initialize",
    .free = "libqcow_file_free",
    .open = "libqcow_file_open",
    .close = "libqcow_file_close",
    .read_at = "libqcow_file_read_buffer_at_offset",
    .media_size = "libqcow_file_get_media_size",
    .error_sprint = "libqcow_error_sprint",
    .error_free = "libqcow_error_free",
    .parent_name_size = "libqcow_file_get_utf8_backing_filename_size",
    .parent_name = "libqcow_file_get_utf8_backing_filename",
    .set_parent = "libqcow_file_set_parent_file",
};

}  // namespace

TLibqcow::TLibqcow(const std::string& library) : ImageLibraryFile(kQcowNames, library) {
    BindMore({{encryption_method_, "libqcow_file_get_encryption_method"}});
}

bool TLibqcow::IsEncrypted() {
    if (!handle_) return false;
    std::uint32_t method = 0;
    if (!Check(encryption_method_(handle_, &method, error_slot()) == 1)) throw std::runtime_error(error());
    return method != 0;
}

}  // namespace disk
