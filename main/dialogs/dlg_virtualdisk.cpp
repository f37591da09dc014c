#include "main/dialogs/dlg_virtualdisk.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "main/dialogs/file_dialog.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"
#include "platform/os/folders.h"
#include "platform/os/file_facts.h"

namespace tarnovell {

namespace {

constexpr const char* kCreateFilter = "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx|VHDs File (*.vhds)|*.vhds";
constexpr const char* kOpenFilter = "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx|Iso File (*.iso)|*.iso";
constexpr const char* kParentFilter = "VHD File (*.vhd)|*.vhd|VHDX File (*.vhdx)|*.vhdx";
// The expand and merge dialogs open any of the three kinds.
constexpr const char* kAnyVhdFilter = kCreateFilter;

// Only what DeleteRegularFile would remove is worth a question: a device
// node or a folder of that name is never offered for deletion.
bool IsDeletableFile(const std::string& path) {
    const std::string resolved = platform::ResolveFilePath(path);
    if (resolved.empty()) return false;
    const std::optional<platform::FileFacts> name = platform::LinkFactsOf(resolved);
    if (!name) return false;
    if (name->kind != platform::FileKind::Link) return name->is_regular();
    const std::optional<platform::FileFacts> target = platform::FileFactsOf(resolved);
    return target && target->is_regular();
}

// "..." beside a field: an open dialog whose file goes into the field.
void OpenInto(QWidget* owner, QLineEdit* field, const std::string& default_extension, const char* filter,
              const std::string& title, const std::string& folder) {
    std::string path = field->text().toStdString();
    if (RunFileDialog(owner, default_extension, filter, true, path, title, folder))
        field->setText(QString::fromStdString(path));
}

// A read-only note in the dialog.
QPlainTextEdit* MakeNote(const char* name, const QStringList& lines) {
    auto* note = new QPlainTextEdit(lines.join('\n'));
    note->setObjectName(name);
    note->setReadOnly(true);
    return note;
}

// "label [field] [...]" as one row of a grid.
void AddFileRow(QGridLayout* grid, int row, QLabel* label, QLineEdit* field, QPushButton* browse) {
    grid->addWidget(label, row, 0);
    grid->addWidget(field, row, 1);
    grid->addWidget(browse, row, 2);
}

}  // namespace

Tfrmvirtualdisk::Tfrmvirtualdisk(QWidget* owner) : ParameterDialog(owner, "Create Virtual Disk") {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(MakeLabel("lblprompt", "Enter VHD details"));

    auto* grid = new QGridLayout;
    lblpath = MakeLabel("lblpath", "Path");
    txtpath = MakeEdit("txtpath");
    btnfile = MakeButton("btnfile", "...");
    AddFileRow(grid, 0, lblpath, txtpath, btnfile);
    lblsize = MakeLabel("lblsize", "Size (MB)");
    txtsize = MakeEdit("txtsize", "256");
    grid->addWidget(lblsize, 1, 0);
    grid->addWidget(txtsize, 1, 1);
    lblparent = MakeLabel("lblparent", "Parent (optional)");
    txtParent = MakeEdit("txtParent");
    btnParent = MakeButton("btnParent", "...");
    AddFileRow(grid, 2, lblparent, txtParent, btnParent);
    layout->addLayout(grid);

    chkpermanent = MakeCheck("chkpermanent", "Permanent (i.e after handle is closed)");
    chkdynamic = MakeCheck("chkdynamic", "Dynamic");
    chkRO = MakeCheck("chkRO", "Read Only");
    chkNoDriveLetter = MakeCheck("chkNoDriveLetter", "No Drive Letter");
    chkcreatepart = MakeCheck("chkcreatepart", "Create Partition");
    for (QCheckBox* check : {chkpermanent, chkdynamic, chkRO, chkNoDriveLetter, chkcreatepart})
        layout->addWidget(check);

    auto* sectors = new QHBoxLayout;
    grp_logical = MakeGroup("grp_logical", "Logical sector size");
    auto* logical = new QHBoxLayout(grp_logical);
    rblog512 = MakeRadio("rblog512", "512");
    rblog4096 = MakeRadio("rblog4096", "4096");
    rblogdefault = MakeRadio("rblogdefault", "default", true);
    for (QRadioButton* radio : {rblog512, rblog4096, rblogdefault}) logical->addWidget(radio);
    grp_physical = MakeGroup("grp_physical", "Physical size");
    auto* physical = new QHBoxLayout(grp_physical);
    rbphy512 = MakeRadio("rbphy512", "512");
    rbphy4096 = MakeRadio("rbphy4096", "4096");
    rbphydefault = MakeRadio("rbphydefault", "default", true);
    for (QRadioButton* radio : {rbphy512, rbphy4096, rbphydefault}) physical->addWidget(radio);
    sectors->addWidget(grp_logical);
    sectors->addWidget(grp_physical);
    layout->addLayout(sectors);

    AddOkCancel(layout);

    connect(btnfile, &QPushButton::clicked, this, &Tfrmvirtualdisk::btnfileClick);
    connect(btnParent, &QPushButton::clicked, this, &Tfrmvirtualdisk::btnParentClick);
}

void Tfrmvirtualdisk::btnfileClick() {
    if (mode_ == "open") {
        OpenInto(this, txtpath, "*", kOpenFilter, platform::kProgramCaption, platform::CurrentFolder());
        return;
    }
    if (mode_ != "create") return;
    std::string path = txtpath->text().toStdString();
    if (!RunFileDialog(this, "", kCreateFilter, false, path, "", "")) return;
    txtpath->setText(QString::fromStdString(path));
    delete_on_ok_.clear();
    if (IsDeletableFile(path) && platform::Ask("File exists! Delete?"))
        delete_on_ok_ = path;
}

void Tfrmvirtualdisk::btnParentClick() {
    OpenInto(this, txtParent, "*", kParentFilter, platform::kProgramCaption, platform::CurrentFolder());
}

void Tfrmvirtualdisk::accept() {
    // A path typed over the chosen one is not what the user agreed to delete.
    if (!delete_on_ok_.empty() && path() == delete_on_ok_) {
        // A file that cannot be deleted is left for the create to report.
        platform::DeleteRegularFile(delete_on_ok_);
    }
    delete_on_ok_.clear();
    ParameterDialog::accept();
}

std::string Tfrmvirtualdisk::path() const { return txtpath->text().toStdString(); }

std::optional<std::int64_t> Tfrmvirtualdisk::size_mb() const { return WholeNumber(txtsize->text()); }

std::string Tfrmvirtualdisk::parent() const { return txtParent->text().toStdString(); }

bool Tfrmvirtualdisk::permanent() const { return chkpermanent->isChecked(); }

bool Tfrmvirtualdisk::dynamic() const { return chkdynamic->isChecked(); }

bool Tfrmvirtualdisk::read_only() const { return chkRO->isChecked(); }

bool Tfrmvirtualdisk::no_drive_letter() const { return chkNoDriveLetter->isChecked(); }

bool Tfrmvirtualdisk::create_partition() const { return chkcreatepart->isChecked(); }

int Tfrmvirtualdisk::logical_sector_size() const {
    if (rblog4096->isChecked()) return 4096;
    if (rblog512->isChecked()) return 512;
    return 0;
}

int Tfrmvirtualdisk::physical_sector_size() const {
    if (rbphy4096->isChecked()) return 4096;
    if (rbphy512->isChecked()) return 512;
    return 0;
}

TfrmExpandVHD::TfrmExpandVHD(QWidget* owner) : ParameterDialog(owner, "Expand VHD") {
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    txtvhd = MakeEdit("txtvhd");
    btnvhd = MakeButton("btnvhd", "...");
    AddFileRow(grid, 0, MakeLabel("lblvhd", "VHD"), txtvhd, btnvhd);
    txtsize = MakeEdit("txtsize");
    grid->addWidget(MakeLabel("lblsize", "Size (MB)"), 1, 0);
    grid->addWidget(txtsize, 1, 1);
    layout->addLayout(grid);
    AddOkCancel(layout);
    connect(btnvhd, &QPushButton::clicked, this, [this] { OpenInto(this, txtvhd, "", kAnyVhdFilter, "", ""); });
}

std::string TfrmExpandVHD::vhd() const { return txtvhd->text().toStdString(); }

std::optional<std::int64_t> TfrmExpandVHD::size_mb() const { return WholeNumber(txtsize->text()); }

TfrmMergeVHD::TfrmMergeVHD(QWidget* owner) : ParameterDialog(owner, "Merge VHD") {
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    txtvhd = MakeEdit("txtvhd");
    btnvhd = MakeButton("btnvhd", "...");
    AddFileRow(grid, 0, MakeLabel("lblvhd", "VHD child"), txtvhd, btnvhd);
    layout->addLayout(grid);
    memonote = MakeNote("memonote", {"MergeDepth=1", "You should delete the child ", "after the merge."});
    layout->addWidget(memonote);
    AddOkCancel(layout);
    connect(btnvhd, &QPushButton::clicked, this, [this] { OpenInto(this, txtvhd, "", kAnyVhdFilter, "", ""); });
}

std::string TfrmMergeVHD::vhd() const { return txtvhd->text().toStdString(); }

}  // namespace tarnovell
