// Every button of the Advanced tab's "Offline Registry" page pressed in the
// window over a machine of image files: the hive chosen in the file dialog,
// each repair read back with hivexget, the texts and status lines, and the
// commands that would need Windows saying so without touching a file.
#include <gtest/gtest.h>

#include <QAction>
#include <QFileDialog>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>

#include <filesystem>
#include <string>
#include <vector>

#include "main/operations/registry_repair.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/dialog_test_helpers.h"
#include "support/embedded_machine.h"
#include "support/status_log.h"
#include "support/system_hive_fixture.h"
#include "support/test_application.h"

namespace {

namespace fs = std::filesystem;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::HivexGet;

class OfflineRegistryPage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("hivexsh") || !test_support::HaveTool("hivexget"))
            GTEST_SKIP() << "hivexsh and hivexget are needed";
        test_support::TestApplication();
        window_ = new tarnovell::Tfrmmain(state_);
        status_ = test_support::WatchStatus(window_->statusBar());
        page_ = window_->findChild<QWidget*>("TabSheet13");
        fs::create_directories(config_);
        test_support::WriteSystemHive(dir_, hive_);
    }
    void TearDown() override { delete window_; }

    QPushButton* Button(const char* name) { return page_->findChild<QPushButton*>(name); }
    std::string Status() const { return status_->last(); }
    std::string LastText() { return ui_.texts().empty() ? "(none)" : ui_.texts().back(); }

    // Presses `name` with the file dialog answering `chosen`; what the
    // dialog was set up as is kept in `seen_`.
    void Press(const char* name, const std::string& chosen) {
        dialog_test::ScopedFileDialogHook hook([this, chosen](QFileDialog& dialog) {
            seen_ = dialog_test::Look(dialog);
            dialog.selectFile(QString::fromStdString(chosen));
            return int(QDialog::Accepted);
        });
        Button(name)->click();
    }

    std::string Get(const std::string& key, const std::string& value) {
        return HivexGet(hive_, "\\ControlSet001\\" + key, value);
    }

    EmbeddedMachine machine_{{DiskSpec{4 << 20, {}, ""}}};
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    test_support::StatusLog* status_ = nullptr;
    QWidget* page_ = nullptr;
    test_support::TempDir dir_;
    const std::string config_ = dir_.file("Windows/System32/config");
    const std::string hive_ = config_ + "/SYSTEM";
    dialog_test::Seen seen_;
};

TEST_F(OfflineRegistryPage, ShowsItsRowsWithTheHiddenOnesPresent) {
    ASSERT_NE(page_, nullptr);
    auto* tabs = window_->findChild<QTabWidget*>("PageControl4");
    EXPECT_EQ(tabs->tabText(tabs->indexOf(page_)), "Offline Registry");
    const std::vector<std::pair<const char*, bool>> buttons = {
        {"btn_reg1_off", true},       {"btn_reg1_on", false},       {"btn_reg2_off", false},
        {"btn_reg2_on", false},       {"btn_reg3_off", true},       {"btn_reg3_on", false},
        {"btn_reg4_off", true},       {"btn_reg4_on", false},       {"btn_reg5_off", true},
        {"btn_reg5_on", false},       {"Button12", true},           {"Button11", true},
        {"Button13", true},           {"Button14", true},           {"btn_dump_registry", false},
        {"btn_reg_import", false}};
    for (const auto& [name, visible] : buttons) {
        ASSERT_NE(Button(name), nullptr) << name;
        EXPECT_EQ(Button(name)->isVisibleTo(page_), visible) << name;
        if (visible) {
            EXPECT_EQ(Button(name)->text(), "Go") << name;
        }
    }
    std::vector<std::string> shown;
    for (QLabel* label : page_->findChildren<QLabel*>())
        if (label->isVisibleTo(page_)) shown.push_back(label->text().toStdString());
    EXPECT_EQ(shown, (std::vector<std::string>{"Re Discover Mounted Devices @ next reboot",
                                               "Auto start disk controllers (atapi, pciide, intelide, viaide)",
                                               "Enable USB boot (usbhub,usbstor,usbehci,usbohci,usbuhci)",
                                               "Loads VHD, SD, and USB boot drivers. (Win7SP1 and up only)",
                                               "Read HAL", "Read Processor Details",
                                               "Disable Automatic Reboot (Win7 and  uo only)",
                                               "Delete currentcontrolset\\enum (redetect hardware)"}));
}

TEST_F(OfflineRegistryPage, EveryGoRepairsTheChosenHive) {
    struct Case {
        const char* button;
        std::string key, value, expected;
    };
    const Case cases[] = {
        {"btn_reg3_off", "Services\\pciide", "Start", "0"},
        {"btn_reg4_off", "Services\\usbstor", "Group", "SCSI miniport"},
        {"btn_reg5_off", "Control\\PnP", "PollBootPartitionTimeout", "3000"},
        {"Button13", "Control\\CrashControl", "AutoReboot", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.button);
        window_->statusBar()->clearMessage();
        Press(c.button, hive_);
        EXPECT_EQ(Get(c.key, c.value), c.expected);
        EXPECT_EQ(Status(), "Offline Registry modified - backup made");
    }
    EXPECT_EQ(seen_.title, "Select System hive (x:\\windows\\system32\\config)");
    EXPECT_EQ(seen_.file_mode, QFileDialog::ExistingFile);
    // "*.*" shows every file, SYSTEM too, which has no extension.
    EXPECT_EQ(seen_.name_filters, QStringList{"system hives (*)"});

    // The Windows folder stands for its SYSTEM hive.
    Press("btn_reg1_off", dir_.file("Windows"));
    EXPECT_FALSE(test_support::HivexHasKey(hive_, "\\MountedDevices"));
    Press("Button14", hive_);
    EXPECT_FALSE(test_support::HivexHasKey(hive_, "\\ControlSet001\\Enum"));
    EXPECT_TRUE(test_support::HivexHasKey(hive_, "\\ControlSet002\\Enum\\USBSTOR"));
    // The unchanged hive of the last run is the one before it.
    EXPECT_FALSE(test_support::HivexHasKey(config_ + "/SYSTEM.old", "\\MountedDevices"));
    EXPECT_TRUE(test_support::HivexHasKey(config_ + "/SYSTEM.old", "\\ControlSet001\\Enum"));
    EXPECT_EQ(ui_.texts().size(), 0u);
}

TEST_F(OfflineRegistryPage, ReadsShowWhatTheyFoundAndWriteNothing) {
    Press("Button12", hive_);
    EXPECT_EQ(LastText(), "acpiapic_mp\n*acpiapic_mp");
    EXPECT_EQ(Status(), "Offline Registry read");
    Press("Button11", hive_);
    EXPECT_EQ(LastText(), "AMD64 - Intel64 Family 6 Model 158 Stepping 10, GenuineIntel");
    EXPECT_EQ(ui_.log().back().caption, "Tarnovell");
    EXPECT_FALSE(fs::exists(config_ + "/SYSTEM.old"));
}

TEST_F(OfflineRegistryPage, AFailureIsShownAndACancelDoesNothing) {
    const std::string not_a_hive = dir_.file("notes.txt");
    test_support::WriteWholeFile(not_a_hive, std::string(8192, 'n'));
    Press("Button13", not_a_hive);
    EXPECT_EQ(LastText().rfind("OROpenHive failed:1009:", 0), 0u) << LastText();
    EXPECT_EQ(Status(), "");
    EXPECT_EQ(test_support::ReadWholeFile(not_a_hive), std::string(8192, 'n'));

    dialog_test::ScopedFileDialogHook cancel([](QFileDialog&) { return int(QDialog::Rejected); });
    const std::size_t said = ui_.texts().size();
    Button("Button14")->click();
    EXPECT_EQ(ui_.texts().size(), said);
    EXPECT_TRUE(test_support::HivexHasKey(hive_, "\\ControlSet001\\Enum"));
}

TEST_F(OfflineRegistryPage, WhatNeedsWindowsSaysSoAndTouchesNoFile) {
    // The helpers the program would have run, in its folder.
    test_support::TempDir program;
    state_.program_folder = program.path().string() + "/";
    test_support::WriteWholeFile(program.file("psexec.exe"), "psexec");
    test_support::WriteWholeFile(program.file("dumpreg.exe"), "dumpreg");

    const std::vector<std::pair<const char*, const char*>> buttons = {
        {"btn_reg2_on", tarnovell::kOnlineRegistryUnavailable},
        {"btn_reg3_on", tarnovell::kOnlineRegistryUnavailable},
        {"btn_reg4_on", tarnovell::kOnlineRegistryUnavailable},
        {"btn_reg5_on", tarnovell::kOnlineRegistryUnavailable},
        {"btn_dump_registry", tarnovell::kRegistryDumpUnavailable},
        {"btn_reg_import", tarnovell::kRegistryDumpUnavailable}};
    for (const auto& [name, text] : buttons) {
        Button(name)->click();
        EXPECT_EQ(LastText(), text) << name;
    }
    auto* launch = window_->findChild<QAction*>("LaunchCMDassystem1");
    ASSERT_NE(launch, nullptr);
    EXPECT_TRUE(launch->isEnabled());
    launch->trigger();
    EXPECT_EQ(LastText(), tarnovell::kPsexecUnavailable);

    // The two that never had a command.
    const std::size_t said = ui_.texts().size();
    Button("btn_reg1_on")->click();
    Button("btn_reg2_off")->click();
    EXPECT_EQ(ui_.texts().size(), said);

    EXPECT_EQ(test_support::ReadWholeFile(program.file("psexec.exe")), "psexec");
    EXPECT_EQ(test_support::ReadWholeFile(program.file("dumpreg.exe")), "dumpreg");
    EXPECT_FALSE(fs::exists(config_ + "/SYSTEM.old"));
}

}  // namespace
