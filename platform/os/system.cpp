#include "platform/os/system.h"

#include <cstdlib>
#include <cstring>

#include "platform/base/win_error.h"

namespace platform {

bool GetVersionExA(OSVERSIONINFOA& info) {
    if (info.dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    info.dwMajorVersion = 10;
    info.dwMinorVersion = 0;
    info.dwBuildNumber = 19045;
    info.dwPlatformId = kPlatformWin32NT;
    std::memset(info.szCSDVersion, 0, sizeof(info.szCSDVersion));
    return true;
}

std::string GetWindowsDirectoryA() { return "/"; }

std::string GetEnvironmentVariableA(const std::string& name, bool& exists) {
    const char* value = std::getenv(name.c_str());
    exists = value != nullptr;
    if (!exists) {
        SetLastError(ERROR_NOT_FOUND);
        return {};
    }
    return value;
}

}  // namespace platform
