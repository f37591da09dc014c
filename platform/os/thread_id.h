// The kernel's id of the calling thread, the one way the program asks it.
#pragma once

#include <cstdint>

namespace platform {

// One plain system call, no lock and no allocation: the crash reporter asks
// it from its signal handlers too.
std::uint64_t CurrentThreadId();

}  // namespace platform
