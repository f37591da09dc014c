// Runs a clean-up when a scope ends, however it ends: the unlocks and
// hand-backs of a copy that must happen on failure and exceptions too.
#pragma once

#include <utility>

namespace disk {

template <typename F>
class AtScopeExit {
public:
    explicit AtScopeExit(F cleanup) : cleanup_(std::move(cleanup)) {}
    ~AtScopeExit() { cleanup_(); }
    AtScopeExit(const AtScopeExit&) = delete;
    AtScopeExit& operator=(const AtScopeExit&) = delete;

private:
    F cleanup_;
};

}  // namespace disk
