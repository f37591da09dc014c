// Taking a thread's call stack: the return addresses on it, innermost first.
// The reporter does it in two steps, as it must while threads are stopped:
// this light pass only collects addresses; naming them comes later.
//
// Stacks are unwound by libunwind from the unwind tables every image
// carries, so each address found is a real return address.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace crashreport {

struct TPreStackItem {
    bool on_frame_chain = true;  // found by unwinding, not guessed from a stack slot
    std::uintptr_t return_address = 0;
};
using TDAPreStackItem = std::vector<TPreStackItem>;

// The most frames one stack is followed for.
inline constexpr std::size_t kMaxStackFrames = 256;

// The calling thread's return addresses; the first is the place in the
// caller where this function was called (when `skip` is 0).
std::size_t CollectStackItems(TDAPreStackItem& items, std::size_t skip = 0);
// From a signal handler's context (the third argument of an SA_SIGINFO
// handler): `current_address` gets the interrupted instruction, `items` the
// return addresses above it.
std::size_t CollectStackItemsFromContext(const void* signal_context, TDAPreStackItem& items,
                                         std::uintptr_t& current_address);
// The same without allocating, for a signal handler: at most `capacity`
// return addresses into `addresses`; the count.
std::size_t CollectStackAddressesFromContext(const void* signal_context, std::uintptr_t* addresses,
                                             std::size_t capacity, std::uintptr_t& current_address);
// Another thread of this process: interrupts it with a real-time signal for
// as long as its stack takes to unwind. False when it did not answer in time
// (gone, or the signal blocked).
bool CollectThreadStackItems(std::uint32_t thread_id, TDAPreStackItem& items, std::uintptr_t& current_address,
                             std::chrono::milliseconds timeout = std::chrono::milliseconds(1000));

}  // namespace crashreport
