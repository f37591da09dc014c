// What the WIM capture, apply and export windows share: a window that runs
// one worker at a time and takes the worker's WM_OPERATION messages on its
// own message number (1126, 1127, 1128): kind 1 moves its progress bar,
// kind 2 shows a box, kind 3 sets its status line.
//
// The worker reaches the window through the context the window hands it,
// never through a global, so two windows of one kind can run side by side.
// A window cannot go while its worker runs: closing it stops the worker
// first, and the window goes once the worker has ended.
#pragma once

#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "disk/copy/operation_context.h"
#include "main/dialogs/tool_services.h"
#include "main/operations/worker.h"

class QGridLayout;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;

namespace tarnovell {

class OperationEvent;
class PostingTarget;
class BarProgress;

class WimWorkerWindow : public QWidget {
    Q_OBJECT

public:
    // A window of its own over `owner`, freed when it closes, using the
    // services of the window that opened it.
    WimWorkerWindow(ToolLink link, QWidget* owner, const QString& caption, int channel);
    ~WimWorkerWindow() override;

    QProgressBar* pb_img = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QPushButton* btn_ok = nullptr;
    QPushButton* btn_cancel = nullptr;

    bool running() const { return running_; }
    // The handler of the window's message: what each kind does.
    void WMWimStatus(const OperationEvent& message);

signals:
    // A run has ended (and the window closes now when that was asked for).
    void RunEnded();

protected:
    // The program folder, file dialogs and cancel flag of the main window.
    const ToolLink& services() const { return services_; }
    // Builds the window: `fields` (a grid the subclass fills) above the OK and
    // Cancel buttons, the progress bar and the status bar.
    QGridLayout* CreateForm(const QString& ok_caption);
    // Runs `start` (a launcher that runs the worker and its wait loop) with
    // the context of this window: its status target on its message number
    // and `cancel`, which Cancel sets. OK is disabled meanwhile.
    void Run(std::atomic<bool>& cancel,
             const std::function<void(const disk::OperationContext&, platform::ProgressBar*)>& start);
    // The flag Cancel sets: the one of the run under way, else `idle`.
    std::atomic<bool>& CancelTarget(std::atomic<bool>& idle) { return run_cancel_ ? *run_cancel_ : idle; }

    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    ToolLink services_;
    int channel_;
    std::unique_ptr<PostingTarget> target_;
    std::unique_ptr<BarProgress> bar_;
    std::atomic<bool>* run_cancel_ = nullptr;
    bool running_ = false;
    bool close_when_done_ = false;
};

// The file filters of the WIM windows' dialogs.
inline constexpr const char* kWimFilter = "WIM File (*.wim)|*.wim";
inline constexpr const char* kWimOrEsdFilter = "WIM File (*.wim)|*.wim|ESD File (*.esd)|*.esd";

// Shows `text` in a box under the program's caption.
void WimBox(const std::string& text);
// A reference file named but not there is said; true when it is so and the
// run must not start.
bool RefuseMissingReference(const std::string& reference);

// One row of a WIM window's form: a label, a line edit and, when
// `browse_name` is given, a "..." button that runs `browse`.
QLineEdit* AddWimField(QWidget* window, QGridLayout* form, const QString& label, const char* name,
                       const char* browse_name = nullptr, std::function<void()> browse = {});
// A row for an image index: a short field that starts at "1".
QLineEdit* AddWimIndexField(QGridLayout* form, const QString& label, const char* name);
// An image index field on its own, for a row laid out otherwise.
QLineEdit* MakeWimIndexField(const char* name);

}  // namespace tarnovell
