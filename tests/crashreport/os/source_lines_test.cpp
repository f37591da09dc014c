// Source lines and inline chains of the program's own code, held against
// binutils' addr2line: for a table of call sites spread over the whole test
// program (the reporter's code, the tests, the templates of the standard
// library inlined into them), every line and every routine must be the
// one `addr2line -f -C -i` gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "crashreport/os/modules.h"
#include "crashreport/os/map_file.h"
#include "crashreport/os/source_lines.h"
#include "crashreport/stack/stack_tracer.h"
#include "support/test_support.h"

namespace crashreport {
namespace {

namespace fs = std::filesystem;

std::string BaseName(const std::string& path) { return fs::path(path).filename().string(); }

// Return addresses of the image's direct calls of named routines (the
// instruction that follows each), from objdump's listing: `wanted` of them,
// spread evenly over the image.
std::vector<std::uintptr_t> CallSites(const std::string& image, std::size_t wanted) {
    const test_support::CommandResult listing =
        test_support::Run("objdump -d --no-show-raw-insn " + test_support::Quote(image) + " | grep -E '^ +[0-9a-f]+:'");
    std::vector<std::uintptr_t> sites;
    std::istringstream lines(listing.output);
    bool after_call = false;
    for (std::string line; std::getline(lines, line);) {
        const std::uintptr_t address = std::stoull(line.substr(0, line.find(':')), nullptr, 16);
        if (after_call) sites.push_back(address);
        after_call = line.find("\tcall   ") != std::string::npos && line.find(" <") != std::string::npos &&
                     line.back() == '>';
    }
    std::vector<std::uintptr_t> spread;
    for (std::size_t i = 0; i < wanted && !sites.empty(); ++i) spread.push_back(sites[i * sites.size() / wanted]);
    spread.erase(std::unique(spread.begin(), spread.end()), spread.end());
    return spread;
}

struct Chain {
    std::vector<SourceLocation> levels;
};

// addr2line's answer for each address (one byte before each return
// address, as a stack line is looked up). One run per address: addr2line
// names a routine by its symbol once it has looked up an address in it, so
// within one run its answers depend on the order of the questions.
std::vector<Chain> Addr2line(const std::string& image, const std::vector<std::uintptr_t>& addresses,
                             const std::string& folder) {
    std::string input;
    for (const std::uintptr_t a : addresses) {
        std::ostringstream hex;
        hex << std::hex << "0x" << a << "\n";
        input += hex.str();
    }
    test_support::WriteWholeFile(folder + "/addresses", input);
    // Four at a time, each answer in a file of its own.
    test_support::Run("xargs -P 4 -I @ sh -c 'addr2line -f -C -i -e " + test_support::Quote(image) + " @ > " +
                      test_support::Quote(folder) + "/@.txt' < " + test_support::Quote(folder + "/addresses"));
    std::string answers;
    std::istringstream names(input);
    for (std::string address; std::getline(names, address);)
        answers += "@\n" + test_support::ReadWholeFile(folder + "/" + address + ".txt");
    struct {
        std::string output;
    } run{answers};
    std::vector<Chain> chains;
    std::istringstream lines(run.output);
    std::string line;
    std::vector<std::string> pending;
    bool started = false;
    auto flush = [&] {
        if (!started) return;
        Chain chain;
        for (std::size_t i = 0; i + 1 < pending.size(); i += 2) {
            SourceLocation level;
            level.function = pending[i] == "??" ? "" : pending[i];
            std::string where = pending[i + 1];
            if (const std::size_t mark = where.find(" (discriminator"); mark != std::string::npos)
                where = where.substr(0, mark);
            const std::size_t colon = where.rfind(':');
            level.file = where.substr(0, colon) == "??" ? "" : where.substr(0, colon);
            const std::string number = where.substr(colon + 1);
            level.line = number == "?" ? 0 : std::atoi(number.c_str());
            chain.levels.push_back(level);
        }
        chains.push_back(chain);
        pending.clear();
    };
    while (std::getline(lines, line)) {
        if (line == "@") {
            flush();
            started = true;
            continue;
        }
        pending.push_back(line);
    }
    flush();
    return chains;
}

// Whether `file` is long enough to hold line `line`. For a line of a header
// inlined into a source file, addr2line (binutils 2.40, DWARF 5) sometimes
// names the source file with the header's line, which that file does not
// have: no place to compare with.
bool HasLine(const std::string& file, int line) {
    if (!std::filesystem::exists(file)) return true;  // cannot tell: compared as named
    const std::string text = test_support::ReadWholeFile(file);
    return std::count(text.begin(), text.end(), '\n') + 1 >= line;
}

std::string Describe(const std::vector<SourceLocation>& levels) {
    std::string text;
    for (const auto& level : levels)
        text += "  " + level.function + " @ " + BaseName(level.file) + ":" + std::to_string(level.line) + "\n";
    return text;
}

TEST(SourceLines, CallSitesOfTheProgramMatchAddr2line) {
    ModuleInfo program;
    ASSERT_TRUE(FindModuleOfAddr(reinterpret_cast<std::uintptr_t>(&SourceLocationsOf), program));
    const std::vector<std::uintptr_t> sites = CallSites(program.path, 300);
    ASSERT_GT(sites.size(), 250u);
    std::vector<std::uintptr_t> lookups;
    for (const std::uintptr_t site : sites) lookups.push_back(site - 1);
    test_support::TempDir dir;
    const std::vector<Chain> expected = Addr2line(program.path, lookups, dir.path());
    ASSERT_EQ(expected.size(), lookups.size());
    std::size_t inlined = 0, in_headers = 0, mismatches = 0;
    for (std::size_t i = 0; i < lookups.size(); ++i) {
        std::vector<SourceLocation> ours = SourceLocationsOf(program.load_bias + lookups[i]);
        const std::vector<SourceLocation>& theirs = expected[i].levels;
        if (theirs.size() == 1 && theirs[0].function.empty() && theirs[0].line == 0 && ours.empty()) continue;
        bool same = ours.size() == theirs.size();
        // Without a line, addr2line names the object file of the routine's
        // symbol, which is no place in the source.
        for (std::size_t k = 0; same && k < ours.size(); ++k)
            same = ours[k].function == theirs[k].function && ours[k].line == theirs[k].line &&
                   (theirs[k].line == 0 || BaseName(ours[k].file) == BaseName(theirs[k].file) ||
                    !HasLine(theirs[k].file, theirs[k].line));
        if (!same && ++mismatches <= 10)
            ADD_FAILURE() << std::hex << "0x" << lookups[i] << std::dec << "\n ours:\n"
                          << Describe(ours) << " addr2line:\n"
                          << Describe(theirs);
        if (theirs.size() > 1) ++inlined;
        if (!theirs.empty() && !BaseName(theirs[0].file).ends_with(".cpp")) ++in_headers;
    }
    EXPECT_EQ(mismatches, 0u);
    // The table holds what used to go wrong: inlined calls and lines of
    // headers and templates.
    EXPECT_GT(inlined, 50u);
    EXPECT_GT(in_headers, 50u);
}

// Inlined into the test, with the lambda it is given: the stack line of the
// call of TraceStack stands in the lambda, in this template, in the test.
template <class Body>
__attribute__((always_inline)) inline TraceStackResult TraceInside(const Body& body) {
    return body();
}

TEST(SourceLines, StackLinesShowTheInlinedRoutinesAsAddr2lineDoes) {
    TraceStackOptions options;
    const TraceStackResult result =
        TraceInside([&]() __attribute__((always_inline)) { return TraceStack(options); });
    ASSERT_GE(result.trace.size(), 3u) << result.text;
    // The first frame's rows: the lambda, then the routines it was inlined
    // into, out to the test itself.
    std::vector<TStackItem> rows = {result.trace[0]};
    for (std::size_t i = 1; i < result.trace.size() && result.trace[i].inlined_caller; ++i)
        rows.push_back(result.trace[i]);
    ASSERT_GE(rows.size(), 3u) << result.text;
    ModuleInfo program;
    ASSERT_TRUE(FindModuleOfAddr(rows[0].address, program));
    test_support::TempDir dir;
    const std::vector<Chain> expected = Addr2line(program.path, {rows[0].address - program.load_bias}, dir.path());
    ASSERT_EQ(expected.size(), 1u);
    ASSERT_EQ(expected[0].levels.size(), rows.size()) << result.text;
    for (std::size_t k = 0; k < rows.size(); ++k) {
        EXPECT_EQ(rows[k].routine_name, ShortRoutineName(expected[0].levels[k].function)) << result.text;
        EXPECT_EQ(rows[k].unit_name, BaseName(expected[0].levels[k].file)) << result.text;
        EXPECT_EQ(rows[k].line, expected[0].levels[k].line) << result.text;
        EXPECT_EQ(rows[k].address, rows[0].address);
    }
    // The template's line names it with its argument, a lambda.
    EXPECT_EQ(rows[1].routine_name,
              "TraceInside<crashreport::(anonymous namespace)::"
              "SourceLines_StackLinesShowTheInlinedRoutinesAsAddr2lineDoes_Test::TestBody()::<lambda()> >")
        << result.text;
    // The text has a line for each of them.
    EXPECT_NE(result.text.find("source_lines_test.cpp"), std::string::npos);
}

}  // namespace
}  // namespace crashreport
