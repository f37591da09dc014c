// Placeholder until the adapter lands: the module never loads.
#include "platform/module.h"

namespace platform {

namespace {
std::string OpenWimgapi() {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return {};
}
void CloseWimgapi() {}
std::vector<ModuleExport> ExportsWimgapi() { return {}; }
}  // namespace

const StandInModule& WimgapiModule() {
    static const StandInModule module{"wimgapi.dll", &OpenWimgapi, &CloseWimgapi, &ExportsWimgapi};
    return module;
}

}  // namespace platform

#include <cstdlib>
#include "platform/wimgapi.h"
namespace platform::wim {
void WIMFreeMemory(void* buffer) { std::free(buffer); }
}  // namespace platform::wim
