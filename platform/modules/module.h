// Run-time loading of the Windows libraries the program binds by name
// (wimgapi.dll, offreg.dll, VirtDisk.dll, fmifs.dll). Each is stood in for
// by a module of our own that adapts a Linux library or tool to the Windows
// entry points; LoadLibraryA opens what the module stands on, GetProcAddress hands
// out its entry points by their Windows names, and GetModuleFileNameA names
// the Linux file that was really loaded. A module whose library or tool is
// missing fails to load, as a missing DLL does.
#pragma once

#include <string>
#include <vector>

#include "platform/base/win_error.h"
#include "platform/os/shared_library.h"
#include "platform/os/stand_in_module.h"

namespace platform {

using HMODULE = struct LoadedModule*;

// The module for `name`, opened and referenced; nullptr with
// ERROR_MOD_NOT_FOUND (or the open's own error) when it cannot be loaded.
HMODULE LoadLibraryA(const std::string& name);
bool FreeLibrary(HMODULE module);
// The entry point, or nullptr with ERROR_PROC_NOT_FOUND.
void* GetProcAddress(HMODULE module, const char* name);
// The full path of the file the module loaded; "" for a null module.
std::string GetModuleFileNameA(HMODULE module);

// Makes LoadLibraryA fail for one DLL name as if its library were not
// installed (tests use it to see the "not loaded" paths); false undoes it.
void HideModuleForTesting(const std::string& dll_name, bool hidden);

// One reference to a module by its DLL name, freed when the object goes:
// the shape of SharedLibrary for what the program loads by Windows name,
// with the same tables of entry points (platform/os/shared_library.h).
class ModuleReference {
public:
    ModuleReference() = default;
    // LoadLibraryA; not loaded() (with its last error) on failure.
    explicit ModuleReference(const std::string& dll_name);
    ~ModuleReference();
    ModuleReference(ModuleReference&& other) noexcept;
    ModuleReference& operator=(ModuleReference&& other) noexcept;
    ModuleReference(const ModuleReference&) = delete;
    ModuleReference& operator=(const ModuleReference&) = delete;

    bool loaded() const { return module_ != nullptr; }
    explicit operator bool() const { return loaded(); }
    HMODULE get() const { return module_; }

    void* symbol(const char* name) const { return GetProcAddress(module_, name); }
    const char* bind(std::initializer_list<EntryPoint> table,
                     MissingEntryPoint missing = MissingEntryPoint::Fails) const {
        return BindEntryPoints(*this, table, missing);
    }
    std::string file() const { return GetModuleFileNameA(module_); }

private:
    HMODULE module_ = nullptr;
};

// Loads the module and binds `table` from it; raises std::runtime_error
// with `failure` as its text when the module or an entry point is missing.
inline ModuleReference LoadModule(const std::string& dll_name, std::initializer_list<EntryPoint> table,
                                  const std::string& failure) {
    return LoadBound<ModuleReference>(dll_name, table, failure);
}
}  // namespace platform
