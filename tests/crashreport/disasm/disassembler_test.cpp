#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <vector>

#include "crashreport/disasm/decoder.h"
#include "crashreport/disasm/disassembly_text.h"
#include "crashreport/disasm/function_analysis.h"
#include "crashreport/text/string_toolkit.h"
#include "support/test_support.h"

namespace crashreport_test {

__attribute__((noinline)) int Leaf(int value) {
    asm volatile("" ::: "memory");
    return value + 1;
}

// Dense cases with bodies of their own: compiled through a jump table.
__attribute__((noinline)) int Dispatch(int selector) {
    switch (selector) {
        case 0: return Leaf(10) * 3;
        case 1: return Leaf(11) - 7;
        case 2: return Leaf(12) ^ 5;
        case 3: return Leaf(13) + Leaf(1);
        case 4: return Leaf(14) * Leaf(2);
        case 5: return Leaf(15) / 3;
        case 6: return Leaf(16) << 2;
        case 7: return Leaf(17) - Leaf(3);
        case 8: return Leaf(18) % 7;
        case 9: return Leaf(19) | 64;
        default: return -1;
    }
}

}  // namespace crashreport_test

namespace crashreport {
namespace {

// push rbp; mov rbp,rsp; sub rsp,0x10; mov eax,[rbp-0x10]; call next;
// call [rip+0]; je +2; cbw; addss xmm0,xmm1; movabs rax,imm64; call rax;
// jmp -2 ... ret
const std::vector<std::uint8_t> kCode = {
    0x55, 0x48, 0x89, 0xE5, 0x48, 0x83, 0xEC, 0x10, 0x8B, 0x45, 0xF0, 0xE8, 0x00, 0x00, 0x00, 0x00,
    0xFF, 0x15, 0x00, 0x00, 0x00, 0x00, 0x74, 0x02, 0x66, 0x98, 0xF3, 0x0F, 0x58, 0xC1, 0x48, 0xB8,
    0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0xFF, 0xD0, 0xC3};

TEST(Decoder, AgreesWithObjdumpOnLengthsAndMnemonics) {
    if (!test_support::HaveTool("objdump")) GTEST_SKIP() << "objdump missing";
    test_support::TempDir dir;
    test_support::WriteWholeFile(dir.file("code.bin"), std::string(kCode.begin(), kCode.end()));
    const auto listing = test_support::Run("objdump -D -b binary -m i386:x86-64 -M intel --adjust-vma=0x1000 " +
                                           test_support::Quote(dir.file("code.bin")));
    ASSERT_EQ(listing.exit_code, 0) << listing.output;
    // Lines "    1000:\t55                   \tpush   rbp"; an instruction of
    // more than seven bytes goes on in a line of bytes alone.
    struct Listed {
        std::size_t address, length;
        std::string mnemonic;
    };
    std::vector<Listed> listed;
    std::istringstream lines(listing.output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(':'), first_tab = line.find('\t');
        if (first_tab == std::string::npos || colon == std::string::npos || colon > first_tab) continue;
        const auto second_tab = line.find('\t', first_tab + 1);
        std::istringstream bytes(line.substr(first_tab + 1, second_tab == std::string::npos ? std::string::npos
                                                                                                : second_tab - first_tab - 1));
        std::string byte;
        std::size_t length = 0;
        while (bytes >> byte) ++length;
        if (second_tab == std::string::npos) {
            if (!listed.empty()) listed.back().length += length;
            continue;
        }
        std::istringstream text(line.substr(second_tab + 1));
        std::string mnemonic;
        text >> mnemonic;
        listed.push_back({std::stoul(line.substr(0, colon), nullptr, 16), length, mnemonic});
    }
    std::size_t offset = 0;
    int compared = 0;
    for (const Listed& item : listed) {
        ASSERT_EQ(item.address - 0x1000, offset);
        TInstructionInfo info;
        ASSERT_TRUE(DecodeInstructionBytes(kCode.data() + offset, kCode.size() - offset, item.address, nullptr,
                                           nullptr, info));
        EXPECT_EQ(info.next - info.this_address, item.length) << item.mnemonic;
        EXPECT_EQ(info.mnemonic, item.mnemonic);
        offset += item.length;
        ++compared;
    }
    EXPECT_EQ(offset, kCode.size());
    EXPECT_EQ(compared, 12);
}

TEST(Decoder, BranchesCallsAndTheirTargets) {
    TInstructionInfo info;
    // call next: valid, but neither call nor jump.
    ASSERT_TRUE(DecodeInstructionBytes(kCode.data() + 11, 5, 0x100B, nullptr, nullptr, info));
    EXPECT_TRUE(info.valid);
    EXPECT_FALSE(info.is_call);
    EXPECT_FALSE(info.is_jump);
    EXPECT_EQ(info.target, 0u);
    // je +2: relative, redirectable, one-byte target.
    ASSERT_TRUE(DecodeInstructionBytes(kCode.data() + 22, 2, 0x1016, nullptr, nullptr, info));
    EXPECT_TRUE(info.is_jump);
    EXPECT_TRUE(info.conditional);
    EXPECT_TRUE(info.relative_target);
    EXPECT_EQ(info.target, 0x101Au);
    EXPECT_EQ(info.target_location, 0x1017u);
    EXPECT_EQ(info.target_size, 1u);
    EXPECT_TRUE(info.redirectable);
    EXPECT_EQ(info.opcode, 0x74);
    // loop: relative, but not redirectable.
    const std::uint8_t loop[] = {0xE2, 0xFE};
    ASSERT_TRUE(DecodeInstructionBytes(loop, 2, 0x2000, nullptr, nullptr, info));
    EXPECT_TRUE(info.relative_target);
    EXPECT_FALSE(info.redirectable);
    // addss is a two-byte opcode.
    ASSERT_TRUE(DecodeInstructionBytes(kCode.data() + 26, 4, 0x101A, nullptr, nullptr, info));
    EXPECT_EQ(info.mnemonic, "addss");
    EXPECT_EQ(info.opcode, 0x0F58);
    // A byte that is no instruction in 64-bit mode.
    const std::uint8_t invalid[] = {0x06};
    EXPECT_FALSE(DecodeInstructionBytes(invalid, 1, 0x3000, nullptr, nullptr, info));
    EXPECT_FALSE(info.valid);
}

TEST(Decoder, OperandsInTheReportsOwnSyntax) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::uintptr_t address;
        const char* operands;
    };
    const Case cases[] = {
        {{0x8B, 0x45, 0xF0}, 0x1008, "eax, dword ptr [rbp-$10]"},
        {{0x8B, 0x45, 0xFC}, 0x1008, "eax, dword ptr [rbp-4]"},
        {{0x8B, 0x44, 0x8B, 0x08}, 0x1000, "eax, dword ptr [rbx+rcx*4+8]"},
        {{0x48, 0x8D, 0x04, 0x8D, 0x00, 0x00, 0x00, 0x00}, 0x1000, "rax, [rcx*4]"},
        {{0x48, 0x83, 0xEC, 0x10}, 0x1004, "rsp, $10"},
        {{0x48, 0x83, 0xE4, 0xF0}, 0x1004, "rsp, -$10"},
        {{0x48, 0xB8, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}, 0x101E, "rax, $1122334455667788"},
        // A short jump two bytes on, and one back over itself.
        {{0x74, 0x02}, 0x1016, "+2 ($101a)"},
        {{0xEB, 0xEE}, 0x2000, "-$12 ($1ff0)"},
        // A cell beside the code: its address; the thread's block: its segment.
        {{0xFF, 0x15, 0x00, 0x01, 0x00, 0x00}, 0x1010, "qword ptr [$1116]"},
        {{0x64, 0x48, 0x8B, 0x04, 0x25, 0x28, 0x00, 0x00, 0x00}, 0x1000, "rax, qword ptr fs:[$28]"},
        {{0xD9, 0xC1}, 0x1000, "st(1)"},
        {{0xD9, 0xC0}, 0x1000, "st"},
    };
    for (const Case& c : cases) {
        TInstructionInfo info;
        ASSERT_TRUE(DecodeInstructionBytes(c.bytes.data(), c.bytes.size(), c.address, nullptr, nullptr, info));
        EXPECT_EQ(info.operands, c.operands) << info.mnemonic;
    }
}

TEST(Decoder, IndirectCallThroughAReadableCell) {
    // call [rip+0] with the cell right after the instruction.
    struct alignas(8) Code {
        std::uint8_t bytes[6] = {0xFF, 0x15, 0x00, 0x00, 0x00, 0x00};
        std::uint8_t cell[8];
    } code;
    const std::uintptr_t target = 0x123456789AULL;
    std::memcpy(code.cell, &target, 8);
    const auto at = reinterpret_cast<std::uintptr_t>(code.bytes);
    TInstructionInfo info;
    ASSERT_TRUE(DecodeInstructionEx(at, nullptr, nullptr, info));
    EXPECT_TRUE(info.is_call);
    EXPECT_EQ(info.target, target);
    EXPECT_EQ(info.pointer_table_location, at + 2);
    EXPECT_EQ(info.target_size, 8u);
    EXPECT_TRUE(info.redirectable);
    EXPECT_FALSE(info.relative_target);
}

TEST(Decoder, RegisterStateResolvesCallThroughARegister) {
    TRegisterState registers;
    TInstructionInfo info;
    ASSERT_TRUE(DecodeInstructionBytes(kCode.data() + 30, 10, 0x101E, &registers, nullptr, info));
    EXPECT_TRUE(registers.known[0]);
    EXPECT_EQ(registers.value[0], 0x1122334455667788u);
    EXPECT_EQ(registers.location[0], 0x1020u);
    ASSERT_TRUE(DecodeInstructionBytes(kCode.data() + 40, 2, 0x1028, &registers, nullptr, info));
    EXPECT_TRUE(info.is_call);
    EXPECT_EQ(info.target, 0x1122334455667788u);
    EXPECT_EQ(info.target_location, 0x1020u);
    // The call leaves rax to the callee's result: unknown afterwards.
    EXPECT_FALSE(registers.known[0]);
}

TEST(FunctionAnalysis, FollowsAJumpTable) {
    ASSERT_EQ(crashreport_test::Dispatch(4), 15 * 3);
    TFunctionInfo info;
    ASSERT_TRUE(AnalyseFunctionAt(reinterpret_cast<std::uintptr_t>(&crashreport_test::Dispatch), info))
        << info.last_error_text;
    int tables = 0;
    std::vector<std::uintptr_t> targets;
    for (const TCodeArea& area : info.code_areas) {
        if (!area.is_case_table) continue;
        ++tables;
        for (std::uintptr_t at = area.begin; at < area.end; at += 4) {
            std::int32_t offset = 0;
            std::memcpy(&offset, reinterpret_cast<const void*>(at), 4);
            targets.push_back(area.begin + static_cast<std::intptr_t>(offset));
        }
    }
    if (tables == 0) GTEST_SKIP() << "the compiler chose no jump table";
    EXPECT_EQ(tables, 1);
    for (std::uintptr_t target : targets) {
        EXPECT_TRUE(info.IsInstructionStart(target));
        const TCodeArea* area = info.AreaAt(target);
        ASSERT_NE(area, nullptr);
        EXPECT_EQ(area->begin, target);  // every case starts an area of its own
    }
    // Each case calls Leaf: the calls are known, with their return addresses.
    int leaf_calls = 0;
    for (const TFarCall& call : info.far_calls)
        if (call.is_call && call.target == reinterpret_cast<std::uintptr_t>(&crashreport_test::Leaf)) ++leaf_calls;
    EXPECT_GE(leaf_calls, 10);
    const auto call = std::find_if(info.far_calls.begin(), info.far_calls.end(),
                                   [](const TFarCall& c) { return c.is_call; });
    ASSERT_NE(call, info.far_calls.end());
    EXPECT_EQ(info.CallReturningTo(call->end), &*call);
}

TEST(FunctionAnalysis, ReportsInvalidCode) {
    static const std::uint8_t code[] = {0x90, 0x06, 0xC3};
    const MemoryMapSnapshot snapshot = MemoryMapSnapshot::Take();
    TFunctionInfo info;
    EXPECT_FALSE(AnalyseFunction(reinterpret_cast<std::uintptr_t>(code), info, &snapshot));
    EXPECT_EQ(info.last_error_number, 0x770001u);
    EXPECT_EQ(info.last_error_text, "Invalid code!");
    EXPECT_EQ(info.last_error_address, reinterpret_cast<std::uintptr_t>(code) + 1);
}

TEST(FunctionAnalysis, DecodesTheGapAfterAJumpWithAnUnknownTarget) {
    // test edi, edi; je L; jmp rax; [gap]; ... L: mov eax, 1; ret. Code
    // that only the jump through rax reaches stands in the gap.
    const std::vector<std::uint8_t> head = {0x85, 0xFF, 0x74, 0x00, 0xFF, 0xE0};
    const std::vector<std::uint8_t> tail = {0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3};
    struct Case {
        const char* what;
        std::vector<std::uint8_t> gap;
        bool jump_known;  // the jump's target is the gap's end, not rax
        bool decoded;
    };
    const Case cases[] = {
        {"code in the gap", {0x31, 0xC0, 0xC3}, false, true},
        {"no valid code in the gap", {0x06, 0x06, 0x06}, false, false},
        {"the gap too far below the end", std::vector<std::uint8_t>(1100, 0x90), false, false},
        {"every jump's target known", {0x31, 0xC0, 0xC3}, true, false},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> code = head;
        code[3] = static_cast<std::uint8_t>(2 + c.gap.size());
        if (c.jump_known) code[4] = 0xEB, code[5] = static_cast<std::uint8_t>(c.gap.size());
        code.insert(code.end(), c.gap.begin(), c.gap.end());
        code.insert(code.end(), tail.begin(), tail.end());
        const auto entry = reinterpret_cast<std::uintptr_t>(code.data());
        const std::uintptr_t gap = entry + head.size(), after = gap + c.gap.size();
        const MemoryMapSnapshot snapshot = MemoryMapSnapshot::Take();
        TFunctionInfo info;
        ASSERT_TRUE(AnalyseFunction(entry, info, &snapshot)) << c.what << ": " << info.last_error_text;
        EXPECT_TRUE(info.IsInstructionStart(after)) << c.what;
        EXPECT_EQ(info.IsInstructionStart(gap), c.decoded) << c.what;
        const TCodeArea* area = info.AreaAt(gap);
        EXPECT_EQ(area != nullptr && area->begin == gap, c.decoded) << c.what;
        if (c.decoded) EXPECT_TRUE(info.IsInstructionStart(gap + 2)) << c.what;
    }
}

TEST(DisassemblyText, NamesTheRoutineMarksTheLineAndLimitsTheText) {
    const auto entry = reinterpret_cast<std::uintptr_t>(&crashreport_test::Dispatch);
    TFunctionInfo info;
    ASSERT_TRUE(AnalyseFunctionAt(entry, info));
    ASSERT_GE(info.far_calls.size(), 2u);
    const std::uintptr_t marked = info.far_calls[1].begin;
    std::string text;
    DisassembleFunctionText(entry, text, marked, info, 0);
    EXPECT_EQ(text.find("public crashreport_test::Dispatch:"), 0u) << text;
    EXPECT_NE(text.find("  ; function entry point\r\n"), std::string::npos);
    EXPECT_NE(text.find("  ; crashreport_test::Leaf"), std::string::npos) << text;
    // Numbers as the report writes them, never as the decoding library does.
    EXPECT_EQ(text.find("0x"), std::string::npos) << text;
    EXPECT_EQ(text.find(" - "), std::string::npos) << text;
    EXPECT_EQ(text.find("rip"), std::string::npos) << text;
    // The marked line: address, a blank, the line number column, ">".
    std::string address = Int64ToHexPadded(marked, 16, '0').substr(1);
    const std::size_t at = text.find("\r\n" + address);
    ASSERT_NE(at, std::string::npos) << text;
    const std::size_t end = text.find("\r\n", at + 2);
    const std::string line = text.substr(at + 2, end - at - 2);
    EXPECT_NE(line.find(" > call"), std::string::npos) << line;
    EXPECT_EQ(text.find("[...]"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");

    std::string limited;
    DisassembleFunctionText(entry, limited, info.far_calls.back().begin, info, 2);
    EXPECT_EQ(limited.find("[...]\r\n"), 0u) << limited;
    EXPECT_LT(std::count(limited.begin(), limited.end(), '\n'), std::count(text.begin(), text.end(), '\n'));
}

TEST(DisassemblyText, RecognisesHumanTextBehindAPointer) {
    static const char message[] = "Access violation at address";
    static const char binary[] = "\x01\x02\x03\x04\x05";
    static const char short_text[] = "ab";
    EXPECT_EQ(LooksLikeText(reinterpret_cast<std::uintptr_t>(message)), message);
    EXPECT_EQ(LooksLikeText(reinterpret_cast<std::uintptr_t>(binary)), "");
    EXPECT_EQ(LooksLikeText(reinterpret_cast<std::uintptr_t>(short_text)), "");
}

}  // namespace
}  // namespace crashreport
