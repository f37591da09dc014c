// The small top-most window the reporter shows while it works and no
// window of the program can be used: one line of text, a bar, weighted
// work areas; it cannot be closed by the user.
#pragma once

#include <QDialog>
#include <QImage>
#include <string>

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
    // The window's picture from a bitmap resource: a 40-byte bitmap header
    // and 32 x 32 pixels of 32 bits with alpha, blended over the window's
    // colour. A resource of another size keeps the picture's place, empty.
    void SetImage(const std::string& bitmap);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void reject() override;

private:
    QLabel* image_;
    QLabel* label_;
    QProgressBar* bar_;
    bool closable_ = false;
};

// The 32 x 32 picture of a bitmap resource blended over `background`; a
// null image when the resource is not such a picture.
QImage AlertImage(const std::string& bitmap, const QColor& background);

// A progress alert usable from any thread (the window itself lives on the
// application's thread). `image` names its bitmap resource; while it shows,
// the window that was active is disabled.
IProgressAlertRef CreateProgressAlertWindow(const std::string& title, const std::string& image);

}  // namespace crashreport
