// The "disassembling" section of a bug report: an analysed routine as text,
// with the crash line marked, branch targets inside the routine as labels,
// names of called routines and quoted texts that constants point at.
//
// Layout of an instruction line: the address (16 hex digits), a blank, the
// source line number column when asked for, the marker column (">" on the
// line of the exception address), a blank, the instruction, and from the
// comment column on "  ; " and a comment. Lines end in CR LF.
#pragma once

#include <cstdint>
#include <string>

#include "crashreport/disasm/function_analysis.h"

namespace crashreport {

inline constexpr int kAddressDigits = 16;
inline constexpr const char* kDisassemblyInternalError =
    "Internal error in ParseFunction while composing the disassembling string...  :-(";

// Renders `info` (analysed from `entry`). With `line_limit` N > 0, at most
// N lines stand before the exception line (when more than N*12/10 would)
// and N after it, "[...]" marking what was cut.
void DisassembleFunctionText(std::uintptr_t entry, std::string& text, std::uintptr_t exception_address,
                             const TFunctionInfo& info, int line_limit, bool with_line_numbers = true);

// The text at `address` when the bytes there look like a human-written
// string (at least 4 characters, mostly letters, digits and blanks); empty
// otherwise.
std::string LooksLikeText(std::uintptr_t address);

}  // namespace crashreport
