// Every thread of the process, the program's own and those its libraries
// start (Qt's pool, the X connection's, D-Bus's), is created through
// pthread_create; the reporter stands in for it (as it does for
// __cxa_throw), so that it knows who created each thread and from where,
// and so that each thread has a signal stack of its own: a thread that runs
// out of stack is reported too, wherever it was started.
#pragma once

#include <cstdint>

#include "crashreport/os/stack_capture.h"

namespace crashreport {

// From now on new threads are noted (start-up turns it on).
void SetThreadCreationNoting(bool on);

// Who created `thread_id` and the return addresses above the creating
// call, innermost first; false for a thread created before noting began.
bool ThreadCreation(std::uint32_t thread_id, std::uint32_t& creator_thread_id, TDAPreStackItem& creation_stack);

}  // namespace crashreport
