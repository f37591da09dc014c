// The reporter's windows live on the application's thread; the handler
// thread, the report thread and the watchdog reach them through here.
#pragma once

#include <chrono>
#include <functional>

namespace crashreport {

bool OnGuiThread();
// Runs `call` on the application's thread and waits for it; false when
// that thread did not take it within `probe_timeout` (it is then dropped).
bool RunOnGui(const std::function<void()>& call,
              std::chrono::milliseconds probe_timeout = std::chrono::milliseconds::max());
// Queues `call` there without waiting.
void PostToGui(std::function<void()> call);

}  // namespace crashreport
