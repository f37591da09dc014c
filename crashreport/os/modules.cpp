#include "crashreport/os/modules.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>

namespace crashreport {

namespace {

std::string FileNameOfPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

ModuleInfo DescribeImage(const dl_phdr_info& info) {
    ModuleInfo module;
    module.load_bias = info.dlpi_addr;
    bool first = true;
    for (int i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        const std::uintptr_t start = info.dlpi_addr + segment.p_vaddr;
        const std::uintptr_t end = start + segment.p_memsz;
        if (first || start < module.base) module.base = start;
        if (end > module.end) module.end = end;
        first = false;
        auto widen = [&](std::uintptr_t& low, std::uintptr_t& high) {
            if (low == 0 || start < low) low = start;
            if (end > high) high = end;
        };
        if (segment.p_flags & PF_X) widen(module.code_start, module.code_end);
        if (segment.p_flags & PF_W) widen(module.data_start, module.data_end);
    }
    const char* name = info.dlpi_name;
    module.path = name != nullptr && name[0] != 0 ? std::string(name) : ExecutablePath();
    module.file_name = FileNameOfPath(module.path);
    return module;
}

}  // namespace

std::string ExecutablePath() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

std::vector<ModuleInfo> ListModulesByVirtualQuery() {
    std::vector<ModuleInfo> modules;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* list = static_cast<std::vector<ModuleInfo>*>(data);
            ModuleInfo module = DescribeImage(*info);
            if (module.end > module.base) list->push_back(std::move(module));
            return 0;
        },
        &modules);
    return modules;
}

bool FindModuleOfAddr(std::uintptr_t address, ModuleInfo& module) {
    struct Search {
        std::uintptr_t address;
        ModuleInfo* module;
        bool found;
    } search{address, &module, false};
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD) continue;
                const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                if (s->address >= start && s->address < start + segment.p_memsz) {
                    *s->module = DescribeImage(*info);
                    s->found = true;
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return search.found;
}

std::string DemangleSymbol(const std::string& name) {
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> readable(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    return status == 0 && readable ? std::string(readable.get()) : name;
}

std::string WithoutSymbolVersion(const std::string& name) {
    // No C or C++ name holds "@"; the symbol table's versioned ones do.
    const std::size_t at = name.find('@');
    return at == std::string::npos || at == 0 ? name : name.substr(0, at);
}

std::string ExportNameOfAddr(std::uintptr_t address, bool demangle) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_sname == nullptr ||
        reinterpret_cast<std::uintptr_t>(info.dli_saddr) != address)
        return {};
    return demangle ? DemangleSymbol(info.dli_sname) : std::string(info.dli_sname);
}

bool NearestExport(std::uintptr_t address, std::string& name, std::uintptr_t& start) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(address), &info) == 0 || info.dli_sname == nullptr || info.dli_saddr == nullptr)
        return false;
    name = DemangleSymbol(info.dli_sname);
    start = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
    return true;
}

std::uintptr_t FindExportByName(const std::string& name) {
    return reinterpret_cast<std::uintptr_t>(dlsym(RTLD_DEFAULT, name.c_str()));
}

}  // namespace crashreport
