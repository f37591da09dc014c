// Every button of the Volume, Disk and Virtual Hard Disk pages pressed in
// the window over a machine of image files: the row each needs, its
// questions, texts and status lines, and what it did to the disks, checked
// with blkid, sfdisk and qemu-img. Also the device report of a row.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disk/device/device_query.h"
#include "main/dialogs/dlg_disk.h"
#include "main/dialogs/dlg_virtualdisk.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/virtdisk/server.h"
#include "platform/virtdisk/vhd/vhd_file.h"
#include "support/embedded_machine.h"
#include "support/partition_peers.h"
#include "support/status_log.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "support/volume_fixtures.h"
#include "support/window_test_helpers.h"
#include "tools/checkdisk/ufrmcheckdisk.h"
#include "tools/format/ufrmformat.h"

namespace {

using platform::ScriptedInteraction;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::Quote;

// Runs `act` on the first visible top-level window of type T once the event
// loop (a modal dialog's own included) gets to it.
template <class T>
void WhenShown(std::function<void(T&)> act, int tries = 200) {
    QTimer::singleShot(10, [act, tries] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* window = qobject_cast<T*>(w); window && window->isVisible()) return act(*window);
        if (tries > 0) WhenShown<T>(act, tries - 1);
    });
}

DiskSpec FatVolumeDisk() {
    return test_support::OnePartitionDisk(8, "mkfs.fat -n DATA --offset 2048 %s %n >/dev/null");
}
DiskSpec BlankDisk() { return DiskSpec{4 << 20, {}, ""}; }

class SideBarPages : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test_support::TestApplication(); }

    void Start(const std::vector<DiskSpec>& disks) {
        machine_ = std::make_unique<EmbeddedMachine>(disks);
        window_ = new tarnovell::Tfrmmain(state_);
        status_ = test_support::WatchStatus(window_->statusBar());
        list_ = window_->findChild<QTreeWidget*>("lvdisks");
    }

    void TearDown() override {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w != window_ && w->isVisible()) w->close();
        delete window_;
        tarnovell::SetFileDialogHook(previous_hook_);
        machine_.reset();
    }

    void Press(const std::string& page, const std::string& caption) {
        const std::string name = tarnovell::SideBarButtonName(page, caption);
        auto* button = window_->findChild<QPushButton*>(QString::fromStdString(name));
        ASSERT_NE(button, nullptr) << caption;
        ASSERT_TRUE(button->isEnabled()) << caption;
        button->click();
    }
    void Select(const char* device) { ASSERT_TRUE(window_test::SelectDevice(list_, device)) << device; }
    void Deselect() { list_->clearSelection(); }
    std::string Status() const { return status_->last(); }
    std::string LastSaid() const { return ui_.log().empty() ? "" : ui_.log().back().text; }
    bool HasRow(const char* device) const {
        for (int i = 0; i < list_->topLevelItemCount(); ++i)
            if (list_->topLevelItem(i)->text(1) == device) return true;
        return false;
    }
    void PickFile(const std::string& path) {
        auto previous = tarnovell::SetFileDialogHook([path](QFileDialog& dialog) {
            dialog.selectFile(QString::fromStdString(path));
            return int(QDialog::Accepted);
        });
        if (!hooked_) previous_hook_ = previous;
        hooked_ = true;
    }
    std::uint64_t Attributes(int disk) {
        platform::GET_DISK_ATTRIBUTES attributes{};
        EXPECT_TRUE(disk::GetDiskAttributes("\\\\.\\PhysicalDrive" + std::to_string(disk), attributes));
        return attributes.Attributes;
    }

    std::unique_ptr<EmbeddedMachine> machine_;
    ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    test_support::StatusLog* status_ = nullptr;
    QTreeWidget* list_ = nullptr;
    tarnovell::FileDialogHook previous_hook_;
    bool hooked_ = false;
};

// ---- the row each command needs ---------------------------------------------

struct RowCase {
    const char* page;
    const char* caption;
    bool needs_disk;
};

class RowRules : public SideBarPages, public ::testing::WithParamInterface<RowCase> {};

TEST_P(RowRules, SayWhatRowIsNeededAndDoNothingElse) {
    const RowCase& c = GetParam();
    Start({FatVolumeDisk()});
    Deselect();
    Press(c.page, c.caption);
    EXPECT_EQ(LastSaid(), "pick a disk/part");
    Select(c.needs_disk ? "PART 0,1" : "DISK 0");
    Press(c.page, c.caption);
    EXPECT_EQ(LastSaid(), c.needs_disk ? "has to be a DISK type" : "has to be a PART type");
    EXPECT_EQ(ui_.log().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RowRules,
    ::testing::Values(RowCase{"Volume", "Close handles / Redetect", false}, RowCase{"Volume", "Format", false},
                      RowCase{"Volume", "Check Disk", false}, RowCase{"Volume", "Set Volume Offline", false},
                      RowCase{"Volume", "Set Volume Online", false}, RowCase{"Disk", "Set Disk Online", true},
                      RowCase{"Disk", "Set Disk Offline", true}, RowCase{"Disk", "Set Disk Read-Only", true},
                      RowCase{"Disk", "Set Disk Read-Write", true}, RowCase{"Disk", "Update Disk Properties", true},
                      RowCase{"Disk", "Delete Disk Layout", true}),
    [](const auto& param) {
        std::string name;
        for (char ch : std::string(param.param.caption))
            if (std::isalnum(static_cast<unsigned char>(ch))) name += ch;
        return name;
    });

// ---- Volume page ---------------------------------------------------------------

TEST_F(SideBarPages, DismountAndVolumeOfflineOnline) {
    Start({FatVolumeDisk()});
    Select("PART 0,1");
    Press("Volume", "Close handles / Redetect");
    EXPECT_EQ(Status(), "FSCTL_DISMOUNT_VOLUME Ok");

    ui_.answer_confirm(false);
    Press("Volume", "Set Volume Offline");
    EXPECT_EQ(LastSaid(), "Set \\\\.\\C: offline ?");
    EXPECT_EQ(Status(), "FSCTL_DISMOUNT_VOLUME Ok");  // nothing done

    ui_.answer_confirm(true);
    Press("Volume", "Set Volume Offline");
    EXPECT_EQ(Status(), "IOCTL_VOLUME_OFFLINE Ok");
    ui_.answer_confirm(true);
    Press("Volume", "Set Volume Online");
    EXPECT_EQ(Status(), "IOCTL_VOLUME_ONLINE Ok");
}

TEST_F(SideBarPages, FormatOpensTheFormatWindowForTheVolume) {
    if (!test_support::IsRoot()) GTEST_SKIP() << "needs root: the format works on a loop device";
    Start({test_support::OnePartitionDisk(8)});
    Select("PART 0,1");
    std::string caption;
    WhenShown<tarnovell::TfrmFormat>([&](tarnovell::TfrmFormat& format) {
        caption = format.windowTitle().toStdString();
        format.FileSystem->setCurrentIndex(3);  // exFAT
        format.btn_format->click();
        format.close();
    });
    ui_.set_default_confirm(true);
    Press("Volume", "Format");
    EXPECT_EQ(caption, "Format C:");
    EXPECT_EQ(LastSaid(), "Format C?");
    EXPECT_EQ(test_support::ProbeRegion(machine_->image(0), test_support::kVolumeStart, 8 << 20).type, "exfat");
    // The list was refreshed and shows the new file system.
    ASSERT_TRUE(HasRow("PART 0,1"));
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        if (list_->topLevelItem(i)->text(1) == "PART 0,1") {
            EXPECT_EQ(list_->topLevelItem(i)->text(6), "exFAT");
        }
    }
}

TEST_F(SideBarPages, CheckDiskOpensTheCheckWindowModeless) {
    if (!test_support::IsRoot()) GTEST_SKIP() << "needs root: the check works on a loop device";
    Start({FatVolumeDisk()});
    Select("PART 0,1");
    Press("Volume", "Check Disk");
    tarnovell::Tfrmcheckdisk* check = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<tarnovell::Tfrmcheckdisk*>(w); found && found->isVisible()) check = found;
    ASSERT_NE(check, nullptr);
    EXPECT_FALSE(check->isModal());
    EXPECT_EQ(check->windowTitle(), "Check Disk C:");
    check->doChkDsk->click();
    EXPECT_TRUE(check->Log->toPlainText().contains("Check Disk: Finished OK"))
        << check->Log->toPlainText().toStdString();
    check->close();
}

// ---- Disk page -----------------------------------------------------------------

TEST_F(SideBarPages, DiskAttributesOfABlankDisk) {
    Start({FatVolumeDisk(), BlankDisk()});
    Select("DISK 1");
    struct Step {
        const char* caption;
        const char* question;
        const char* status;
        std::uint64_t attributes;
    };
    for (const Step& step : {Step{"Set Disk Offline", "Set \\\\.\\PhysicalDrive1 offline ?",
                                  "IOCTL_DISK_SET_DISK_ATTRIBUTES DISK_OFFLINE Ok", 1},
                             Step{"Set Disk Online", "Set \\\\.\\PhysicalDrive1 online ?",
                                  "IOCTL_DISK_SET_DISK_ATTRIBUTES DISK_ONLINE Ok", 0},
                             Step{"Set Disk Read-Only", "Set \\\\.\\PhysicalDrive1 read-only ?",
                                  "IOCTL_DISK_SET_DISK_ATTRIBUTES DISK_READ_ONLY Ok", 2},
                             Step{"Set Disk Read-Write", "Set \\\\.\\PhysicalDrive1 read-write ?",
                                  "IOCTL_DISK_SET_DISK_ATTRIBUTES DISK_READ_WRITE Ok", 0}}) {
        ui_.answer_confirm(true);
        Press("Disk", step.caption);
        EXPECT_EQ(ui_.log().back().text, step.question);
        EXPECT_EQ(Status(), step.status);
        EXPECT_EQ(Attributes(1), step.attributes) << step.caption;
    }
    ui_.answer_confirm(false);
    Press("Disk", "Set Disk Offline");
    EXPECT_EQ(Attributes(1), 0u);
}

TEST_F(SideBarPages, ADiskWithAMountedFileSystemStaysOnline) {
    Start({FatVolumeDisk()});
    Select("DISK 0");
    ui_.answer_confirm(true);
    Press("Disk", "Set Disk Offline");
    EXPECT_EQ(LastSaid(), "IOCTL_DISK_SET_DISK_ATTRIBUTES DISK_OFFLINE failed");
    EXPECT_EQ(Attributes(0), 0u);
    EXPECT_TRUE(HasRow("PART 0,1"));
}

TEST_F(SideBarPages, UpdatePropertiesAndDeleteLayout) {
    Start({FatVolumeDisk(), test_support::OnePartitionDisk(2)});
    Select("DISK 1");
    Press("Disk", "Update Disk Properties");
    EXPECT_EQ(Status(), "IOCTL_DISK_UPDATE_PROPERTIES Ok");

    ui_.answer_confirm(false);
    Press("Disk", "Delete Disk Layout");
    EXPECT_EQ(LastSaid(), "Delete Drive Layout for \\\\.\\PhysicalDrive1?");
    EXPECT_TRUE(HasRow("PART 1,1"));
    ui_.answer_confirm(true);
    Press("Disk", "Delete Disk Layout");
    EXPECT_EQ(Status(), "DELETE_DRIVE_LAYOUT Ok") << LastSaid();
    EXPECT_FALSE(HasRow("PART 1,1"));
    EXPECT_NE(test_support::Run("sfdisk --dump " + Quote(machine_->image(1))).exit_code, 0);

    // The file system in use on disk 0 keeps its table; the list is filled afresh all the same.
    Select("DISK 0");
    ui_.answer_confirm(true);
    Press("Disk", "Delete Disk Layout");
    EXPECT_EQ(LastSaid().rfind("IOCTL_DISK_DELETE_DRIVE_LAYOUT failed:", 0), 0u) << LastSaid();
    EXPECT_TRUE(HasRow("PART 0,1"));
    EXPECT_EQ(test_support::Run("sfdisk --dump " + Quote(machine_->image(0))).exit_code, 0);
}

// ---- Virtual Hard Disk page ----------------------------------------------------------

class VirtualDiskPage : public SideBarPages {
protected:
    void SetUp() override {
        if (!test_support::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is not installed";
        std::string why;
        if (!platform::virtdisk::CanServeImages(&why)) GTEST_SKIP() << why;
    }
    std::string VirtualSize(const std::string& file) {
        auto info = test_support::Run("qemu-img info -U --output=json " + Quote(file));
        auto at = info.output.find("\"virtual-size\": ");
        return at == std::string::npos ? info.output : info.output.substr(at + 16, info.output.find(',', at) - at - 16);
    }
};

TEST_F(VirtualDiskPage, CreateAttachThenDetach) {
    Start({FatVolumeDisk()});
    const std::string vhd = machine_->dir().file("new.vhd");
    WhenShown<tarnovell::Tfrmvirtualdisk>([&](tarnovell::Tfrmvirtualdisk& d) {
        EXPECT_TRUE(d.chkRO->isHidden());
        d.txtpath->setText(QString::fromStdString(vhd));
        d.txtsize->setText("16");
        d.chkdynamic->setChecked(true);
        d.accept();
    });
    Press("Virtual Hard Disk", "Create / Attach a VHD");
    EXPECT_EQ(Status(), "AttachVirtualDisk OK, ");
    EXPECT_EQ(VirtualSize(vhd), "16777216");
    ASSERT_TRUE(HasRow("DISK 1"));

    Select("DISK 1");
    Press("Virtual Hard Disk", "Detach VHD");
    EXPECT_FALSE(HasRow("DISK 1")) << LastSaid();

    // Asked for a partition, the attach names the disk it became.
    const std::string fixed = machine_->dir().file("fixed.vhd");
    WhenShown<tarnovell::Tfrmvirtualdisk>([&](tarnovell::Tfrmvirtualdisk& d) {
        d.txtpath->setText(QString::fromStdString(fixed));
        d.txtsize->setText("8");
        d.chkcreatepart->setChecked(true);
        d.accept();
    });
    Press("Virtual Hard Disk", "Create / Attach a VHD");
    EXPECT_EQ(Status(), "AttachVirtualDisk OK, \\\\.\\PhysicalDrive1");
    EXPECT_TRUE(HasRow("DISK 1"));
    EXPECT_TRUE(HasRow("PART 1,1")) << "laid out with one partition";
    const test_support::PeerTable table = test_support::SfdiskTable(fixed);
    EXPECT_EQ(table.id, "0x01020304") << table.output;
    ASSERT_EQ(table.partitions.size(), 1u);
    EXPECT_EQ(table.partitions[0].type, "7");
    EXPECT_EQ(VirtualSize(fixed), "8389120");  // qemu takes a fixed VHD for a raw file: the footer counts
}

TEST_F(VirtualDiskPage, SectorSizesNeedAVhdx) {
    Start({FatVolumeDisk()});
    const std::string vhd = machine_->dir().file("sectors.vhd");
    WhenShown<tarnovell::Tfrmvirtualdisk>([&](tarnovell::Tfrmvirtualdisk& d) {
        d.txtpath->setText(QString::fromStdString(vhd));
        d.rblog4096->setChecked(true);
        d.accept();
    });
    Press("Virtual Hard Disk", "Create / Attach a VHD");
    EXPECT_EQ(LastSaid(), "sector size<>default, you need to select VHDX");
    EXPECT_FALSE(std::filesystem::exists(vhd));
}

TEST_F(VirtualDiskPage, OpenAttachKeepsTheDiskWhileTheProgramHoldsIt) {
    Start({FatVolumeDisk()});
    const std::string vhd = machine_->dir().file("old.vhd");
    ASSERT_EQ(test_support::Run("qemu-img create -q -f vpc -o subformat=fixed " + Quote(vhd) + " 8M").exit_code, 0);
    WhenShown<tarnovell::Tfrmvirtualdisk>([&](tarnovell::Tfrmvirtualdisk& d) {
        EXPECT_EQ(d.windowTitle(), "Open VHD");
        EXPECT_FALSE(d.txtsize->isEnabled());
        EXPECT_TRUE(d.chkdynamic->isHidden());
        EXPECT_TRUE(d.grp_logical->isHidden());
        d.txtpath->setText(QString::fromStdString(vhd));
        d.chkRO->setChecked(true);
        d.accept();
    });
    Press("Virtual Hard Disk", "Open / Attach a VHD or ISO");
    EXPECT_EQ(Status(), "AttachVirtualDisk OK");
    EXPECT_TRUE(HasRow("DISK 1"));
}

TEST_F(VirtualDiskPage, ExpandMergeCompactResize) {
    Start({FatVolumeDisk()});
    const std::string base = machine_->dir().file("base.vhd"), child = machine_->dir().file("child.vhd");
    ASSERT_EQ(test_support::Run("qemu-img create -q -f vpc " + Quote(base) + " 8M").exit_code, 0);

    WhenShown<tarnovell::TfrmExpandVHD>([&](tarnovell::TfrmExpandVHD& d) {
        d.txtvhd->setText(QString::fromStdString(base));
        d.txtsize->setText("16");
        d.accept();
    });
    Press("Virtual Hard Disk", "Expand VHD");
    EXPECT_EQ(Status(), "ExpandVirtualDisk OK") << LastSaid();
    EXPECT_EQ(VirtualSize(base), "16777216");

    ASSERT_EQ(platform::virtdisk::CreateDifferencingVhd(child, base), 0u);
    WhenShown<tarnovell::TfrmMergeVHD>([&](tarnovell::TfrmMergeVHD& d) {
        d.txtvhd->setText(QString::fromStdString(child));
        d.accept();
    });
    Press("Virtual Hard Disk", "Merge VHD");
    EXPECT_EQ(Status(), "mergeVHD OK") << LastSaid();

    PickFile(base);
    Press("Virtual Hard Disk", "Compact VHD");
    EXPECT_EQ(Status(), "CompactVHD OK") << LastSaid();

    // A disk whose one partition ends at 5 MiB shrinks to no less than that.
    const std::string shrink = machine_->dir().file("shrink.vhd");
    ASSERT_EQ(test_support::Run("qemu-img create -q -f vpc -o subformat=fixed " + Quote(shrink) + " 16M").exit_code, 0);
    test_support::RunOn("printf 'label: dos\\nstart=2048,size=8192,type=7\\n' | sfdisk -q %s", shrink);
    PickFile(shrink);
    Press("Virtual Hard Disk", "Resize VHD");
    EXPECT_EQ(Status(), "ResizeVHD OK") << LastSaid();
    const std::int64_t size = std::stoll(VirtualSize(shrink));
    EXPECT_GE(size, 5 << 20);
    EXPECT_LT(size, 16 << 20);
}

TEST_F(SideBarPages, InformationsShowsTheVhdReport) {
    Start({FatVolumeDisk()});
    const std::string vhd = machine_->dir().file("info.vhd");
    ASSERT_EQ(test_support::Run("qemu-img create -q -f vpc " + Quote(vhd) + " 8M").exit_code, 0);
    PickFile(vhd);
    Press("Virtual Hard Disk", "Informations");
    tarnovell::Tfrmproperties* shown = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* p = qobject_cast<tarnovell::Tfrmproperties*>(w); p && p->isVisible()) shown = p;
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->windowTitle().toStdString(), "Informations for " + vhd);
    EXPECT_TRUE(shown->Memo1->toPlainText().startsWith("Disk Type: DYNAMIC\n"));
    EXPECT_TRUE(shown->Memo1->toPlainText().contains("Creator_Application=qemu"));
}

TEST_F(SideBarPages, AddVhdFooterMakesARawImageAFixedVhd) {
    Start({FatVolumeDisk()});
    const std::string raw = machine_->dir().file("raw.img"), vhd = machine_->dir().file("raw.vhd");
    test_support::MakeSparseFile(raw, 4 << 20);
    PickFile(raw);
    ui_.answer_confirm(true);
    Press("Virtual Hard Disk", "Add VHD footer to a RAW file");
    EXPECT_EQ(ui_.log().back().text, "append vhd footer to image file and rename it to " + vhd + "?");
    ASSERT_TRUE(std::filesystem::exists(vhd));
    EXPECT_FALSE(std::filesystem::exists(raw));
    auto info = test_support::Run("qemu-img info --output=json --image-opts "
                                  "driver=vpc,force_size_calc=current_size,file.filename=" + Quote(vhd));
    EXPECT_NE(info.output.find("\"virtual-size\": 4194304"), std::string::npos) << info.output;
}

// ---- the device report ---------------------------------------------------------

TEST_F(SideBarPages, DeviceReportFromThePopUpAndADoubleClick) {
    Start({FatVolumeDisk()});
    Select("DISK 0");
    window_->findChild<QAction*>("Showmoredetails1")->trigger();
    auto shown = [] {
        std::vector<tarnovell::Tfrmproperties*> windows;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* p = qobject_cast<tarnovell::Tfrmproperties*>(w); p && p->isVisible()) windows.push_back(p);
        return windows;
    };
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(shown()[0]->windowTitle(), "Properties for \\\\.\\PhysicalDrive0");
    EXPECT_TRUE(shown()[0]->Memo1->toPlainText().contains("->Drive Geometry"));
    shown()[0]->close();

    Select("PART 0,1");
    emit list_->itemDoubleClicked(list_->currentItem(), 0);
    ASSERT_EQ(shown().size(), 1u);
    EXPECT_EQ(shown()[0]->windowTitle(), "Properties for \\\\.\\C:");
    EXPECT_TRUE(shown()[0]->Memo1->toPlainText().contains("->Partition_Info"));
}

}  // namespace
