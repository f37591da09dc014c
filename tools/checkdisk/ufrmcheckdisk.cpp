#include "tools/checkdisk/ufrmcheckdisk.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

namespace tarnovell {

namespace {

QCheckBox* Option(const char* name, const QString& text) {
    auto* box = new QCheckBox(text);
    box->setObjectName(name);
    return box;
}

}  // namespace

Tfrmcheckdisk::Tfrmcheckdisk(QWidget* owner) : RunLogWindow(owner, "CheckDisk") {
    setObjectName("frmcheckdisk");
    doChkDsk = new QPushButton("Check Disk");
    doChkDsk->setObjectName("doChkDsk");
    connect(doChkDsk, &QPushButton::clicked, this, &Tfrmcheckdisk::doChkDskClick);
    doAbort = new QPushButton("Abort");
    doAbort->setObjectName("doAbort");
    connect(doAbort, &QPushButton::clicked, this, &Tfrmcheckdisk::doAbortClick);
    OptCorrectErrors = Option("OptCorrectErrors", "Correct Errors");
    OptScanDrive = Option("OptScanDrive", "Scan Drive");
    OptVerbose = Option("OptVerbose", "Verbose");
    OptVerbose->setVisible(false);
    OptCheckDirty = Option("OptCheckDirty", "Check if Dirty");
    OptCheckDirty->setVisible(false);

    auto* options = new QGridLayout;
    options->addWidget(OptCorrectErrors, 0, 0);
    options->addWidget(OptScanDrive, 1, 0);
    options->addWidget(OptVerbose, 0, 1);
    options->addWidget(OptCheckDirty, 1, 1);
    options->addWidget(doChkDsk, 0, 2);
    options->addWidget(doAbort, 1, 2);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(options);
    layout->addWidget(ProgressBar);
    layout->addWidget(Log, 1);
    resize(460, 360);
}

void Tfrmcheckdisk::doChkDskClick() {
    if (running()) return;
    disk::TMagFmtChkDsk component;
    Attach(component);
    Run run(*this);
    doChkDsk->setEnabled(false);
    ProgressBar->setValue(0);
    LogLine("Starting Check Disk for " + Drive());
    try {
        if (!component.RunCheck(VolumeLetter + ":\\", OptCorrectErrors->isChecked(), OptScanDrive->isChecked(),
                                OptCheckDirty->isChecked(), OptVerbose->isChecked()))
            LogLine("Check Disk Failed");
        ProgressBar->setValue(0);
        if (component.FileSysProblem) LogLine("!!! Check Disk Found Problems with " + Drive());
    } catch (const std::exception& e) {
        LogLine(QString("Error: ") + e.what());
    }
    doChkDsk->setEnabled(true);
    LogLine("");
}

void Tfrmcheckdisk::doAbortClick() {
    LogLine("Cancelled by User");
    SetAbort();
}

void Tfrmcheckdisk::doExitClick() {
    SetAbort();
    close();
}

}  // namespace tarnovell
