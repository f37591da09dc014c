// Debug information of one loaded image: for any code address, the module,
// unit (source file), routine and source line. It is read on first demand
// from the image's own file (ELF symbol table and DWARF line tables, through
// libelf and libdw) or, for a stripped image, from its separate debug file,
// and kept in a process-wide cache.
//
// Addresses in all lists are absolute (the image's load bias added).
// Routine names are demangled without their parameter lists
// ("crashreport::TraceStack"); a unit is the source file name without
// folder ("stack_tracer.cpp").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/os/modules.h"

namespace crashreport {

struct TMfSegment {
    bool valid = false;
    bool code = true;
    std::uintptr_t start = 0;
    std::uint64_t length = 0;
    std::string unit;
    std::uint8_t extra = 0;
};

struct TMfPublic {
    bool valid = false;
    bool code = true;
    std::string name;
    std::uintptr_t address = 0;
    std::uint64_t size = 0;  // 0 when the symbol table does not say
};

struct TMfLine {
    std::int32_t line = 0;
    std::uintptr_t address = 0;
};

class TMapFile {
public:
    // An empty, invalid map.
    TMapFile() = default;
    // Loads the debug information of a loaded image from its file.
    explicit TMapFile(const ModuleInfo& module);
    // Loads it from an ELF image held in memory, as if loaded with `bias`.
    static std::unique_ptr<TMapFile> FromElfImage(std::string_view image, std::uintptr_t bias,
                                                  const std::string& module_file_name);

    bool valid() const { return valid_; }
    bool code_only = true;

    TMfSegment SegmentAt(bool code, std::uintptr_t address) const;
    // The nearest public at or below `address` (invalid when none).
    TMfPublic FindPublic(std::uintptr_t address) const;
    // The routine named `name` in `unit` (any unit when empty), or 0. A unit
    // without extension is tried with ".cpp", ".h" and ".c" as well.
    std::uintptr_t FindPublicByName(bool code, std::string_view unit, bool case_sensitive,
                                    std::string_view name) const;
    // The source line of `address` (0 when unknown) and the address where
    // the next line starts.
    int LineAt(std::uintptr_t address, std::uintptr_t& next_line_address) const;

    const std::vector<TMfSegment>& segments() const { return segments_; }
    const std::vector<TMfPublic>& publics() const { return publics_; }
    const std::vector<TMfLine>& lines() const { return lines_; }
    std::uintptr_t module_handle() const { return module_handle_; }
    std::uintptr_t base_of_code() const { return base_of_code_; }
    std::uintptr_t top_of_code() const { return top_of_code_; }
    std::uintptr_t base_of_data() const { return base_of_data_; }
    std::uintptr_t top_of_data() const { return top_of_data_; }
    std::uintptr_t entry_point() const { return entry_point_; }
    const std::string& module_file_name() const { return module_file_name_; }
    const std::string& map_file_name() const { return map_file_name_; }
    // Empty: full debug information is carried for every module here.
    const std::string& minimal_debug_info() const { return minimal_debug_info_; }

private:
    // From an image and, where it has its own, its separate debug file.
    bool LoadElf(void* elf, void* debug, std::uintptr_t bias);
    void AddPublic(TMfPublic item);
    void Finish();

    std::vector<TMfSegment> segments_;
    std::vector<TMfPublic> publics_;
    std::vector<TMfLine> lines_;
    std::uintptr_t entry_point_ = 0;
    std::uintptr_t base_of_data_ = 0, top_of_data_ = 0;
    std::uintptr_t module_handle_ = 0;
    bool valid_ = false;
    std::uintptr_t base_of_code_ = 0, top_of_code_ = 0;
    std::string module_file_name_;
    std::string map_file_name_;
    std::string minimal_debug_info_;
};

// The routine name of a demangled symbol without its parameter list and
// return type ("void ns::f<int>(int) const" gives "ns::f<int>").
std::string ShortRoutineName(std::string_view demangled);

// The debug information of the image holding `address` (0: the image holding
// the reporter). A valid map stays in the cache while its file is unchanged;
// an invalid one is the caller's alone.
std::shared_ptr<TMapFile> MapFileForAddr(std::uintptr_t address);
// Module file name (without folder), unit, line (0 when unknown) and the
// routine holding `address`; false without debug information.
bool MapInfoForAddr(std::uintptr_t address, std::string& module_file_name, std::string& unit, int& line,
                    std::uintptr_t& public_address, std::string& public_name);
// Skips the look-up while `address` stays in [start, end) and `line` is set;
// else looks the line up and sets the range to the line's extent.
void LineForAddr(std::uintptr_t address, int& line, std::uintptr_t& start, std::uintptr_t& end);
// The routine's name when a routine starts exactly at `address`, else empty.
std::string ProcNameForAddr(std::uintptr_t address);
// Drops every cached map.
void ClearMapFileCache();

}  // namespace crashreport
