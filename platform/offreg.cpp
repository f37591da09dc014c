// Placeholder until the adapter lands: the module never loads.
#include "platform/module.h"

namespace platform {

namespace {
std::string OpenOffreg() {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return {};
}
void CloseOffreg() {}
std::vector<ModuleExport> ExportsOffreg() { return {}; }
}  // namespace

const StandInModule& OffregModule() {
    static const StandInModule module{"offreg.dll", &OpenOffreg, &CloseOffreg, &ExportsOffreg};
    return module;
}

}  // namespace platform
