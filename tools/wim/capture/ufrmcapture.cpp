#include "tools/wim/capture/ufrmcapture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

#include "main/dialogs/file_dialog.h"
#include "main/operations/wim_commands.h"

namespace tarnovell {

Tfrmcapture::Tfrmcapture(ToolLink link, QWidget* owner)
    : WimWorkerWindow(std::move(link), owner, "WIM Capture", platform::WM_OPERATION_CAPTURE) {
    setObjectName("frmcapture");
    QGridLayout* form = CreateForm("OK");
    txtsource = AddWimField(this, form, "Source", "txtsource", "btn_source", [this] {
        std::string folder = txtsource->text().toStdString();
        if (RunFolderDialog(this, "Select a directory", folder, folder)) txtsource->setText(QString::fromStdString(folder));
    });
    txttarget = AddWimField(this, form, "Target WIM", "txttarget", "btn_target", [this] {
        std::string file = txttarget->text().toStdString();
        if (services().SaveDialog1(kWimOrEsdFilter, file)) txttarget->setText(QString::fromStdString(file));
    });
    txtreference = AddWimField(this, form, "Reference (optional)", "txtreference", "btn_reference", [this] {
        std::string file = txtreference->text().toStdString();
        if (services().SaveDialog1(kWimFilter, file)) txtreference->setText(QString::fromStdString(file));
    });

    chk_wimboot = new QCheckBox("WIMBOOT (Win8.1 U1 only)");
    chk_wimboot->setObjectName("chk_wimboot");
    wim_compress = new QComboBox;
    wim_compress->setObjectName("wim_compress");
    wim_compress->addItems({"WIM_COMPRESS_NONE", "WIM_COMPRESS_XPRESS", "WIM_COMPRESS_LZX", "WIM_COMPRESS_LZMS"});
    wim_compress->setCurrentIndex(1);
    auto* options = new QHBoxLayout;
    options->addWidget(chk_wimboot);
    options->addStretch(1);
    options->addWidget(wim_compress);
    form->addLayout(options, form->rowCount(), 1);

    connect(btn_ok, &QPushButton::clicked, this, &Tfrmcapture::btn_okClick);
    connect(btn_cancel, &QPushButton::clicked, this, &Tfrmcapture::btn_cancelClick);
}

void Tfrmcapture::btn_okClick() {
    if (running()) return;
    cancel = false;
    const std::string reference = txtreference->text().toStdString();
    if (RefuseMissingReference(reference)) return;
    RunCapture(txtsource->text().toStdString(), txttarget->text().toStdString(), chk_wimboot->isChecked(), reference);
}

void Tfrmcapture::btn_cancelClick() { CancelTarget(cancel) = true; }

void Tfrmcapture::RunCapture(const std::string& source, const std::string& target, bool wimboot,
                             const std::string& reference) {
    WimCaptureJob job;
    job.source = WimVolumeRoot(source);
    job.wim_file = target;
    job.reference = reference;
    job.wimboot = wimboot;
    job.compression = wim_compress->currentIndex();
    const std::string program_folder = services().ProgramFolder();
    Run(cancel, [&](const disk::OperationContext& context, platform::ProgressBar* bar) {
        StartWimCapture(job, program_folder, context, bar);
    });
}

}  // namespace tarnovell
