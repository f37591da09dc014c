#include "platform/modules/module.h"

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "platform/base/ascii.h"
#include "platform/fmifs/fmifs.h"
#include "platform/offreg/offreg.h"
#include "platform/virtdisk/virtdisk.h"
#include "platform/wim/wimgapi.h"

namespace platform {

struct LoadedModule {
    const StandInModule* stand_in = nullptr;
    std::string file;
    int references = 0;
    std::map<std::string, void*> exports;
};

namespace {

std::mutex module_mutex;

std::map<std::string, LoadedModule>& Loaded() {
    static std::map<std::string, LoadedModule> loaded;
    return loaded;
}

std::set<std::string>& Hidden() {
    static std::set<std::string> hidden;
    return hidden;
}

// "C:\Windows\System32\wimgapi.dll" and "wimgapi.dll" name the same module.
std::string BaseNameLowered(const std::string& name) {
    auto cut = name.find_last_of("\\/");
    return ToLower(cut == std::string::npos ? name : name.substr(cut + 1));
}

const StandInModule* StandInFor(const std::string& key) {
    for (const StandInModule* m : {&WimgapiModule(), &OffregModule(), &VirtDiskModule(), &FmifsModule()})
        if (ToLower(m->dll_name) == key) return m;
    return nullptr;
}

}  // namespace

HMODULE LoadLibraryA(const std::string& name) {
    const std::string key = BaseNameLowered(name);
    std::lock_guard guard(module_mutex);
    const StandInModule* stand_in = StandInFor(key);
    if (!stand_in || Hidden().count(key)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    LoadedModule& module = Loaded()[key];
    if (module.references == 0) {
        std::string file = stand_in->open();
        if (file.empty()) {
            DWORD error = GetLastError();
            Loaded().erase(key);
            SetLastError(error == ERROR_SUCCESS ? ERROR_MOD_NOT_FOUND : error);
            return nullptr;
        }
        module.stand_in = stand_in;
        module.file = std::move(file);
        module.exports.clear();
        for (const ModuleExport& e : stand_in->exports()) module.exports[e.name] = e.address;
    }
    ++module.references;
    return &module;
}

bool FreeLibrary(HMODULE module) {
    std::lock_guard guard(module_mutex);
    for (auto it = Loaded().begin(); it != Loaded().end(); ++it) {
        if (&it->second != module) continue;
        if (--module->references == 0) {
            module->stand_in->close();
            Loaded().erase(it);
        }
        return true;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

void* GetProcAddress(HMODULE module, const char* name) {
    std::lock_guard guard(module_mutex);
    if (module && name) {
        auto it = module->exports.find(name);
        if (it != module->exports.end() && it->second) return it->second;
    }
    SetLastError(module ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE);
    return nullptr;
}

std::string GetModuleFileNameA(HMODULE module) {
    std::lock_guard guard(module_mutex);
    return module ? module->file : std::string();
}

void HideModuleForTesting(const std::string& dll_name, bool hidden) {
    std::lock_guard guard(module_mutex);
    if (hidden)
        Hidden().insert(BaseNameLowered(dll_name));
    else
        Hidden().erase(BaseNameLowered(dll_name));
}

ModuleReference::ModuleReference(const std::string& dll_name) : module_(LoadLibraryA(dll_name)) {}

ModuleReference::~ModuleReference() {
    if (module_) FreeLibrary(module_);
}

ModuleReference::ModuleReference(ModuleReference&& other) noexcept : module_(std::exchange(other.module_, nullptr)) {}

ModuleReference& ModuleReference::operator=(ModuleReference&& other) noexcept {
    if (this != &other) {
        if (module_) FreeLibrary(module_);
        module_ = std::exchange(other.module_, nullptr);
    }
    return *this;
}

}  // namespace platform
