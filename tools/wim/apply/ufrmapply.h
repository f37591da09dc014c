// "WIM Apply": applies one image of a WIM or ESD file to a folder or volume,
// with an optional reference file and the WIMBOOT flag, in a worker that
// reports on message 1127. The images of the chosen file are listed to pick
// the index from.
#pragma once

#include <atomic>
#include <string>

#include "tools/wim/worker/wim_worker_window.h"

class QCheckBox;
class QComboBox;

namespace tarnovell {

class Tfrmapply : public WimWorkerWindow {
    Q_OBJECT

public:
    explicit Tfrmapply(ToolLink link = {}, QWidget* owner = nullptr);

    QLineEdit* txtsource = nullptr;
    QLineEdit* txttarget = nullptr;
    QLineEdit* txtIndex = nullptr;
    QLineEdit* txtreference = nullptr;
    QCheckBox* chk_wimboot = nullptr;
    // The images of the file in txtsource ("1 - name"); choosing one sets txtIndex.
    QComboBox* cmb_images = nullptr;

    void btn_okClick();
    void btn_cancelClick();
    void RunApply(const std::string& source, const std::string& target, bool wimboot, const std::string& reference,
                  int index);
    // Lists the images of the file in txtsource.
    void ListImages();

    // The apply's cancel flag: Cancel sets it, OK clears it.
    std::atomic<bool> cancel{false};

private:
    QString listed_;  // the file whose images cmb_images shows
};

}  // namespace tarnovell
