#include "main/operations/wim_library.h"

#include <stdexcept>

#include "main/operations/selection.h"
#include "platform/os/system.h"

namespace tarnovell {

const disk::WimFunctionTable& LoadedWimgapi() {
    disk::LoadWimgapi("wimgapi.dll");
    if (!disk::WimgapiLoaded()) throw std::runtime_error("wimgapi not loaded");
    return disk::WimFunctions();
}

std::string WimTemporaryFolder() {
    bool exists = false;
    std::string value = platform::GetEnvironmentVariableA("TEMP", exists);
    return exists && !value.empty() ? value : GetTempDirectory();
}

}  // namespace tarnovell
