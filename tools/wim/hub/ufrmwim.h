// "WIM Image": the hub of the WIM windows. It shows the information of a WIM
// or ESD file and which imaging library is in use, marks an image bootable,
// sets a field of an image's information, and opens the capture, apply,
// export and mount windows, which it owns. It goes only once none of them
// runs a worker any more: closing it stops theirs first.
#pragma once

#include <QWidget>

#include "main/dialogs/tool_services.h"

class QPlainTextEdit;
class QPushButton;
class QStatusBar;

namespace tarnovell {

class Tfrmwim : public QWidget {
    Q_OBJECT

public:
    // The windows it opens use the services of the window that opened it.
    explicit Tfrmwim(ToolLink link = {}, QWidget* owner = nullptr);

    QPlainTextEdit* memo_wim = nullptr;
    QPushButton* btn_wiminfo = nullptr;
    QPushButton* btn_wimcapture = nullptr;
    QPushButton* btn_wimapply = nullptr;
    QPushButton* btn_wimexport = nullptr;
    QPushButton* btn_wimsetboot = nullptr;
    QPushButton* Button3 = nullptr;
    QPushButton* btn_wimmount = nullptr;
    QPushButton* btn_wimgapi_dll = nullptr;
    QStatusBar* StatusBar1 = nullptr;

    void btn_wiminfoClick();
    void btn_wimcaptureClick();
    void btn_wimapplyClick();
    void btn_wimexportClick();
    void btn_wimsetbootClick();
    void Button3Click();
    void btn_wimmountClick();
    void btn_wimgapi_dllClick();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // Shows a window this hub owns, modeless.
    void ShowOwned(QWidget* window);
    // The hub's own open dialog.
    bool OpenWim(const char* filter, std::string& file);
    ToolLink services_;
    bool close_when_idle_ = false;
};

}  // namespace tarnovell
