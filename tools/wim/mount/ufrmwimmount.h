// "Mount": mounts an image of a WIM file into a folder and unmounts it. The
// image is mounted for reading only unless "Commit" is checked, which stages
// changes so that an unmount with "Commit" checked keeps them. The work runs
// in the window's thread.
#pragma once

#include <QWidget>

#include <string>

#include "main/dialogs/tool_services.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QStatusBar;

namespace tarnovell {

class Tfrmwimmount : public QWidget {
    Q_OBJECT

public:
    explicit Tfrmwimmount(ToolLink link = {}, QWidget* owner = nullptr);

    QLineEdit* txtsource = nullptr;
    QLineEdit* txttarget = nullptr;
    QCheckBox* chkcommit = nullptr;
    QPushButton* btn_ok = nullptr;
    QPushButton* btn_cancel = nullptr;
    QStatusBar* StatusBar1 = nullptr;

    void btn_okClick();
    void btn_cancelClick();

    // The index of the last image this window mounted; "1" until then.
    std::string index = "1";

private:
    void SetStatus(const std::string& text);
    ToolLink services_;
};

}  // namespace tarnovell
