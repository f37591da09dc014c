// What the modeless tool windows that run copies share. A copy runs in the
// window's own frame and lets the window's messages run while it works, so
// the window must hold its commands meanwhile, and a close asked for then
// must not free the window under the copy: the copy is stopped (the copy
// cancel flag, or the window's own) and the window closes once the copy has
// unwound.
#pragma once

#include <QWidget>

#include <functional>
#include <string>

class QStatusBar;

namespace tarnovell {

class ToolWindow : public QWidget {
    Q_OBJECT

public:
    // A window of its own (owned by `owner`, which may be null), named and
    // captioned; it deletes itself when closed, so create it with new.
    ToolWindow(QWidget* owner, const char* name, const QString& caption);

    // True while an operation runs.
    bool running() const { return running_; }

protected:
    // Runs `operation` with the commands held (SetCommandsEnabled(false)),
    // and closes the window afterwards when that was asked for meanwhile.
    // An exception is shown in a box as `failure_prefix` + its text.
    void Run(const std::function<void()>& operation, const std::string& failure_prefix = "");
    // Held while an operation runs; the window says which of its controls.
    virtual void SetCommandsEnabled(bool enabled) { (void)enabled; }
    // Asks the running operation to stop, as a close does: the copy cancel
    // flag, unless the window's operation stops on a flag of its own.
    virtual void StopRun();

    void closeEvent(QCloseEvent* event) override;
    // Comes to the front and takes the focus when shown.
    void showEvent(QShowEvent* event) override;
    // The window's WM_OPERATION status lines (kind 3) go to `bar`; the other
    // kinds change nothing here.
    void SetStatusBar(QStatusBar* bar) { status_bar_ = bar; }
    bool event(QEvent* event) override;

private:
    QStatusBar* status_bar_ = nullptr;
    bool running_ = false;
    bool close_when_done_ = false;
};

}  // namespace tarnovell
