#include "tools/wim/apply/ufrmapply.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <exception>
#include "main/dialogs/file_dialog.h"
#include "main/operations/wim_commands.h"
#include "main/operations/wim_image_tools.h"

namespace tarnovell {

Tfrmapply::Tfrmapply(ToolLink link, QWidget* owner)
    : WimWorkerWindow(std::move(link), owner, "WIM Apply", platform::WM_OPERATION_APPLY) {
    setObjectName("frmapply");
    QGridLayout* form = CreateForm("OK");
    txtsource = AddWimField(this, form, "Source WIM", "txtsource", "btn_source", [this] {
        std::string file = txtsource->text().toStdString();
        if (!services().OpenDialog1(kWimOrEsdFilter, file)) return;
        txtsource->setText(QString::fromStdString(file));
        ListImages();
    });
    connect(txtsource, &QLineEdit::editingFinished, this, &Tfrmapply::ListImages);
    txttarget = AddWimField(this, form, "Target", "txttarget", "btn_target", [this] {
        std::string folder = txttarget->text().toStdString();
        if (RunFolderDialog(this, "Select a directory", folder, folder)) txttarget->setText(QString::fromStdString(folder));
    });

    // The index is typed, or taken from the list of the file's images.
    txtIndex = MakeWimIndexField("txtIndex");
    cmb_images = new QComboBox;
    cmb_images->setObjectName("cmb_images");
    cmb_images->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cmb_images->setMinimumContentsLength(20);
    cmb_images->setPlaceholderText("(choose the source WIM to list its images)");
    connect(cmb_images, &QComboBox::activated, this, [this](int row) {
        txtIndex->setText(QString::number(cmb_images->itemData(row).toInt()));
    });
    const int index_row = form->rowCount();
    auto* index_label = new QLabel("Image Index");
    index_label->setBuddy(txtIndex);
    auto* index_line = new QHBoxLayout;
    index_line->addWidget(txtIndex);
    index_line->addWidget(cmb_images, 1);
    form->addWidget(index_label, index_row, 0);
    form->addLayout(index_line, index_row, 1);

    txtreference = AddWimField(this, form, "Reference (optional)", "txtreference", "btn_reference", [this] {
        std::string file = txtreference->text().toStdString();
        if (services().OpenDialog1(kWimFilter, file)) txtreference->setText(QString::fromStdString(file));
    });
    chk_wimboot = new QCheckBox("WIMBOOT (Win8.1 U1 only)");
    chk_wimboot->setObjectName("chk_wimboot");
    form->addWidget(chk_wimboot, form->rowCount(), 1);

    connect(btn_ok, &QPushButton::clicked, this, &Tfrmapply::btn_okClick);
    connect(btn_cancel, &QPushButton::clicked, this, &Tfrmapply::btn_cancelClick);
}

void Tfrmapply::ListImages() {
    const QString file = txtsource->text();
    if (file == listed_) return;
    listed_ = file;
    cmb_images->clear();
    std::vector<WimImageEntry> images;
    try {
        if (!file.isEmpty()) images = WimImages(file.toStdString());
    } catch (const std::exception&) {
        // Without the library there is nothing to list; OK says why.
    }
    for (const WimImageEntry& image : images) {
        QString text = QString::number(image.index);
        if (!image.name.empty()) text += " - " + QString::fromStdString(image.name);
        cmb_images->addItem(text, image.index);
    }
    // The index typed so far stays chosen when the file has that image.
    const int typed = cmb_images->findData(txtIndex->text().toInt());
    cmb_images->setCurrentIndex(typed);
}

void Tfrmapply::btn_okClick() {
    if (running()) return;
    cancel = false;
    const std::string index_text = txtIndex->text().toStdString();
    if (index_text.empty()) return;
    const std::string reference = txtreference->text().toStdString();
    if (RefuseMissingReference(reference)) return;
    std::string problem;
    const std::optional<int> index = ParseImageIndex(index_text, problem);
    if (!index) return WimBox(problem);
    RunApply(txtsource->text().toStdString(), txttarget->text().toStdString(), chk_wimboot->isChecked(), reference,
             *index);
}

void Tfrmapply::btn_cancelClick() { CancelTarget(cancel) = true; }

void Tfrmapply::RunApply(const std::string& source, const std::string& target, bool wimboot,
                         const std::string& reference, int index) {
    const WimApplyJob job{source, WimVolumeRoot(target), reference, index, wimboot};
    Run(cancel, [&job](const disk::OperationContext& context, platform::ProgressBar* bar) {
        StartWimApply(job, context, bar);
    });
}

}  // namespace tarnovell
