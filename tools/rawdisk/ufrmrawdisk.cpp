#include "tools/rawdisk/ufrmrawdisk.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <exception>

#include "disk/device/handle_ops.h"
#include "disk/formats/vmdk/vmdk_descriptor.h"
#include "main/dialogs/dialog_parts.h"
#include "main/dialogs/file_dialog.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

std::optional<std::int64_t> RawImageSize(const std::string& typed, std::int64_t unit, std::string& problem) {
    const std::optional<std::int64_t> number = WholeNumber(QString::fromStdString(typed));
    if (!number) {
        problem = "'" + typed + "' is not a valid integer value";
        return std::nullopt;
    }
    if (*number < 0) {
        problem = "the size cannot be negative";
        return std::nullopt;
    }
    std::int64_t bytes = 0;
    if (__builtin_mul_overflow(*number, unit, &bytes)) {
        problem = "the size is too large";
        return std::nullopt;
    }
    return bytes;
}

bool MayReplaceFile(const std::string& file) {
    const auto existing = platform::LinkFactsOf(file);
    if (!existing) return true;
    if (!existing->is_regular()) {
        platform::Say(file + " exists and is not a regular file");
        return false;
    }
    return platform::Ask("File exists! Delete?");
}

bool ClearWayForFile(const std::string& file) {
    if (!MayReplaceFile(file)) return false;
    if (platform::LinkFactsOf(file) && !platform::DeleteRegularFile(file)) {
        platform::Say("could not delete " + file + ": " + platform::SysErrorMessage(platform::GetLastError()));
        return false;
    }
    return true;
}

Tfrmrawdisk::Tfrmrawdisk(QWidget* owner) : ToolWindow(owner, "frmrawdisk", "Raw Disk Image") {
    txtsparse_file = MakeEdit("txtsparse_file");
    btn_open_raw = MakeButton("btn_open_raw", "...");
    txt_sparse_size = MakeEdit("txt_sparse_size", "1024");
    rbmb = MakeRadio("rbmb", "MB", true);
    rbkb = MakeRadio("rbkb", "KB");
    rbb = MakeRadio("rbb", "B");
    auto* units = new QButtonGroup(this);
    for (QRadioButton* unit : {rbmb, rbkb, rbb}) units->addButton(unit);
    chk_sparse = MakeCheck("chk_sparse", "Sparse files (NTFS)");
    chk_vm = MakeCheck("chk_vm", "Create VMDK/VMX files");
    btn_make_raw = MakeButton("btn_make_raw", "Make");
    QLabel* note = MakeLabel("lblnote",
                             "A sparse file takes space only where something is written into it; without it, the "
                             "whole size is set aside on the disk at once.");
    note->setWordWrap(true);

    auto* grid = new QGridLayout;
    grid->addWidget(MakeLabel("lblfile", "File"), 0, 0);
    grid->addWidget(txtsparse_file, 0, 1, 1, 4);
    grid->addWidget(btn_open_raw, 0, 5);
    grid->addWidget(MakeLabel("lblsize", "Size"), 1, 0);
    grid->addWidget(txt_sparse_size, 1, 1);
    grid->addWidget(rbmb, 1, 2);
    grid->addWidget(rbkb, 1, 3);
    grid->addWidget(rbb, 1, 4);
    grid->setColumnStretch(1, 1);
    auto* options = new QHBoxLayout;
    options->addWidget(chk_sparse);
    options->addWidget(chk_vm);
    options->addStretch(1);
    options->addWidget(btn_make_raw);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(options);
    layout->addWidget(note);
    resize(520, 160);

    connect(btn_open_raw, &QPushButton::clicked, this, &Tfrmrawdisk::btn_open_rawClick);
    connect(btn_make_raw, &QPushButton::clicked, this, &Tfrmrawdisk::btn_make_rawClick);
}

void Tfrmrawdisk::btn_open_rawClick() {
    std::string file;
    if (!RunFileDialog(this, "", "Image File (*.img)|*.img", false, file, "", "")) return;
    txtsparse_file->setText(QString::fromStdString(file));
    ClearWayForFile(file);
}

void Tfrmrawdisk::btn_make_rawClick() {
    const std::string file = txtsparse_file->text().toStdString();
    if (file.empty()) return;
    std::string problem;
    const std::int64_t unit = rbmb->isChecked() ? 1048576 : rbkb->isChecked() ? 1024 : 1;
    const std::optional<std::int64_t> size = RawImageSize(txt_sparse_size->text().toStdString(), unit, problem);
    if (!size) return platform::Say(problem);
    // A file kept by "No" stays kept; one given up on "Yes" goes only once
    // the new image stands in its place.
    if (!MayReplaceFile(file)) return;
    const bool sparse = chk_sparse->isChecked();
    try {
        // Not sparse: the whole size is set aside now, as the file system
        // would for any file that is not marked sparse.
        if (!disk::_make_sparse_file(file, sparse, !sparse, *size)) return;
        if (chk_vm->isChecked()) disk::WriteVmdkDescriptor(file, file + ".vmdk");
    } catch (const std::exception& e) {
        return platform::Say(e.what());
    }
    platform::Say("Ok!");
}

}  // namespace tarnovell
