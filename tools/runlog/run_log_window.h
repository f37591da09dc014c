// What the format and check-disk windows share: a tool window that runs one
// long operation at a time in the user-interface thread and shows its
// progress bar and log. The operation's events land here: they move the
// bar, add log lines, let the window repaint and Abort be clicked, and
// answer Cancel while the abort flag is set. Closing the window during a run
// stops the run first; the window goes once the run has ended.
#pragma once

#include <QDialog>

#include <string>

#include "disk/fmtchk/magfmtchkdsk.h"
#include "main/dialogs/window_reporting.h"

class QPlainTextEdit;
class QProgressBar;

namespace tarnovell {

class RunLogWindow : public QDialog {
    Q_OBJECT

public:
    RunLogWindow(QWidget* owner, const QString& caption);

    // The volume the window works on: its drive letter without a colon.
    std::string VolumeLetter;

    QPlainTextEdit* Log = nullptr;
    QProgressBar* ProgressBar = nullptr;

    bool running() const { return running_; }
    bool aborting() const { return abort_; }

protected:
    // Appends one line to the log.
    void LogLine(const QString& text);
    // The two events of the component, set up to report here.
    void Attach(disk::TMagFmtChkDsk& component);
    void OnProgress(int percent, bool& cancel);
    void OnInfo(const std::string& text, bool& cancel);

    // Marks a run as under way for as long as it lives; clears the abort
    // flag when it starts and closes the window at its end if a close was
    // asked for meanwhile. What the run asks is asked over the window.
    class Run {
    public:
        explicit Run(RunLogWindow& window);
        ~Run();
        Run(const Run&) = delete;
        Run& operator=(const Run&) = delete;

    private:
        RunLogWindow& window_;
        QuestionOwner asking_;
    };

    void SetAbort() { abort_ = true; }
    // The drive letter as the window shows it: upper case, with a colon.
    QString Drive() const;

    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    bool abort_ = false;
    bool running_ = false;
    bool close_when_done_ = false;
};

}  // namespace tarnovell
