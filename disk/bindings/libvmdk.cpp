#include "disk/bindings/libvmdk.h"

namespace disk {

namespace {

const ImageLibraryNames kVmdkNames{
    .missing = "could not find libvmdk.dll",
    .initialize = "libvmdk_handle_initialize",
    .free = "libvmdk_handle_free",
    .open = "libvmdk_handle_open",
    .close = "libvmdk_handle_close",
    .read_at = "libvmdk_handle_read_buffer_at_offset",
    .media_size = "libvmdk_handle_get_media_size",
    .error_sprint = "libvmdk_error_sprint",
    .error_free = "libvmdk_error_free",
    .parent_name_size = "libvmdk_handle_get_utf8_parent_filename_size",
    .parent_name = "libvmdk_handle_get_utf8_parent_filename",
    .set_parent = "libvmdk_handle_set_parent_handle",
};

}  // namespace

TLibVMDK::TLibVMDK(const std::string& library) : ImageLibraryFile(kVmdkNames, library) {
    BindMore({{open_extent_data_files_, "libvmdk_handle_open_extent_data_files"}});
}

int TLibVMDK::OpenExtentDataFiles() {
    if (!handle_) return -1;
    return Check(open_extent_data_files_(handle_, error_slot()) == 1) ? 1 : -1;
}

}  // namespace disk
