#include "tools/wim/mount/ufrmwimmount.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include <exception>

#include "main/operations/wim_commands.h"
#include "main/operations/wim_image_tools.h"
#include "main/dialogs/file_dialog.h"
#include "platform/base/interaction.h"
#include "tools/wim/worker/wim_worker_window.h"

namespace tarnovell {

Tfrmwimmount::Tfrmwimmount(ToolLink link, QWidget* owner)
    : QWidget(owner, Qt::Window), services_(std::move(link)) {
    setObjectName("frmwimmount");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Mount");

    auto* form = new QGridLayout;
    form->setColumnStretch(1, 1);
    txtsource = AddWimField(this, form, "Source", "txtsource", "btn_source", [this] {
        std::string file = txtsource->text().toStdString();
        if (services_.OpenDialog1(kWimFilter, file)) txtsource->setText(QString::fromStdString(file));
    });
    txttarget = AddWimField(this, form, "Target", "txttarget", "btn_target", [this] {
        std::string folder = txttarget->text().toStdString();
        if (RunFolderDialog(this, "Select a directory", folder, folder)) txttarget->setText(QString::fromStdString(folder));
    });
    chkcommit = new QCheckBox("Commit");
    chkcommit->setObjectName("chkcommit");
    form->addWidget(chkcommit, form->rowCount(), 1);

    btn_ok = new QPushButton("Mount");
    btn_ok->setObjectName("btn_ok");
    btn_ok->setDefault(true);
    btn_cancel = new QPushButton("UnMount");
    btn_cancel->setObjectName("btn_cancel");
    connect(btn_ok, &QPushButton::clicked, this, &Tfrmwimmount::btn_okClick);
    connect(btn_cancel, &QPushButton::clicked, this, &Tfrmwimmount::btn_cancelClick);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(btn_ok);
    buttons->addWidget(btn_cancel);

    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);

    auto* content = new QVBoxLayout;
    content->addLayout(form);
    content->addLayout(buttons);
    auto* margins = new QWidget;
    margins->setLayout(content);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(margins);
    layout->addWidget(StatusBar1);
}

void Tfrmwimmount::SetStatus(const std::string& text) {
    StatusBar1->showMessage(QString::fromStdString(text));
    // The mount runs in this thread: the status is painted before it starts
    // (without letting other events in, which could close the window).
    StatusBar1->repaint();
}

void Tfrmwimmount::btn_okClick() {
    std::optional<std::string> typed = platform::AskText("Enter Index of WIM Image", "1");
    if (!typed || typed->empty()) return;
    std::string problem;
    const std::optional<int> image = ParseImageIndex(*typed, problem);
    if (!image) return WimBox(problem);
    index = *typed;
    try {
        SetStatus("WIMMountImage in progress...");
        const WimCommandResult result = MountWimImage(txttarget->text().toStdString(),
                                                      txtsource->text().toStdString(), *image, chkcommit->isChecked());
        if (!result.attempted) {
            SetStatus("");
            return WimBox(result.text);
        }
        SetStatus(result.text);
    } catch (const std::exception& e) {
        WimBox(e.what());
    }
}

void Tfrmwimmount::btn_cancelClick() {
    std::string problem;
    const std::optional<int> image = ParseImageIndex(index, problem);
    try {
        SetStatus("WIMUnMountImage in progress...");
        SetStatus(UnmountWimImage(txttarget->text().toStdString(), txtsource->text().toStdString(), image.value_or(1),
                                  chkcommit->isChecked())
                      .text);
    } catch (const std::exception& e) {
        WimBox(e.what());
    }
}

}  // namespace tarnovell
