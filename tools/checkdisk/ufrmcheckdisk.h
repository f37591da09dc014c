// "CheckDisk": checks the file system of the volume whose drive letter the
// main window put into VolumeLetter, repairing it when asked, and shows the
// progress and the component's lines. Abort stops a check at its next line
// or progress step.
#pragma once

#include "tools/runlog/run_log_window.h"

class QCheckBox;
class QPushButton;

namespace tarnovell {

class Tfrmcheckdisk : public RunLogWindow {
    Q_OBJECT

public:
    explicit Tfrmcheckdisk(QWidget* owner = nullptr);

    QPushButton* doChkDsk = nullptr;
    QCheckBox* OptCorrectErrors = nullptr;
    QCheckBox* OptScanDrive = nullptr;
    QCheckBox* OptVerbose = nullptr;
    QCheckBox* OptCheckDirty = nullptr;
    QPushButton* doAbort = nullptr;

    void doChkDskClick();
    void doAbortClick();
    void doExitClick();
};

}  // namespace tarnovell
