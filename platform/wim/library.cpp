#include "platform/wim/library.h"

#include <cerrno>
#include <mutex>

#include "platform/os/shared_library.h"

namespace platform::wim {

namespace {

constexpr const char* kLibraryName = "libwim.so.15";

struct LibraryState {
    std::mutex mutex;
    SharedLibrary library;
    int references = 0;    // the module's own plus one per live WIM handle
    bool module_open = false;
    WimlibCalls calls{};
};

// Never destroyed: WIM handles may still be released while the process ends.
LibraryState& State() {
    static LibraryState& state = *new LibraryState;
    return state;
}

const char* BindAll(const SharedLibrary& lib, WimlibCalls& c) {
    return lib.bind({
        {c.global_init, "wimlib_global_init"},
        {c.global_cleanup, "wimlib_global_cleanup"},
        {c.get_error_string, "wimlib_get_error_string"},
        {c.set_print_errors, "wimlib_set_print_errors"},
        {c.set_error_file_by_name, "wimlib_set_error_file_by_name"},
        {c.create_new_wim, "wimlib_create_new_wim"},
        {c.open_wim, "wimlib_open_wim"},
        {c.free, "wimlib_free"},
        {c.register_progress_function, "wimlib_register_progress_function"},
        {c.set_output_compression_type, "wimlib_set_output_compression_type"},
        {c.set_output_pack_compression_type, "wimlib_set_output_pack_compression_type"},
        {c.set_output_chunk_size, "wimlib_set_output_chunk_size"},
        {c.write, "wimlib_write"},
        {c.overwrite, "wimlib_overwrite"},
        {c.add_image, "wimlib_add_image"},
        {c.extract_image, "wimlib_extract_image"},
        {c.extract_paths, "wimlib_extract_paths"},
        {c.export_image, "wimlib_export_image"},
        {c.delete_image, "wimlib_delete_image"},
        {c.get_wim_info, "wimlib_get_wim_info"},
        {c.set_wim_info, "wimlib_set_wim_info"},
        {c.get_xml_data, "wimlib_get_xml_data"},
        {c.get_image_name, "wimlib_get_image_name"},
        {c.image_name_in_use, "wimlib_image_name_in_use"},
        {c.set_image_property, "wimlib_set_image_property"},
        {c.reference_resource_files, "wimlib_reference_resource_files"},
        {c.split, "wimlib_split"},
        {c.iterate_dir_tree, "wimlib_iterate_dir_tree"},
    });
}

// Called with the mutex held.
void Release(LibraryState& state) {
    if (--state.references > 0) return;
    state.calls.global_cleanup();
    state.library = SharedLibrary();
    state.calls = WimlibCalls{};
}

}  // namespace

std::string OpenWimlib() {
    LibraryState& state = State();
    std::lock_guard guard(state.mutex);
    if (state.module_open) return state.library.file();
    if (!state.library) {
        SharedLibrary library(kLibraryName);
        if (!library) return {};  // ERROR_MOD_NOT_FOUND
        WimlibCalls calls{};
        if (BindAll(library, calls)) return {};  // ERROR_PROC_NOT_FOUND
        if (int error = calls.global_init(0); error != WIMLIB_ERR_SUCCESS) {
            SetLastError(WindowsErrorOf(error));
            return {};
        }
        state.library = std::move(library);
        state.calls = calls;
    }
    state.module_open = true;
    ++state.references;
    return state.library.file();
}

void CloseWimlib() {
    LibraryState& state = State();
    std::lock_guard guard(state.mutex);
    if (!state.module_open) return;
    state.module_open = false;
    Release(state);
}

const WimlibCalls* Wimlib() {
    LibraryState& state = State();
    std::lock_guard guard(state.mutex);
    return state.module_open || state.library ? &state.calls : nullptr;
}

WimlibReference::WimlibReference() {
    LibraryState& state = State();
    std::lock_guard guard(state.mutex);
    ++state.references;
}

WimlibReference::~WimlibReference() {
    LibraryState& state = State();
    std::lock_guard guard(state.mutex);
    Release(state);
}

DWORD WindowsErrorOf(int wimlib_error) {
    const int saved_errno = errno;
    switch (wimlib_error) {
    case WIMLIB_ERR_SUCCESS: return ERROR_SUCCESS;
    case WIMLIB_ERR_ABORTED_BY_PROGRESS: return ERROR_REQUEST_ABORTED;
    case WIMLIB_ERR_INVALID_IMAGE:
    case WIMLIB_ERR_INVALID_PARAM:
    case WIMLIB_ERR_INVALID_COMPRESSION_TYPE:
    case WIMLIB_ERR_INVALID_CHUNK_SIZE:
    case WIMLIB_ERR_IMAGE_COUNT: return ERROR_INVALID_PARAMETER;
    case WIMLIB_ERR_OPEN:
    case WIMLIB_ERR_OPENDIR:
    case WIMLIB_ERR_STAT:
    case WIMLIB_ERR_PATH_DOES_NOT_EXIST:
        if (saved_errno == EACCES || saved_errno == EPERM || saved_errno == EROFS) return ERROR_ACCESS_DENIED;
        if (saved_errno == ENOTDIR) return ERROR_PATH_NOT_FOUND;
        return wimlib_error == WIMLIB_ERR_OPEN ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case WIMLIB_ERR_INSUFFICIENT_PRIVILEGES:
    case WIMLIB_ERR_NOT_PERMITTED_TO_UNMOUNT:
    case WIMLIB_ERR_WIM_IS_READONLY: return ERROR_ACCESS_DENIED;
    case WIMLIB_ERR_ALREADY_LOCKED:
    case WIMLIB_ERR_MOUNTED_IMAGE_IS_BUSY: return ERROR_SHARING_VIOLATION;
    case WIMLIB_ERR_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case WIMLIB_ERR_NTFS_3G:
    case WIMLIB_ERR_UNSUPPORTED:
    case WIMLIB_ERR_WIMBOOT:
    case WIMLIB_ERR_FUSE:
    case WIMLIB_ERR_IS_SPLIT_WIM:
    case WIMLIB_ERR_WIM_IS_ENCRYPTED:
    case WIMLIB_ERR_COMPACTION_NOT_POSSIBLE:
    case WIMLIB_ERR_NOT_PIPABLE: return ERROR_NOT_SUPPORTED;
    case WIMLIB_ERR_NOT_A_WIM_FILE:
    case WIMLIB_ERR_INVALID_HEADER:
    case WIMLIB_ERR_UNKNOWN_VERSION:
    case WIMLIB_ERR_INVALID_LOOKUP_TABLE_ENTRY:
    case WIMLIB_ERR_INVALID_METADATA_RESOURCE:
    case WIMLIB_ERR_INVALID_INTEGRITY_TABLE:
    case WIMLIB_ERR_INVALID_PART_NUMBER:
    case WIMLIB_ERR_XML:
    case WIMLIB_ERR_WIM_IS_INCOMPLETE: return ERROR_INVALID_DATA;
    case WIMLIB_ERR_INTEGRITY:
    case WIMLIB_ERR_INVALID_RESOURCE_HASH:
    case WIMLIB_ERR_DECOMPRESSION: return ERROR_CRC;
    case WIMLIB_ERR_RESOURCE_NOT_FOUND:
    case WIMLIB_ERR_METADATA_NOT_FOUND: return ERROR_NOT_FOUND;
    case WIMLIB_ERR_IMAGE_NAME_COLLISION:
    case WIMLIB_ERR_DUPLICATE_EXPORTED_IMAGE: return ERROR_ALREADY_EXISTS;
    case WIMLIB_ERR_NOTDIR:
    case WIMLIB_ERR_NOT_A_MOUNTPOINT: return ERROR_DIRECTORY;
    case WIMLIB_ERR_NOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case WIMLIB_ERR_IS_DIRECTORY:
    case WIMLIB_ERR_NOT_A_REGULAR_FILE: return ERROR_ACCESS_DENIED;
    case WIMLIB_ERR_UNEXPECTED_END_OF_FILE: return ERROR_HANDLE_EOF;
    case WIMLIB_ERR_READ: return ERROR_READ_FAULT;
    case WIMLIB_ERR_WRITE:
        if (saved_errno == ENOSPC) return ERROR_DISK_FULL;
        return ERROR_WRITE_FAULT;
    case WIMLIB_ERR_MKDIR:
    case WIMLIB_ERR_LINK:
    case WIMLIB_ERR_MKNOD:
    case WIMLIB_ERR_RENAME: return ERROR_CANNOT_MAKE;
    case WIMLIB_ERR_INVALID_UTF8_STRING:
    case WIMLIB_ERR_INVALID_UTF16_STRING:
    case WIMLIB_ERR_UNICODE_STRING_NOT_REPRESENTABLE: return ERROR_INVALID_NAME;
    case WIMLIB_ERR_CONCURRENT_MODIFICATION_DETECTED: return ERROR_LOCK_VIOLATION;
    default: return ERROR_INVALID_FUNCTION;
    }
}

std::string WimlibErrorText(int wimlib_error) {
    const WimlibCalls* calls = Wimlib();
    const char* text = calls ? calls->get_error_string(static_cast<wimlib_error_code>(wimlib_error)) : nullptr;
    return text ? text : "wimlib error " + std::to_string(wimlib_error);
}

}  // namespace platform::wim
