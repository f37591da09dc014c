#include "tools/wim/export/ufrmwimexport.h"

#include <QLineEdit>
#include <QPushButton>

#include "main/operations/wim_commands.h"

namespace tarnovell {

Tfrmwimexport::Tfrmwimexport(ToolLink link, QWidget* owner)
    : WimWorkerWindow(std::move(link), owner, "Export", platform::WM_OPERATION_EXPORT) {
    setObjectName("frmwimexport");
    QGridLayout* form = CreateForm("Export");
    txtsource = AddWimField(this, form, "Source", "txtsource", "btn_source", [this] {
        std::string file = txtsource->text().toStdString();
        if (services().OpenDialog1(kWimOrEsdFilter, file)) txtsource->setText(QString::fromStdString(file));
    });
    txttarget = AddWimField(this, form, "Target", "txttarget", "btn_target", [this] {
        std::string file = txttarget->text().toStdString();
        if (services().SaveDialog1(kWimFilter, file)) txttarget->setText(QString::fromStdString(file));
    });
    txtIndex = AddWimIndexField(form, "Index", "txtIndex");

    connect(btn_ok, &QPushButton::clicked, this, &Tfrmwimexport::btn_okClick);
    connect(btn_cancel, &QPushButton::clicked, this, &Tfrmwimexport::btn_cancelClick);
}

void Tfrmwimexport::btn_okClick() {
    if (running()) return;
    std::atomic<bool>& cancel = services().CancelFlag(own_cancel_);
    cancel = false;
    const std::string index_text = txtIndex->text().toStdString();
    if (index_text.empty()) return;
    std::string problem;
    const std::optional<int> index = ParseImageIndex(index_text, problem);
    if (!index) return WimBox(problem);
    const WimExportJob job{txtsource->text().toStdString(), txttarget->text().toStdString(), *index};
    Run(cancel, [&job](const disk::OperationContext& context, platform::ProgressBar* bar) {
        StartWimExport(job, context, bar);
    });
}

void Tfrmwimexport::btn_cancelClick() { CancelTarget(services().CancelFlag(own_cancel_)) = true; }

}  // namespace tarnovell
