#include "crashreport/windows/progress_alert_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QHBoxLayout>
#include <QScreen>
#include <QVBoxLayout>
#include <mutex>
#include <utility>

#include "crashreport/os/system_facts.h"
#include "crashreport/windows/gui_thread.h"

namespace crashreport {

ProgressAlertWindow::ProgressAlertWindow(const QString& title) {
    setObjectName("prgrAlertWnd");
    setWindowTitle(title);
    setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(9, 9, 11, 12);
    auto* top = new QHBoxLayout;
    top->setSpacing(10);
    image_ = new QLabel(this);
    image_->setObjectName("image");
    image_->setFixedSize(32, 32);
    image_->hide();
    label_ = new QLabel(this);
    label_->setObjectName("label");
    label_->setWordWrap(true);
    label_->setMinimumWidth(220);
    label_->setMaximumWidth(420);
    top->addWidget(image_, 0, Qt::AlignTop);
    top->addWidget(label_, 1, Qt::AlignVCenter);
    bar_ = new QProgressBar(this);
    bar_->setObjectName("bar");
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addWidget(bar_);
}

void ProgressAlertWindow::SetText(const QString& text) { label_->setText(text); }
void ProgressAlertWindow::SetBarValue(int value) { bar_->setValue(value); }

void ProgressAlertWindow::SetImage(const std::string& bitmap) {
    image_->setVisible(!bitmap.empty());
    // Beside the picture the line stands at least as high as its middle.
    label_->setMinimumHeight(bitmap.empty() ? 0 : 26);
    const QImage picture = AlertImage(bitmap, palette().color(QPalette::Button));
    if (picture.isNull())
        image_->clear();
    else
        image_->setPixmap(QPixmap::fromImage(picture));
}

QImage AlertImage(const std::string& bitmap, const QColor& background) {
    constexpr int kSide = 32;
    constexpr std::size_t kHeader = 40;
    if (bitmap.size() != kHeader + 4 * kSide * kSide) return {};
    auto field = [&](std::size_t offset, std::size_t size) {
        std::int64_t value = 0;
        for (std::size_t i = size; i-- > 0;) value = value * 256 + static_cast<unsigned char>(bitmap[offset + i]);
        return value;
    };
    const std::int64_t width = field(4, 4), height = static_cast<std::int32_t>(field(8, 4)), bits = field(14, 2);
    if (width != kSide || (height != kSide && height != -kSide) || bits != 32) return {};
    QImage picture(kSide, kSide, QImage::Format_RGB32);
    const int back[3] = {background.blue(), background.green(), background.red()};
    for (int row = 0; row < kSide; ++row) {
        // Rows are stored from the bottom up unless the height says otherwise.
        const int stored = height > 0 ? kSide - 1 - row : row;
        for (int column = 0; column < kSide; ++column) {
            const std::size_t at = kHeader + 4 * static_cast<std::size_t>(stored * kSide + column);
            const int f = static_cast<unsigned char>(bitmap[at + 3]) + 1;
            int channel[3];
            for (int c = 0; c < 3; ++c)
                channel[c] = ((256 - f) * back[c] + f * static_cast<unsigned char>(bitmap[at + static_cast<std::size_t>(c)])) / 256;
            picture.setPixel(column, row, qRgb(channel[2], channel[1], channel[0]));
        }
    }
    return picture;
}

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
    TIProgressAlert(std::string title, std::string image) : title_(std::move(title)), image_(std::move(image)) {}
    ~TIProgressAlert() override {
        QPointer<ProgressAlertWindow> window = window_;
        QPointer<QWidget> parent = parent_;
        if (window) PostToGui([window, parent] {
                if (parent) parent->setEnabled(true);
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
        auto close = [this, window, self = shared_from_this()] {
            if (!window) return;
            window->AllowClose();
            window->hide();
            // The window it stood for can be used again.
            if (QPointer<QWidget> parent = std::exchange(parent_, nullptr)) {
                parent->setEnabled(true);
                parent->activateWindow();
            }
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
        if (!window_) {
            window_ = new ProgressAlertWindow(QString::fromStdString(now.title));
            if (!image_.empty()) window_->SetImage(LoadResourceText("BITMAP", image_));
        }
        // While it shows, the window it stands for takes no input.
        parent_ = ActiveWindowBesides(window_);
        if (parent_) parent_->setEnabled(false);
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

    // The application's active window, else its first visible one, that
    // is no progress alert; null when there is none.
    static QWidget* ActiveWindowBesides(const QWidget* alert) {
        auto usable = [alert](QWidget* widget) {
            return widget != nullptr && widget != alert && widget->isVisible() &&
                   !dynamic_cast<ProgressAlertWindow*>(widget);
        };
        if (QWidget* active = QApplication::activeWindow(); usable(active)) return active;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (usable(widget) && widget->isWindow()) return widget;
        return nullptr;
    }

    std::mutex lock_;
    std::string title_;
    const std::string image_;
    ProgressAreas areas_;
    bool shown_ = false;
    // Both live on the application's thread and are touched only there.
    QPointer<ProgressAlertWindow> window_;
    QPointer<QWidget> parent_;
};

}  // namespace

IProgressAlertRef CreateProgressAlertWindow(const std::string& title, const std::string& image) {
    return std::make_shared<TIProgressAlert>(title, image);
}

}  // namespace crashreport
