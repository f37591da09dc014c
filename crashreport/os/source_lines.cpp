#include "crashreport/os/source_lines.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <string_view>

#include "crashreport/os/modules.h"

namespace crashreport {

namespace {

struct DwflDeleter {
    void operator()(Dwfl* dwfl) const { dwfl_end(dwfl); }
};

// One view of the process for every look-up; made again when an address
// lies in an image loaded after it was made.
struct ProcessView {
    std::mutex lock;
    std::string debuginfo_path;
    char* debuginfo_path_pointer = nullptr;
    Dwfl_Callbacks callbacks{};
    std::unique_ptr<Dwfl, DwflDeleter> dwfl;
};

ProcessView& View() {
    // Never destroyed: a report may be made while statics go.
    static ProcessView& view = *new ProcessView;
    return view;
}

bool Report(ProcessView& view) {
    view.callbacks.find_elf = dwfl_linux_proc_find_elf;
    view.callbacks.find_debuginfo = dwfl_standard_find_debuginfo;
    view.debuginfo_path_pointer = view.debuginfo_path.empty() ? nullptr : view.debuginfo_path.data();
    view.callbacks.debuginfo_path = view.debuginfo_path.empty() ? nullptr : &view.debuginfo_path_pointer;
    view.dwfl.reset(dwfl_begin(&view.callbacks));
    if (!view.dwfl) return false;
    dwfl_report_begin(view.dwfl.get());
    const int reported = dwfl_linux_proc_report(view.dwfl.get(), ::getpid());
    dwfl_report_end(view.dwfl.get(), nullptr, nullptr);
    return reported == 0;
}

// The name addr2line gives a routine: its linkage name demangled, else
// the plain name. Both are looked up as dwarf_attr_integrate does: on the
// routine's entry, then on its abstract origin (an inlined copy) and on the
// declaration an out-of-line definition points back to. `linkage` tells
// which name it was.
std::string RoutineName(Dwarf_Die* die, bool* linkage = nullptr) {
    Dwarf_Attribute attribute;
    const char* mangled = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_linkage_name, &attribute));
    if (mangled == nullptr) mangled = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_MIPS_linkage_name, &attribute));
    if (linkage != nullptr) *linkage = mangled != nullptr;
    if (mangled != nullptr) return DemangleSymbol(mangled);
    const char* name = dwarf_diename(die);
    return name != nullptr ? name : "";
}

struct SymbolChoice {
    const char* name = nullptr;
    GElf_Addr value = 0;
    GElf_Xword size = 0;
    bool function = false;
};

// Whether `candidate` names an address better than `best`, as binutils
// weighs them: the nearer start; of one start, one that reaches the
// address, then a function before an untyped symbol, then the shorter;
// else the one met first.
bool BetterFit(const SymbolChoice& best, const SymbolChoice& candidate, Dwarf_Addr address) {
    if (candidate.value < best.value) return false;
    if (candidate.value > best.value) return true;
    if (best.value + best.size <= address) return candidate.size > best.size;
    if (candidate.value + candidate.size <= address) return false;
    if (best.function != candidate.function) return candidate.function;
    return candidate.size < best.size;
}

// The symbol of the image's symbol table that names `address`, demangled:
// it names a routine's split-off part too ("f() [clone .cold]"). Among
// aliases, the one addr2line picks. Without the version a symbol table
// adds to a name ("memcpy@@GLIBC_2.14").
std::string SymbolName(Dwfl_Module* module, Dwarf_Addr address) {
    Dwarf_Addr section_address = address, section_bias = 0;
    Elf_Scn* section = dwfl_module_address_section(module, &section_address, &section_bias);
    const std::size_t section_index = section != nullptr ? elf_ndxscn(section) : 0;
    SymbolChoice best;
    const int count = dwfl_module_getsymtab(module);
    for (int i = 1; i < count; ++i) {
        GElf_Sym symbol;
        GElf_Addr value = 0;
        GElf_Word symbol_section = 0;
        const char* name = dwfl_module_getsym_info(module, i, &symbol, &value, &symbol_section, nullptr, nullptr);
        const int type = GELF_ST_TYPE(symbol.st_info);
        if (name == nullptr || name[0] == 0 || value > address || symbol_section == SHN_UNDEF ||
            (section_index != 0 && symbol_section != section_index) ||
            (type != STT_FUNC && type != STT_GNU_IFUNC && type != STT_NOTYPE))
            continue;
        const SymbolChoice candidate{name, value, symbol.st_size, type != STT_NOTYPE};
        if (best.name == nullptr || BetterFit(best, candidate, address)) best = candidate;
    }
    return best.name != nullptr ? DemangleSymbol(WithoutSymbolVersion(best.name)) : std::string();
}

// Languages whose routines are known to the linker by their plain names:
// there the debug information's name is the routine's whole name.
bool PlainNamesAreLinkageNames(Dwarf_Die* unit) {
    switch (dwarf_srclang(unit)) {
        case DW_LANG_C89:
        case DW_LANG_C:
        case DW_LANG_C99:
        case DW_LANG_C11:
        case DW_LANG_Mips_Assembler:
        case DW_LANG_UPC:
        case DW_LANG_Cobol74:
        case DW_LANG_Cobol85:
        case DW_LANG_Fortran77:
        case DW_LANG_Pascal83:
        case DW_LANG_PLI:
            return true;
        default:
            return false;
    }
}

bool IsRoutine(Dwarf_Die* die) {
    const int tag = dwarf_tag(die);
    return tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine;
}

// The file of a DW_AT_call_file index in the unit's file table.
std::string CallFile(Dwarf_Die* inlined, Dwarf_Die* unit) {
    Dwarf_Attribute attribute;
    Dwarf_Word index = 0;
    if (dwarf_formudata(dwarf_attr(inlined, DW_AT_call_file, &attribute), &index) != 0) return {};
    Dwarf_Files* files = nullptr;
    std::size_t count = 0;
    if (dwarf_getsrcfiles(unit, &files, &count) != 0 || index >= count) return {};
    const char* name = dwarf_filesrc(files, index, nullptr, nullptr);
    return name != nullptr ? name : "";
}

int CallLine(Dwarf_Die* inlined) {
    Dwarf_Attribute attribute;
    Dwarf_Word line = 0;
    return dwarf_formudata(dwarf_attr(inlined, DW_AT_call_line, &attribute), &line) == 0 ? static_cast<int>(line) : 0;
}

// The length of the range of `die` that holds `pc` (0 when none does).
Dwarf_Addr RangeLengthAt(Dwarf_Die* die, Dwarf_Addr pc) {
    Dwarf_Addr base = 0, start = 0, end = 0;
    ptrdiff_t offset = 0;
    while ((offset = dwarf_ranges(die, offset, &base, &start, &end)) > 0)
        if (start <= pc && pc < end) return end - start;
    return 0;
}

// The routine of a unit that holds `pc` most narrowly, as addr2line picks
// it: the one whose range around `pc` is the shortest, the later one on a
// tie. The compiler does not always give the scopes around a routine
// ranges that hold all of its code (a lambda's body below its enclosing
// function, a routine inlined into a block), so every routine of the unit
// is looked at, not only those below scopes that hold `pc`.
void FindInnermostRoutine(Dwarf_Die* die, Dwarf_Addr pc, Dwarf_Die& best, Dwarf_Addr& best_length) {
    Dwarf_Die child;
    if (dwarf_child(die, &child) != 0) return;
    do {
        if (IsRoutine(&child)) {
            const Dwarf_Addr length = RangeLengthAt(&child, pc);
            if (length != 0 && length <= best_length) {
                best = child;
                best_length = length;
            }
        }
        if (dwarf_haschildren(&child)) FindInnermostRoutine(&child, pc, best, best_length);
    } while (dwarf_siblingof(&child, &child) == 0);
}

std::vector<SourceLocation> Locate(Dwfl_Module* module, Dwarf_Addr address) {
    std::vector<SourceLocation> locations;
    SourceLocation innermost;
    if (Dwfl_Line* line = dwfl_module_getsrc(module, address)) {
        int number = 0;
        const char* file = dwfl_lineinfo(line, nullptr, &number, nullptr, nullptr, nullptr);
        innermost.file = file != nullptr ? file : "";
        innermost.line = number;
    }
    Dwarf_Addr bias = 0;
    Dwarf_Die* unit = dwfl_module_addrdie(module, address, &bias);
    Dwarf_Die innermost_die;
    Dwarf_Addr best_length = ~Dwarf_Addr{0};
    if (unit != nullptr) FindInnermostRoutine(unit, address - bias, innermost_die, best_length);
    // The scopes as they nest in the code, from the innermost routine out.
    Dwarf_Die* scopes = nullptr;
    const int count = best_length != ~Dwarf_Addr{0} ? dwarf_getscopes_die(&innermost_die, &scopes) : 0;
    std::unique_ptr<Dwarf_Die, decltype(&std::free)> owned(scopes, &std::free);
    int at = 0;
    while (at < count && !IsRoutine(&scopes[at])) ++at;
    bool linkage = false;
    if (at < count) innermost.function = RoutineName(&scopes[at], &linkage);
    if (at < count && unit != nullptr && PlainNamesAreLinkageNames(unit)) linkage = true;
    // A routine of C++ known only by its plain name (a C function of a
    // header, a routine of an unnamed namespace, a split-off cold part) is
    // named, where the address is, by the symbol of the routine that holds
    // it; so is code without a routine in the debug information.
    if (!linkage) {
        const std::string symbol = SymbolName(module, address);
        if (!symbol.empty()) innermost.function = symbol;
    }
    if (innermost.function.empty() && innermost.line == 0) return locations;
    locations.push_back(innermost);
    // Each inlined routine was called from the routine around it.
    while (at < count && dwarf_tag(&scopes[at]) == DW_TAG_inlined_subroutine) {
        SourceLocation caller;
        caller.file = CallFile(&scopes[at], unit);
        caller.line = CallLine(&scopes[at]);
        int outer = at + 1;
        while (outer < count && !IsRoutine(&scopes[outer])) ++outer;
        if (outer < count) caller.function = RoutineName(&scopes[outer]);
        locations.push_back(caller);
        at = outer;
    }
    return locations;
}

// Runs `use` on the view's module that holds `address`, under the view's
// lock; what it gives, or `none` when no module does.
template <typename Result, typename Use>
Result WithModuleOf(std::uintptr_t address, Result none, Use use) {
    ProcessView& view = View();
    std::lock_guard guard(view.lock);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!view.dwfl && !Report(view)) return none;
        if (Dwfl_Module* module = dwfl_addrmodule(view.dwfl.get(), address)) return use(module);
        // An image loaded since the view was made.
        view.dwfl.reset();
    }
    return none;
}

}  // namespace

std::vector<SourceLocation> SourceLocationsOf(std::uintptr_t address) {
    return WithModuleOf(address, std::vector<SourceLocation>(),
                        [address](Dwfl_Module* module) { return Locate(module, address); });
}

std::string SeparateDebugFileOf(std::uintptr_t address) {
    return WithModuleOf(address, std::string(), [](Dwfl_Module* module) {
        // Asking for the debug information looks for the file.
        Dwarf_Addr bias = 0;
        dwfl_module_getdwarf(module, &bias);
        const char* main_file = nullptr;
        const char* debug_file = nullptr;
        dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr, &main_file, &debug_file);
        if (debug_file == nullptr || (main_file != nullptr && std::string_view(debug_file) == main_file)) return std::string();
        return std::string(debug_file);
    });
}

void SetDebugInfoPath(const std::string& path) {
    ProcessView& view = View();
    std::lock_guard guard(view.lock);
    view.debuginfo_path = path;
    view.dwfl.reset();
}

}  // namespace crashreport
