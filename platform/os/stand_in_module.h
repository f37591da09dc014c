// What a stand-in for a Windows library the program loads by name offers:
// the DLL name it answers to, how it opens the Linux library or tool it
// adapts, and its entry points by their Windows names. LoadLibraryA
// (platform/modules) hands them out.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct ModuleExport {
    const char* name;
    void* address;
};

// One stand-in: the DLL name it answers to and how to open what it wraps.
struct StandInModule {
    const char* dll_name;  // compared case-insensitively, with or without a folder
    // Opens the Linux library or finds the tool; returns the path of the file
    // loaded, or "" with the last error set.
    std::string (*open)();
    // Undoes open() when the last reference goes.
    void (*close)();
    // Entry points by Windows name; a name the module lacks is absent.
    std::vector<ModuleExport> (*exports)();
};

}  // namespace platform
