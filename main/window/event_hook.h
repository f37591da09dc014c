// An event filter that runs a function: how the Advanced tab's fields get
// their key filters, exit checks and double-click editors without a
// widget class of their own each.
#pragma once

#include <QEvent>
#include <QObject>

#include <functional>
#include <utility>

namespace tarnovell {

class EventHook : public QObject {
public:
    // `hook` answers true to swallow the event. The hook is owned by, and
    // installed on, `watched`.
    using Hook = std::function<bool(QEvent*)>;
    static void Install(QObject* watched, Hook hook) { watched->installEventFilter(new EventHook(watched, std::move(hook))); }

    bool eventFilter(QObject*, QEvent* event) override { return hook_(event); }

private:
    EventHook(QObject* parent, Hook hook) : QObject(parent), hook_(std::move(hook)) {}
    Hook hook_;
};

}  // namespace tarnovell
