// Mounting WIM images. wimlib's own mount turns its caller into the FUSE
// daemon, so the mount and unmount run in a helper process (wimlib-imagex);
// this process keeps which WIM and image it mounted where.
#pragma once

#include "platform/wim/wimgapi.h"

namespace platform::wim {

// With a temporary path the image is mounted for writing (its changes staged
// there), without one for reading only.
BOOL WIMMountImage(const char16_t* mount_path, const char16_t* wim_file, DWORD image_index, const char16_t* temp_path);
BOOL WIMMountImageHandle(WimHandle image, const char16_t* mount_path, DWORD mount_flags);
BOOL WIMUnmountImage(const char16_t* mount_path, const char16_t* wim_file, DWORD image_index, BOOL commit_changes);
BOOL WIMUnmountImageHandle(WimHandle image, DWORD unmount_flags);
// Sizes are in bytes; with too small a buffer: ERROR_INSUFFICIENT_BUFFER and
// the size needed.
BOOL WIMGetMountedImages(WIM_MOUNT_LIST* mount_list, DWORD* mount_list_length);
// Levels 0 (WIM_MOUNT_LIST) and 1 (WIM_MOUNT_INFO_LEVEL1).
BOOL WIMGetMountedImageInfo(int info_level, DWORD* image_count, void* mount_info, DWORD mount_info_length,
                            DWORD* return_length);

}  // namespace platform::wim
