// What a child wrote to its error stream becomes the reason a failure
// gives: one line of its own text, whatever the stream held.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/os/child_process.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    platform::ChildResult result;
    result.error.assign(reinterpret_cast<const char*>(data), size);
    const std::string reason = result.reason();
    if (reason.find_first_of("\r\n") != std::string::npos) __builtin_trap();
    // Every kept line costs at most its joining "; ".
    const auto lines = static_cast<std::size_t>(std::count(result.error.begin(), result.error.end(), '\n') +
                                                std::count(result.error.begin(), result.error.end(), '\r') + 1);
    if (reason.size() > size + 2 * lines) __builtin_trap();
    if (!reason.empty() && (reason.front() == ' ' || reason.back() == ' ')) __builtin_trap();
    return 0;
}
