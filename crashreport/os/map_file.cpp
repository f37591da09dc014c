#include "crashreport/os/map_file.h"

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "crashreport/os/crash_signals.h"
#include "crashreport/os/source_lines.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

bool InitialiseLibelf() {
    static const bool ready = elf_version(EV_CURRENT) != EV_NONE;
    return ready;
}

std::string BaseName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Owns what libelf hands out for one file.
struct ElfFile {
    int fd = -1;
    Elf* elf = nullptr;
    explicit ElfFile(const std::string& path) {
        if (path.empty() || !InitialiseLibelf()) return;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
        if (elf != nullptr && elf_kind(elf) != ELF_K_ELF) {
            elf_end(elf);
            elf = nullptr;
        }
    }
    ~ElfFile() {
        if (elf != nullptr) elf_end(elf);
        if (fd >= 0) close(fd);
    }
    ElfFile(const ElfFile&) = delete;
    ElfFile& operator=(const ElfFile&) = delete;
};

// The file's section of that type, or null.
Elf_Scn* SectionOfType(Elf* elf, GElf_Word type, GElf_Shdr& header) {
    for (Elf_Scn* section = elf != nullptr ? elf_nextscn(elf, nullptr) : nullptr; section != nullptr;
         section = elf_nextscn(elf, section))
        if (gelf_getshdr(section, &header) != nullptr && header.sh_type == type) return section;
    return nullptr;
}

bool HasDebugInformation(Elf* elf) {
    std::size_t names = 0;
    if (elf == nullptr || elf_getshdrstrndx(elf, &names) != 0) return false;
    for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr; section = elf_nextscn(elf, section)) {
        GElf_Shdr header;
        if (gelf_getshdr(section, &header) == nullptr || header.sh_type == SHT_NOBITS) continue;
        const char* name = elf_strptr(elf, names, header.sh_name);
        if (name != nullptr && std::string_view(name) == ".debug_info") return true;
    }
    return false;
}

}  // namespace

std::string ShortRoutineName(std::string_view demangled) {
    std::string_view name = demangled;
    // A compiler's clone ("f(int) [clone .cold]") keeps its mark.
    std::string clone;
    if (const std::size_t mark = name.rfind(" [clone "); mark != std::string_view::npos && name.back() == ']') {
        clone = std::string(name.substr(mark));
        name = name.substr(0, mark);
    }
    // Cut the parameter list: the "(" matching the ")" that ends the name
    // (after qualifiers such as " const"). A name ending otherwise has none,
    // whatever parentheses its template arguments hold ("f<<lambda()> >").
    std::string_view head = name;
    for (bool cut = true; cut;) {
        cut = false;
        for (std::string_view qualifier : {" const", " volatile", " &&", " &", " noexcept"}) {
            if (head.size() > qualifier.size() && head.substr(head.size() - qualifier.size()) == qualifier) {
                head.remove_suffix(qualifier.size());
                cut = true;
            }
        }
    }
    if (!head.empty() && head.back() == ')') {
        int depth = 0;
        for (std::size_t i = head.size(); i-- > 0;) {
            if (head[i] == ')') ++depth;
            else if (head[i] == '(' && --depth == 0) {
                // The parentheses of "operator()" are its name, not its
                // parameters, when nothing follows them.
                const bool call_operator = i + 2 == head.size() && head.substr(0, i).ends_with("operator");
                if (i > 0 && !call_operator) name = name.substr(0, i);
                break;
            }
        }
    }
    // A return type stands before the name of a template function: drop
    // everything up to the last blank outside brackets.
    int depth = 0;
    std::size_t cut = std::string_view::npos;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '<' || c == '(' || c == '{' || c == '[') ++depth;
        else if (c == '>' || c == ')' || c == '}' || c == ']') --depth;
        else if (c == ' ' && depth == 0 && !(i >= 8 && name.substr(i - 8, 8) == "operator")) cut = i;
    }
    if (cut != std::string_view::npos) name = name.substr(cut + 1);
    return std::string(name) + clone;
}

TMapFile::TMapFile(const ModuleInfo& module) {
    module_handle_ = module.base;
    module_file_name_ = module.path;
    map_file_name_ = module.path;
    base_of_code_ = module.code_start;
    top_of_code_ = module.code_end;
    base_of_data_ = module.data_start;
    top_of_data_ = module.data_end;
    const ElfFile image(module.path);
    if (image.elf == nullptr) return;
    // A program or library shipped stripped keeps its symbols and lines in
    // a file of its own (a debug link, the build-id tree).
    GElf_Shdr header;
    const bool whole = SectionOfType(image.elf, SHT_SYMTAB, header) != nullptr && HasDebugInformation(image.elf);
    const ElfFile debug(whole ? std::string() : SeparateDebugFileOf(module.code_start != 0 ? module.code_start
                                                                                          : module.base));
    if (LoadElf(image.elf, debug.elf, module.load_bias)) Finish();
}

std::unique_ptr<TMapFile> TMapFile::FromElfImage(std::string_view image, std::uintptr_t bias,
                                                 const std::string& module_file_name) {
    auto map = std::make_unique<TMapFile>();
    map->module_file_name_ = map->map_file_name_ = module_file_name;
    map->module_handle_ = bias;
    if (!InitialiseLibelf()) return map;
    // libelf only reads the image; it does not write through this pointer.
    Elf* elf = elf_memory(const_cast<char*>(image.data()), image.size());
    if (elf == nullptr) return map;
    if (elf_kind(elf) == ELF_K_ELF && map->LoadElf(elf, nullptr, bias)) map->Finish();
    elf_end(elf);
    return map;
}

bool TMapFile::LoadElf(void* elf_handle, void* debug_handle, std::uintptr_t bias) {
    Elf* elf = static_cast<Elf*>(elf_handle);
    Elf* debug = static_cast<Elf*>(debug_handle);
    GElf_Ehdr header;
    if (gelf_getehdr(elf, &header) == nullptr) return false;
    entry_point_ = header.e_entry != 0 ? bias + header.e_entry : 0;
    if (base_of_code_ == 0) {
        // Without a loaded image to ask, the executable segments say where
        // code lies.
        std::size_t count = 0;
        if (elf_getphdrnum(elf, &count) == 0) {
            for (std::size_t i = 0; i < count; ++i) {
                GElf_Phdr segment;
                if (gelf_getphdr(elf, static_cast<int>(i), &segment) == nullptr || segment.p_type != PT_LOAD) continue;
                const std::uintptr_t start = bias + segment.p_vaddr, end = start + segment.p_memsz;
                if (segment.p_flags & PF_X) {
                    if (base_of_code_ == 0 || start < base_of_code_) base_of_code_ = start;
                    top_of_code_ = std::max<std::uintptr_t>(top_of_code_, end);
                }
            }
        }
    }

    // Publics from the full symbol table (the image's, else its debug
    // file's), else the dynamic one.
    Elf* symbols = elf;
    GElf_Shdr chosen_header{};
    Elf_Scn* chosen = SectionOfType(elf, SHT_SYMTAB, chosen_header);
    if (chosen == nullptr && (chosen = SectionOfType(debug, SHT_SYMTAB, chosen_header)) != nullptr) symbols = debug;
    if (chosen == nullptr) chosen = SectionOfType(elf, SHT_DYNSYM, chosen_header);
    if (chosen != nullptr && chosen_header.sh_entsize != 0) {
        Elf_Data* data = elf_getdata(chosen, nullptr);
        const std::size_t count = chosen_header.sh_size / chosen_header.sh_entsize;
        for (std::size_t i = 1; data != nullptr && i < count; ++i) {
            GElf_Sym symbol;
            if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) break;
            const int type = GELF_ST_TYPE(symbol.st_info);
            const bool code = type == STT_FUNC || type == STT_GNU_IFUNC;
            if ((!code && type != STT_OBJECT) || symbol.st_shndx == SHN_UNDEF || symbol.st_value == 0) continue;
            if (!code && code_only) continue;
            const char* name = elf_strptr(symbols, chosen_header.sh_link, symbol.st_name);
            if (name == nullptr || name[0] == 0) continue;
            TMfPublic item;
            item.valid = true;
            item.code = code;
            item.name = ShortRoutineName(DemangleSymbol(WithoutSymbolVersion(name)));
            item.address = bias + symbol.st_value;
            item.size = symbol.st_size;
            AddPublic(std::move(item));
        }
    }

    // Units and lines from DWARF, where the image or its debug file has it.
    Dwarf* dwarf = dwarf_begin_elf(HasDebugInformation(elf) || debug == nullptr ? elf : debug, DWARF_C_READ, nullptr);
    if (dwarf != nullptr) {
        Dwarf_CU* unit = nullptr;
        Dwarf_CU* next = nullptr;
        Dwarf_Half version = 0;
        std::uint8_t unit_type = 0;
        Dwarf_Die unit_die, sub_die;
        while (dwarf_get_units(dwarf, unit, &next, &version, &unit_type, &unit_die, &sub_die) == 0) {
            unit = next;
            if (unit_type != DW_UT_compile && unit_type != DW_UT_partial && unit_type != DW_UT_skeleton) continue;
            const char* unit_path = dwarf_diename(&unit_die);
            if (unit_path == nullptr) continue;
            const std::string unit_name = BaseName(unit_path);
            Dwarf_Addr base = 0, start = 0, end = 0;
            ptrdiff_t offset = 0;
            while ((offset = dwarf_ranges(&unit_die, offset, &base, &start, &end)) > 0) {
                if (end <= start || start == 0) continue;
                segments_.push_back({true, true, bias + start, end - start, unit_name, 0});
            }
            Dwarf_Lines* lines = nullptr;
            std::size_t line_count = 0;
            if (dwarf_getsrclines(&unit_die, &lines, &line_count) != 0) continue;
            for (std::size_t i = 0; i < line_count; ++i) {
                Dwarf_Line* line = dwarf_onesrcline(lines, i);
                Dwarf_Addr address = 0;
                int number = 0;
                bool end_sequence = false;
                if (line == nullptr || dwarf_lineaddr(line, &address) != 0 || dwarf_lineno(line, &number) != 0 ||
                    dwarf_lineendsequence(line, &end_sequence) != 0 || end_sequence || address == 0 || number <= 0)
                    continue;
                // Lines of headers inlined into the unit would name a line of
                // another file under this unit's name: only its own count.
                const char* file = dwarf_linesrc(line, nullptr, nullptr);
                if (file == nullptr || !(EndsWith(file, unit_path) || BaseName(file) == unit_name)) continue;
                lines_.push_back({number, bias + address});
            }
        }
        dwarf_end(dwarf);
    }
    return !publics_.empty() || !lines_.empty();
}

void TMapFile::AddPublic(TMfPublic item) { publics_.push_back(std::move(item)); }

void TMapFile::Finish() {
    std::stable_sort(segments_.begin(), segments_.end(), [](const TMfSegment& a, const TMfSegment& b) {
        if (a.code != b.code) return a.code;
        if (a.start != b.start) return a.start < b.start;
        return a.length > b.length;
    });
    std::stable_sort(publics_.begin(), publics_.end(), [](const TMfPublic& a, const TMfPublic& b) {
        if (a.code != b.code) return a.code;
        return a.address < b.address;
    });
    // Aliases of one address keep the first name (the symbol table lists the
    // defining symbol before its aliases).
    publics_.erase(std::unique(publics_.begin(), publics_.end(),
                               [](const TMfPublic& a, const TMfPublic& b) {
                                   return a.code == b.code && a.address == b.address;
                               }),
                   publics_.end());
    std::stable_sort(lines_.begin(), lines_.end(),
                     [](const TMfLine& a, const TMfLine& b) { return a.address < b.address; });
    valid_ = true;
}

TMfSegment TMapFile::SegmentAt(bool code, std::uintptr_t address) const {
    // Segments may nest or overlap (a unit's ranges); the last one starting
    // at or below the address that still holds it wins.
    auto after = std::upper_bound(segments_.begin(), segments_.end(), std::make_pair(code, address),
                                  [](const std::pair<bool, std::uintptr_t>& key, const TMfSegment& s) {
                                      if (key.first != s.code) return key.first;
                                      return key.second < s.start;
                                  });
    for (auto it = after; it != segments_.begin();) {
        --it;
        if (it->code != code) break;
        if (address >= it->start && address < it->start + it->length) return *it;
        if (after - it > 64) break;
    }
    return {};
}

TMfPublic TMapFile::FindPublic(std::uintptr_t address) const {
    auto after = std::upper_bound(publics_.begin(), publics_.end(), address,
                                  [](std::uintptr_t a, const TMfPublic& p) { return !p.code || a < p.address; });
    if (after == publics_.begin()) return {};
    const TMfPublic& found = *(after - 1);
    if (!found.code) return {};
    if (after == publics_.end() || !after->code) {
        if (top_of_code_ != 0 && address >= top_of_code_) return {};
    }
    return found;
}

std::uintptr_t TMapFile::FindPublicByName(bool code, std::string_view unit, bool case_sensitive,
                                          std::string_view name) const {
    auto same = [&](std::string_view a, std::string_view b) {
        return case_sensitive ? a == b : SameTextLatin(a, b);
    };
    auto search = [&](std::string_view wanted_unit) -> std::uintptr_t {
        for (const TMfSegment& segment : segments_) {
            if (segment.code != code || (!wanted_unit.empty() && !SameTextLatin(segment.unit, wanted_unit))) continue;
            for (const TMfPublic& item : publics_) {
                if (item.code == code && item.address >= segment.start &&
                    item.address <= segment.start + segment.length && same(item.name, name))
                    return item.address;
            }
        }
        return 0;
    };
    if (unit.empty()) {
        for (const TMfPublic& item : publics_)
            if (item.code == code && same(item.name, name)) return item.address;
        return 0;
    }
    if (std::uintptr_t found = search(unit)) return found;
    if (unit.find('.') != std::string_view::npos) return 0;
    for (const char* extension : {".cpp", ".h", ".c"})
        if (std::uintptr_t found = search(std::string(unit) + extension)) return found;
    return 0;
}

int TMapFile::LineAt(std::uintptr_t address, std::uintptr_t& next_line_address) const {
    next_line_address = address + 1;
    const TMfSegment segment = SegmentAt(true, address);
    if (lines_.empty()) return segment.valid && segment.extra != 0 ? -1 : 0;
    auto after = std::upper_bound(lines_.begin(), lines_.end(), address,
                                  [](std::uintptr_t a, const TMfLine& l) { return a < l.address; });
    if (after == lines_.begin()) return 0;
    if (after == lines_.end() && top_of_code_ != 0 && address >= top_of_code_) return 0;
    const TMfLine& line = *(after - 1);
    if (!segment.valid || line.address < segment.start || line.address > segment.start + segment.length) return 0;
    if (after != lines_.end()) next_line_address = after->address;
    return line.line;
}

namespace {

struct CachedMap {
    std::uintptr_t base;
    std::string path;
    std::filesystem::file_time_type written;
    std::shared_ptr<TMapFile> map;
};

std::mutex& CacheLock() {
    static std::mutex lock;
    return lock;
}

std::vector<CachedMap>& Cache() {
    static std::vector<CachedMap> cache;
    return cache;
}

std::filesystem::file_time_type WrittenTime(const std::string& path) {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(path, error);
    return error ? std::filesystem::file_time_type() : written;
}

}  // namespace

std::shared_ptr<TMapFile> MapFileForAddr(std::uintptr_t address) {
    if (address == 0) address = reinterpret_cast<std::uintptr_t>(&MapFileForAddr);
    ModuleInfo module;
    if (!FindModuleOfAddr(address, module)) return std::make_shared<TMapFile>();
    const auto written = WrittenTime(module.path);
    std::lock_guard guard(CacheLock());
    std::vector<CachedMap>& cache = Cache();
    for (std::size_t i = 0; i < cache.size(); ++i) {
        if (cache[i].base != module.base || cache[i].path != module.path) continue;
        if (cache[i].written == written) return cache[i].map;
        // The file changed under the loaded image: its lines no longer match.
        cache[i] = std::move(cache.back());
        cache.pop_back();
        break;
    }
    // Reading a large library's debug information takes a while.
    ReporterHeartbeat();
    auto map = std::make_shared<TMapFile>(module);
    ReporterHeartbeat();
    if (map->valid()) cache.push_back({module.base, module.path, written, map});
    return map;
}

bool MapInfoForAddr(std::uintptr_t address, std::string& module_file_name, std::string& unit, int& line,
                    std::uintptr_t& public_address, std::string& public_name) {
    if (address == 0) address = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)) - 1;
    const std::shared_ptr<TMapFile> map = MapFileForAddr(address);
    if (!map->valid()) return false;
    module_file_name = BaseName(map->module_file_name());
    unit = map->SegmentAt(true, address).unit;
    std::uintptr_t next = 0;
    line = std::max(0, map->LineAt(address, next));
    const TMfPublic routine = map->FindPublic(address);
    public_address = routine.valid ? routine.address : 0;
    public_name = routine.valid ? routine.name : std::string();
    return true;
}

void LineForAddr(std::uintptr_t address, int& line, std::uintptr_t& start, std::uintptr_t& end) {
    if (line != 0 && address >= start && address < end) return;
    const std::shared_ptr<TMapFile> map = MapFileForAddr(address);
    std::uintptr_t next = address + 1;
    line = map->valid() ? std::max(0, map->LineAt(address, next)) : 0;
    start = address;
    end = next;
}

std::string ProcNameForAddr(std::uintptr_t address) {
    const std::shared_ptr<TMapFile> map = MapFileForAddr(address);
    if (!map->valid()) return {};
    const TMfPublic routine = map->FindPublic(address);
    return routine.valid && routine.address == address ? routine.name : std::string();
}

void ClearMapFileCache() {
    std::lock_guard guard(CacheLock());
    Cache().clear();
}

}  // namespace crashreport
