#include "crashreport/stack/stack_tracer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "crashreport/os/system_facts.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport_test {

using crashreport::TraceStackOptions;
using crashreport::TraceStackResult;

__attribute__((noinline)) TraceStackResult TraceHere(int& line, const TraceStackOptions& options) {
    line = __LINE__; TraceStackResult result = crashreport::TraceStack(options);
    asm volatile("" ::: "memory");
    return result;
}

__attribute__((always_inline)) inline TraceStackResult TraceInline(const TraceStackOptions& options) {
    return crashreport::TraceStack(options);
}

__attribute__((noinline)) TraceStackResult Caller(int& line, int& call_line, const TraceStackOptions& options) {
    call_line = __LINE__; TraceStackResult result = TraceHere(line, options);
    asm volatile("" ::: "memory");
    return result;
}

__attribute__((noinline)) TraceStackResult RecurseB(int depth, const TraceStackOptions& options);

__attribute__((noinline)) TraceStackResult RecurseA(int depth, const TraceStackOptions& options) {
    if (depth == 0) return crashreport::TraceStack(options);
    TraceStackResult result = RecurseB(depth, options);
    asm volatile("" ::: "memory");
    return result;
}

__attribute__((noinline)) TraceStackResult RecurseB(int depth, const TraceStackOptions& options) {
    TraceStackResult result = RecurseA(depth - 1, options);
    asm volatile("" ::: "memory");
    return result;
}

}  // namespace crashreport_test

namespace crashreport {
namespace {

TEST(StackTracer, ALambdasRowNamesItsCallOperator) {
    // A routine inlined into a lambda: the row of the place it was inlined
    // at names the lambda's operator(), as the debug information does.
    TraceStackOptions options;
    auto trace = [&options]() __attribute__((noinline)) { return crashreport_test::TraceInline(options); };
    const TraceStackResult result = trace();
    ASSERT_GE(result.trace.size(), 2u) << result.text;
    EXPECT_EQ(result.trace[0].routine_name, "crashreport_test::TraceInline") << result.text;
    ASSERT_TRUE(result.trace[1].inlined_caller) << result.text;
    EXPECT_EQ(result.trace[1].routine_name, "operator()") << result.text;
}

TEST(StackTracer, NamesTheFunctionAndLineOfATraceTakenInsideIt) {
    int line = 0, call_line = 0;
    const TraceStackResult result = crashreport_test::Caller(line, call_line, {});
    ASSERT_GE(result.trace.size(), 3u) << result.text;
    const TStackItem& top = result.trace[0];
    EXPECT_EQ(top.routine_name, "crashreport_test::TraceHere") << result.text;
    EXPECT_EQ(top.unit_name, "stack_tracer_test.cpp");
    EXPECT_EQ(top.module_name, "crashreport_tests");
    EXPECT_EQ(top.line, line);
    const TStackItem& caller = result.trace[1];
    EXPECT_EQ(caller.routine_name, "crashreport_test::Caller") << result.text;
    EXPECT_EQ(caller.line, call_line);
    EXPECT_TRUE(result.any_line);
    EXPECT_EQ(result.first_address, top.address);
    EXPECT_EQ(result.first_routine_start, reinterpret_cast<std::uintptr_t>(&crashreport_test::TraceHere));

    // One line per item: the address first, the routine last.
    const std::string first_line = result.text.substr(0, result.text.find("\r\n"));
    EXPECT_EQ(first_line.substr(0, 16), Int64ToHexPadded(top.address, 16, '0').substr(1));
    EXPECT_NE(first_line.find(" crashreport_tests "), std::string::npos) << first_line;
    EXPECT_NE(first_line.find(" stack_tracer_test.cpp "), std::string::npos) << first_line;
    EXPECT_NE(first_line.find(" " + IntToText(line) + " "), std::string::npos) << first_line;
    EXPECT_EQ(first_line.substr(first_line.size() - 27), "crashreport_test::TraceHere");

}

TEST(StackTracer, TheSameStackGivesTheSameCheckValues) {
    std::vector<TraceStackResult> results;
    for (int i = 0; i < 2; ++i) {
        int line = 0, call_line = 0;
        results.push_back(crashreport_test::Caller(line, call_line, {}));
    }
    EXPECT_EQ(results[0].check_value1, results[1].check_value1);
    EXPECT_EQ(results[0].check_value2, results[1].check_value2);
    EXPECT_NE(results[0].check_value1, results[0].check_value2);
    // From another place the stack differs, and so does the second value.
    int line = 0, call_line = 0;
    const TraceStackResult elsewhere = crashreport_test::Caller(line, call_line, {});
    EXPECT_EQ(elsewhere.check_value1, results[0].check_value1);
    EXPECT_NE(elsewhere.check_value2, results[0].check_value2);
}

TEST(StackTracer, RelativeLinesAndAddressesCountFromTheRoutineStart) {
    TraceStackOptions options;
    options.show_relative_addresses = true;
    options.show_relative_lines = true;
    int line = 0, call_line = 0;
    const TraceStackResult result = crashreport_test::Caller(line, call_line, options);
    ASSERT_FALSE(result.trace.empty());
    const TStackItem& top = result.trace[0];
    EXPECT_EQ(top.offset, top.address - reinterpret_cast<std::uintptr_t>(&crashreport_test::TraceHere));
    EXPECT_GE(top.relative_line, 0);
    EXPECT_LE(top.relative_line, 2);
    const std::string first_line = result.text.substr(0, result.text.find("\r\n"));
    EXPECT_NE(first_line.find(" +"), std::string::npos) << first_line;
    EXPECT_NE(first_line.find("+" + IntToText(top.relative_line) + " "), std::string::npos) << first_line;
}

TEST(StackTracer, FoldsRepeatedRecursion) {
    TraceStackOptions options;
    options.hide_items_without_line = true;
    const TraceStackResult result = crashreport_test::RecurseA(10, options);
    const auto count = [&](const std::string& name) {
        return std::count_if(result.trace.begin(), result.trace.end(),
                             [&](const TStackItem& item) { return item.routine_name == name; });
    };
    // The innermost A is where the trace was taken; the ten calls of the
    // pair B, A below it stand once.
    EXPECT_EQ(count("crashreport_test::RecurseB"), 1) << result.text;
    EXPECT_EQ(count("crashreport_test::RecurseA"), 2) << result.text;

    std::vector<std::uintptr_t> addresses = {1, 2, 3, 2, 3, 2, 3, 2, 3, 4};
    EXPECT_TRUE(RemoveRecursiveAreas(addresses));
    EXPECT_EQ(addresses, (std::vector<std::uintptr_t>{1, 2, 3, 4}));
    std::vector<std::uintptr_t> plain = {1, 2, 3};
    EXPECT_FALSE(RemoveRecursiveAreas(plain));
}

TEST(StackTracer, TracesAPreparedStackOfAnotherThreadWithItsCreator) {
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> id{0};
    std::thread worker([&] {
        id = CurrentThreadId();
        while (!stop) std::this_thread::yield();
    });
    while (id == 0) std::this_thread::yield();
    TDAPreStackItem items;
    std::uintptr_t current = 0;
    const bool taken = CollectThreadStackItems(id, items, current);
    stop = true;
    worker.join();
    ASSERT_TRUE(taken);
    TraceStackOptions options;
    options.prepared_stack = &items;
    options.current_address = current;
    options.is_exception = true;
    options.creator_address = reinterpret_cast<std::uintptr_t>(&crashreport_test::Caller) + 4;
    const TraceStackResult result = TraceStack(options);
    ASSERT_GE(result.trace.size(), 2u);
    EXPECT_EQ(result.trace.front().address, current);
    EXPECT_EQ(result.trace.back().routine_name, "crashreport_test::Caller") << result.text;
    EXPECT_EQ(result.top_address, current);
}

TEST(StackTracer, LocationLines) {
    EXPECT_EQ(AddrToLocationText(0x10, false, false), "0000000000000010 ???");
    EXPECT_EQ(AddrToLocationText(0x10, true, false), "0000000000000010 +0 ???");
    const auto entry = reinterpret_cast<std::uintptr_t>(&crashreport_test::Caller);
    const std::string text = AddrToLocationText(entry + 4, true, false);
    EXPECT_NE(text.find(" +4 crashreport_tests stack_tracer_test.cpp "), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 24), "crashreport_test::Caller");
    EXPECT_EQ(InternalErrorText("FillFinalOutput"), ">> internal error in FillFinalOutput");
    EXPECT_EQ(InternalErrorText("x", 0x10), ">> internal error in x:\r\n0000000000000010 ???");
}

TEST(StackTracer, AnAbortLeavesAnEmptyResult) {
    std::atomic<bool> abort{true};
    TraceStackOptions options;
    options.abort = &abort;
    int line = 0, call_line = 0;
    const TraceStackResult result = crashreport_test::Caller(line, call_line, options);
    EXPECT_EQ(result.text, "");
    EXPECT_TRUE(result.trace.empty());
}

}  // namespace
}  // namespace crashreport
