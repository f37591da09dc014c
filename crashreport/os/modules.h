// The images loaded into the process: the executable, its shared libraries
// and the kernel's vdso. They take the place of the Windows modules the
// reporter names in stack lines, module lists and disassembly comments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crashreport {

struct ModuleInfo {
    std::uintptr_t base = 0;       // lowest mapped address of the image (its "module handle")
    std::uintptr_t end = 0;        // end of its highest mapped segment
    std::uintptr_t load_bias = 0;  // what the image's own addresses are shifted by
    std::uintptr_t code_start = 0, code_end = 0;  // the executable segment(s)
    std::uintptr_t data_start = 0, data_end = 0;  // the writable segment(s)
    std::string path;                              // full path as the loader knows it
    std::string file_name;                         // without folder
};

// Every loaded image in load order, the executable first.
std::vector<ModuleInfo> ListModulesByVirtualQuery();
// The image one of whose segments holds `address`.
bool FindModuleOfAddr(std::uintptr_t address, ModuleInfo& module);
// The running program's own file.
std::string ExecutablePath();
// The exported (dynamic) symbol that starts exactly at `address`, demangled
// when asked; empty when there is none.
std::string ExportNameOfAddr(std::uintptr_t address, bool demangle);
// The nearest exported (dynamic) symbol at or below `address` inside its
// image: its demangled name and start; false when there is none.
bool NearestExport(std::uintptr_t address, std::string& name, std::uintptr_t& start);
// The address of an exported symbol of any loaded image, or 0.
std::uintptr_t FindExportByName(const std::string& name);
// A symbol's name without the version a full symbol table adds to it
// ("memcpy@@GLIBC_2.14" and "memcpy@GLIBC_2.2.5" give "memcpy").
std::string WithoutSymbolVersion(const std::string& name);
// A C++ symbol in readable form ("ns::Class::Method(int)"); other names as
// they are.
std::string DemangleSymbol(const std::string& name);

}  // namespace crashreport
