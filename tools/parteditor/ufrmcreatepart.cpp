#include "tools/parteditor/ufrmcreatepart.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "tools/parteditor/partition_rows.h"

namespace tarnovell {

Tfrmcreatepart::Tfrmcreatepart(QWidget* owner) : ParameterDialog(owner, "Create Partition") {
    setObjectName("frmcreatepart");
    lbloffset = MakeLabel("lbloffset", "Offset (bytes)");
    txtoffset = MakeEdit("txtoffset", "0");
    lblsize = MakeLabel("lblsize", "Size (MB)");
    txtsize = MakeEdit("txtsize", "0");
    lbltype = MakeLabel("lbltype", "Type");
    cmb_type = new QComboBox;
    cmb_type->setObjectName("cmb_type");
    cmb_type->setEditable(false);
    cmb_type->installEventFilter(this);
    cmb_type->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    chkboot = MakeCheck("chkboot", "Boot");

    auto* fields = new QGridLayout;
    fields->addWidget(lbloffset, 0, 0);
    fields->addWidget(txtoffset, 0, 1);
    fields->addWidget(lblsize, 1, 0);
    fields->addWidget(txtsize, 1, 1);
    fields->addWidget(lbltype, 2, 0);
    fields->addWidget(cmb_type, 2, 1);
    fields->addWidget(chkboot, 3, 1);
    fields->setColumnStretch(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addStretch(1);
    AddOkCancel(layout);
    setMinimumWidth(320);
}

void Tfrmcreatepart::SetTypes(const std::vector<std::string>& names, const std::string& selected) {
    cmb_type->clear();
    for (const std::string& name : names) cmb_type->addItem(QString::fromStdString(name));
    cmb_type->setCurrentIndex(cmb_type->findText(QString::fromStdString(selected)));
}

void Tfrmcreatepart::AskTypeOnly(const QString& caption) {
    setWindowTitle(caption);
    for (QWidget* w : {static_cast<QWidget*>(lbloffset), static_cast<QWidget*>(txtoffset),
                       static_cast<QWidget*>(lblsize), static_cast<QWidget*>(txtsize), static_cast<QWidget*>(chkboot)})
        w->hide();
}

std::string Tfrmcreatepart::type_name() const { return cmb_type->currentText().toStdString(); }

bool Tfrmcreatepart::boot() const { return chkboot->isChecked(); }

std::optional<std::int64_t> Tfrmcreatepart::offset() const { return ParseTypedNumber(txtoffset->text().toStdString()); }

std::optional<std::int64_t> Tfrmcreatepart::size_mb() const { return ParseTypedNumber(txtsize->text().toStdString()); }

bool Tfrmcreatepart::eventFilter(QObject* watched, QEvent* event) {
    // Typed characters only: the arrows still move through the list, and
    // Enter and Esc still answer the dialog.
    if (watched == cmb_type && event->type() == QEvent::KeyPress) {
        const QString text = static_cast<QKeyEvent*>(event)->text();
        if (!text.isEmpty() && text.at(0).isPrint()) return true;
    }
    return ParameterDialog::eventFilter(watched, event);
}

}  // namespace tarnovell
