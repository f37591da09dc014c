// The few Windows system-information calls the disk library asks, answered
// the way Windows 10 would answer them.
//
// The program runs on Linux but follows its Windows 10 code paths throughout,
// so every "Vista or later" branch is taken. Nothing here reads the Linux
// kernel version: callers only use the answer to pick between those paths.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Same layout as the Windows structure, so callers keep filling in
// dwOSVersionInfoSize before the call as they always did.
struct OSVERSIONINFOA {
    std::uint32_t dwOSVersionInfoSize;
    std::uint32_t dwMajorVersion;
    std::uint32_t dwMinorVersion;
    std::uint32_t dwBuildNumber;
    std::uint32_t dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA must keep the Windows layout");

// Windows' VER_PLATFORM_WIN32_NT.
inline constexpr std::uint32_t kPlatformWin32NT = 2;

// Fills in Windows 10.0 build 19045, NT platform, no service pack. Fails, and
// leaves the rest of `info` alone, unless dwOSVersionInfoSize says 148 —
// that is how Windows rejects a caller built against another layout.
bool GetVersionExA(OSVERSIONINFOA& info);

// There is no Windows folder on Linux; the root is where system files live.
std::string GetWindowsDirectoryA();

// The variable's value; `exists` tells an unset variable from an empty one.
std::string GetEnvironmentVariableA(const std::string& name, bool& exists);

}  // namespace platform
