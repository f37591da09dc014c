#include "crashreport/windows/form_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "crashreport/qt/screenshot.h"
#include "crashreport/windows/gui_thread.h"

namespace crashreport {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

// A multi-line edit shows line feeds; the form's texts break lines with
// CR LF, as the report does.
QString WithLineFeeds(const std::string& text) { return QString::fromStdString(text).replace("\r\n", "\n"); }

std::string WithCrLf(const QString& text) { return QString(text).replace("\n", "\r\n").toStdString(); }
}  // namespace

FormWindow::FormWindow(TNVForm& form) : form_(form) {
    setObjectName(Q(form.name().empty() ? "zelNVAssistantWnd" : form.name()));
    setWindowTitle(Q(form.title()));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    BuildItems();
    form_.SetView(this);
}

FormWindow::~FormWindow() { form_.SetView(nullptr); }

void FormWindow::BuildItems() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(21, 8, 21, 9);
    auto* top = new QHBoxLayout;
    auto* message = new QLabel(Q(form_.message()), this);
    message->setObjectName("Message");
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    top->addWidget(message, 1);
    if (form_.page_count() > 1) {
        auto* pages = new QLabel(QString("%1 / %2").arg(form_.page_number()).arg(form_.page_count()), this);
        pages->setObjectName("PageIndicator");
        top->addWidget(pages);
    }
    layout->addLayout(top);
    layout->addSpacing(12);
    // The items stand at the engine's gaps and no others.
    auto* items = new QVBoxLayout;
    items->setSpacing(0);
    layout->addLayout(items);
    for (int i = 3; i < form_.ItemCount(); ++i) {
        TNVItem* item = form_.Item(i);
        QWidget* widget = nullptr;
        if (auto* button = dynamic_cast<TNVButton*>(item)) {
            auto* b = new QPushButton(Q(button->Caption()), this);
            b->setMinimumWidth(std::max(70, button->min_width()));
            b->setVisible(!button->invisible());
            connect(b, &QPushButton::clicked, this, [this, item] { form_.ReportAction(kFormItemAction, item); });
            widget = b;
        } else if (auto* label = dynamic_cast<TNVLabel*>(item)) {
            auto* l = new QLabel(Q(label->Caption()), this);
            l->setWordWrap(true);
            widget = l;
        } else if (auto* edit = dynamic_cast<TNVEdit*>(item)) {
            if (edit->lines() > 1) {
                auto* e = new QPlainTextEdit(WithLineFeeds(edit->text()), this);
                e->setFixedHeight(e->fontMetrics().height() * edit->lines() + 10);
                // Tab moves on, as in every other item; the text keeps the
                // report's line breaks (CR LF).
                e->setTabChangesFocus(true);
                connect(e, &QPlainTextEdit::textChanged, this, [this, e, edit] {
                    if (!finishing_) edit->SetText(WithCrLf(e->toPlainText()));
                });
                widget = e;
            } else {
                auto* e = new QLineEdit(Q(edit->text()), this);
                connect(e, &QLineEdit::textChanged, this, [this, edit](const QString& text) {
                    if (!finishing_) edit->SetText(S(text));
                });
                widget = e;
            }
        } else if (auto* check = dynamic_cast<TNVCheckBox*>(item)) {
            auto* c = new QCheckBox(Q(check->Caption()), this);
            c->setChecked(check->checked());
            connect(c, &QCheckBox::toggled, this, [this, check](bool on) {
                if (check->checked() == on) return;
                check->SetChecked(on);
                form_.ReportAction(kFormItemAction, check);
            });
            widget = c;
        } else if (auto* image = dynamic_cast<TNVImage*>(item)) {
            auto* l = new QLabel(this);
            l->setMinimumSize(image->width() > 0 ? image->width() : 32, image->height() > 0 ? image->height() : 32);
            l->setFrameShape(image->border() ? QFrame::Box : QFrame::NoFrame);
            if (image->clickable()) {
                l->setCursor(Qt::PointingHandCursor);
                l->installEventFilter(this);
            }
            if (!image->bitmap() && !image->file().empty())
                if (INVBitmapRef loaded = LoadBitmapFileAs(image->file())) image->SetBitmap(loaded);
            widget = l;
        }
        if (!widget) continue;
        widget->setObjectName(Q(item->name()));
        widgets_[item] = widget;
        Sync(*item);
        items->addWidget(widget);
        const int gap = form_.GapAfter(i);
        if (gap > 0) items->addSpacing(gap);
    }
    layout->addSpacing(33);
    auto* buttons = new QHBoxLayout;
    for (int i = 0; i < 3; ++i) {
        TNVButton* button = static_cast<TNVButton*>(form_.Item(i));
        auto* b = new QPushButton(Q(button->Caption()), this);
        b->setObjectName(Q(button->name()));
        b->setVisible(!button->invisible());
        b->setAutoDefault(false);
        const int result = i + 1;
        connect(b, &QPushButton::clicked, this, [this, button, result] {
            form_.ReportAction(kFormItemAction, button);
            MainButton(result);
        });
        widgets_[button] = b;
        if (i == 2) buttons->addStretch(1);
        buttons->addWidget(b);
        Sync(*button);
    }
    layout->addLayout(buttons);
    setMinimumWidth(std::max(315, form_.min_width()));
    if (form_.timer() > 0) {
        timer_ = new QTimer(this);
        timer_->setInterval(form_.timer());
        connect(timer_, &QTimer::timeout, this, [this] { form_.ReportAction(kFormItemAction, nullptr); });
    }
}

QWidget* FormWindow::WidgetOf(const std::string& item_name) const {
    for (const auto& [item, widget] : widgets_)
        if (item->name() == item_name) return widget;
    return nullptr;
}

void FormWindow::Sync(TNVItem& item) {
    const auto found = widgets_.find(&item);
    if (found == widgets_.end()) return;
    QWidget* widget = found->second;
    widget->setEnabled(item.EffectivelyEnabled());
    if (auto* edit = dynamic_cast<TNVEdit*>(&item)) {
        const QString text = Q(edit->text());
        if (auto* line = qobject_cast<QLineEdit*>(widget); line && line->text() != text) line->setText(text);
        if (auto* plain = qobject_cast<QPlainTextEdit*>(widget); plain && WithCrLf(plain->toPlainText()) != edit->text())
            plain->setPlainText(WithLineFeeds(edit->text()));
        const char* color = !edit->colored() ? "black" : edit->valid() ? "#008000" : "#800000";
        widget->setStyleSheet(QString("color: %1;").arg(color));
    } else if (auto* check = dynamic_cast<TNVCheckBox*>(&item)) {
        auto* box = qobject_cast<QCheckBox*>(widget);
        if (box->isChecked() != check->checked()) box->setChecked(check->checked());
        box->setText(Q(check->Caption()));
    } else if (auto* label = dynamic_cast<TNVLabel*>(&item)) {
        qobject_cast<QLabel*>(widget)->setText(Q(label->Caption()));
    } else if (auto* button = dynamic_cast<TNVButton*>(&item)) {
        qobject_cast<QPushButton*>(widget)->setText(Q(button->Caption()));
    } else if (auto* image = dynamic_cast<TNVImage*>(&item)) {
        auto* l = qobject_cast<QLabel*>(widget);
        if (INVBitmapRef bitmap = image->bitmap()) {
            const int max_width = 600, max_height = 300;
            QImage picture = ImageFromBitmap(*bitmap);
            if (picture.width() > max_width || picture.height() > max_height)
                picture = picture.scaled(max_width, max_height, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            l->setPixmap(QPixmap::fromImage(picture));
        }
    }
}

void FormWindow::ItemChanged(TNVItem& item) { Sync(item); }

void FormWindow::ContinueStateChanged() { Sync(*form_.ContinueBtn()); }

void FormWindow::MainButton(int result) {
    if (finishing_) return;
    finishing_ = true;
    if (timer_) timer_->stop();
    form_.Finish(result);
    done(result);
}

bool FormWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease && isEnabled())
        for (const auto& [item, widget] : widgets_)
            if (widget == watched) form_.ReportAction(kFormItemAction, item);
    return QDialog::eventFilter(watched, event);
}

void FormWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        if (form_.CancelBtn()->EffectivelyEnabled()) MainButton(kResultCancel);
        return;
    }
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        QWidget* focus = focusWidget();
        // Enter on a main button presses it and so ends the page.
        for (int i = 0; i < 3; ++i) {
            const auto found = widgets_.find(form_.Item(i));
            if (found == widgets_.end() || found->second != focus) continue;
            if (focus->isEnabled()) qobject_cast<QPushButton*>(focus)->click();
            return;
        }
        if (!qobject_cast<QPushButton*>(focus) && !qobject_cast<QPlainTextEdit*>(focus)) {
            focusNextChild();
            return;
        }
    }
    QDialog::keyPressEvent(event);
}

void FormWindow::closeEvent(QCloseEvent* event) {
    if (!finishing_) {
        finishing_ = true;
        if (timer_) timer_->stop();
        form_.Finish(kResultCancel);
        setResult(kResultCancel);
    }
    QDialog::closeEvent(event);
}

int FormWindow::RunModal() {
    if (timer_) timer_->start();
    QWidget* focus = WidgetOf(form_.active_control());
    if (!focus)
        for (int i = 3; i < form_.ItemCount() && !focus; ++i) {
            QWidget* candidate = WidgetOf(form_.Item(i)->name());
            if (candidate && candidate->isEnabled() && candidate->focusPolicy() != Qt::NoFocus) focus = candidate;
        }
    if (focus) focus->setFocus();
    const int result = exec();
    return form_.modal_result() != 0 ? form_.modal_result() : (result == 0 ? kResultCancel : result);
}

void InstallFormWindows() {
    SetFormPresenter([](TNVForm& form) {
        int result = kResultCancel;
        RunOnGui([&] {
            FormWindow window(form);
            result = window.RunModal();
        });
        return result;
    });
    SetBitmapFileLoader([](const std::filesystem::path& file) { return LoadBitmapFileAs(file); });
}

}  // namespace crashreport
