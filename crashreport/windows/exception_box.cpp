#include "crashreport/windows/exception_box.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "crashreport/engine/crash_engine.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/report/handler_registry.h"
#include "crashreport/settings/text_variables.h"
#include "crashreport/text/string_toolkit.h"
#include "crashreport/windows/gui_thread.h"

namespace crashreport {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

const char* const kButtonNames[kBoxButtonCount] = {"SendBtn",     "SaveBtn",    "PrintBtn", "ShowBtn",
                                                   "ContinueBtn", "RestartBtn", "CloseBtn"};

// Every ". " from 10 characters before the end back to the 20th character
// starts a new line.
std::string BreakSentences(std::string message) {
    if (message.size() < 30) return message;
    for (std::size_t at = message.size() - 10; at >= 20; --at) {
        if (message.compare(at, 2, ". ") == 0) message.replace(at + 1, 1, "\r\n");
        if (at == 20) break;
    }
    return message;
}

}  // namespace

TExceptionBox::TExceptionBox(IZEException exception, int mode, bool first)
    : exception_(std::move(exception)), mode_(mode) {
    TIZEException& e = *exception_;
    const bool full = mode == 0;
    report_shown_ = full && e.AutoShowBugRep();
    setObjectName("zelExceptWndClass");
    Qt::WindowFlags flags = Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                            Qt::WindowCloseButtonHint;
    if (report_shown_) flags |= Qt::WindowMinMaxButtonsHint;
    setWindowFlags(flags);

    // The focused button: the automatic actions first, then the setting.
    int focused = e.FocusedBtn();
    bool automatic = false;
    if (CheckAutoAction(e.AutoClose()) && e.CloseBtnVis()) {
        focused = kBoxClose;
        automatic = true;
    } else if (CheckAutoAction(e.AutoRestart()) && e.RestartBtnVis()) {
        focused = kBoxRestart;
        automatic = true;
    } else if (e.AutoContinue() && e.ContinueBtnVis() && e.CanContinue()) {
        focused = kBoxContinue;
        automatic = true;
    }

    const std::string message = BreakSentences(e.ExceptionMessage());
    std::string text, caption;
    if (full) {
        text = e.type == ExceptionType::Frozen ? e.FrozenMsg() : e.ExceptMsg();
        caption = e.TitleBar();
    } else if (e.type == ExceptionType::Frozen) {
        text = e.FrozenMsg();
        caption = e.TitleBar();
    } else {
        text = message;
        caption = WideToUtf8Text(PathWithoutExtW(FileNameOfPathW(Utf8ToWideText(ExecutablePath()))));
    }
    ExpandSettingsVars(e.Module(), text, e.ExceptionClass(), "%bugReport%", message);
    setWindowTitle(Q(caption));

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(this);
    icon->setObjectName("IconBtn");
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(32, 32));
    top->addWidget(icon, 0, Qt::AlignTop);
    message_ = new QLabel(Q(text), this);
    message_->setObjectName("MessageLabel");
    message_->setWordWrap(true);
    message_->setMinimumWidth(300);
    top->addWidget(message_, 1);
    layout->addLayout(top);

    const bool visible[kBoxButtonCount] = {
        full && e.SendBtnVis(),  full && e.SaveBtnVis(),    full && e.PrintBtnVis(),
        (full || mode == 2) && e.ShowBtnVis() && !report_shown_,
        !full || e.ContinueBtnVis(), full && e.RestartBtnVis(), full && e.CloseBtnVis()};
    std::string texts[kBoxButtonCount] = {e.SendBtnTxt(),     e.SaveBtnTxt(),    e.PrintBtnTxt(), e.ShowBtnTxt(),
                                          e.ContinueBtnTxt(), e.RestartBtnTxt(), e.CloseBtnTxt()};
    if (!full) {
        texts[kBoxContinue] = e.OkBtnTxt();
        texts[kBoxShow] = e.DetailsBtnTxt();
    }
    auto* row = new QHBoxLayout;
    for (int i = 0; i < kBoxButtonCount; ++i) {
        auto* button = new QPushButton(Q(texts[i]), this);
        button->setObjectName(kButtonNames[i]);
        button->setVisible(visible[i]);
        button->setAutoDefault(false);
        button->setMinimumHeight(full ? (e.UglyBtns() ? 26 : 22) : 23);
        if (!full) button->setMinimumWidth(79);
        connect(button, &QPushButton::clicked, this, [this, i] { Press(static_cast<BoxButton>(i)); });
        buttons_[static_cast<std::size_t>(i)] = button;
        if (i == kBoxContinue) row->addStretch(1);
        row->addWidget(button);
    }
    if (!visible[kBoxSend] && !visible[kBoxSave] && !visible[kBoxPrint] && !visible[kBoxShow]) row->insertStretch(0, 1);
    // A program that cannot go on offers restart or close instead.
    if (!e.CanContinue() && (visible[kBoxRestart] || visible[kBoxClose])) buttons_[kBoxContinue]->setEnabled(false);
    layout->addLayout(row);

    if (report_shown_) {
        tabs_ = new QTabWidget(this);
        tabs_->setObjectName("ReportTabs");
        tabs_->setMinimumSize(664, 491);
        layout->addWidget(tabs_, 1);
        SyncTabs();
        QPointer<TExceptionBox> self(this);
        callback_id_ = e.RegisterReportCallback(
            [self](bool, const std::string&, TIZEException&) {
                PostToGui([self] {
                    if (self) self->SyncTabs();
                });
            },
            false);
    }
    if (focused >= 0 && focused < kBoxButtonCount && !buttons_[static_cast<std::size_t>(focused)]->isHidden() &&
        buttons_[static_cast<std::size_t>(focused)]->isEnabled()) {
        QPushButton* button = buttons_[static_cast<std::size_t>(focused)];
        button->setDefault(true);
        button->setFocus();
        if (full && automatic && first && !report_shown_ && e.AutoDelay() > 0) {
            countdown_button_ = button;
            countdown_ = new QTimer(this);
            countdown_->setInterval(10);
            connect(countdown_, &QTimer::timeout, this, [this] { CountDownTick(); });
            countdown_clock_.start();
            countdown_->start();
        }
    }
    if (!first) report_shown_ = true;
    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TExceptionBox::~TExceptionBox() {
    if (callback_id_) exception_->UnregisterReportCallback(callback_id_);
}

void TExceptionBox::CountDownTick() {
    if (!countdown_button_) return;
    const qint64 total = static_cast<qint64>(exception_->AutoDelay()) * 1000;
    const qint64 elapsed = countdown_clock_.elapsed();
    const int width = countdown_button_->width();
    const int position = total > 0 ? static_cast<int>(elapsed * width / total) : 0;
    countdown_button_->setStyleSheet(
        QString("QPushButton { background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #c0d8ff, stop:%1 #c0d8ff, "
                "stop:%2 palette(button), stop:1 palette(button)); }")
            .arg(std::min(1.0, double(position) / std::max(1, width)))
            .arg(std::min(1.0, double(position + 1) / std::max(1, width))));
    if (position > width) {
        countdown_->stop();
        QPushButton* button = std::exchange(countdown_button_, nullptr);
        button->click();
    }
}

void TExceptionBox::SyncTabs() {
    if (!tabs_) return;
    // In the crash box the report comes as text, not as lists.
    std::vector<std::pair<std::string, std::string>> header, sections;
    exception_->ReportItems(header, sections);
    std::vector<std::pair<QString, QString>> wanted;
    QString general;
    QString longest_name;
    for (const auto& [name, value] : header) {
        general += Q(name) + "\t" + Q(value) + "\n";
        if (Q(name).size() > longest_name.size()) longest_name = Q(name);
    }
    wanted.emplace_back("general", general);
    QString stacks;
    bool any_thread = false;
    for (const auto& [title, text] : sections) {
        if (title.find('$') == std::string::npos) continue;
        if (!stacks.isEmpty()) stacks += "\r\n\r\n";
        stacks += ">> " + Q(title) + "\r\n" + Q(text);
        any_thread = true;
    }
    if (any_thread) wanted.emplace_back(sections.size() > 1 && sections[1].first.find('$') != std::string::npos
                                            ? "call stacks"
                                            : "call stack",
                                        stacks);
    for (const auto& [title, text] : sections) {
        if (title.find('$') != std::string::npos) continue;
        const QString name = title == "cpu registers" ? "cpu regs" : title == "disassembling" ? "disasm" : Q(title);
        wanted.emplace_back(name, Q(text));
    }
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        QPlainTextEdit* view = nullptr;
        if (static_cast<int>(i) < tabs_->count() && tabs_->tabText(static_cast<int>(i)) == wanted[i].first) {
            view = qobject_cast<QPlainTextEdit*>(tabs_->widget(static_cast<int>(i)));
        } else {
            view = new QPlainTextEdit;
            view->setReadOnly(true);
            view->setLineWrapMode(QPlainTextEdit::NoWrap);
            view->setFont(fixed);
            view->setObjectName(wanted[i].first);
            tabs_->insertTab(static_cast<int>(i), view, wanted[i].first);
        }
        // The values stand in one column, past the longest name.
        if (view && wanted[i].first == "general")
            view->setTabStopDistance(QFontMetricsF(view->font()).horizontalAdvance(longest_name + "  "));
        if (view && view->toPlainText() != QString(wanted[i].second).replace("\r\n", "\n"))
            view->setPlainText(QString(wanted[i].second).replace("\r\n", "\n"));
    }
    while (tabs_->count() > static_cast<int>(wanted.size())) {
        QWidget* extra = tabs_->widget(tabs_->count() - 1);
        tabs_->removeTab(tabs_->count() - 1);
        delete extra;
    }
}

void TExceptionBox::Press(BoxButton which) {
    if (countdown_) countdown_->stop();
    if (countdown_button_) countdown_button_->setStyleSheet({});
    countdown_button_ = nullptr;
    TIZEException& e = *exception_;
    switch (which) {
        case kBoxShow:
            FireHandlersSynced(HandlerEvent::Action, kActionShow, e);
            reshow_ = true;
            closing_ = true;
            accept();
            break;
        case kBoxClose:
            closing_ = true;
            accept();
            CloseProgram(e);
        case kBoxContinue:
            closing_ = true;
            if (e.CanContinue()) ContinueProgram(e);
            accept();
            if (!e.CanContinue()) CloseProgram(e);
            break;
        case kBoxRestart:
            closing_ = true;
            accept();
            RestartProgram(e);
        case kBoxSend:
            e.SendReport();
            break;
        case kBoxSave:
            e.SaveReport();
            break;
        case kBoxPrint:
            e.PrintReport();
            break;
        default:
            break;
    }
}

void TExceptionBox::CloseRequest() {
    TIZEException& e = *exception_;
    switch (e.FocusedBtn()) {
        case kBoxContinue: Press(kBoxContinue); return;
        case kBoxRestart: Press(kBoxRestart); return;
        case kBoxClose: Press(kBoxClose); return;
        default: break;
    }
    auto shown = [&](BoxButton b) { return !buttons_[b]->isHidden(); };
    if (shown(kBoxContinue) && buttons_[kBoxContinue]->isEnabled() && e.CanContinue())
        Press(kBoxContinue);
    else if (shown(kBoxClose))
        Press(kBoxClose);
    else if (shown(kBoxRestart))
        Press(kBoxRestart);
    else
        Press(kBoxClose);
}

void TExceptionBox::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F1) {
        FireHandlersSynced(HandlerEvent::Action, kActionHelp, *exception_);
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        const std::string text = report_shown_ ? exception_->GetReportText(false) : exception_->ExceptionMessage();
        if (QClipboard* clipboard = QGuiApplication::clipboard()) clipboard->setText(Q(text));
        return;
    }
    QDialog::keyPressEvent(event);
}

void TExceptionBox::reject() {
    if (!closing_) CloseRequest();
}

void TExceptionBox::closeEvent(QCloseEvent* event) {
    if (!closing_) {
        event->ignore();
        CloseRequest();
        return;
    }
    QDialog::closeEvent(event);
}

void RunExceptionBoxLoop(const IZEException& exception, int mode, bool first) {
    SetFreezeCheckPaused(true);
    bool reshow = false;
    {
        TExceptionBox box(exception, mode, first);
        if (first) QApplication::beep();
        box.show();
        box.raise();
        box.activateWindow();
        box.exec();
        reshow = box.ReShowWanted();
    }
    SetFreezeCheckPaused(false);
    if ((mode == 0 || mode == 2) && reshow) {
        exception->SetAutoShowBugRep(true);
        exception->SetAutoContinue(false);
        exception->SetAutoRestart(0);
        exception->SetAutoClose(0);
        RunExceptionBoxLoop(exception, 0, false);
    }
}

}  // namespace crashreport
