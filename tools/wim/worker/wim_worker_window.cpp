#include "tools/wim/worker/wim_worker_window.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "main/dialogs/window_reporting.h"
#include "platform/base/interaction.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

namespace {
constexpr int kPathFieldWidth = 340;
constexpr int kIndexFieldWidth = 60;
}  // namespace

void WimBox(const std::string& text) { platform::Say(text); }

bool RefuseMissingReference(const std::string& reference) {
    if (reference.empty() || platform::FileFactsOf(reference)) return false;
    WimBox("reference file does not exist");
    return true;
}

WimWorkerWindow::WimWorkerWindow(ToolLink link, QWidget* owner, const QString& caption, int channel)
    : QWidget(owner, Qt::Window), services_(std::move(link)), channel_(channel) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(caption);
    target_ = std::make_unique<PostingTarget>(this);
}

WimWorkerWindow::~WimWorkerWindow() = default;

QGridLayout* WimWorkerWindow::CreateForm(const QString& ok_caption) {
    auto* form = new QGridLayout;
    form->setColumnStretch(1, 1);

    btn_ok = new QPushButton(ok_caption);
    btn_ok->setObjectName("btn_ok");
    btn_ok->setDefault(true);
    btn_cancel = new QPushButton("Cancel");
    btn_cancel->setObjectName("btn_cancel");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btn_ok);
    buttons->addWidget(btn_cancel);

    pb_img = new QProgressBar;
    pb_img->setObjectName("pb_img");
    pb_img->setRange(0, 100);
    pb_img->setValue(0);
    bar_ = std::make_unique<BarProgress>(pb_img);

    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);

    auto* content = new QVBoxLayout;
    content->addLayout(form);
    content->addLayout(buttons);
    content->addWidget(pb_img);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* margins = new QWidget;
    margins->setLayout(content);
    layout->addWidget(margins);
    layout->addWidget(StatusBar1);
    return form;
}

QLineEdit* AddWimField(QWidget* window, QGridLayout* form, const QString& label, const char* name,
                       const char* browse_name, std::function<void()> browse) {
    const int row = form->count() == 0 ? 0 : form->rowCount();
    auto* edit = new QLineEdit;
    edit->setObjectName(name);
    edit->setMinimumWidth(kPathFieldWidth);
    auto* caption = new QLabel(label);
    caption->setBuddy(edit);
    form->addWidget(caption, row, 0);
    form->addWidget(edit, row, 1);
    if (browse_name) {
        auto* button = new QPushButton("...");
        button->setObjectName(browse_name);
        button->setFixedWidth(button->fontMetrics().horizontalAdvance("...") + 24);
        QObject::connect(button, &QPushButton::clicked, window, std::move(browse));
        form->addWidget(button, row, 2);
    }
    return edit;
}

QLineEdit* MakeWimIndexField(const char* name) {
    auto* edit = new QLineEdit("1");
    edit->setObjectName(name);
    edit->setFixedWidth(kIndexFieldWidth);
    return edit;
}

QLineEdit* AddWimIndexField(QGridLayout* form, const QString& label, const char* name) {
    const int row = form->count() == 0 ? 0 : form->rowCount();
    QLineEdit* edit = MakeWimIndexField(name);
    auto* caption = new QLabel(label);
    caption->setBuddy(edit);
    form->addWidget(caption, row, 0);
    form->addWidget(edit, row, 1, Qt::AlignLeft);
    return edit;
}

void WimWorkerWindow::Run(std::atomic<bool>& cancel,
                          const std::function<void(const disk::OperationContext&, platform::ProgressBar*)>& start) {
    if (running_) return;  // one worker at a time: a second OK does nothing
    running_ = true;
    run_cancel_ = &cancel;
    btn_ok->setEnabled(false);
    disk::OperationContext context;
    context.status = target_.get();
    context.channel = channel_;
    context.cancel = &cancel;
    try {
        start(context, bar_.get());
    } catch (const std::exception& e) {
        WimBox(e.what());
    }
    running_ = false;
    run_cancel_ = nullptr;
    btn_ok->setEnabled(true);
    emit RunEnded();
    // Asked to close while the worker ran: the window goes now, from the
    // event loop, once the handler that ran has returned.
    if (close_when_done_) QTimer::singleShot(0, this, &QWidget::close);
}

void WimWorkerWindow::WMWimStatus(const OperationEvent& message) {
    switch (message.kind) {
    case static_cast<int>(platform::OperationKind::Percent): pb_img->setValue(static_cast<int>(message.percent)); break;
    case static_cast<int>(platform::OperationKind::Message): WimBox(MessageText(message).toStdString()); break;
    case static_cast<int>(platform::OperationKind::Status): StatusBar1->showMessage(MessageText(message)); break;
    default: break;
    }
}

bool WimWorkerWindow::event(QEvent* event) {
    if (event->type() != OperationEvent::Kind()) return QWidget::event(event);
    const auto& message = *static_cast<OperationEvent*>(event);
    if (message.channel == channel_) WMWimStatus(message);
    return true;
}

void WimWorkerWindow::closeEvent(QCloseEvent* event) {
    if (running_) {
        run_cancel_->store(true);
        close_when_done_ = true;
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

}  // namespace tarnovell
