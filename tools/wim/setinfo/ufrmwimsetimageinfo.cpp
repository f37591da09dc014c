#include "tools/wim/setinfo/ufrmwimsetimageinfo.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "tools/wim/worker/wim_worker_window.h"

namespace tarnovell {

TfrmWimSetImageInfo::TfrmWimSetImageInfo(ToolLink link, QWidget* owner)
    : QDialog(owner), services_(std::move(link)) {
    setObjectName("frmWimSetImageInfo");
    setWindowTitle("WimSetImageInfo");
    auto* form = new QGridLayout;
    form->setColumnStretch(1, 1);
    txtattribute = AddWimField(this, form, "Attribute", "txtattribute");
    txtvalue = AddWimField(this, form, "Value", "txtvalue");
    txtindex = AddWimIndexField(form, "Index", "txtindex");
    txtwim = AddWimField(this, form, "Wim", "txtwim", "btn_wim", [this] {
        std::string file = txtwim->text().toStdString();
        if (services_.OpenDialog1(kWimFilter, file)) txtwim->setText(QString::fromStdString(file));
    });

    btn_ok = new QPushButton("OK");
    btn_ok->setObjectName("btn_ok");
    btn_ok->setDefault(true);
    btn_cancel = new QPushButton("Cancel");
    btn_cancel->setObjectName("btn_cancel");
    connect(btn_ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(btn_cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btn_ok);
    buttons->addWidget(btn_cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
}

void TfrmWimSetImageInfo::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    raise();
    activateWindow();
    txtattribute->setFocus();
}

}  // namespace tarnovell
