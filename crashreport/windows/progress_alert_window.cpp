#include "crashreport/windows/progress_alert_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>
#include <mutex>

#include "crashreport/windows/gui_thread.h"

namespace crashreport {

ProgressAlertWindow::ProgressAlertWindow(const QString& title) {
    setObjectName("prgrAlertWnd");
    setWindowTitle(title);
    setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(11, 12, 11, 12);
    label_ = new QLabel(this);
    label_->setObjectName("label");
    label_->setWordWrap(true);
    label_->setMinimumWidth(220);
    label_->setMaximumWidth(420);
    bar_ = new QProgressBar(this);
    bar_->setObjectName("bar");
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    layout->addWidget(label_);
    layout->addSpacing(8);
    layout->addWidget(bar_);
}

void ProgressAlertWindow::SetText(const QString& text) { label_->setText(text); }
void ProgressAlertWindow::SetBarValue(int value) { bar_->setValue(value); }

void ProgressAlertWindow::closeEvent(QCloseEvent* event) {
    if (closable_)
        event->accept();
    else
        event->ignore();
}

void ProgressAlertWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && !closable_) return;
    QDialog::keyPressEvent(event);
}

void ProgressAlertWindow::reject() {
    if (closable_) QDialog::reject();
}

namespace {

class TIProgressAlert final : public IProgressAlert, public std::enable_shared_from_this<TIProgressAlert> {
public:
    explicit TIProgressAlert(std::string title) : title_(std::move(title)) {}
    ~TIProgressAlert() override {
        QPointer<ProgressAlertWindow> window = window_;
        if (window) PostToGui([window] {
                if (window) {
                    window->AllowClose();
                    window->deleteLater();
                }
            });
    }

    std::string GetTitle() override {
        std::lock_guard guard(lock_);
        return title_;
    }
    void SetTitle(const std::string& title) override {
        {
            std::lock_guard guard(lock_);
            if (title_ == title) return;
            title_ = title;
        }
        Update();
    }
    int GetPosition() override {
        std::lock_guard guard(lock_);
        return areas_.position();
    }
    void SetPosition(int position) override {
        Change([&] { areas_.set_position(position); });
    }
    void AddArea(const std::string& text, std::int64_t weight) override {
        std::lock_guard guard(lock_);
        areas_.Add(text, weight);
    }
    void ClearAreas() override {
        std::lock_guard guard(lock_);
        areas_.Clear();
    }
    void AreaDone() override {
        Change([&] { areas_.Done(); });
    }
    int GetCurrentArea() override {
        std::lock_guard guard(lock_);
        return areas_.current();
    }
    void SetCurrentArea(int n) override {
        Change([&] { areas_.SetCurrent(n); });
    }
    void ProcessMessages() override {
        if (OnGuiThread()) QCoreApplication::processEvents();
    }
    bool Show(bool activate) override {
        {
            std::lock_guard guard(lock_);
            if (shown_) return false;
            shown_ = true;
            if (areas_.areas().empty()) areas_.Add("Please wait...", 1000);
        }
        auto self = shared_from_this();
        PostToGui([self, activate] { self->ShowOnGui(activate); });
        return true;
    }
    void Close() override {
        {
            std::lock_guard guard(lock_);
            shown_ = false;
        }
        QPointer<ProgressAlertWindow> window = window_;
        auto close = [window] {
            if (!window) return;
            window->AllowClose();
            window->hide();
        };
        if (OnGuiThread())
            close();
        else
            PostToGui(close);
    }

private:
    // Changes the areas under the lock, then shows the result.
    template <typename F>
    void Change(F change) {
        {
            std::lock_guard guard(lock_);
            change();
        }
        Update();
    }

    struct Snapshot {
        std::string title, text;
        int value = 0;
    };
    Snapshot Take() {
        std::lock_guard guard(lock_);
        return {title_, areas_.CurrentText(), areas_.BarValue()};
    }

    void ShowOnGui(bool activate) {
        {
            std::lock_guard guard(lock_);
            if (!shown_) return;
        }
        const Snapshot now = Take();
        if (!window_) window_ = new ProgressAlertWindow(QString::fromStdString(now.title));
        window_->SetText(QString::fromStdString(now.text));
        window_->SetBarValue(now.value);
        window_->adjustSize();
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            if (activate)
                window_->move(area.center() - window_->rect().center());
            else
                window_->move(area.right() - window_->width() - 2, area.bottom() - window_->height() - 2);
        }
        window_->setAttribute(Qt::WA_ShowWithoutActivating, !activate);
        window_->show();
        if (activate) {
            window_->raise();
            window_->activateWindow();
        }
    }

    void Update() {
        auto self = shared_from_this();
        auto apply = [self] {
            if (!self->window_) return;
            const Snapshot now = self->Take();
            self->window_->setWindowTitle(QString::fromStdString(now.title));
            self->window_->SetText(QString::fromStdString(now.text));
            self->window_->SetBarValue(now.value);
        };
        if (OnGuiThread()) {
            apply();
            QCoreApplication::processEvents();
        } else {
            PostToGui(apply);
        }
    }

    std::mutex lock_;
    std::string title_;
    ProgressAreas areas_;
    bool shown_ = false;
    QPointer<ProgressAlertWindow> window_;
};

}  // namespace

IProgressAlertRef CreateProgressAlertWindow(const std::string& title, const std::string& image) {
    (void)image;  // the reporter carries no pictures of its own
    return std::make_shared<TIProgressAlert>(title);
}

}  // namespace crashreport
