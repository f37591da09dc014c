// The Windows imaging interface (wimgapi.dll) as the program calls it,
// carried out by wimlib. The entry points keep their Windows names,
// arguments and results; callers reach them through GetProcAddress on the
// module "wimgapi.dll" (platform/modules/module.h), which opens libwim at run time.
//
// Paths are wide (UTF-16) texts. A WIM handle is an opaque pointer: 0 and
// INVALID_WIM_HANDLE both mean failure, with the reason in the last error.
#pragma once

#include "platform/os/stand_in_module.h"

#include <cstdint>

#include "platform/base/win_error.h"

namespace platform::wim {

using BOOL = int;
using WimHandle = void*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
inline WimHandle const INVALID_WIM_HANDLE = reinterpret_cast<WimHandle>(static_cast<std::intptr_t>(-1));

// Access, disposition, flags and compression of WIMCreateFile.
enum : DWORD {
    WIM_GENERIC_READ = 0x80000000u,
    WIM_GENERIC_WRITE = 0x40000000u,
    WIM_GENERIC_MOUNT = 0x20000000u,

    WIM_CREATE_NEW = 1,
    WIM_CREATE_ALWAYS = 2,
    WIM_OPEN_EXISTING = 3,
    WIM_OPEN_ALWAYS = 4,

    WIM_COMPRESS_NONE = 0,
    WIM_COMPRESS_XPRESS = 1,
    WIM_COMPRESS_LZX = 2,
    WIM_COMPRESS_LZMS = 3,

    WIM_CREATED_NEW = 0,
    WIM_OPENED_EXISTING = 1,

    WIM_FLAG_VERIFY = 0x00000002,
    WIM_FLAG_INDEX = 0x00000004,
    WIM_FLAG_NO_APPLY = 0x00000008,
    WIM_FLAG_NO_DIRACL = 0x00000010,
    WIM_FLAG_NO_FILEACL = 0x00000020,
    WIM_FLAG_SHARE_WRITE = 0x00000040,
    WIM_FLAG_FILEINFO = 0x00000080,
    WIM_FLAG_NO_RP_FIX = 0x00000100,
    WIM_FLAG_MOUNT_READONLY = 0x00000200,
    WIM_FLAG_WIM_BOOT = 0x00002000,
    WIM_FLAG_SOLID = 0x20000000,  // with WIM_COMPRESS_LZMS: one solid resource (an .esd)

    WIM_EXPORT_ALLOW_DUPLICATES = 0x00000001,
    WIM_EXPORT_ONLY_RESOURCES = 0x00000002,
    WIM_EXPORT_ONLY_METADATA = 0x00000004,

    INVALID_CALLBACK_VALUE = 0xFFFFFFFFu,

    // WIM_INFO::WimAttributes.
    WIM_ATTRIBUTE_NORMAL = 0x00000000,
    WIM_ATTRIBUTE_RESOURCE_ONLY = 0x00000001,
    WIM_ATTRIBUTE_METADATA_ONLY = 0x00000002,
    WIM_ATTRIBUTE_VERIFY_DATA = 0x00000004,
    WIM_ATTRIBUTE_RP_FIX = 0x00000008,
    WIM_ATTRIBUTE_SPANNED = 0x00000010,
    WIM_ATTRIBUTE_READONLY = 0x00000020,

    // WIMSetReferenceFile.
    WIM_REFERENCE_APPEND = 0x00010000,
    WIM_REFERENCE_REPLACE = 0x00020000,

    // WIM_MOUNT_INFO_LEVEL1::MountFlags.
    WIM_MOUNT_FLAG_MOUNTED = 0x00000001,
    WIM_MOUNT_FLAG_READWRITE = 0x00000100,
};

// Messages of the message callback. wParam and lParam as noted; every path
// is a zero-terminated wide text that lives for the duration of the call.
enum : DWORD {
    WIM_MSG = 38007,
    WIM_MSG_TEXT = 38007,
    WIM_MSG_PROGRESS = 38008,  // wParam: percent done, lParam: milliseconds left (estimate)
    WIM_MSG_PROCESS = 38009,   // wParam: path; lParam: BOOL* "include this file", set FALSE to skip
    WIM_MSG_SCANNING = 38010,  // wParam: 0, lParam: files found so far
    WIM_MSG_SETRANGE = 38011,  // lParam: number of files
    WIM_MSG_SETPOS = 38012,    // lParam: files done
    WIM_MSG_STEPIT = 38013,
    WIM_MSG_COMPRESS = 38014,
    WIM_MSG_ERROR = 38015,     // wParam: path, lParam: Windows error code
    WIM_MSG_ALIGNMENT = 38016,
    WIM_MSG_RETRY = 38017,     // wParam: path, lParam: Windows error code
    WIM_MSG_SPLIT = 38018,
    WIM_MSG_FILEINFO = 38019,
    WIM_MSG_INFO = 38020,      // wParam: path, lParam: Windows error code
    WIM_MSG_WARNING = 38021,   // wParam: path, lParam: Windows error code
    WIM_MSG_CHK_PROCESS = 38022,

    WIM_MSG_SUCCESS = 0,
    WIM_MSG_DONE = 0xFFFFFFF0u,
    WIM_MSG_SKIP_ERROR = 0xFFFFFFFEu,
    WIM_MSG_ABORT_IMAGE = 0xFFFFFFFFu,
};

// The callback's result: WIM_MSG_SUCCESS goes on, WIM_MSG_ABORT_IMAGE (-1)
// stops the operation, which then fails with ERROR_REQUEST_ABORTED.
using WIMMessageCallback = DWORD (*)(DWORD message, WPARAM wparam, LPARAM lparam, void* user_data);

// WIMGetAttributes.
struct WIM_INFO {
    char16_t WimPath[260];
    std::uint8_t Guid[16];
    DWORD ImageCount;
    DWORD CompressionType;
    std::uint16_t PartNumber;
    std::uint16_t TotalParts;
    DWORD BootIndex;
    DWORD WimAttributes;
    DWORD WimFlagsAndAttr;
};

// WIMGetMountedImages / WIMGetMountedImageInfo level 0.
struct WIM_MOUNT_LIST {
    char16_t WimPath[260];
    char16_t MountPath[260];
    DWORD ImageIndex;
    BOOL MountedForRW;
};

// WIMGetMountedImageInfo level 1.
struct WIM_MOUNT_INFO_LEVEL1 {
    char16_t WimPath[260];
    char16_t MountPath[260];
    DWORD ImageIndex;
    DWORD MountFlags;
};

// The entry points, in the order of the program's function table.
using WIMCreateFile_fn = WimHandle (*)(const char16_t* wim_path, DWORD desired_access, DWORD creation_disposition,
                                       DWORD flags_and_attributes, DWORD compression_type, DWORD* creation_result);
using WIMCloseHandle_fn = BOOL (*)(WimHandle object);
using WIMSetTemporaryPath_fn = BOOL (*)(WimHandle wim, const char16_t* path);
using WIMSetReferenceFile_fn = BOOL (*)(WimHandle wim, const char16_t* path, DWORD flags);
using WIMSplitFile_fn = BOOL (*)(WimHandle wim, const char16_t* part_path, std::int64_t* part_size, DWORD flags);
using WIMExportImage_fn = BOOL (*)(WimHandle image, WimHandle destination_wim, DWORD flags);
using WIMDeleteImage_fn = BOOL (*)(WimHandle wim, DWORD image_index);
using WIMGetImageCount_fn = DWORD (*)(WimHandle wim);
using WIMGetAttributes_fn = BOOL (*)(WimHandle wim, WIM_INFO* info, DWORD info_size);
using WIMSetBootImage_fn = BOOL (*)(WimHandle wim, DWORD image_index);
using WIMCaptureImage_fn = WimHandle (*)(WimHandle wim, const char16_t* path, DWORD capture_flags);
using WIMLoadImage_fn = WimHandle (*)(WimHandle wim, DWORD image_index);
using WIMApplyImage_fn = BOOL (*)(WimHandle image, const char16_t* path, DWORD apply_flags);
// The XML of the image (or of the whole file for a WIM handle) as UTF-16
// with a byte-order mark; release the buffer with WIMFreeMemory.
using WIMGetImageInformation_fn = BOOL (*)(WimHandle object, void** image_info, DWORD* size);
using WIMSetImageInformation_fn = BOOL (*)(WimHandle image, const void* image_info, DWORD size);
using WIMGetMessageCallbackCount_fn = DWORD (*)(WimHandle wim);
using WIMRegisterMessageCallback_fn = DWORD (*)(WimHandle wim, WIMMessageCallback callback, void* user_data);
using WIMUnregisterMessageCallback_fn = BOOL (*)(WimHandle wim, WIMMessageCallback callback);
using WIMMessageCallback_fn = DWORD (*)(DWORD message, WPARAM wparam, LPARAM lparam, void* user_data);
using WIMCopyFile_fn = BOOL (*)(const char16_t* existing, const char16_t* destination, void* progress_routine,
                                void* data, BOOL* cancel, DWORD copy_flags);
using WIMMountImage_fn = BOOL (*)(const char16_t* mount_path, const char16_t* wim_file, DWORD image_index,
                                  const char16_t* temp_path);
using WIMMountImageHandle_fn = BOOL (*)(WimHandle image, const char16_t* mount_path, DWORD mount_flags);
using WIMRemountImage_fn = BOOL (*)(const char16_t* mount_path, DWORD flags);
using WIMCommitImageHandle_fn = BOOL (*)(WimHandle image, DWORD commit_flags, WimHandle* new_image);
using WIMUnmountImage_fn = BOOL (*)(const char16_t* mount_path, const char16_t* wim_file, DWORD image_index,
                                    BOOL commit_changes);
using WIMUnmountImageHandle_fn = BOOL (*)(WimHandle image, DWORD unmount_flags);
using WIMGetMountedImages_fn = BOOL (*)(WIM_MOUNT_LIST* mount_list, DWORD* mount_list_length);
using WIMGetMountedImageInfo_fn = BOOL (*)(int info_level, DWORD* image_count, void* mount_info,
                                           DWORD mount_info_length, DWORD* return_length);
using WIMGetMountedImageInfoFromHandle_fn = BOOL (*)(WimHandle image, int info_level, void* mount_info,
                                                     DWORD mount_info_length, DWORD* return_length);
using WIMGetMountedImageHandle_fn = BOOL (*)(const char16_t* mount_path, DWORD flags, WimHandle* wim,
                                             WimHandle* image);
using WIMDeleteImageMounts_fn = BOOL (*)(DWORD delete_flags);
using WIMRegisterLogFile_fn = BOOL (*)(const char16_t* log_file, DWORD flags);
using WIMUnregisterLogFile_fn = BOOL (*)(const char16_t* log_file);
using WIMExtractImagePath_fn = BOOL (*)(WimHandle image, const char16_t* image_path, const char16_t* destination,
                                        DWORD extract_flags);
using WIMInitFileIOCallbacks_fn = BOOL (*)(void* callbacks);
using WIMSetFileIOCallbackTemporaryPath_fn = BOOL (*)(const char16_t* path);

// Frees a buffer WIMGetImageInformation returned (LocalFree on Windows).
void WIMFreeMemory(void* buffer);

}  // namespace platform::wim

namespace platform {
// The stand-in LoadLibraryA hands out for this library.
const StandInModule& WimgapiModule();
}  // namespace platform
