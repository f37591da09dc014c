#include "main/dialogs/dlg_backup.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QVBoxLayout>

namespace tarnovell {

namespace {

// The two lines both option dialogs open with.
void AddChooseOptions(QBoxLayout* layout) {
    layout->addWidget(MakeLabel("lblchoose", "Choose options"));
    layout->addWidget(MakeLabel("lbldefaults", "(leave defaults if you dont know)"));
}

}  // namespace

Tfrmbackup::Tfrmbackup(QWidget* owner) : ParameterDialog(owner, "Backup / Restore") {
    auto* layout = new QVBoxLayout(this);
    AddChooseOptions(layout);

    grp_format = MakeGroup("grp_format", "Format");
    auto* formats = new QHBoxLayout(grp_format);
    rbraw = MakeRadio("rbraw", "RAW", true);
    rbwim = MakeRadio("rbwim", "WIM");
    rbEWF = MakeRadio("rbEWF", "EWF");
    rbVHD = MakeRadio("rbVHD", "VHD");
    rblz4 = MakeRadio("rblz4", "LZ4");
    for (QRadioButton* radio : {rbraw, rbwim, rbEWF, rbVHD, rblz4}) formats->addWidget(radio);
    layout->addWidget(grp_format);

    grp_raw = MakeGroup("grp_raw", "RAW (MBR Disk only)");
    auto* raw = new QVBoxLayout(grp_raw);
    chk_unpartitioned = MakeCheck("chk_unpartitioned", "Skip non partitioned space");
    raw->addWidget(chk_unpartitioned);
    layout->addWidget(grp_raw);

    grp_wim = MakeGroup("grp_wim", "WIM (Part. only)");
    auto* wim = new QHBoxLayout(grp_wim);
    chk_wimboot = MakeCheck("chk_wimboot", "WIMBOOT");
    rb_xpress = MakeRadio("rb_xpress", "XPRESS");
    rb_lzx = MakeRadio("rb_lzx", "LZX");
    rb_lzms = MakeRadio("rb_lzms", "LZMS");
    wim->addWidget(chk_wimboot);
    for (QRadioButton* radio : {rb_xpress, rb_lzx, rb_lzms}) wim->addWidget(radio);
    grp_wim->setEnabled(false);
    layout->addWidget(grp_wim);

    AddOkCancel(layout);

    connect(rbraw, &QRadioButton::clicked, this, &Tfrmbackup::rbrawClick);
    connect(rbwim, &QRadioButton::clicked, this, &Tfrmbackup::rbwimClick);
    connect(rbEWF, &QRadioButton::clicked, this, &Tfrmbackup::rbEWFClick);
    connect(rbVHD, &QRadioButton::clicked, this, &Tfrmbackup::rbVHDClick);
    connect(rblz4, &QRadioButton::clicked, this, &Tfrmbackup::rblz4Click);
}

void Tfrmbackup::showEvent(QShowEvent* event) {
    ParameterDialog::showEvent(event);
    grp_wim->setEnabled(false);
}

void Tfrmbackup::rbrawClick() {
    grp_wim->setEnabled(false);
    chk_unpartitioned->setEnabled(true);
}

void Tfrmbackup::rbwimClick() {
    grp_wim->setEnabled(true);
    chk_unpartitioned->setEnabled(false);
}

void Tfrmbackup::rbEWFClick() {
    grp_wim->setEnabled(false);
    chk_unpartitioned->setEnabled(false);
}

void Tfrmbackup::rbVHDClick() {
    grp_wim->setEnabled(false);
    chk_unpartitioned->setEnabled(true);
}

void Tfrmbackup::rblz4Click() { grp_wim->setEnabled(false); }

int Tfrmbackup::format() const {
    int code = 0;
    if (rbVHD->isChecked())
        code = kFormatVhd;
    else if (rbEWF->isChecked())
        code = kFormatEwf;
    else if (rbwim->isChecked())
        code = kFormatWim;
    else if (rbraw->isChecked())
        code = kFormatRaw;
    if (rblz4->isChecked()) code = kFormatLz4;
    return code;
}

bool Tfrmbackup::skip_unpartitioned() const { return chk_unpartitioned->isChecked(); }

bool Tfrmbackup::wimboot() const { return chk_wimboot->isChecked(); }

int Tfrmbackup::compression() const {
    if (rb_lzms->isChecked()) return 3;
    if (rb_lzx->isChecked()) return 2;
    return 1;
}

TfrmDevio::TfrmDevio(QWidget* owner) : ParameterDialog(owner, "Network") {
    auto* layout = new QVBoxLayout(this);
    AddChooseOptions(layout);

    grp_host = MakeGroup("grp_host", "Remote Host");
    auto* host_layout = new QVBoxLayout(grp_host);
    txthost = MakeEdit("txthost", "127.0.0.1:9000");
    host_layout->addWidget(txthost);
    auto* modes = new QHBoxLayout;
    rbdevio = MakeRadio("rbdevio", "DevIO");
    rbNetcat = MakeRadio("rbNetcat", "Netcat", true);
    modes->addWidget(rbdevio);
    modes->addWidget(rbNetcat);
    host_layout->addLayout(modes);
    layout->addWidget(grp_host);

    grp_physical = MakeGroup("grp_physical", "Physical Only / MBR Only");
    auto* physical = new QVBoxLayout(grp_physical);
    chk_unpartitioned = MakeCheck("chk_unpartitioned", "Skip non partitioned space");
    physical->addWidget(chk_unpartitioned);
    layout->addWidget(grp_physical);

    AddOkCancel(layout);
}

std::string TfrmDevio::host() const { return txthost->text().toStdString(); }

bool TfrmDevio::netcat() const { return rbNetcat->isChecked(); }

bool TfrmDevio::skip_unpartitioned() const { return chk_unpartitioned->isChecked(); }

}  // namespace tarnovell
