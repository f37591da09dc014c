#include "platform/base/progress.h"

#include <mutex>

namespace platform {

namespace {
std::mutex pump_mutex;
std::function<void()>& PumpSlot() {
    static std::function<void()> slot;
    return slot;
}
}  // namespace

void pump() {
    std::function<void()> current;
    {
        std::lock_guard guard(pump_mutex);
        current = PumpSlot();
    }
    if (current) current();
}

void set_pump(std::function<void()> next) {
    std::lock_guard guard(pump_mutex);
    PumpSlot() = std::move(next);
}

}  // namespace platform
