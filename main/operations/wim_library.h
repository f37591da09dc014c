// What every WIM command of the program needs of the imaging library: the
// loaded entry points, handles that close themselves, and the temporary
// folder the library is given.
#pragma once

#include <string>

#include "disk/bindings/wimgapi.h"
#include "platform/wim/wimgapi.h"

namespace tarnovell {

// The library's entry points, loaded on first use; throws "wimgapi not
// loaded" when it cannot be.
const disk::WimFunctionTable& LoadedWimgapi();

// TEMP when it is set, as the imaging library is told on Windows; else the
// program's temporary folder.
std::string WimTemporaryFolder();

// A WIM or image handle, closed through the library when it goes.
class WimObject {
public:
    WimObject(const disk::WimFunctionTable& table, platform::wim::WimHandle handle) : table_(table), handle_(handle) {}
    ~WimObject() { close(); }
    WimObject(const WimObject&) = delete;
    WimObject& operator=(const WimObject&) = delete;

    bool valid() const { return handle_ != nullptr && handle_ != platform::wim::INVALID_WIM_HANDLE; }
    platform::wim::WimHandle get() const { return handle_; }
    // Closing a WIM opened for writing writes it; false when that fails.
    bool close() {
        if (!valid()) return true;
        platform::wim::WimHandle handle = handle_;
        handle_ = nullptr;
        return table_.WIMCloseHandle(handle) != 0;
    }

private:
    const disk::WimFunctionTable& table_;
    platform::wim::WimHandle handle_;
};

}  // namespace tarnovell
