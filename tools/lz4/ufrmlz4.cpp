#include "tools/lz4/ufrmlz4.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include "disk/engines/copy_engine.h"
#include "main/dialogs/dialog_parts.h"
#include "main/dialogs/file_dialog.h"
#include "main/dialogs/window_reporting.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"

namespace tarnovell {

namespace {

bool HasLz4Extension(const std::string& name) {
    return name.size() >= 4 && platform::ToLower(name.substr(name.size() - 4)) == ".lz4";
}

std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }

}  // namespace

std::string Lz4DestinationFor(const std::string& source) {
    return HasLz4Extension(source) ? source.substr(0, source.size() - 4) : source + ".lz4";
}

Tfrmlz4::Tfrmlz4(QWidget* owner) : ToolWindow(owner, "frmlz4", "LZ4 Compressor") {
    txtsource = MakeEdit("txtsource");
    txtdestination = MakeEdit("txtdestination");
    btnfile = MakeButton("btnfile", "...");
    btnCompress = MakeButton("btnCompress", "Compress");
    Button1 = MakeButton("Button1", "Uncompress");
    btnExit = MakeButton("btnExit", "Exit");
    pb_img = new QProgressBar;
    pb_img->setObjectName("pb_img");
    pb_img->setValue(0);
    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    SetStatusBar(StatusBar1);

    auto* fields = new QGridLayout;
    fields->addWidget(MakeLabel("lblsource", "Source"), 0, 0);
    fields->addWidget(txtsource, 0, 1);
    fields->addWidget(btnfile, 0, 2);
    fields->addWidget(MakeLabel("lbldestination", "Destination"), 1, 0);
    fields->addWidget(txtdestination, 1, 1, 1, 2);
    fields->setColumnStretch(1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnCompress);
    buttons->addWidget(Button1);
    buttons->addStretch(1);
    buttons->addWidget(btnExit);
    auto* body = new QVBoxLayout;
    body->setContentsMargins(9, 9, 9, 0);
    body->addLayout(fields);
    body->addWidget(pb_img);
    body->addLayout(buttons);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(body);
    layout->addWidget(StatusBar1);
    resize(520, 170);

    connect(btnfile, &QPushButton::clicked, this, &Tfrmlz4::btnfileClick);
    connect(btnCompress, &QPushButton::clicked, this, &Tfrmlz4::btnCompressClick);
    connect(Button1, &QPushButton::clicked, this, &Tfrmlz4::Button1Click);
    connect(btnExit, &QPushButton::clicked, this, &QWidget::close);
}

void Tfrmlz4::SetCommandsEnabled(bool enabled) {
    for (QPushButton* button : {btnfile, btnCompress, Button1}) button->setEnabled(enabled);
}

void Tfrmlz4::btnfileClick() {
    std::string file;
    if (!RunFileDialog(this, "", "All Files (*.*)|*.*", true, file, "", "")) return;
    txtsource->setText(QString::fromStdString(file));
    txtdestination->setText(QString::fromStdString(Lz4DestinationFor(file)));
}

void Tfrmlz4::btnCompressClick() {
    const std::string source = Text(txtsource), destination = Text(txtdestination);
    if (!HasLz4Extension(destination)) return platform::Say("destination should have extension .lz4");
    Run([&] {
        BarProgress bar(pb_img);
        PostingTarget status(this);
        disk::BackupRaw(source, destination, &bar, 0, 0, true, &status);
    });
}

void Tfrmlz4::Button1Click() {
    const std::string source = Text(txtsource), destination = Text(txtdestination);
    if (!HasLz4Extension(source)) return platform::Say("destination should have extension .lz4");
    Run([&] {
        BarProgress bar(pb_img);
        PostingTarget status(this);
        disk::RestoreRaw(source, destination, &bar, 0, 0, true, &status);
    });
}

}  // namespace tarnovell
