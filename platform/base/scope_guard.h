// Runs a piece of code when the scope it was made in ends, however it ends:
// for the one-off clean-ups that have no owning type of their own (a counter
// to put back, a callback to unregister, an errno to keep).
#pragma once

#include <utility>

namespace platform {

template <typename Action>
class ScopeGuard {
public:
    explicit ScopeGuard(Action action) : action_(std::move(action)) {}
    ~ScopeGuard() {
        if (armed_) action_();
    }
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;

    // The action will not run: what it would undo is to stay.
    void dismiss() { armed_ = false; }

private:
    Action action_;
    bool armed_ = true;
};

}  // namespace platform
