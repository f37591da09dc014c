// Placeholder until the adapter lands: the module never loads.
#include "platform/module.h"

namespace platform {

namespace {
std::string OpenVirtDisk() {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return {};
}
void CloseVirtDisk() {}
std::vector<ModuleExport> ExportsVirtDisk() { return {}; }
}  // namespace

const StandInModule& VirtDiskModule() {
    static const StandInModule module{"VirtDisk.dll", &OpenVirtDisk, &CloseVirtDisk, &ExportsVirtDisk};
    return module;
}

}  // namespace platform
