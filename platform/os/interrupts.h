// Ctrl-C and SIGTERM for a program that ends its work in order. The first
// SIGINT or SIGTERM sets the flags it was given: a long operation sees one
// at its next block and ends as a Cancel button would end it (its locks let
// go, what it unmounted mounted again, a half-written file removed). A
// second one ends the process at once, by that signal.
#pragma once

#include <atomic>
#include <initializer_list>

namespace platform {

// Installs the handlers for its life and puts the earlier ones back when it
// goes. One at a time; the flags must outlive it.
class InterruptHandlers {
public:
    explicit InterruptHandlers(std::initializer_list<std::atomic<bool>*> flags);
    ~InterruptHandlers();
    InterruptHandlers(const InterruptHandlers&) = delete;
    InterruptHandlers& operator=(const InterruptHandlers&) = delete;
};

}  // namespace platform
