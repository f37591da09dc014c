#include "crashreport/disasm/operand_text.h"

#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

std::string AddressText(std::uint64_t address) { return Int64ToHexPadded(address, 1, '0'); }

const char* SizeWord(std::uint8_t size) {
    switch (size) {
        case 1: return "byte";
        case 2: return "word";
        case 4: return "dword";
        case 6: return "fword";
        case 8: return "qword";
        case 10: return "tbyte";
        case 16: return "oword";
        case 32: return "yword";
        case 64: return "zword";
        default: return nullptr;
    }
}

std::string RegisterText(csh handle, unsigned reg) {
    const char* name = cs_reg_name(handle, reg);
    if (name == nullptr) return "?";
    // The top of the FPU stack is "st"; the others "st(1)" ... "st(7)".
    return std::string(name) == "st(0)" ? "st" : name;
}

std::string MemoryText(csh handle, const cs_insn& instruction, const cs_x86_op& operand, bool with_size) {
    const cs_x86& x86 = instruction.detail->x86;
    std::string text;
    if (const char* word = with_size ? SizeWord(operand.size) : nullptr) text = std::string(word) + " ptr ";
    if (operand.mem.segment != X86_REG_INVALID && x86.prefix[1] != 0)
        text += RegisterText(handle, operand.mem.segment) + ":";
    std::string inside;
    if (operand.mem.base == X86_REG_RIP && operand.mem.index == X86_REG_INVALID) {
        // The cell itself, where the instruction's end and its displacement point.
        inside = AddressText(instruction.address + instruction.size + static_cast<std::uint64_t>(operand.mem.disp));
    } else {
        if (operand.mem.base != X86_REG_INVALID) inside = RegisterText(handle, operand.mem.base);
        if (operand.mem.index != X86_REG_INVALID) {
            if (!inside.empty()) inside += "+";
            inside += RegisterText(handle, operand.mem.index);
            if (operand.mem.scale != 1) inside += "*" + std::to_string(operand.mem.scale);
        }
        if (operand.mem.disp != 0 || inside.empty()) {
            const std::string displacement = inside.empty() && operand.mem.disp > 0
                                                 ? AddressText(static_cast<std::uint64_t>(operand.mem.disp))
                                                 : OperandNumberText(operand.mem.disp);
            inside += (inside.empty() || displacement.front() == '-' ? "" : "+") + displacement;
        }
    }
    return text + "[" + inside + "]";
}

// A branch relative to the next instruction: its displacement, then where
// it leads.
std::string RelativeTargetText(const cs_insn& instruction, std::uint64_t target) {
    const auto displacement = static_cast<std::int64_t>(target - (instruction.address + instruction.size));
    const std::string number = OperandNumberText(displacement);
    return (displacement >= 0 ? "+" : "") + number + " (" + AddressText(target) + ")";
}

bool HasGroup(const cs_detail* detail, std::uint8_t group) {
    for (std::uint8_t i = 0; i < detail->groups_count; ++i)
        if (detail->groups[i] == group) return true;
    return false;
}

// How many operands the library's own text shows.
int ShownOperandCount(const std::string& text) {
    if (text.empty()) return 0;
    int count = 1, depth = 0;
    for (const char c : text) {
        if (c == '[' || c == '{') ++depth;
        else if (c == ']' || c == '}') --depth;
        else if (c == ',' && depth == 0) ++count;
    }
    return count;
}

}  // namespace

std::string OperandNumberText(std::int64_t value) {
    if (value >= -9 && value <= 9) return std::to_string(value);
    if (value < 0) return "-" + AddressText(0 - static_cast<std::uint64_t>(value));
    return AddressText(static_cast<std::uint64_t>(value));
}

std::string OperandsText(csh handle, const cs_insn& instruction) {
    const std::string library_text = instruction.op_str;
    if (instruction.detail == nullptr) return library_text;
    const cs_x86& x86 = instruction.detail->x86;
    // Operands the details do not list as shown (vector masks, rounding
    // modes) keep the library's text.
    if (ShownOperandCount(library_text) != x86.op_count || library_text.find('{') != std::string::npos)
        return library_text;
    const bool sized = library_text.find(" ptr ") != std::string::npos;
    const bool relative = HasGroup(instruction.detail, CS_GRP_BRANCH_RELATIVE);
    std::string text;
    for (std::uint8_t i = 0; i < x86.op_count; ++i) {
        const cs_x86_op& operand = x86.operands[i];
        if (i > 0) text += ", ";
        switch (operand.type) {
            case X86_OP_REG: text += RegisterText(handle, operand.reg); break;
            case X86_OP_IMM:
                text += relative ? RelativeTargetText(instruction, static_cast<std::uint64_t>(operand.imm))
                                 : OperandNumberText(operand.imm);
                break;
            case X86_OP_MEM: text += MemoryText(handle, instruction, operand, sized); break;
            default: return library_text;
        }
    }
    return text;
}

}  // namespace crashreport
