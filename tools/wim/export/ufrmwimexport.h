// "Export": adds one image of a WIM or ESD file to another WIM (made when it
// does not exist), in a worker that reports on message 1128. Its Cancel is
// the main window's: it also stops a WIM operation the main window runs.
#pragma once

#include <atomic>

#include "tools/wim/worker/wim_worker_window.h"

namespace tarnovell {

class Tfrmwimexport : public WimWorkerWindow {
    Q_OBJECT

public:
    explicit Tfrmwimexport(ToolLink link = {}, QWidget* owner = nullptr);

    QLineEdit* txtsource = nullptr;
    QLineEdit* txttarget = nullptr;
    QLineEdit* txtIndex = nullptr;

    void btn_okClick();
    void btn_cancelClick();

private:
    // Stands in for the main window's cancel flag when there is no main window.
    std::atomic<bool> own_cancel_{false};
};

}  // namespace tarnovell
