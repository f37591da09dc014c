#include "crashreport/disasm/disassembly_text.h"

#include <algorithm>
#include <vector>

#include "crashreport/os/map_file.h"
#include "crashreport/os/modules.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

constexpr std::size_t kMnemonicColumn = kAddressDigits + 11;
constexpr std::size_t kCommentColumn = kAddressDigits + 32;
constexpr std::size_t kLabelWidth = 31;

std::string Hex(std::uintptr_t address) { return Int64ToHex(address); }

std::string AddressText(std::uintptr_t address) { return PadText(Hex(address), kAddressDigits, '0'); }

void PadTo(std::string& line, std::size_t width) {
    if (line.size() < width) line.append(width - line.size(), ' ');
}

struct Line {
    std::string text;
    std::uintptr_t address = 0;  // 0 for label and separator lines
    bool marked = false;
};

class Renderer {
public:
    Renderer(std::uintptr_t entry, const TFunctionInfo& info) : entry_(entry), info_(info) {
        ModuleInfo module;
        if (FindModuleOfAddr(entry, module)) module_ = module;
        name_ = RoutineNameAt(entry);
    }

    std::string FunctionName() const { return name_.empty() ? "sub_" + Hex(entry_) : name_; }

    std::string LabelOf(std::uintptr_t address) const {
        return address == entry_ ? FunctionName() : "loc_" + Hex(address);
    }

    bool IsOwnArea(std::uintptr_t address) const {
        for (const TCodeArea& area : info_.code_areas)
            if (!area.is_case_table && !area.is_exception_table && area.begin == address) return true;
        return false;
    }

    // The name of a call or jump target, with its module's name when that
    // is another module and the name does not say.
    std::string TargetComment(std::uintptr_t target) const {
        std::string name = RoutineNameAt(target);
        std::uintptr_t named = target;
        if (name.empty()) {
            named = FollowJumpStub(target);
            if (named != target) name = RoutineNameAt(named);
        }
        if (name.empty()) return {};
        ModuleInfo module;
        if (FindModuleOfAddr(named, module) && module.base != module_.base) name += " (" + module.file_name + ")";
        return name;
    }

    std::string ConstantComment(std::uintptr_t address) const {
        ModuleInfo module;
        if (!FindModuleOfAddr(address, module) || address + 100 > module.end) return {};
        std::string name = RoutineNameAt(address);
        if (!name.empty()) return name;
        const std::string text = LooksLikeText(address);
        return text.empty() ? std::string() : "'" + text + "'";
    }

    void Compose(std::vector<Line>& lines) const {
        for (std::size_t a = 0; a < info_.code_areas.size(); ++a) {
            const TCodeArea& area = info_.code_areas[a];
            if (area.is_case_table) {
                ComposeTable(area, lines);
                continue;
            }
            std::string label = LabelOf(area.begin) + ":";
            if (area.begin == entry_) {
                if (!name_.empty()) label = "public " + label;
                PadTo(label, kLabelWidth);
                label += "  ; function entry point";
            }
            lines.push_back({label, 0, false});
            bool ended = false;
            for (auto it = std::lower_bound(info_.instruction_starts.begin(), info_.instruction_starts.end(),
                                            area.begin);
                 it != info_.instruction_starts.end() && *it < area.end; ++it) {
                TInstructionInfo ins;
                if (!DecodeInstruction(*it, ins)) {
                    std::uint8_t byte = 0;
                    SafeReadMemory(reinterpret_cast<const void*>(*it), &byte, 1);
                    lines.push_back({"db " + CardToHexPadded(byte, 2, '0'), *it, false});
                    continue;
                }
                lines.push_back({InstructionText(ins), *it, false});
                ended = ins.is_return || (ins.is_jump && !ins.conditional);
            }
            if (ended && a + 1 < info_.code_areas.size())
                lines.push_back({"; ---------------------------------------------------------", 0, false});
        }
        if (info_.last_error_number != 0 && info_.last_error_address != 0) {
            std::uint8_t byte = 0;
            SafeReadMemory(reinterpret_cast<const void*>(info_.last_error_address), &byte, 1);
            lines.push_back({"db " + CardToHexPadded(byte, 2, '0'), info_.last_error_address, false});
        }
    }

private:
    void ComposeTable(const TCodeArea& area, std::vector<Line>& lines) const {
        bool first = true;
        for (std::uintptr_t at = area.begin; at + 4 <= area.end; at += 4) {
            std::int32_t offset = 0;
            if (!SafeReadMemory(reinterpret_cast<const void*>(at), &offset, 4)) break;
            std::string line = "  dd " + LabelOf(area.begin + static_cast<std::intptr_t>(offset));
            if (first) {
                PadTo(line, kLabelWidth);
                line += "  ; case jump table";
                first = false;
            }
            lines.push_back({line, 0, false});
        }
    }

    std::string InstructionText(const TInstructionInfo& ins) const {
        std::string line = ins.mnemonic;
        // Instruction lines get their address and marker columns when the
        // lines are laid out; here the text starts at the mnemonic.
        PadTo(line, kMnemonicColumn - kAddressDigits - 3);
        if (line.back() != ' ') line += ' ';
        std::string operands = ins.operands;
        std::string comment;
        if ((ins.is_call || ins.is_jump) && ins.target != 0) {
            if (ins.relative_target && IsOwnArea(ins.target)) operands = LabelOf(ins.target);
            else comment = TargetComment(ins.target);
        } else if (ins.has_absolute_memory) {
            comment = ConstantComment(ins.memory_address);
        }
        line += operands;
        if (!comment.empty()) {
            PadTo(line, kCommentColumn - kAddressDigits - 3);
            line += "  ; " + comment;
        }
        return line;
    }

    std::uintptr_t entry_;
    const TFunctionInfo& info_;
    ModuleInfo module_;
    std::string name_;
};

}  // namespace

std::string LooksLikeText(std::uintptr_t address) {
    char bytes[100];
    std::size_t size = sizeof bytes;
    while (size > 0 && !SafeReadMemory(reinterpret_cast<const void*>(address), bytes, size)) --size;
    std::string text;
    int letters = 0, punctuation = 0, other = 0, high = 0;
    std::size_t i = 0;
    for (; i < size; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == 0 || c == '\n' || c == '\f') break;
        if (c < 32) return {};
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ') ++letters;
        else if (c == ',' || c == '.' || c == ':' || c == '\\') ++punctuation;
        else if (c >= '!' && c <= ']') ++other;
        else ++high;
        text.push_back(static_cast<char>(c));
    }
    if (i == size) return {};  // no end within 100 bytes
    if (text.size() < 4) return {};
    if (!(punctuation * 5 < letters * 2 && other * 8 < letters + punctuation / 2 &&
          high * 10 < letters + punctuation / 2 + other / 4))
        return {};
    return text;
}

void DisassembleFunctionText(std::uintptr_t entry, std::string& text, std::uintptr_t exception_address,
                             const TFunctionInfo& info, int line_limit, bool with_line_numbers) {
    text.clear();
    if (info.code_areas.empty()) {
        text = kDisassemblyInternalError;
        return;
    }
    Renderer renderer(entry, info);
    std::vector<Line> lines;
    renderer.Compose(lines);

    // Source line numbers, shown where they change.
    std::vector<int> numbers(lines.size(), 0);
    int widest = 0;
    if (with_line_numbers) {
        int line = 0;
        std::uintptr_t start = 0, end = 0;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].address == 0) continue;
            LineForAddr(lines[i].address, line, start, end);
            numbers[i] = line;
            widest = std::max(widest, line);
        }
    }
    const int number_width = widest > 0 ? static_cast<int>(IntToText(widest).size()) : 0;

    std::size_t marked = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].address != 0 && lines[i].address == exception_address) marked = i;

    std::size_t first = 0, last = lines.size();
    bool cut_before = false, cut_after = false;
    if (line_limit > 0 && marked < lines.size()) {
        const auto limit = static_cast<std::size_t>(line_limit);
        if (marked > limit * 12 / 10) {
            first = marked - limit;
            cut_before = true;
        }
        if (lines.size() - marked - 1 > limit) {
            last = marked + 1 + limit;
            cut_after = true;
        }
    }

    if (cut_before) text += "[...]\r\n";
    int previous_number = 0;
    for (std::size_t i = first; i < last; ++i) {
        const Line& line = lines[i];
        std::string out;
        if (line.address != 0) {
            out = AddressText(line.address) + " ";
            if (number_width > 0) {
                const bool changed = numbers[i] != 0 && numbers[i] != previous_number;
                out += changed ? PadText(IntToText(numbers[i]), number_width, '0') : std::string(number_width, ' ');
                out += ' ';
                if (numbers[i] != 0) previous_number = numbers[i];
            }
            out += (i == marked ? ">" : " ");
            out += " " + line.text;
        } else {
            out = line.text;
        }
        while (!out.empty() && out.back() == ' ') out.pop_back();
        text += out + "\r\n";
    }
    if (cut_after) text += "[...]\r\n";
}

}  // namespace crashreport
