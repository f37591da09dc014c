#include "main/dialogs/window_reporting.h"

#include <QApplication>
#include <QCoreApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QProgressBar>
#include <QThread>

#include <algorithm>
#include <vector>

#include "platform/base/wide_text.h"

namespace tarnovell {

namespace {

// Runs `work` on the application's thread and waits for it.
template <typename Work>
void OnGuiThread(Work work) {
    if (QThread::currentThread() == qApp->thread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(qApp, work, Qt::BlockingQueuedConnection);
}

// The windows whose operations run now, the innermost last; touched on the
// window thread only.
std::vector<QPointer<QWidget>>& AskingWindows() {
    static std::vector<QPointer<QWidget>> windows;
    return windows;
}

}  // namespace

QuestionOwner::QuestionOwner(QWidget* window) : window_(window) { AskingWindows().push_back(window_); }

QuestionOwner::~QuestionOwner() {
    auto& windows = AskingWindows();
    // Its own entry, even if a nested one were left behind.
    auto mine = std::find(windows.rbegin(), windows.rend(), window_);
    if (mine != windows.rend()) windows.erase(std::next(mine).base());
}

QWidget* DialogInteraction::Owner() const {
    const auto& windows = AskingWindows();
    for (auto it = windows.rbegin(); it != windows.rend(); ++it)
        if (*it && (*it)->isVisible()) return *it;
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    if (QWidget* active = QApplication::activeWindow()) return active;
    return owner_;
}

QEvent::Type OperationEvent::Kind() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void PostingTarget::post(int channel, platform::OperationKind kind, std::int64_t percent, const std::string& text) {
    if (!receiver_) return;
    // A text that is not UTF-8 cannot be read as the program's text.
    std::optional<QString> readable;
    if (platform::IsValidUtf8(text)) readable = QString::fromStdString(text);
    QCoreApplication::postEvent(receiver_, new OperationEvent(channel, static_cast<int>(kind), percent, readable));
}

QString MessageText(const OperationEvent& event) {
    if (event.text) return *event.text;
    return event.kind == static_cast<int>(platform::OperationKind::Message) ? "Msg" : "Status";
}

void BarProgress::set_max(std::int64_t max) {
    if (bar_) bar_->setMaximum(static_cast<int>(std::min<std::int64_t>(max, INT32_MAX)));
}

void BarProgress::set_position(std::int64_t position) {
    if (bar_) bar_->setValue(static_cast<int>(std::min<std::int64_t>(position, bar_->maximum())));
}

bool DialogInteraction::confirm(const std::string& text, const std::string& caption) {
    bool yes = false;
    OnGuiThread([&] {
        yes = QMessageBox::question(Owner(), QString::fromStdString(caption), QString::fromStdString(text),
                                    QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    });
    return yes;
}

bool DialogInteraction::confirm_about(const std::string& text, const std::string& caption, const std::string& about) {
    if (about.empty()) return confirm(text, caption);
    bool yes = false;
    OnGuiThread([&] {
        QMessageBox box(QMessageBox::Question, QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::Yes | QMessageBox::No, Owner());
        box.setInformativeText(QString::fromStdString(about));
        yes = box.exec() == QMessageBox::Yes;
    });
    return yes;
}

void DialogInteraction::inform(const std::string& text, const std::string& caption) {
    OnGuiThread([&] {
        QMessageBox::information(Owner(), QString::fromStdString(caption), QString::fromStdString(text));
    });
}

std::optional<std::string> DialogInteraction::input_box(const std::string& caption, const std::string& prompt,
                                                        const std::string& initial) {
    std::optional<std::string> result;
    OnGuiThread([&] {
        bool ok = false;
        QString value = QInputDialog::getText(Owner(), QString::fromStdString(caption), QString::fromStdString(prompt),
                                              QLineEdit::Normal, QString::fromStdString(initial), &ok);
        if (ok) result = value.toStdString();
    });
    return result;
}

}  // namespace tarnovell
