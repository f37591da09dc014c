// dpkg's status file as the crash reporter reads it for the versions of the
// libraries it lists.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crashreport/os/package_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view status(reinterpret_cast<const char*>(data), size);
    for (const auto& [package, version] : crashreport::InstalledPackageVersions(status)) {
        if (package.empty() || version.empty()) __builtin_trap();
        // What a version becomes is a part of it.
        if (version.find(crashreport::UpstreamVersionNumbers(version)) == std::string_view::npos) __builtin_trap();
    }
    return 0;
}
