// The exception box: the message, up to seven buttons (send, save, print,
// show the report, continue, restart, close) as the settings ask for, an
// optional count-down that presses one of them, and, after "show", the
// report in tabs. Each button hands over to the exception's actions.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <array>

#include "crashreport/report/exception_info.h"

class QLabel;
class QPushButton;
class QTabWidget;
class QTimer;

namespace crashreport {

enum BoxButton { kBoxSend = 0, kBoxSave, kBoxPrint, kBoxShow, kBoxContinue, kBoxRestart, kBoxClose, kBoxButtonCount };

class TExceptionBox : public QDialog {
public:
    // mode 0 full box, 2 simple box with details, 3 without.
    TExceptionBox(IZEException exception, int mode, bool first);
    ~TExceptionBox() override;

    QPushButton* Button(BoxButton which) const { return buttons_[which]; }
    QPushButton* CountDownButton() const { return countdown_button_; }
    bool ReShowWanted() const { return reshow_; }
    QTabWidget* Tabs() const { return tabs_; }
    // Refreshes the tabs from the report as it stands.
    void SyncTabs();
    void Press(BoxButton which);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    void CloseRequest();
    void CountDownTick();

    IZEException exception_;
    int mode_;
    bool report_shown_;
    std::array<QPushButton*, kBoxButtonCount> buttons_{};
    QLabel* message_ = nullptr;
    QTabWidget* tabs_ = nullptr;
    QPushButton* countdown_button_ = nullptr;
    QTimer* countdown_ = nullptr;
    QElapsedTimer countdown_clock_;
    bool reshow_ = false;
    bool closing_ = false;
    int callback_id_ = 0;
};

// Creates the box and runs it; after "show" it is run again with the
// report open.
void RunExceptionBoxLoop(const IZEException& exception, int mode, bool first = true);

}  // namespace crashreport
