// The "Speed Test" page of the Advanced tab (TabSheetSpeedTest):
// sequential and random reads and writes of the chosen drive, with the
// buffer size and the open flags chosen on the page and its own bar. The
// page and its fields are the controller's.
#pragma once

#include <QObject>

#include <memory>

#include "disk/copy/operation_context.h"
#include "main/operations/speed_test.h"

class QButtonGroup;
class QComboBox;
class QProgressBar;
class QWidget;

namespace platform {
class ProgressBar;
}

namespace tarnovell {

class PageHost;

class SpeedTestPage : public QObject {
    Q_OBJECT

public:
    SpeedTestPage(PageHost& host, QObject* parent);
    ~SpeedTestPage() override;

    // The page for the Advanced tab.
    QWidget* page() const { return page_; }
    // Its drive selector (drive_speed) filled afresh.
    void RefillSelector();

    void btn_write_seqClick();
    void btn_read_seqClick();
    void btn_write_rndClick();
    void btn_read_rndClick();
    void btn_test_cancelClick();

private:
    void AddControls();
    void RunSpeedTest(bool (*test)(const SpeedTestOptions&, const disk::OperationContext&));

    PageHost& host_;
    QWidget* page_ = nullptr;
    QComboBox* drive_speed = nullptr;
    QProgressBar* pb_speed = nullptr;
    QComboBox* cb_buffer_size = nullptr;
    QButtonGroup* grp_flags = nullptr;
    std::unique_ptr<platform::ProgressBar> speed_progress_;
};

}  // namespace tarnovell
