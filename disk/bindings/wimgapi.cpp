#include "disk/bindings/wimgapi.h"

#include <mutex>

#include "platform/modules/module.h"

namespace disk {

const char* const kWimFunctionNames[kWimFunctionCount] = {
    "WIMCreateFile",
    "WIMCloseHandle",
    "WIMSetTemporaryPath",
    "WIMSetReferenceFile",
    "WIMSplitFile",
    "WIMExportImage",
    "WIMDeleteImage",
    "WIMGetImageCount",
    "WIMGetAttributes",
    "WIMSetBootImage",
    "WIMCaptureImage",
    "WIMLoadImage",
    "WIMApplyImage",
    "WIMGetImageInformation",
    "WIMSetImageInformation",
    "WIMGetMessageCallbackCount",
    "WIMRegisterMessageCallback",
    "WIMUnregisterMessageCallback",
    "WIMMessageCallback",
    "WIMCopyFile",
    "WIMMountImage",
    "WIMMountImageHandle",
    "WIMRemountImage",
    "WIMCommitImageHandle",
    "WIMUnmountImage",
    "WIMUnmountImageHandle",
    "WIMGetMountedImages",
    "WIMGetMountedImageInfo",
    "WIMGetMountedImageInfoFromHandle",
    "WIMGetMountedImageHandle",
    "WIMDeleteImageMounts",
    "WIMRegisterLogFile",
    "WIMUnregisterLogFile",
    "WIMExtractImagePath",
    "WIMInitFileIOCallbacks",
    "WIMSetFileIOCallbackTemporaryPath",
};

namespace {

struct WimgapiState {
    std::mutex mutex;
    platform::HMODULE module = nullptr;
    std::string path;
    WimFunctionTable table;
};

WimgapiState& State() {
    static WimgapiState state;
    return state;
}

template <typename Fn>
void Bind(platform::HMODULE module, Fn& slot, const char* name) {
    slot = reinterpret_cast<Fn>(platform::GetProcAddress(module, name));
}

// Fills the slots in table order; the order of the names above and of the
// members must agree, which the binding's tests check.
void BindAll(platform::HMODULE module, WimFunctionTable& t) {
    const char* const* name = kWimFunctionNames;
    Bind(module, t.WIMCreateFile, *name++);
    Bind(module, t.WIMCloseHandle, *name++);
    Bind(module, t.WIMSetTemporaryPath, *name++);
    Bind(module, t.WIMSetReferenceFile, *name++);
    Bind(module, t.WIMSplitFile, *name++);
    Bind(module, t.WIMExportImage, *name++);
    Bind(module, t.WIMDeleteImage, *name++);
    Bind(module, t.WIMGetImageCount, *name++);
    Bind(module, t.WIMGetAttributes, *name++);
    Bind(module, t.WIMSetBootImage, *name++);
    Bind(module, t.WIMCaptureImage, *name++);
    Bind(module, t.WIMLoadImage, *name++);
    Bind(module, t.WIMApplyImage, *name++);
    Bind(module, t.WIMGetImageInformation, *name++);
    Bind(module, t.WIMSetImageInformation, *name++);
    Bind(module, t.WIMGetMessageCallbackCount, *name++);
    Bind(module, t.WIMRegisterMessageCallback, *name++);
    Bind(module, t.WIMUnregisterMessageCallback, *name++);
    Bind(module, t.WIMMessageCallback, *name++);
    Bind(module, t.WIMCopyFile, *name++);
    Bind(module, t.WIMMountImage, *name++);
    Bind(module, t.WIMMountImageHandle, *name++);
    Bind(module, t.WIMRemountImage, *name++);
    Bind(module, t.WIMCommitImageHandle, *name++);
    Bind(module, t.WIMUnmountImage, *name++);
    Bind(module, t.WIMUnmountImageHandle, *name++);
    Bind(module, t.WIMGetMountedImages, *name++);
    Bind(module, t.WIMGetMountedImageInfo, *name++);
    Bind(module, t.WIMGetMountedImageInfoFromHandle, *name++);
    Bind(module, t.WIMGetMountedImageHandle, *name++);
    Bind(module, t.WIMDeleteImageMounts, *name++);
    Bind(module, t.WIMRegisterLogFile, *name++);
    Bind(module, t.WIMUnregisterLogFile, *name++);
    Bind(module, t.WIMExtractImagePath, *name++);
    Bind(module, t.WIMInitFileIOCallbacks, *name++);
    Bind(module, t.WIMSetFileIOCallbackTemporaryPath, *name++);
}

}  // namespace

void LoadWimgapi(const std::string& library) {
    WimgapiState& state = State();
    std::lock_guard guard(state.mutex);
    if (state.module) return;
    platform::HMODULE module = platform::LoadLibraryA(library);
    if (!module) return;
    state.module = module;
    // The Windows call wrote into a 255-byte buffer; keep the same limit.
    std::string path = platform::GetModuleFileNameA(module);
    state.path = path.substr(0, 254);
    BindAll(module, state.table);
}

void UnloadWimgapi() {
    WimgapiState& state = State();
    std::lock_guard guard(state.mutex);
    if (!state.module) return;
    platform::FreeLibrary(state.module);
    state.module = nullptr;
    state.path.clear();
}

bool WimgapiLoaded() {
    WimgapiState& state = State();
    std::lock_guard guard(state.mutex);
    return state.module != nullptr;
}

std::string WimgapiPath() {
    WimgapiState& state = State();
    std::lock_guard guard(state.mutex);
    return state.path;
}

const WimFunctionTable& WimFunctions() { return State().table; }

}  // namespace disk
