// Decoding single x86-64 instructions for the reporter: whether bytes form
// an instruction, how long it is, whether it calls or jumps and where to.
// Capstone does the decoding; this adds what the reporter needs on top: the
// targets of indirect branches through memory cells and through registers
// loaded with constants earlier in the routine, and where in the code each
// target is stored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "crashreport/os/memory.h"

namespace crashreport {

struct TInstructionInfo {
    bool valid = false;
    std::uint16_t opcode = 0;  // one-byte opcode, or 0x0F00 + the second byte
    std::uint8_t modrm = 0;
    bool is_call = false;
    bool is_jump = false;
    bool relative_target = false;  // encoded as a displacement from `next`
    std::uintptr_t target = 0;
    std::uintptr_t target_location = 0;         // where the displacement or loaded constant is
    std::uintptr_t pointer_table_location = 0;  // where the address of the memory cell is encoded
    std::uint32_t target_size = 0;              // bytes of the stored target
    bool redirectable = false;
    std::uintptr_t this_address = 0;
    std::uintptr_t next = 0;

    // Beyond the Windows decoder's fields: what the analyser and the text
    // need from capstone.
    bool is_return = false;
    bool conditional = false;  // a conditional jump
    unsigned id = 0;           // capstone's instruction id
    std::string mnemonic;
    std::string operands;
    // A memory operand relative to the instruction (rip + disp) or absolute.
    bool has_absolute_memory = false;
    std::uintptr_t memory_address = 0;
    // The immediate of the instruction, when it has one.
    bool has_immediate = false;
    std::int64_t immediate = 0;
};

// Per general register (rax ... r15 in encoding order): the constant it was
// loaded with and where in the code that constant is encoded (0: unknown).
struct TRegisterState {
    std::array<std::uintptr_t, 16> value{};
    std::array<std::uintptr_t, 16> location{};
    std::array<bool, 16> known{};
    void clear() { known.fill(false); }
};

// The general register index (0-15) of a capstone register, -1 for others.
int GeneralRegisterIndex(unsigned capstone_register);

bool DecodeInstruction(std::uintptr_t address, TInstructionInfo& info);
// With a register state, branches through registers resolve, and the state
// is updated by the instruction; with a snapshot, reads are checked
// against it.
bool DecodeInstructionEx(std::uintptr_t address, TRegisterState* registers, const MemoryMapSnapshot* snapshot,
                         TInstructionInfo& info);
// Decodes bytes held elsewhere as if they stood at `address`.
bool DecodeInstructionBytes(const std::uint8_t* code, std::size_t size, std::uintptr_t address,
                            TRegisterState* registers, const MemoryMapSnapshot* snapshot, TInstructionInfo& info);

}  // namespace crashreport
