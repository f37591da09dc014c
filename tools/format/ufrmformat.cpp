#include "tools/format/ufrmformat.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

#include "platform/base/interaction.h"
#include "platform/device/device_naming.h"

namespace tarnovell {

TfrmFormat::TfrmFormat(QWidget* owner) : RunLogWindow(owner, "Format") {
    setObjectName("frmFormat");
    setWindowFlag(Qt::WindowStaysOnTopHint);

    FileSystem = new QComboBox;
    FileSystem->setObjectName("FileSystem");
    FileSystem->addItems({"NTFS", "FAT", "FAT32", "exFAT", "UDF"});
    FileSystem->setCurrentIndex(0);
    OptQuickFmt = new QCheckBox("Quick");
    OptQuickFmt->setObjectName("OptQuickFmt");
    cmbclustersize = new QComboBox;
    cmbclustersize->setObjectName("cmbclustersize");
    cmbclustersize->setEditable(true);
    cmbclustersize->addItems(
        {"AUTO", "512", "1024", "2048", "4096", "8192", "16384", "32768", "65536", "131072", "262144"});
    cmbclustersize->setCurrentIndex(0);
    btn_format = new QPushButton("Format");
    btn_format->setObjectName("btn_format");
    connect(btn_format, &QPushButton::clicked, this, &TfrmFormat::btn_formatClick);

    auto* options = new QGridLayout;
    options->addWidget(FileSystem, 0, 0);
    options->addWidget(OptQuickFmt, 0, 1);
    auto* cluster_label = new QLabel("ClusterSize");
    cluster_label->setObjectName("lblclustersize");
    options->addWidget(cluster_label, 1, 0);
    options->addWidget(cmbclustersize, 1, 1);
    options->addWidget(btn_format, 0, 2, 2, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(options);
    layout->addWidget(ProgressBar);
    layout->addWidget(Log, 1);
    resize(460, 360);
}

int TfrmFormat::ClusterSize() const {
    const QString text = cmbclustersize->currentText().trimmed();
    if (text == "AUTO") return 0;
    bool ok = false;
    const int size = text.toInt(&ok);
    return ok ? size : 0;
}

int TfrmFormat::MediaKind() const {
    const QString letter = QString::fromStdString(VolumeLetter).toUpper();
    return !letter.isEmpty() && letter < "C" ? 1 : 0;
}

void TfrmFormat::btn_formatClick() {
    if (running()) return;
    Log->clear();
    FormatVolume();
}

void TfrmFormat::FormatVolume() {
    {
        // The question is this window's: asked over it, not behind it.
        QuestionOwner asking(this);
        if (!platform::AskAbout("Format " + VolumeLetter + "?",
                                platform::device::AboutDevices({platform::device::LetterVolumePath(VolumeLetter[0])})))
            return;
    }
    disk::TMagFmtChkDsk component;
    Attach(component);
    Run run(*this);
    btn_format->setEnabled(false);
    ProgressBar->setValue(0);
    LogLine("Starting Format Disk for " + Drive());
    try {
        if (!component.RunFormat(VolumeLetter + ":\\", MediaKind(), ClusterSize(), OptQuickFmt->isChecked(), "NONAME",
                                 FileSystem->currentIndex()))
            LogLine("Format Disk Failed");
        ProgressBar->setValue(0);
    } catch (const std::exception& e) {
        LogLine(QString("Error: ") + e.what());
    }
    btn_format->setEnabled(true);
    LogLine("");
}

}  // namespace tarnovell
