#include "tools/isomaker/ufrmimapi.h"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QDateTime>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>

#include "disk/copy/copy_loop.h"
#include "disk/iso/iso_maker.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/main_state.h"
#include "platform/base/ascii.h"
#include "platform/base/interaction.h"
#include "platform/os/file_facts.h"
#include "platform/os/system_facts.h"
#include "platform/os/temp_folder.h"

namespace tarnovell {

namespace {

// The bar counts the image's blocks.
class BlockBar : public platform::ProgressBar {
public:
    explicit BlockBar(QProgressBar* bar) : bar_(bar) {}
    void set_max(std::int64_t max) override { bar_->setMaximum(static_cast<int>(std::min<std::int64_t>(max, INT_MAX))); }
    void set_position(std::int64_t position) override {
        bar_->setValue(static_cast<int>(std::min<std::int64_t>(position, bar_->maximum())));
    }

private:
    QProgressBar* bar_;
};

// A file below `folder` named by `relative` ("isolinux/isolinux.bin"),
// each part matched without regard to case as a copied Windows tree spells
// it; "" when there is none.
std::string FindBelow(const std::string& folder, const std::string& relative) {
    std::string at = folder;
    if (at.empty() || at.back() != '/') at += '/';
    std::string found;
    std::size_t start = 0;
    while (start <= relative.size()) {
        auto end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        found = FindInProgramFolder(at, relative.substr(start, end - start));
        at = found + "/";
        start = end + 1;
    }
    return platform::FileFactsOf(found) ? found : "";
}

std::string ParentFolder(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    auto slash = folder.find_last_of('/');
    return slash == std::string::npos ? "./" : folder.substr(0, slash + 1);
}

QComboBox* FixedChoices(const char* name, const QStringList& items) {
    auto* box = new QComboBox;
    box->setObjectName(name);
    box->addItems(items);
    return box;
}

}  // namespace

Tfrmimapi::Tfrmimapi(const std::string& program_folder, QWidget* owner)
    : ToolWindow(owner, "frmimapi", "Make ISO disc image"), program_folder_(program_folder) {

    auto field = [](const char* name, const QString& text) {
        auto* edit = new QLineEdit(text);
        edit->setObjectName(name);
        return edit;
    };
    auto button = [](const char* name, const QString& text) {
        auto* b = new QPushButton(text);
        b->setObjectName(name);
        return b;
    };
    txtsource = field("txtsource", "/");
    Button1 = button("Button1", "...");
    txtdestination = field("txtdestination", QString::fromStdString(platform::TemporaryFolder() + "/temp.iso"));
    Button3 = button("Button3", "...");
    txtbootfile_x86 = field("txtbootfile_x86", "");
    Button4 = button("Button4", "...");
    txtbootfile_EFI = field("txtbootfile_EFI", "");
    Button5 = button("Button5", "...");
    cmbplatform_1 = FixedChoices("cmbplatform_1", {"X86", "PPC", "Mac", "EFI"});
    cmbemulation_1 = FixedChoices("cmbemulation_1", {"None", "12MFloppy", "44MFloppy", "288MFloppy", "HardDisk"});
    cmbfs = FixedChoices("cmbfs", {"ISO9660", "ISO9660 + Joliet", "ISO9660 + Joliet + UDF", "ISO9660 + UDF", "UDF"});
    // UDF alone cannot be built here: the window starts on what the
    // image-mastering service itself starts a disc with.
    cmbfs->setCurrentText("ISO9660 + Joliet");
    cmbsize = FixedChoices("cmbsize", {"-", "1", "2", "4", "8", "16", "32"});
    for (QComboBox* box : {cmbplatform_1, cmbemulation_1, cmbfs}) box->installEventFilter(this);
    Button2 = button("Button2", "Make Disc");
    ProgressBar1 = new QProgressBar;
    ProgressBar1->setObjectName("ProgressBar1");
    StatusBar1 = new QStatusBar;
    StatusBar1->setObjectName("StatusBar1");

    X86BootOptions = EmulationMenu("X86 Boot Options", "X86BootOptions", &bios_emulation_);
    X86BootOptions->addSeparator();
    PatchBootTable = X86BootOptions->addAction("Patch boot table");
    PatchBootTable->setObjectName("Patchboottable1");
    PatchBootTable->setCheckable(true);
    EFIBootOptions = EmulationMenu("EFI Boot Options", "EFIBootOptions", &efi_emulation_);
    for (auto [b, menu] : {std::pair{Button4, X86BootOptions}, {Button5, EFIBootOptions}}) {
        b->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(b, &QWidget::customContextMenuRequested, this,
                [b, menu](const QPoint& at) { menu->popup(b->mapToGlobal(at)); });
    }

    auto* grid = new QGridLayout;
    int row = 0;
    auto add = [&](const QString& label, QWidget* edit, QWidget* pick) {
        grid->addWidget(new QLabel(label), row, 0);
        grid->addWidget(edit, row, 1);
        if (pick) grid->addWidget(pick, row, 2);
        ++row;
    };
    add("Source", txtsource, Button1);
    add("Destination", txtdestination, Button3);
    add("Boot file (x86)", txtbootfile_x86, Button4);
    add("Boot file (EFI)", txtbootfile_EFI, Button5);
    add("Platform", cmbplatform_1, nullptr);
    add("Emulation", cmbemulation_1, nullptr);
    add("File system", cmbfs, nullptr);
    add("Sector Size", cmbsize, nullptr);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(Button2);
    layout->addWidget(ProgressBar1);
    layout->addWidget(StatusBar1);
    resize(560, 360);

    connect(Button1, &QPushButton::clicked, this, &Tfrmimapi::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &Tfrmimapi::Button2Click);
    connect(Button3, &QPushButton::clicked, this, &Tfrmimapi::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &Tfrmimapi::Button4Click);
    connect(Button5, &QPushButton::clicked, this, &Tfrmimapi::Button5Click);
}

QMenu* Tfrmimapi::EmulationMenu(const QString& title, const char* name, int* emulation) {
    auto* menu = new QMenu(title, this);
    menu->setObjectName(name);
    auto* group = new QActionGroup(menu);
    group->setExclusive(true);
    const char* entries[] = {"EmulationNone", "Emulation12MFloppy", "Emulation144MFloppy", "Emulation288MFloppy",
                             "EmulationHardDisk"};
    for (int value = 0; value < 5; ++value) {
        QAction* action = menu->addAction(entries[value]);
        action->setObjectName(entries[value]);
        action->setCheckable(true);
        action->setChecked(value == 0);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [emulation, value] { *emulation = value; });
    }
    return menu;
}

bool Tfrmimapi::eventFilter(QObject* watched, QEvent* event) {
    // The platform, emulation and file-system boxes take no typing.
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() != Qt::Key_Tab) return true;
    return ToolWindow::eventFilter(watched, event);
}

void Tfrmimapi::SetCommandsEnabled(bool enabled) {
    for (QPushButton* button : {Button1, Button2, Button3, Button4, Button5}) button->setEnabled(enabled);
}

void Tfrmimapi::showEvent(QShowEvent* event) {
    ToolWindow::showEvent(event);
    const std::string exe = platform::ExecutablePath();
    std::string name = platform::ToLower(exe.substr(exe.find_last_of('/') + 1));
    if (name != "tarnovell" && name != "tarnovell.exe")
        setWindowTitle(QString("Orbamel ") + TARNOVELL_VERSION_TEXT + " - part of Tarnovell");
    txtsource->setText(QString::fromStdString(program_folder_));
}

std::string Tfrmimapi::LogPath() const { return program_folder_ + "log.txt"; }

void Tfrmimapi::Button1Click() {
    std::string folder;
    if (!RunFolderDialog(this, "", program_folder_, folder)) return;
    SourceChosen(folder);
}

void Tfrmimapi::SourceChosen(const std::string& folder) {
    txtsource->setText(QString::fromStdString(folder));
    for (const char* relative : {"boot/grub/grub.img", "grldr", "isolinux/isolinux.bin", "boot/etfsboot.com"})
        if (std::string found = FindBelow(folder, relative); !found.empty())
            txtbootfile_x86->setText(QString::fromStdString(found));
    if (std::string efi = FindBelow(folder, "efi/microsoft/boot/efisys.bin"); !efi.empty())
        txtbootfile_EFI->setText(QString::fromStdString(efi));
    txtdestination->setText(QString::fromStdString(ParentFolder(folder) + "temp.iso"));
    const QString bios = txtbootfile_x86->text();
    if (bios.contains("isolinux") || bios.contains("grub")) cmbfs->setCurrentText("ISO9660");
}

void Tfrmimapi::Button3Click() {
    std::string path = txtdestination->text().toStdString();
    if (RunFileDialog(this, "", "*.iso|*.iso", false, path, "", "/"))
        txtdestination->setText(QString::fromStdString(path));
}

void Tfrmimapi::Button4Click() {
    std::string path;
    if (RunFileDialog(this, "", "All files (*.*)|*", true, path, "", txtsource->text().toStdString()))
        txtbootfile_x86->setText(QString::fromStdString(path));
}

void Tfrmimapi::Button5Click() {
    std::string path;
    if (RunFileDialog(this, "", "All files (*.*)|*", true, path, "", txtsource->text().toStdString()))
        txtbootfile_EFI->setText(QString::fromStdString(path));
}

void Tfrmimapi::Button2Click() {
    disk::IsoMakerRequest request;
    request.source = txtsource->text().toStdString();
    request.destination = txtdestination->text().toStdString();
    request.bios_boot = txtbootfile_x86->text().toStdString();
    request.efi_boot = txtbootfile_EFI->text().toStdString();
    request.file_system_choice = cmbfs->currentIndex();
    request.udf_only = cmbfs->currentText() == "UDF";
    request.bios_emulation = bios_emulation_;
    request.efi_emulation = efi_emulation_;
    request.patch_boot_table = PatchBootTable->isChecked();
    request.caption = windowTitle().toStdString();
    Run([&] {
        // Nothing of the last build is taken for this one's, even while it asks.
        ProgressBar1->setValue(0);
        StatusBar1->clearMessage();
        BlockBar bar(ProgressBar1);
        disk::OperationContext context;
        context.progress = &bar;
        // A close during the build stops it.
        disk::copy_cancel = false;
        context.cancel = &disk::copy_cancel;
        disk::IsoMakerLog log(LogPath());
        if (disk::MakeIsoDisc(request, context, log))
            StatusBar1->showMessage(QTime::currentTime().toString("hh:mm:ss") + " ok");
        else if (context.cancelled())
            StatusBar1->showMessage("Aborted");
    });
}

}  // namespace tarnovell
