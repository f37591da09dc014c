#include "main/window/offline_registry_page.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <exception>

#include "main/dialogs/dialog_parts.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/registry_repair.h"
#include "main/window/drive_combo.h"
#include "main/window/page_host.h"
#include "platform/base/interaction.h"

namespace tarnovell {

namespace {

QPushButton* NamedButton(const char* name, const QString& caption, bool visible = true) {
    QPushButton* button = MakeButton(name, caption);
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

OfflineRegistryPage::OfflineRegistryPage(PageHost& host, QObject* parent) : QObject(parent), host_(host) {
    page_ = MakeSelectorPage("TabSheet13", nullptr, {});
    AddControls();
}

void OfflineRegistryPage::AddControls() {
    auto* grid = new QGridLayout;
    // label, offline button, online button; a hidden item is on the page but not shown
    struct Row {
        const char* label;
        bool label_visible;
        QPushButton* offline;
        void (OfflineRegistryPage::*offline_click)();
        QPushButton* online;
        void (OfflineRegistryPage::*online_click)();
    };
    const Row rows[] = {
        {"Re Discover Mounted Devices @ next reboot", true, NamedButton("btn_reg1_off", "Go"),
         &OfflineRegistryPage::btn_reg1_offClick, NamedButton("btn_reg1_on", "Online", false), nullptr},
        {"Add registry entries for the IDE mass storage controllers", false,
         NamedButton("btn_reg2_off", "Go", false), nullptr, NamedButton("btn_reg2_on", "Online", false),
         &OfflineRegistryPage::btn_reg2_onClick},
        {"Auto start disk controllers (atapi, pciide, intelide, viaide)", true, NamedButton("btn_reg3_off", "Go"),
         &OfflineRegistryPage::btn_reg3_offClick, NamedButton("btn_reg3_on", "Online", false), &OfflineRegistryPage::btn_reg3_onClick},
        {"Enable USB boot (usbhub,usbstor,usbehci,usbohci,usbuhci)", true, NamedButton("btn_reg4_off", "Go"),
         &OfflineRegistryPage::btn_reg4_offClick, NamedButton("btn_reg4_on", "Online", false), &OfflineRegistryPage::btn_reg4_onClick},
        {"Loads VHD, SD, and USB boot drivers. (Win7SP1 and up only)", true, NamedButton("btn_reg5_off", "Go"),
         &OfflineRegistryPage::btn_reg5_offClick, NamedButton("btn_reg5_on", "Online", false), &OfflineRegistryPage::btn_reg5_onClick},
        {"Read HAL", true, NamedButton("Button12", "Go"), &OfflineRegistryPage::Button12Click, nullptr, nullptr},
        {"Read Processor Details", true, NamedButton("Button11", "Go"), &OfflineRegistryPage::Button11Click, nullptr, nullptr},
        {"Disable Automatic Reboot (Win7 and  uo only)", true, NamedButton("Button13", "Go"),
         &OfflineRegistryPage::Button13Click, nullptr, nullptr},
        {"Delete currentcontrolset\\enum (redetect hardware)", true, NamedButton("Button14", "Go"),
         &OfflineRegistryPage::Button14Click, nullptr, nullptr},
        {"Dump system registry (sam,security,software,system,default)", false,
         NamedButton("btn_dump_registry", "Go", false), &OfflineRegistryPage::btn_dump_registryClick,
         NamedButton("btn_reg_import", "Import", false), &OfflineRegistryPage::btn_reg_importClick},
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
    auto* layout = static_cast<QVBoxLayout*>(page_->layout());
    layout->insertLayout(0, grid);
}

void OfflineRegistryPage::RunOfflineRegistryRepair(OfflineRepair repair) {
    if (host_.busy()) return;
    std::string hive;
    if (!PickSystemHive(host_.DialogOwner(), hive)) return;
    try {
        std::string note;
        host_.ShowStatus(QString::fromStdString(RunOfflineRepair(repair, hive, &note)));
        if (!note.empty()) platform::Say(note);
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void OfflineRegistryPage::RunOfflineRegistryRead(std::string (*read)(const std::string&)) {
    if (host_.busy()) return;
    std::string hive;
    if (!PickSystemHive(host_.DialogOwner(), hive)) return;
    try {
        const std::string text = read(hive);
        if (!text.empty()) platform::Say(text);
        host_.ShowStatus(kOfflineRegistryRead);
    } catch (const std::exception& e) {
        platform::Say(e.what());
    }
}

void OfflineRegistryPage::btn_reg1_offClick() { RunOfflineRegistryRepair(OfflineRepair::MountedDevices); }
void OfflineRegistryPage::btn_reg3_offClick() { RunOfflineRegistryRepair(OfflineRepair::DiskControllers); }
void OfflineRegistryPage::btn_reg4_offClick() { RunOfflineRegistryRepair(OfflineRepair::UsbBoot); }
void OfflineRegistryPage::btn_reg5_offClick() { RunOfflineRegistryRepair(OfflineRepair::BootDrivers); }
void OfflineRegistryPage::Button13Click() { RunOfflineRegistryRepair(OfflineRepair::AutoReboot); }
void OfflineRegistryPage::Button14Click() { RunOfflineRegistryRepair(OfflineRepair::DeviceEnumeration); }
void OfflineRegistryPage::Button12Click() { RunOfflineRegistryRead(&ReadOfflineHal); }
void OfflineRegistryPage::Button11Click() { RunOfflineRegistryRead(&ReadOfflineProcessor); }

// The running system is Linux: there is no Windows registry to change, nor
// psexec or dumpreg to run. Nothing is written or deleted.
void OfflineRegistryPage::btn_reg2_onClick() { platform::Say(kOnlineRegistryUnavailable); }
void OfflineRegistryPage::btn_reg3_onClick() { platform::Say(kOnlineRegistryUnavailable); }
void OfflineRegistryPage::btn_reg4_onClick() { platform::Say(kOnlineRegistryUnavailable); }
void OfflineRegistryPage::btn_reg5_onClick() { platform::Say(kOnlineRegistryUnavailable); }
void OfflineRegistryPage::btn_dump_registryClick() { platform::Say(kRegistryDumpUnavailable); }
void OfflineRegistryPage::btn_reg_importClick() { platform::Say(kRegistryDumpUnavailable); }
void OfflineRegistryPage::LaunchCMDassystem1Click() { platform::Say(kPsexecUnavailable); }

}  // namespace tarnovell
