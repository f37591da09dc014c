// Ctrl-C and SIGTERM for a program that ends its work in order. The first
// SIGINT or SIGTERM sets the flags it was given: a long operation sees one
// at its next block and ends as a Cancel button would end it (its locks let
// go, what it unmounted mounted again, a half-written file removed). A
// second one ends the process at once, by that signal.
//
// At a question on the console the person is the one waited for: the first
// signal ends the wait too, the question takes the answer that writes
// nothing, and once the operation has let go of what it held the process
// ends by that signal (SignalAtQuestion, EndBySignal).
#pragma once

#include <atomic>
#include <initializer_list>
#include <string>

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

// Reads the line typed at the console (standard input) in answer to a
// question, a byte at a time so that nothing after it is taken from the
// next question. False when the input ended, or when, with the handlers
// installed, Ctrl-C or SIGTERM came (while it waited, or before): the
// question then takes the answer that writes nothing.
bool ReadAnswerLine(std::string& line);

// The signal that ended a question's wait (or came before one was put)
// since the handlers were last installed; 0 when none did.
int SignalAtQuestion();

// Ends the process by `signal` as if nobody handled it, what was written to
// the standard streams flushed first: its parent sees the signal, which a
// shell shows as 128 + its number.
[[noreturn]] void EndBySignal(int signal);

}  // namespace platform
