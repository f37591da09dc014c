// Answering a modal dialog a window opens in the middle of a command: the
// answer waits (polling the event loop) for the first visible dialog of the
// type, lets the test look at it and fill it in, then accepts or rejects it.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <functional>
#include <memory>

namespace test_support {

template <class Dialog>
void AnswerNextDialog(std::function<void(Dialog&)> fill, bool accept = true) {
    auto tries = std::make_shared<int>(0);
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [fill, accept, tries, poll] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<Dialog*>(w); dialog && dialog->isVisible()) {
                if (fill) fill(*dialog);
                accept ? dialog->accept() : dialog->reject();
                *poll = nullptr;  // the function no longer holds itself
                return;
            }
        // A dialog that never comes leaves the test to fail on what it
        // expected, not to hang: give up after a few seconds.
        if (++*tries < 500) {
            QTimer::singleShot(10, *poll);
        } else {
            *poll = nullptr;
        }
    };
    QTimer::singleShot(0, *poll);
}

}  // namespace test_support
