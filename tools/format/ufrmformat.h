// "Format": formats the volume whose drive letter the main window put into
// VolumeLetter, with the file system, quick choice and cluster size chosen
// here, and shows the progress and the component's lines.
#pragma once

#include "tools/runlog/run_log_window.h"

class QCheckBox;
class QComboBox;
class QPushButton;

namespace tarnovell {

class TfrmFormat : public RunLogWindow {
    Q_OBJECT

public:
    explicit TfrmFormat(QWidget* owner = nullptr);

    QComboBox* FileSystem = nullptr;
    QCheckBox* OptQuickFmt = nullptr;
    QComboBox* cmbclustersize = nullptr;
    QPushButton* btn_format = nullptr;

    void btn_formatClick();
    void FormatVolume();

    // What the cluster-size field asks for: 0 for "AUTO" (or anything that
    // is no number), else the number.
    int ClusterSize() const;
    // 1 (removable) for A: and B:, 0 (fixed disk) for the rest.
    int MediaKind() const;
};

}  // namespace tarnovell
