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
    platform::ModuleReference module;
    std::string path;
    WimFunctionTable table;
};

// Never destroyed: the module registry it refers to may be gone by then.
WimgapiState& State() {
    static WimgapiState& state = *new WimgapiState;
    return state;
}

// Fills the slots in table order; the order of the names above and of the
// members must agree, which the binding's tests check. A name the module
// lacks leaves its slot empty.
void BindAll(const platform::ModuleReference& module, WimFunctionTable& t) {
    const char* const* name = kWimFunctionNames;
    module.bind({
        {t.WIMCreateFile, *name++},
        {t.WIMCloseHandle, *name++},
        {t.WIMSetTemporaryPath, *name++},
        {t.WIMSetReferenceFile, *name++},
        {t.WIMSplitFile, *name++},
        {t.WIMExportImage, *name++},
        {t.WIMDeleteImage, *name++},
        {t.WIMGetImageCount, *name++},
        {t.WIMGetAttributes, *name++},
        {t.WIMSetBootImage, *name++},
        {t.WIMCaptureImage, *name++},
        {t.WIMLoadImage, *name++},
        {t.WIMApplyImage, *name++},
        {t.WIMGetImageInformation, *name++},
        {t.WIMSetImageInformation, *name++},
        {t.WIMGetMessageCallbackCount, *name++},
        {t.WIMRegisterMessageCallback, *name++},
        {t.WIMUnregisterMessageCallback, *name++},
        {t.WIMMessageCallback, *name++},
        {t.WIMCopyFile, *name++},
        {t.WIMMountImage, *name++},
        {t.WIMMountImageHandle, *name++},
        {t.WIMRemountImage, *name++},
        {t.WIMCommitImageHandle, *name++},
        {t.WIMUnmountImage, *name++},
        {t.WIMUnmountImageHandle, *name++},
        {t.WIMGetMountedImages, *name++},
        {t.WIMGetMountedImageInfo, *name++},
        {t.WIMGetMountedImageInfoFromHandle, *name++},
        {t.WIMGetMountedImageHandle, *name++},
        {t.WIMDeleteImageMounts, *name++},
        {t.WIMRegisterLogFile, *name++},
        {t.WIMUnregisterLogFile, *name++},
        {t.WIMExtractImagePath, *name++},
        {t.WIMInitFileIOCallbacks, *name++},
        {t.WIMSetFileIOCallbackTemporaryPath, *name++},
    }, platform::MissingEntryPoint::LeavesSlotEmpty);
}

}  // namespace

void LoadWimgapi(const std::string& library) {
    WimgapiState& state = State();
    std::lock_guard guard(state.mutex);
    if (state.module) return;
    platform::ModuleReference module(library);
    if (!module) return;
    // The Windows call wrote into a 255-byte buffer; keep the same limit.
    state.path = module.file().substr(0, 254);
    BindAll(module, state.table);
    state.module = std::move(module);
}

void UnloadWimgapi() {
    WimgapiState& state = State();
    std::lock_guard guard(state.mutex);
    if (!state.module) return;
    state.module = platform::ModuleReference();
    state.path.clear();
}

bool WimgapiLoaded() {
    WimgapiState& state = State();
    std::lock_guard guard(state.mutex);
    return state.module.loaded();
}

std::string WimgapiPath() {
    WimgapiState& state = State();
    std::lock_guard guard(state.mutex);
    return state.path;
}

const WimFunctionTable& WimFunctions() { return State().table; }

}  // namespace disk
