// wimlib, opened at run time: the imaging module of platform/wimgapi.cpp
// stands on it. Nothing links against libwim; its declarations come from
// wimlib.h and its entry points are bound by name, so the program runs
// (without the WIM commands) on a machine that lacks it.
#pragma once

#include <wimlib.h>

#include <string>

#include "platform/base/win_error.h"

namespace platform::wim {

// The wimlib entry points the imaging module calls.
struct WimlibCalls {
    decltype(&::wimlib_global_init) global_init;
    decltype(&::wimlib_global_cleanup) global_cleanup;
    decltype(&::wimlib_get_error_string) get_error_string;
    decltype(&::wimlib_set_print_errors) set_print_errors;
    decltype(&::wimlib_set_error_file_by_name) set_error_file_by_name;
    decltype(&::wimlib_create_new_wim) create_new_wim;
    decltype(&::wimlib_open_wim) open_wim;
    decltype(&::wimlib_free) free;
    decltype(&::wimlib_register_progress_function) register_progress_function;
    decltype(&::wimlib_set_output_compression_type) set_output_compression_type;
    decltype(&::wimlib_set_output_pack_compression_type) set_output_pack_compression_type;
    decltype(&::wimlib_set_output_chunk_size) set_output_chunk_size;
    decltype(&::wimlib_write) write;
    decltype(&::wimlib_overwrite) overwrite;
    decltype(&::wimlib_add_image) add_image;
    decltype(&::wimlib_extract_image) extract_image;
    decltype(&::wimlib_extract_paths) extract_paths;
    decltype(&::wimlib_export_image) export_image;
    decltype(&::wimlib_delete_image) delete_image;
    decltype(&::wimlib_get_wim_info) get_wim_info;
    decltype(&::wimlib_set_wim_info) set_wim_info;
    decltype(&::wimlib_get_xml_data) get_xml_data;
    decltype(&::wimlib_get_image_name) get_image_name;
    decltype(&::wimlib_image_name_in_use) image_name_in_use;
    decltype(&::wimlib_set_image_property) set_image_property;
    decltype(&::wimlib_reference_resource_files) reference_resource_files;
    decltype(&::wimlib_split) split;
    decltype(&::wimlib_iterate_dir_tree) iterate_dir_tree;
};

// Opens libwim.so.15 and initialises it; returns the path of the file that
// was loaded, or "" with the last error set (ERROR_MOD_NOT_FOUND, or
// ERROR_PROC_NOT_FOUND when an entry point is missing).
std::string OpenWimlib();
// Drops the module's reference; the library is cleaned up and closed once
// no WIM handle needs it any more.
void CloseWimlib();

// The bound calls while the library is open; nullptr otherwise.
const WimlibCalls* Wimlib();

// Keeps the library open for the life of a WIM handle, so a handle that
// outlives FreeLibrary still works and is still released properly.
class WimlibReference {
public:
    WimlibReference();
    ~WimlibReference();
    WimlibReference(const WimlibReference&) = delete;
    WimlibReference& operator=(const WimlibReference&) = delete;
};

// The Windows error code that tells a caller what a wimlib error means.
DWORD WindowsErrorOf(int wimlib_error);
// wimlib's own text for an error code.
std::string WimlibErrorText(int wimlib_error);

}  // namespace platform::wim
