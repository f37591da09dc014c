#include "crashreport/windows/gui_thread.h"

#include <QCoreApplication>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace crashreport {

bool OnGuiThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool RunOnGui(const std::function<void()>& call, std::chrono::milliseconds probe_timeout) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return false;
    if (OnGuiThread()) {
        call();
        return true;
    }
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        bool started = false, dropped = false, done = false;
    };
    auto state = std::make_shared<State>();
    QMetaObject::invokeMethod(
        app,
        [state, &call] {
            {
                std::lock_guard guard(state->lock);
                if (state->dropped) return;
                state->started = true;
            }
            state->changed.notify_all();
            call();
            std::lock_guard guard(state->lock);
            state->done = true;
            state->changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(state->lock);
    if (probe_timeout == std::chrono::milliseconds::max())
        state->changed.wait(lock, [&] { return state->started; });
    else if (!state->changed.wait_for(lock, probe_timeout, [&] { return state->started; })) {
        state->dropped = true;
        return false;
    }
    state->changed.wait(lock, [&] { return state->done; });
    return true;
}

void PostToGui(std::function<void()> call) {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(call), Qt::QueuedConnection);
}

}  // namespace crashreport
