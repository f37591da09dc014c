// The operands of an instruction as the report writes them: registers by
// name, memory as "[base+index*scale+displacement]" with a size word and a
// segment where they matter, numbers from -9 to 9 in decimal and others as
// "$" and lower-case hex ("[rbp-$10]", "[rbp-4]"), a rip-relative cell by
// its address, and a relative branch as its displacement with the target
// after it ("+2 ($401004)").
#pragma once

#include <capstone/capstone.h>

#include <cstdint>
#include <string>

namespace crashreport {

// A displacement or immediate: -9 to 9 in decimal, else "$" and hex, a
// negative one after "-".
std::string OperandNumberText(std::int64_t value);

// The operands of a decoded instruction (with its details), separated by
// ", ", destination first.
std::string OperandsText(csh handle, const cs_insn& instruction);

}  // namespace crashreport
