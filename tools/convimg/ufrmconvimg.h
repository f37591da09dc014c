// "Create a VMDK File descriptor": a VMDK descriptor (and a VMX file) that
// points at an existing raw image, so that a virtual machine opens the
// image as it is. Modeless; it deletes itself when closed.
#pragma once

#include "main/dialogs/tool_window.h"

class QLineEdit;
class QPushButton;
class QStatusBar;

namespace tarnovell {

class Tfrmconvimg : public ToolWindow {
    Q_OBJECT

public:
    explicit Tfrmconvimg(QWidget* owner = nullptr);

    QLineEdit* txtimgfile = nullptr;
    QPushButton* Button3 = nullptr;  // "..."
    QPushButton* btn_make_vmdk = nullptr;
    QStatusBar* StatusBar1 = nullptr;

public slots:
    void Button3Click();
    void btn_make_vmdkClick();
};

}  // namespace tarnovell
