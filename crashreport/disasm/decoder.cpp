#include "crashreport/disasm/decoder.h"

#include <capstone/capstone.h>

#include <cstring>
#include <vector>

#include "crashreport/disasm/operand_text.h"

namespace crashreport {

namespace {

// Capstone handles may not be shared between threads.
class Capstone {
public:
    Capstone() {
        if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle_) != CS_ERR_OK) {
            handle_ = 0;
            return;
        }
        cs_option(handle_, CS_OPT_DETAIL, CS_OPT_ON);
        instruction_ = cs_malloc(handle_);
    }
    ~Capstone() {
        if (instruction_ != nullptr) cs_free(instruction_, 1);
        if (handle_ != 0) cs_close(&handle_);
    }
    Capstone(const Capstone&) = delete;
    Capstone& operator=(const Capstone&) = delete;

    csh handle() const { return handle_; }
    cs_insn* instruction() const { return instruction_; }

private:
    csh handle_ = 0;
    cs_insn* instruction_ = nullptr;
};

Capstone& ThreadCapstone() {
    thread_local Capstone capstone;
    return capstone;
}

int RegisterIndexByName(const char* name) {
    static const char* const kWide[] = {"ax", "cx", "dx", "bx", "sp", "bp", "si", "di"};
    if (name == nullptr) return -1;
    std::string n = name;
    if (n.size() >= 2 && n[0] == 'r' && n[1] >= '0' && n[1] <= '9') {
        // r8 ... r15 with an optional d/w/b suffix.
        int number = 0;
        std::size_t i = 1;
        while (i < n.size() && n[i] >= '0' && n[i] <= '9') number = number * 10 + (n[i++] - '0');
        const std::string suffix = n.substr(i);
        if (number >= 8 && number <= 15 && (suffix.empty() || suffix == "d" || suffix == "w" || suffix == "b"))
            return number;
        return -1;
    }
    if (n.size() == 3 && (n[0] == 'r' || n[0] == 'e')) n = n.substr(1);
    if (n == "spl") n = "sp";
    if (n == "bpl") n = "bp";
    if (n == "sil") n = "si";
    if (n == "dil") n = "di";
    for (int i = 0; i < 8; ++i)
        if (n == kWide[i]) return i;
    if (n.size() == 2 && (n[1] == 'l' || n[1] == 'h')) {
        static const char kByte[] = "acdb";
        for (int i = 0; i < 4; ++i)
            if (n[0] == kByte[i]) return i;
    }
    return -1;
}

bool HasGroup(const cs_detail* detail, std::uint8_t group) {
    for (std::uint8_t i = 0; i < detail->groups_count; ++i)
        if (detail->groups[i] == group) return true;
    return false;
}

bool ReadPointer(std::uintptr_t cell, const MemoryMapSnapshot* snapshot, std::uintptr_t& value) {
    return SafeReadMemory(reinterpret_cast<const void*>(cell), &value, sizeof value, snapshot);
}

void UpdateRegisters(csh handle, const cs_insn* instruction, const TInstructionInfo& info,
                     TRegisterState& registers) {
    const cs_x86& x86 = instruction->detail->x86;
    // Remember a copy source before the write clears it.
    int copy_to = -1;
    std::uintptr_t copied_value = 0, copied_location = 0;
    if (instruction->id == X86_INS_MOV && x86.op_count == 2 && x86.operands[0].type == X86_OP_REG &&
        x86.operands[1].type == X86_OP_REG && x86.operands[0].size >= 4) {
        const int from = GeneralRegisterIndex(x86.operands[1].reg);
        if (from >= 0 && registers.known[from]) {
            copy_to = GeneralRegisterIndex(x86.operands[0].reg);
            copied_value = registers.value[from];
            copied_location = registers.location[from];
        }
    }
    cs_regs read{}, written{};
    std::uint8_t read_count = 0, written_count = 0;
    if (cs_regs_access(handle, instruction, read, &read_count, written, &written_count) == CS_ERR_OK) {
        for (std::uint8_t i = 0; i < written_count; ++i) {
            const int index = GeneralRegisterIndex(written[i]);
            if (index >= 0) registers.known[index] = false;
        }
    } else {
        registers.clear();
    }
    if (info.is_call) {
        // The callee may change every register the calling convention
        // does not preserve.
        for (int index : {0, 1, 2, 6, 7, 8, 9, 10, 11}) registers.known[index] = false;
    }
    if (copy_to >= 0) {
        registers.value[copy_to] = copied_value;
        registers.location[copy_to] = copied_location;
        registers.known[copy_to] = true;
    }
    if (x86.op_count == 2 && x86.operands[0].type == X86_OP_REG && x86.operands[0].size >= 4 &&
        x86.prefix[2] == 0) {
        const int index = GeneralRegisterIndex(x86.operands[0].reg);
        if (index < 0) return;
        const cs_x86_op& source = x86.operands[1];
        if ((instruction->id == X86_INS_MOV || instruction->id == X86_INS_MOVABS) && source.type == X86_OP_IMM &&
            x86.encoding.imm_offset != 0) {
            std::uintptr_t value = static_cast<std::uintptr_t>(source.imm);
            if (x86.operands[0].size == 4) value &= 0xFFFFFFFFu;
            registers.value[index] = value;
            registers.location[index] = info.this_address + x86.encoding.imm_offset;
            registers.known[index] = true;
        } else if (instruction->id == X86_INS_LEA && source.type == X86_OP_MEM && source.mem.base == X86_REG_RIP &&
                   source.mem.index == X86_REG_INVALID && x86.encoding.disp_offset != 0) {
            registers.value[index] = info.next + static_cast<std::uintptr_t>(source.mem.disp);
            registers.location[index] = info.this_address + x86.encoding.disp_offset;
            registers.known[index] = true;
        }
    }
}

}  // namespace

int GeneralRegisterIndex(unsigned capstone_register) {
    static const std::vector<int> table = [] {
        std::vector<int> indexes(X86_REG_ENDING, -1);
        csh handle = ThreadCapstone().handle();
        for (unsigned reg = 1; handle != 0 && reg < X86_REG_ENDING; ++reg)
            indexes[reg] = RegisterIndexByName(cs_reg_name(handle, reg));
        return indexes;
    }();
    return capstone_register < table.size() ? table[capstone_register] : -1;
}

bool DecodeInstructionBytes(const std::uint8_t* code, std::size_t size, std::uintptr_t address,
                            TRegisterState* registers, const MemoryMapSnapshot* snapshot, TInstructionInfo& info) {
    info = TInstructionInfo{};
    info.this_address = address;
    Capstone& capstone = ThreadCapstone();
    if (capstone.handle() == 0 || capstone.instruction() == nullptr || size == 0) return false;
    const std::uint8_t* cursor = code;
    std::uint64_t at = address;
    cs_insn* instruction = capstone.instruction();
    if (!cs_disasm_iter(capstone.handle(), &cursor, &size, &at, instruction)) return false;
    const cs_detail* detail = instruction->detail;
    const cs_x86& x86 = detail->x86;
    info.valid = true;
    info.id = instruction->id;
    info.next = address + instruction->size;
    info.mnemonic = instruction->mnemonic;
    info.operands = OperandsText(capstone.handle(), *instruction);
    info.opcode = x86.opcode[0] == 0x0F ? static_cast<std::uint16_t>(0x0F00 | x86.opcode[1]) : x86.opcode[0];
    info.modrm = x86.modrm;
    info.is_return = HasGroup(detail, CS_GRP_RET) || HasGroup(detail, CS_GRP_IRET);
    info.is_call = HasGroup(detail, CS_GRP_CALL);
    // Capstone files the loop family only as relative branches.
    info.is_jump = HasGroup(detail, CS_GRP_JUMP) || (HasGroup(detail, CS_GRP_BRANCH_RELATIVE) && !info.is_call);
    info.conditional = info.is_jump && instruction->id != X86_INS_JMP && instruction->id != X86_INS_LJMP;

    for (std::uint8_t i = 0; i < x86.op_count; ++i) {
        const cs_x86_op& operand = x86.operands[i];
        if (operand.type == X86_OP_IMM && !info.has_immediate) {
            info.has_immediate = true;
            info.immediate = operand.imm;
        } else if (operand.type == X86_OP_MEM && operand.mem.index == X86_REG_INVALID &&
                   (operand.mem.base == X86_REG_RIP || operand.mem.base == X86_REG_INVALID) &&
                   operand.mem.segment == X86_REG_INVALID) {
            info.has_absolute_memory = true;
            info.memory_address = operand.mem.base == X86_REG_RIP
                                      ? info.next + static_cast<std::uintptr_t>(operand.mem.disp)
                                      : static_cast<std::uintptr_t>(operand.mem.disp);
        }
    }

    if ((info.is_call || info.is_jump) && x86.op_count == 1) {
        const cs_x86_op& operand = x86.operands[0];
        if (HasGroup(detail, CS_GRP_BRANCH_RELATIVE) && operand.type == X86_OP_IMM) {
            info.relative_target = true;
            info.target = static_cast<std::uintptr_t>(operand.imm);
            info.target_location = address + x86.encoding.imm_offset;
            info.target_size = x86.encoding.imm_size;
            // The loop and jrcxz family cannot reach a moved target.
            info.redirectable = !(info.opcode >= 0xE0 && info.opcode <= 0xE3);
        } else if (operand.type == X86_OP_MEM) {
            if (info.has_absolute_memory) {
                info.pointer_table_location = address + x86.encoding.disp_offset;
                info.target_size = sizeof(std::uintptr_t);
                info.redirectable = true;
                std::uintptr_t value = 0;
                if (ReadPointer(info.memory_address, snapshot, value)) info.target = value;
            } else if (registers != nullptr && operand.mem.index == X86_REG_INVALID && operand.mem.disp == 0) {
                const int index = GeneralRegisterIndex(operand.mem.base);
                std::uintptr_t value = 0;
                if (index >= 0 && registers->known[index] &&
                    ReadPointer(registers->value[index], snapshot, value)) {
                    info.pointer_table_location = registers->location[index];
                    info.target_size = sizeof(std::uintptr_t);
                    info.target = value;
                }
            }
        } else if (operand.type == X86_OP_REG && registers != nullptr) {
            const int index = GeneralRegisterIndex(operand.reg);
            if (index >= 0 && registers->known[index]) {
                info.target = registers->value[index];
                info.target_location = registers->location[index];
                info.target_size = sizeof(std::uintptr_t);
            }
        }
        // "call next" only pushes its own address: neither call nor jump.
        if (info.target != 0 && info.target == info.next) {
            info.is_call = info.is_jump = info.relative_target = info.redirectable = false;
            info.target = info.target_location = info.pointer_table_location = 0;
            info.target_size = 0;
        }
    }
    if (registers != nullptr) UpdateRegisters(capstone.handle(), instruction, info, *registers);
    return true;
}

bool DecodeInstructionEx(std::uintptr_t address, TRegisterState* registers, const MemoryMapSnapshot* snapshot,
                         TInstructionInfo& info) {
    // An instruction is at most 15 bytes; near the end of readable memory
    // fewer can be read.
    std::uint8_t bytes[15];
    std::size_t size = sizeof bytes;
    while (size > 0 && !SafeReadMemory(reinterpret_cast<const void*>(address), bytes, size, snapshot)) --size;
    if (size == 0) {
        info = TInstructionInfo{};
        info.this_address = address;
        return false;
    }
    return DecodeInstructionBytes(bytes, size, address, registers, snapshot, info);
}

bool DecodeInstruction(std::uintptr_t address, TInstructionInfo& info) {
    return DecodeInstructionEx(address, nullptr, nullptr, info);
}

}  // namespace crashreport
