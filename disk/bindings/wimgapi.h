// The Windows imaging library (wimgapi.dll), bound at run time by name like
// every library the program can live without: the module is loaded with
// LoadLibraryA, the path of the file really loaded is kept for the WIM
// window, and the entry points are looked up one by one. A name the module
// lacks leaves its slot empty, and callers test the slot they need.
//
// Loaded from the user-interface thread before any worker starts; workers
// only read the table.
#pragma once

#include <string>

#include "platform/wim/wimgapi.h"

namespace disk {

// The entry points in the order the program has always bound them.
struct WimFunctionTable {
    platform::wim::WIMCreateFile_fn WIMCreateFile = nullptr;
    platform::wim::WIMCloseHandle_fn WIMCloseHandle = nullptr;
    platform::wim::WIMSetTemporaryPath_fn WIMSetTemporaryPath = nullptr;
    platform::wim::WIMSetReferenceFile_fn WIMSetReferenceFile = nullptr;
    platform::wim::WIMSplitFile_fn WIMSplitFile = nullptr;
    platform::wim::WIMExportImage_fn WIMExportImage = nullptr;
    platform::wim::WIMDeleteImage_fn WIMDeleteImage = nullptr;
    platform::wim::WIMGetImageCount_fn WIMGetImageCount = nullptr;
    platform::wim::WIMGetAttributes_fn WIMGetAttributes = nullptr;
    platform::wim::WIMSetBootImage_fn WIMSetBootImage = nullptr;
    platform::wim::WIMCaptureImage_fn WIMCaptureImage = nullptr;
    platform::wim::WIMLoadImage_fn WIMLoadImage = nullptr;
    platform::wim::WIMApplyImage_fn WIMApplyImage = nullptr;
    platform::wim::WIMGetImageInformation_fn WIMGetImageInformation = nullptr;
    platform::wim::WIMSetImageInformation_fn WIMSetImageInformation = nullptr;
    platform::wim::WIMGetMessageCallbackCount_fn WIMGetMessageCallbackCount = nullptr;
    platform::wim::WIMRegisterMessageCallback_fn WIMRegisterMessageCallback = nullptr;
    platform::wim::WIMUnregisterMessageCallback_fn WIMUnregisterMessageCallback = nullptr;
    platform::wim::WIMMessageCallback_fn WIMMessageCallback = nullptr;
    platform::wim::WIMCopyFile_fn WIMCopyFile = nullptr;
    platform::wim::WIMMountImage_fn WIMMountImage = nullptr;
    platform::wim::WIMMountImageHandle_fn WIMMountImageHandle = nullptr;
    platform::wim::WIMRemountImage_fn WIMRemountImage = nullptr;
    platform::wim::WIMCommitImageHandle_fn WIMCommitImageHandle = nullptr;
    platform::wim::WIMUnmountImage_fn WIMUnmountImage = nullptr;
    platform::wim::WIMUnmountImageHandle_fn WIMUnmountImageHandle = nullptr;
    platform::wim::WIMGetMountedImages_fn WIMGetMountedImages = nullptr;
    platform::wim::WIMGetMountedImageInfo_fn WIMGetMountedImageInfo = nullptr;
    platform::wim::WIMGetMountedImageInfoFromHandle_fn WIMGetMountedImageInfoFromHandle = nullptr;
    platform::wim::WIMGetMountedImageHandle_fn WIMGetMountedImageHandle = nullptr;
    platform::wim::WIMDeleteImageMounts_fn WIMDeleteImageMounts = nullptr;
    platform::wim::WIMRegisterLogFile_fn WIMRegisterLogFile = nullptr;
    platform::wim::WIMUnregisterLogFile_fn WIMUnregisterLogFile = nullptr;
    platform::wim::WIMExtractImagePath_fn WIMExtractImagePath = nullptr;
    platform::wim::WIMInitFileIOCallbacks_fn WIMInitFileIOCallbacks = nullptr;
    platform::wim::WIMSetFileIOCallbackTemporaryPath_fn WIMSetFileIOCallbackTemporaryPath = nullptr;
};

// The names of the slots, in table order.
constexpr int kWimFunctionCount = 36;
extern const char* const kWimFunctionNames[kWimFunctionCount];

// Does nothing when the library is loaded. Otherwise loads it; a library
// that cannot be loaded leaves everything as it was, without a message.
void LoadWimgapi(const std::string& library = "wimgapi.dll");
// Releases the library. The table keeps its pointers, as it always has; no
// caller may use them once the library is gone.
void UnloadWimgapi();
bool WimgapiLoaded();
// The full path of the file that was loaded ("" when none was).
std::string WimgapiPath();
const WimFunctionTable& WimFunctions();

}  // namespace disk
