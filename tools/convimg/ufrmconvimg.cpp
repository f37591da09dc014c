#include "tools/convimg/ufrmconvimg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include <exception>

#include "disk/formats/vmdk/vmdk_descriptor.h"
#include "main/dialogs/dialog_parts.h"
#include "main/dialogs/file_dialog.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"

namespace tarnovell {

namespace {

bool HasVmdkExtension(const std::string& name) {
    return name.size() >= 5 && platform::ToLower(name.substr(name.size() - 5)) == ".vmdk";
}

}  // namespace

Tfrmconvimg::Tfrmconvimg(QWidget* owner) : ToolWindow(owner, "frmconvimg", "Create a VMDK File descriptor") {
    txtimgfile = MakeEdit("txtimgfile");
    Button3 = MakeButton("Button3", "...");
    btn_make_vmdk = MakeButton("btn_make_vmdk", "Make");
    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");
    StatusBar1->setSizeGripEnabled(false);
    QLabel* note = MakeLabel("lblnote",
                             "The descriptor points at the raw image as it is: nothing is copied, and the virtual "
                             "machine writes into the image itself.");
    note->setWordWrap(true);

    auto* file = new QHBoxLayout;
    file->addWidget(MakeLabel("lblimage", "Image"));
    file->addWidget(txtimgfile, 1);
    file->addWidget(Button3);
    file->addWidget(btn_make_vmdk);
    auto* body = new QVBoxLayout;
    body->setContentsMargins(9, 9, 9, 0);
    body->addLayout(file);
    body->addWidget(note);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(body);
    layout->addWidget(StatusBar1);
    resize(520, 130);

    connect(Button3, &QPushButton::clicked, this, &Tfrmconvimg::Button3Click);
    connect(btn_make_vmdk, &QPushButton::clicked, this, &Tfrmconvimg::btn_make_vmdkClick);
}

void Tfrmconvimg::Button3Click() {
    std::string file;
    if (!RunFileDialog(this, "", "Image File (*.img)|*.img", true, file, "", "")) return;
    txtimgfile->setText(QString::fromStdString(file));
}

void Tfrmconvimg::btn_make_vmdkClick() {
    const std::string image = txtimgfile->text().toStdString();
    if (image.empty()) return;
    std::string descriptor;
    if (!RunFileDialog(this, "", "VMWare Disk (*.vmdk)|*.vmdk", false, descriptor, "", "")) return;
    if (!HasVmdkExtension(descriptor)) return platform::Say("wrong extension!");
    try {
        disk::WriteVmdkDescriptor(image, descriptor);
    } catch (const std::exception& e) {
        return platform::Say(e.what());
    }
    platform::Say("Done! You may want to change the adaptertype to lsilogic or ide in the vmdk file.");
    StatusBar1->showMessage(QString::fromStdString(descriptor + " generated"));
}

}  // namespace tarnovell
