// The small top-most window the reporter shows while it works and no
// window of the program can be used: one line of text, a bar, weighted
// work areas; it cannot be closed by the user.
#pragma once

#include <QDialog>

#include "crashreport/settings/reporter_ui.h"

class QLabel;
class QProgressBar;

namespace crashreport {

class ProgressAlertWindow : public QDialog {
public:
    explicit ProgressAlertWindow(const QString& title);
    void SetText(const QString& text);
    void SetBarValue(int value);
    void AllowClose() { closable_ = true; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    QLabel* label_;
    QProgressBar* bar_;
    bool closable_ = false;
};

// A progress alert usable from any thread (the window itself lives on the
// application's thread).
IProgressAlertRef CreateProgressAlertWindow(const std::string& title, const std::string& image);

}  // namespace crashreport
