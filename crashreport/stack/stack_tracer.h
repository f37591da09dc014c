// A thread's call stack as the bug report shows it: one line per frame with
// address, module, unit, line and routine, innermost first, columns aligned;
// the same as TStackItem entries; and two check values that stay the same
// for the same stack across runs, so repeated reports of one fault can be
// recognised.
//
// The return addresses come from unwinding (os/stack_capture.h); each is
// named through the debug information of its image, and repeated recursion
// is folded so that a deep recursion shows its cycle once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crashreport/os/stack_capture.h"

namespace crashreport {

struct TStackItem {
    std::uintptr_t address = 0;  // the call instruction (the exact address for the innermost item)
    std::uintptr_t offset = 0;   // from the routine's start; 0 when unknown
    std::string module_name;
    std::string unit_name;
    int line = 0;
    int relative_line = 0;
    std::string routine_name;
    // A routine the item before was inlined into: the place it was called
    // from (same address).
    bool inlined_caller = false;
};
using TStackTrace = std::vector<TStackItem>;

struct TraceStackOptions {
    bool hide_items_without_line = false;
    bool show_relative_addresses = false;
    bool show_relative_lines = false;
    bool do_not_add_top_item = false;
    const std::atomic<bool>* abort = nullptr;
    // Return addresses taken earlier (innermost first); none: the stack of
    // the calling thread from where TraceStack was called.
    const TDAPreStackItem* prepared_stack = nullptr;
    bool plain_trace = false;
    std::function<void(int thousandths)> progress;
    std::uintptr_t creator_address = 0;  // where the thread was created, shown last
    // The line shown above the creator's lines (">> created by ... at:").
    std::string creator_caption;
    bool processor_exception = false;
    bool is_exception = false;
    // Where the thread is (the exception address); 0 and not an exception:
    // the place TraceStack was called from.
    std::uintptr_t current_address = 0;
};

struct TraceStackResult {
    std::string text;
    std::vector<std::string> minimal_debug_infos;
    bool any_line = false;
    std::uint32_t check_value1 = 0;
    std::uint32_t check_value2 = 0;
    std::uintptr_t first_address = 0;
    std::uintptr_t first_routine_start = 0;
    std::uintptr_t top_address = 0;
    TStackTrace trace;
};

TraceStackResult TraceStack(const TraceStackOptions& options);
// One location line without padding: address, module, unit, line, routine;
// " ???" for an address without debug information.
std::string AddrToLocationText(std::uintptr_t address, bool show_relative_address, bool show_relative_line);
// ">> internal error in <stage>", with the location of the failing code when
// it is known.
std::string InternalErrorText(const std::string& stage, std::uintptr_t failure_address = 0);
// The place a thread was created from, out of the return addresses above
// its creating call: the first that is neither in the C and C++ run-time
// libraries nor in the program's own thread helpers. 0 when there is none.
std::uintptr_t ChooseCreatorAddress(const TDAPreStackItem& creation_stack);
// Folds immediately repeated runs of addresses (recursion) to one copy;
// true when anything was removed.
bool RemoveRecursiveAreas(std::vector<std::uintptr_t>& addresses);

}  // namespace crashreport
