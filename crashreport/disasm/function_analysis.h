// Following a routine from its entry through all code it can reach: its
// code areas, the calls and jumps that leave it, the branches whose targets
// are unknown, and jump tables. The stack tracer asks it whether a return
// address follows a call inside a routine; the report shows the routine as
// text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crashreport/disasm/decoder.h"

namespace crashreport {

struct TCodeArea {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    bool is_case_table = false;
    bool is_exception_table = false;
    std::uintptr_t origin = 0;  // the branch that led here; 0 for the entry
};

struct TFarCall {
    bool is_call = false;
    std::uintptr_t begin = 0;  // the instruction
    std::uintptr_t end = 0;    // the address after it (a call's return address)
    std::uintptr_t target = 0;
    bool relative = false;
    std::uintptr_t target_location = 0;
    std::uintptr_t pointer_table_location = 0;
};

struct TUnresolvedBranch {
    bool is_call = false;
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};

inline constexpr std::uint32_t kInvalidCodeError = 0x770001;
inline constexpr const char* kInvalidCodeText = "Invalid code!";

struct TFunctionInfo {
    bool valid = false;
    std::uintptr_t entry_point = 0;
    std::uintptr_t code_begin = 0;
    std::uint64_t code_length = 0;
    std::uintptr_t last_error_address = 0;
    std::uint32_t last_error_number = 0;
    std::string last_error_text;
    std::vector<TCodeArea> code_areas;  // in address order
    std::vector<TFarCall> far_calls;
    std::vector<TUnresolvedBranch> unresolved_branches;
    bool interceptable = false;
    std::uint64_t copy_length = 0;
    // Every decoded instruction start, in address order.
    std::vector<std::uintptr_t> instruction_starts;

    // The area holding `address`, or nullptr.
    const TCodeArea* AreaAt(std::uintptr_t address) const;
    bool IsInstructionStart(std::uintptr_t address) const;
    // The call whose return address is `return_address`, or nullptr.
    const TFarCall* CallReturningTo(std::uintptr_t return_address) const;
};

// Routines that never return to their caller (abort, exit, throwing).
bool IsNoReturnRoutineName(const std::string& name);
// The routine a jump stub (a PLT entry: an indirect jump through a cell)
// leads to, or `address` itself.
std::uintptr_t FollowJumpStub(std::uintptr_t address, const MemoryMapSnapshot* snapshot = nullptr);
// The routine's name as the debug information or the exports give it.
std::string RoutineNameAt(std::uintptr_t address);

// Analyses the routine starting at `entry`. The routine's own extent comes
// from its symbol where the debug information gives its size, else from the
// code segment of its image.
bool AnalyseFunction(std::uintptr_t entry, TFunctionInfo& info, const MemoryMapSnapshot* snapshot);
bool AnalyseFunctionAt(std::uintptr_t entry, TFunctionInfo& info);

}  // namespace crashreport
