#include "main/dialogs/tool_window.h"

#include <QCloseEvent>
#include <QStatusBar>

#include <exception>

#include "disk/copy/copy_loop.h"
#include "main/dialogs/window_reporting.h"
#include "platform/base/interaction.h"

namespace tarnovell {

ToolWindow::ToolWindow(QWidget* owner, const char* name, const QString& caption) : QWidget(owner, Qt::Window) {
    setObjectName(name);
    setWindowTitle(caption);
    setAttribute(Qt::WA_DeleteOnClose);
}

void ToolWindow::Run(const std::function<void()>& operation, const std::string& failure_prefix) {
    if (running_) return;
    QuestionOwner asking(this);
    running_ = true;
    SetCommandsEnabled(false);
    try {
        operation();
    } catch (const std::exception& e) {
        platform::Say(failure_prefix + e.what());
    }
    running_ = false;
    SetCommandsEnabled(true);
    if (close_when_done_) close();
}

void ToolWindow::closeEvent(QCloseEvent* event) {
    if (running_) {
        close_when_done_ = true;
        StopRun();
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

void ToolWindow::StopRun() { disk::copy_cancel = true; }

bool ToolWindow::event(QEvent* event) {
    if (event->type() != OperationEvent::Kind()) return QWidget::event(event);
    const auto& message = *static_cast<OperationEvent*>(event);
    if (status_bar_ && message.channel == platform::WM_OPERATION &&
        message.kind == static_cast<int>(platform::OperationKind::Status))
        status_bar_->showMessage(MessageText(message));
    return true;
}

void ToolWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    raise();
    activateWindow();
}

}  // namespace tarnovell
