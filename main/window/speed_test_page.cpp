#include "main/window/speed_test_page.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <exception>

#include "main/dialogs/dialog_parts.h"
#include "main/dialogs/window_reporting.h"
#include "main/window/drive_combo.h"
#include "main/window/page_host.h"
#include "platform/base/interaction.h"

namespace tarnovell {

SpeedTestPage::SpeedTestPage(PageHost& host, QObject* parent) : QObject(parent), host_(host) {
    drive_speed = MakeDriveCombo("drive_speed");
    page_ = MakeSelectorPage("TabSheetSpeedTest", drive_speed, {});
    AddControls();
}

SpeedTestPage::~SpeedTestPage() = default;

void SpeedTestPage::RefillSelector() {
    RefillDriveCombo(
        drive_speed, 10, [this](const std::string& problem) { host_.ShowStatus(QString::fromStdString(problem)); }, {});
}

void SpeedTestPage::AddControls() {
    auto* sequential = new QGroupBox("Sequential");
    sequential->setObjectName("grp_sequential");
    auto* random = new QGroupBox("Random");
    random->setObjectName("grp_random");
    QPushButton* write_seq = MakeButton("btn_write_seq", "Write");
    QPushButton* read_seq = MakeButton("btn_read_seq", "Read");
    QPushButton* write_rnd = MakeButton("btn_write_rnd", "Write");
    QPushButton* read_rnd = MakeButton("btn_read_rnd", "Read");
    auto* sequential_row = new QHBoxLayout(sequential);
    sequential_row->addWidget(write_seq);
    sequential_row->addWidget(read_seq);
    auto* random_row = new QHBoxLayout(random);
    random_row->addWidget(write_rnd);
    random_row->addWidget(read_rnd);
    connect(write_seq, &QPushButton::clicked, this, &SpeedTestPage::btn_write_seqClick);
    connect(read_seq, &QPushButton::clicked, this, &SpeedTestPage::btn_read_seqClick);
    connect(write_rnd, &QPushButton::clicked, this, &SpeedTestPage::btn_write_rndClick);
    connect(read_rnd, &QPushButton::clicked, this, &SpeedTestPage::btn_read_rndClick);

    auto* buffer = new QGroupBox("BufferSize (read/write)");
    buffer->setObjectName("grp_buffersize");
    cb_buffer_size = new QComboBox;
    cb_buffer_size->setObjectName("cb_buffersize");
    cb_buffer_size->addItems({"4 kbytes", "64 kbytes", "512 kbytes", "1024 kbytes"});
    cb_buffer_size->setCurrentIndex(1);
    (new QVBoxLayout(buffer))->addWidget(cb_buffer_size);

    auto* flags = new QGroupBox("Flags (createfile)");
    flags->setObjectName("grp_flags");
    auto* flags_column = new QVBoxLayout(flags);
    grp_flags = new QButtonGroup(flags);
    const char* names[] = {"rb_none", "rb_write_through", "rb_no_buffering", "rb_sequential"};
    const char* captions[] = {"None", "Write_Through", "No_Buffering", "Sequential"};
    for (int i = 0; i < 4; ++i) {
        auto* radio = new QRadioButton(captions[i]);
        radio->setObjectName(names[i]);
        grp_flags->addButton(radio, i);
        flags_column->addWidget(radio);
    }
    grp_flags->button(0)->setChecked(true);

    pb_speed = new QProgressBar;
    pb_speed->setObjectName("pb_speed");
    pb_speed->setValue(0);
    speed_progress_ = std::make_unique<BarProgress>(pb_speed);
    QPushButton* cancel = MakeButton("btn_test_cancel", "Cancel");
    cancel->setProperty(kKeepsEnabled, true);
    connect(cancel, &QPushButton::clicked, this, &SpeedTestPage::btn_test_cancelClick);

    auto* grid = new QGridLayout;
    grid->addWidget(sequential, 0, 0);
    grid->addWidget(random, 0, 1);
    grid->addWidget(buffer, 1, 0);
    grid->addWidget(flags, 1, 1);
    auto* progress_row = new QHBoxLayout;
    progress_row->addWidget(pb_speed, 1);
    progress_row->addWidget(cancel);
    auto* layout = static_cast<QVBoxLayout*>(page_->layout());
    // Below the drive selector, above the stretch that closes the page.
    layout->insertLayout(1, grid);
    layout->insertLayout(2, progress_row);
}

void SpeedTestPage::RunSpeedTest(bool (*test)(const SpeedTestOptions&, const disk::OperationContext&)) {
    if (host_.busy()) return;
    PageHost::BusyScope busy(host_);
    SpeedTestOptions options;
    options.drive = drive_speed->currentText().toStdString();
    options.buffer_size = SpeedBufferSize(cb_buffer_size->currentIndex());
    options.flags = SpeedFlags(grp_flags->checkedId());
    try {
        test(options, host_.WindowContext(speed_progress_.get()));
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void SpeedTestPage::btn_write_seqClick() { RunSpeedTest(&SequentialWriteTest); }
void SpeedTestPage::btn_read_seqClick() { RunSpeedTest(&SequentialReadTest); }
void SpeedTestPage::btn_write_rndClick() { RunSpeedTest(&RandomWriteTest); }
void SpeedTestPage::btn_read_rndClick() { RunSpeedTest(&RandomReadTest); }
void SpeedTestPage::btn_test_cancelClick() { host_.state().cancel = true; }

}  // namespace tarnovell
