// Source lines and inline chains of the program's own code, held against
// binutils' addr2line: for a table of call sites spread over the whole test
// program (the reporter's code, the tests, the templates of the standard
// library inlined into them), every line and every routine must be the
// one `addr2line -f -C -i` gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "crashreport/os/modules.h"
#include "crashreport/os/map_file.h"
#include "crashreport/os/source_lines.h"
#include "crashreport/os/stack_capture.h"
#include "crashreport/os/system_facts.h"
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

// What addr2line and we say at the call sites of an image: the count of
// sites where the two differ (the first ten are failures), of those where
// a routine was inlined and of those whose line is in a header.
struct Comparison {
    std::size_t mismatches = 0, inlined = 0, in_headers = 0;
};

// The source files llvm-symbolizer names at `address`, innermost first.
std::vector<std::string> SymbolizerFiles(const std::string& image, std::uintptr_t address) {
    std::ostringstream command;
    command << "llvm-symbolizer --debug-file-directory=/usr/lib/debug -i -f --obj=" << test_support::Quote(image)
            << " 0x" << std::hex << address;
    std::istringstream lines(test_support::Run(command.str()).output);
    std::vector<std::string> files;
    for (std::string function, where; std::getline(lines, function) && std::getline(lines, where);) {
        // "file:line:column"
        const std::size_t column = where.rfind(':');
        const std::size_t line = column == std::string::npos ? column : where.rfind(':', column - 1);
        files.push_back(line == std::string::npos ? where : where.substr(0, line));
    }
    return files;
}

Comparison CompareCallSitesWithAddr2line(const ModuleInfo& image, std::size_t wanted) {
    const std::vector<std::uintptr_t> sites = CallSites(image.path, wanted);
    EXPECT_GT(sites.size(), wanted * 5 / 6) << image.path;
    std::vector<std::uintptr_t> lookups;
    for (const std::uintptr_t site : sites) lookups.push_back(site - 1);
    test_support::TempDir dir;
    const std::vector<Chain> expected = Addr2line(image.path, lookups, dir.path());
    EXPECT_EQ(expected.size(), lookups.size());
    Comparison result;
    for (std::size_t i = 0; i < lookups.size() && i < expected.size(); ++i) {
        std::vector<SourceLocation> ours = SourceLocationsOf(image.load_bias + lookups[i]);
        const std::vector<SourceLocation>& theirs = expected[i].levels;
        if (theirs.size() == 1 && theirs[0].function.empty() && theirs[0].line == 0 && ours.empty()) continue;
        bool same = ours.size() == theirs.size(), same_files = same;
        for (std::size_t k = 0; same && k < ours.size(); ++k) {
            same = ours[k].function == theirs[k].function && ours[k].line == theirs[k].line;
            // Without a line, addr2line names the object file of the
            // routine's symbol, which is no place in the source.
            same_files = same_files && (theirs[k].line == 0 || BaseName(ours[k].file) == BaseName(theirs[k].file) ||
                                         !HasLine(theirs[k].file, theirs[k].line));
        }
        // binutils misreads the file of some lines of DWARF 5 line tables
        // (a sequence of its own that starts in another file than the
        // unit's, or a source file that includes another, as "getproto_r.c"
        // holds "getXXbyYY_r.c"); gdb and llvm-symbolizer read them as we
        // do, and the latter settles what addr2line and we see otherwise.
        if (same && !same_files && test_support::HaveTool("llvm-symbolizer")) {
            const std::vector<std::string> files = SymbolizerFiles(image.path, lookups[i]);
            same_files = files.size() == ours.size();
            for (std::size_t k = 0; same_files && k < ours.size(); ++k)
                same_files = theirs[k].line == 0 || BaseName(files[k]) == BaseName(ours[k].file);
        }
        same = same && same_files;
        if (!same && ++result.mismatches <= 10)
            ADD_FAILURE() << image.file_name << std::hex << " 0x" << lookups[i] << std::dec << "\n ours:\n"
                          << Describe(ours) << " addr2line:\n"
                          << Describe(theirs);
        if (theirs.size() > 1) ++result.inlined;
        if (!theirs.empty() && !BaseName(theirs[0].file).ends_with(".cpp")) ++result.in_headers;
    }
    return result;
}

TEST(SourceLines, CallSitesOfTheProgramMatchAddr2line) {
    ModuleInfo program;
    ASSERT_TRUE(FindModuleOfAddr(reinterpret_cast<std::uintptr_t>(&SourceLocationsOf), program));
    const Comparison compared = CompareCallSitesWithAddr2line(program, 300);
    EXPECT_EQ(compared.mismatches, 0u);
    // The table holds what used to go wrong: inlined calls and lines of
    // headers and templates.
    EXPECT_GT(compared.inlined, 50u);
    EXPECT_GT(compared.in_headers, 50u);
}

// The build-id tree's file of an image, where its -dbg package put it;
// empty when there is none.
std::string DebugFileInTheTree(const std::string& image) {
    const std::string notes = test_support::Run("readelf -n " + test_support::Quote(image)).output;
    const std::size_t at = notes.find("Build ID: ");
    if (at == std::string::npos) return {};
    const std::string id = notes.substr(at + 10, notes.find('\n', at) - at - 10);
    const std::string file = "/usr/lib/debug/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
    return fs::exists(file) ? file : std::string();
}

ModuleInfo CLibrary() {
    for (const ModuleInfo& module : ListModulesByVirtualQuery())
        if (module.file_name.rfind("libc.so", 0) == 0) return module;
    return {};
}

TEST(SourceLines, CallSitesOfTheCLibraryMatchAddr2line) {
    // C routines are named as their debug information names them, inlined
    // ones and those that another exported name stands for alike.
    const ModuleInfo c_library = CLibrary();
    ASSERT_FALSE(c_library.path.empty());
    if (DebugFileInTheTree(c_library.path).empty())
        GTEST_SKIP() << "the C library's debug information is not installed (Debian package libc6-dbg)";
    const Comparison compared = CompareCallSitesWithAddr2line(c_library, 300);
    EXPECT_EQ(compared.mismatches, 0u);
    EXPECT_GT(compared.inlined, 30u);
}

TEST(SourceLines, EveryFrameOfAWaitingThreadIsNamedAsAddr2lineNamesIt) {
    // A thread that waits in the C library, traced as a report traces it.
    const ModuleInfo c_library = CLibrary();
    ASSERT_FALSE(c_library.path.empty());
    if (DebugFileInTheTree(c_library.path).empty())
        GTEST_SKIP() << "the C library's debug information is not installed (Debian package libc6-dbg)";
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::atomic<std::uint32_t> id{0};
    std::thread waiter([&] {
        id = CurrentThreadId();
        std::unique_lock held(lock);
        while (!stop) wake.wait_for(held, std::chrono::hours(1));
    });
    // Asleep in the wait (it sleeps nowhere else), not on its way there.
    auto asleep = [&] {
        const std::string stat = test_support::ReadWholeFile("/proc/self/task/" + std::to_string(id) + "/stat");
        const std::size_t name_end = stat.rfind(')');
        return name_end != std::string::npos && stat.compare(name_end, 4, ") S ") == 0;
    };
    while (id == 0 || !asleep()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    TDAPreStackItem stack;
    std::uintptr_t current = 0;
    const bool collected = CollectThreadStackItems(id, stack, current, std::chrono::seconds(60));
    {
        std::lock_guard guard(lock);
        stop = true;
    }
    wake.notify_all();
    waiter.join();
    ASSERT_TRUE(collected);
    TraceStackOptions options;
    options.prepared_stack = &stack;
    options.current_address = current;
    options.show_relative_lines = true;
    options.show_relative_addresses = true;
    const TraceStackResult result = TraceStack(options);
    // Each frame's rows against addr2line's chain at its address, in the
    // images that carry debug information.
    test_support::TempDir dir;
    std::size_t compared = 0, in_c_library = 0;
    for (std::size_t first = 0; first < result.trace.size();) {
        std::size_t end = first + 1;
        while (end < result.trace.size() && result.trace[end].inlined_caller) ++end;
        const TStackItem& frame = result.trace[first];
        ModuleInfo module;
        if (FindModuleOfAddr(frame.address, module) &&
            (module.base == c_library.base || module.file_name == "crashreport_tests")) {
            const std::vector<Chain> expected = Addr2line(module.path, {frame.address - module.load_bias}, dir.path());
            ASSERT_EQ(expected.size(), 1u);
            const std::vector<SourceLocation>& levels = expected[0].levels;
            EXPECT_EQ(levels.size(), end - first) << result.text;
            for (std::size_t k = 0; k < levels.size() && first + k < end; ++k) {
                const TStackItem& row = result.trace[first + k];
                EXPECT_EQ(row.routine_name, ShortRoutineName(levels[k].function)) << result.text;
                EXPECT_EQ(row.line, levels[k].line) << row.routine_name << "\n" << result.text;
            }
            ++compared;
            if (module.base == c_library.base) ++in_c_library;
        }
        for (std::size_t k = first; k < end; ++k)
            EXPECT_EQ(result.trace[k].routine_name.find('@'), std::string::npos) << result.text;
        first = end;
    }
    // The wait, the thread's start and its creation by clone.
    EXPECT_GE(in_c_library, 3u) << result.text;
    EXPECT_GT(compared, in_c_library) << result.text;
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
