// The "Offline Registry" page of the Advanced tab: repairs of the SYSTEM
// hive of another Windows installation, one "Go" a repair, and the commands
// that would work on the running Windows, which say here that they cannot.
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

#include "main/dialogs/file_dialog.h"
#include "main/operations/registry_repair.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"

namespace tarnovell {

namespace {

void Say(const std::string& text) { platform::interaction().inform(text, "Tarnovell"); }

QPushButton* NamedButton(const char* name, const QString& caption, bool visible = true) {
    auto* button = new QPushButton(caption);
    button->setObjectName(name);
    button->setVisible(visible);
    return button;
}

// Every command asks for the hive anew; false when the user cancels.
bool PickSystemHive(QWidget* owner, std::string& hive) {
    int filter_index = 1;
    return RunFileDialog(owner, "", "system hives (*.*)|*.*", true, hive,
                         "Select System hive (x:\\windows\\system32\\config)", "", &filter_index);
}

}  // namespace

void Tfrmmain::AddOfflineRegistryControls(QWidget* page) {
    auto* grid = new QGridLayout;
    // label, offline button, online button; a hidden item is on the page but not shown
    struct Row {
        const char* label;
        bool label_visible;
        QPushButton* offline;
        void (Tfrmmain::*offline_click)();
        QPushButton* online;
        void (Tfrmmain::*online_click)();
    };
    const Row rows[] = {
        {"Re Discover Mounted Devices @ next reboot", true, NamedButton("btn_reg1_off", "Go"),
         &Tfrmmain::btn_reg1_offClick, NamedButton("btn_reg1_on", "Online", false), nullptr},
        {"Add registry entries for the IDE mass storage controllers", false,
         NamedButton("btn_reg2_off", "Go", false), nullptr, NamedButton("btn_reg2_on", "Online", false),
         &Tfrmmain::btn_reg2_onClick},
        {"Auto start disk controllers (atapi, pciide, intelide, viaide)", true, NamedButton("btn_reg3_off", "Go"),
         &Tfrmmain::btn_reg3_offClick, NamedButton("btn_reg3_on", "Online", false), &Tfrmmain::btn_reg3_onClick},
        {"Enable USB boot (usbhub,usbstor,usbehci,usbohci,usbuhci)", true, NamedButton("btn_reg4_off", "Go"),
         &Tfrmmain::btn_reg4_offClick, NamedButton("btn_reg4_on", "Online", false), &Tfrmmain::btn_reg4_onClick},
        {"Loads VHD, SD, and USB boot drivers. (Win7SP1 and up only)", true, NamedButton("btn_reg5_off", "Go"),
         &Tfrmmain::btn_reg5_offClick, NamedButton("btn_reg5_on", "Online", false), &Tfrmmain::btn_reg5_onClick},
        {"Read HAL", true, NamedButton("Button12", "Go"), &Tfrmmain::Button12Click, nullptr, nullptr},
        {"Read Processor Details", true, NamedButton("Button11", "Go"), &Tfrmmain::Button11Click, nullptr, nullptr},
        {"Disable Automatic Reboot (Win7 and  uo only)", true, NamedButton("Button13", "Go"),
         &Tfrmmain::Button13Click, nullptr, nullptr},
        {"Delete currentcontrolset\\enum (redetect hardware)", true, NamedButton("Button14", "Go"),
         &Tfrmmain::Button14Click, nullptr, nullptr},
        {"Dump system registry (sam,security,software,system,default)", false,
         NamedButton("btn_dump_registry", "Go", false), &Tfrmmain::btn_dump_registryClick,
         NamedButton("btn_reg_import", "Import", false), &Tfrmmain::btn_reg_importClick},
    };
    int line = 0;
    for (const Row& row : rows) {
        auto* label = new QLabel(row.label);
        label->setVisible(row.label_visible);
        grid->addWidget(label, line, 0);
        grid->addWidget(row.offline, line, 1);
        // The two buttons that have never had a command stay unconnected.
        if (row.offline_click) connect(row.offline, &QPushButton::clicked, this, row.offline_click);
        if (row.online) {
            grid->addWidget(row.online, line, 2);
            if (row.online_click) connect(row.online, &QPushButton::clicked, this, row.online_click);
        }
        ++line;
    }
    grid->setColumnStretch(0, 1);
    // The page's layout holds a stretch after its (absent) selector row.
    auto* layout = static_cast<QVBoxLayout*>(page->layout());
    layout->insertLayout(0, grid);
}

void Tfrmmain::RunOfflineRegistryRepair(OfflineRepair repair) {
    if (busy_) return;
    std::string hive;
    if (!PickSystemHive(this, hive)) return;
    try {
        std::string note;
        ShowStatus(QString::fromStdString(RunOfflineRepair(repair, hive, &note)));
        if (!note.empty()) Say(note);
    } catch (const std::exception& e) {
        Say(e.what());
    }
}

void Tfrmmain::RunOfflineRegistryRead(std::string (*read)(const std::string&)) {
    if (busy_) return;
    std::string hive;
    if (!PickSystemHive(this, hive)) return;
    try {
        const std::string text = read(hive);
        if (!text.empty()) Say(text);
        ShowStatus(kOfflineRegistryRead);
    } catch (const std::exception& e) {
        Say(e.what());
    }
}

void Tfrmmain::btn_reg1_offClick() { RunOfflineRegistryRepair(OfflineRepair::MountedDevices); }
void Tfrmmain::btn_reg3_offClick() { RunOfflineRegistryRepair(OfflineRepair::DiskControllers); }
void Tfrmmain::btn_reg4_offClick() { RunOfflineRegistryRepair(OfflineRepair::UsbBoot); }
void Tfrmmain::btn_reg5_offClick() { RunOfflineRegistryRepair(OfflineRepair::BootDrivers); }
void Tfrmmain::Button13Click() { RunOfflineRegistryRepair(OfflineRepair::AutoReboot); }
void Tfrmmain::Button14Click() { RunOfflineRegistryRepair(OfflineRepair::DeviceEnumeration); }
void Tfrmmain::Button12Click() { RunOfflineRegistryRead(&ReadOfflineHal); }
void Tfrmmain::Button11Click() { RunOfflineRegistryRead(&ReadOfflineProcessor); }

// The running system is Linux: there is no Windows registry to change, nor
// psexec or dumpreg to run. Nothing is written or deleted.
void Tfrmmain::btn_reg2_onClick() { Say(kOnlineRegistryUnavailable); }
void Tfrmmain::btn_reg3_onClick() { Say(kOnlineRegistryUnavailable); }
void Tfrmmain::btn_reg4_onClick() { Say(kOnlineRegistryUnavailable); }
void Tfrmmain::btn_reg5_onClick() { Say(kOnlineRegistryUnavailable); }
void Tfrmmain::btn_dump_registryClick() { Say(kRegistryDumpUnavailable); }
void Tfrmmain::btn_reg_importClick() { Say(kRegistryDumpUnavailable); }
void Tfrmmain::LaunchCMDassystem1Click() { Say(kPsexecUnavailable); }

}  // namespace tarnovell
