#include "tools/runlog/run_log_window.h"

#include <QCloseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTimer>

#include "platform/base/progress.h"

namespace tarnovell {

RunLogWindow::RunLogWindow(QWidget* owner, const QString& caption) : QDialog(owner, Qt::Tool) {
    // Each window is made for one volume and freed when it closes.
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(caption);
    Log = new QPlainTextEdit;
    Log->setObjectName("Log");
    Log->setReadOnly(true);
    ProgressBar = new QProgressBar;
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
}

void RunLogWindow::LogLine(const QString& text) { Log->appendPlainText(text); }

QString RunLogWindow::Drive() const { return QString::fromStdString(VolumeLetter).toUpper() + ":"; }

void RunLogWindow::Attach(disk::TMagFmtChkDsk& component) {
    component.onProgressEvent = [this](int percent, bool& cancel) { OnProgress(percent, cancel); };
    component.onInfoEvent = [this](const std::string& text, bool& cancel) { OnInfo(text, cancel); };
}

void RunLogWindow::OnProgress(int percent, bool& cancel) {
    ProgressBar->setValue(percent);
    platform::pump();
    cancel = abort_;
}

void RunLogWindow::OnInfo(const std::string& text, bool& cancel) {
    LogLine(QString::fromStdString(text));
    platform::pump();
    cancel = abort_;
}

RunLogWindow::Run::Run(RunLogWindow& window) : window_(window), asking_(&window) {
    window_.abort_ = false;
    window_.running_ = true;
}

RunLogWindow::Run::~Run() {
    window_.running_ = false;
    // The window was asked to close while the run held it: it goes now,
    // from the event loop, once the handler that ran has returned.
    if (window_.close_when_done_) QTimer::singleShot(0, &window_, &QWidget::close);
}

void RunLogWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    raise();
    activateWindow();
}

void RunLogWindow::closeEvent(QCloseEvent* event) {
    if (running_) {
        abort_ = true;
        close_when_done_ = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void RunLogWindow::reject() {
    if (running_) {
        abort_ = true;
        close_when_done_ = true;
        return;
    }
    QDialog::reject();
}

}  // namespace tarnovell
