// "WIM Capture": captures a folder or volume into a WIM or ESD file, with an
// optional reference file, the WIMBOOT flag and a compression, in a worker
// that reports on message 1126.
#pragma once

#include <atomic>
#include <string>

#include "tools/wim/worker/wim_worker_window.h"

class QCheckBox;
class QComboBox;

namespace tarnovell {

class Tfrmcapture : public WimWorkerWindow {
    Q_OBJECT

public:
    explicit Tfrmcapture(ToolLink link = {}, QWidget* owner = nullptr);

    QLineEdit* txtsource = nullptr;
    QLineEdit* txttarget = nullptr;
    QLineEdit* txtreference = nullptr;
    QCheckBox* chk_wimboot = nullptr;
    QComboBox* wim_compress = nullptr;

    void btn_okClick();
    void btn_cancelClick();
    void RunCapture(const std::string& source, const std::string& target, bool wimboot, const std::string& reference);

    // The capture's cancel flag: Cancel sets it, OK clears it.
    std::atomic<bool> cancel{false};
};

}  // namespace tarnovell
