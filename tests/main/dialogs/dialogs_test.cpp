// The parameter dialogs: the enabling rules, what the callers read, the
// defaults they rely on, and that choosing an existing VHD file never
// deletes it behind Cancel.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QEnterEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/dialog_test_helpers.h"
#include "main/dialogs/dialogs.h"
#include "platform/base/interaction.h"
#include "support/test_support.h"

using namespace tarnovell;
using namespace dialog_test;
using test_support::TempDir;

namespace {

namespace fs = std::filesystem;

template <class Widget>
Widget* Find(QWidget& dialog, const char* name) {
    auto* widget = dialog.findChild<Widget*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

std::unique_ptr<QDialog> MakeDialog(const std::string& name, const std::string& program_folder = "/nonexistent/") {
    if (name == "Tfrmtarget") return std::make_unique<Tfrmtarget>();
    if (name == "Tfrmbackup") return std::make_unique<Tfrmbackup>();
    if (name == "Tfrmresize") return std::make_unique<Tfrmresize>();
    if (name == "Tfrmvirtualdisk") return std::make_unique<Tfrmvirtualdisk>();
    if (name == "TfrmDevio") return std::make_unique<TfrmDevio>();
    if (name == "TfrmExpandVHD") return std::make_unique<TfrmExpandVHD>();
    if (name == "TfrmMergeVHD") return std::make_unique<TfrmMergeVHD>();
    if (name == "Tfrmpartstyle") return std::make_unique<Tfrmpartstyle>();
    if (name == "Tfrmproperties") return std::make_unique<Tfrmproperties>();
    if (name == "TfrmAbout") return std::make_unique<TfrmAbout>(nullptr, "Tarnovell 2.3.8", program_folder);
    ADD_FAILURE() << "no dialog " << name;
    return nullptr;
}

// ---------------------------------------------------------------- Tfrmbackup

struct ClickCase {
    const char* name;
    std::vector<const char*> clicks;
    bool wim_group_enabled;
    bool skip_enabled;
    int format;
};

class TfrmbackupEnabling : public DialogTableTest<ClickCase> {};

TEST_P(TfrmbackupEnabling, FollowsTheFormatClicks) {
    Tfrmbackup dialog;
    dialog.show();
    for (const char* name : GetParam().clicks) {
        auto* radio = Find<QRadioButton>(dialog, name);
        ASSERT_NE(radio, nullptr);
        ASSERT_TRUE(radio->isEnabled()) << name;
        radio->click();
    }
    EXPECT_EQ(dialog.grp_wim->isEnabled(), GetParam().wim_group_enabled);
    EXPECT_EQ(Find<QCheckBox>(dialog, "chk_unpartitioned")->isEnabled(), GetParam().skip_enabled);
    EXPECT_EQ(dialog.format(), GetParam().format);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TfrmbackupEnabling,
    ::testing::Values(ClickCase{"Shown", {}, false, true, 10}, ClickCase{"Raw", {"rbraw"}, false, true, 10},
                      ClickCase{"Wim", {"rbwim"}, true, false, 20}, ClickCase{"Ewf", {"rbEWF"}, false, false, 30},
                      ClickCase{"Vhd", {"rbVHD"}, false, true, 40}, ClickCase{"Lz4", {"rblz4"}, false, true, 50},
                      ClickCase{"WimThenLz4", {"rbwim", "rblz4"}, false, false, 50},
                      ClickCase{"EwfThenLz4", {"rbEWF", "rblz4"}, false, false, 50},
                      ClickCase{"EwfThenVhdThenLz4", {"rbEWF", "rbVHD", "rblz4"}, false, true, 50},
                      ClickCase{"WimThenRaw", {"rbwim", "rbraw"}, false, true, 10},
                      ClickCase{"WimThenEwf", {"rbwim", "rbEWF"}, false, false, 30},
                      ClickCase{"VhdThenWim", {"rbVHD", "rbwim"}, true, false, 20},
                      ClickCase{"Lz4ThenWim", {"rblz4", "rbwim"}, true, false, 20}),
    CaseName());

TEST_F(DialogTest, TfrmbackupShowDisablesWimOptionsTheCallerEnabled) {
    Tfrmbackup dialog;
    dialog.grp_wim->setEnabled(true);
    dialog.show();
    EXPECT_FALSE(dialog.grp_wim->isEnabled());
}

// ---------------------------------------------------------------- what callers read

struct ReadCase {
    const char* name;
    const char* dialog;
    std::vector<const char*> clicks;  // buttons clicked first, in order
    std::function<long long(QDialog&)> read;
    long long expected;
};

class TfrmGetters : public DialogTableTest<ReadCase> {};

TEST_P(TfrmGetters, ReadTheControls) {
    auto dialog = MakeDialog(GetParam().dialog);
    ASSERT_TRUE(dialog);
    dialog->show();
    for (const char* name : GetParam().clicks) {
        auto* button = Find<QAbstractButton>(*dialog, name);
        ASSERT_NE(button, nullptr);
        ASSERT_TRUE(button->isEnabled()) << name;
        button->click();
    }
    EXPECT_EQ(GetParam().read(*dialog), GetParam().expected);
}

template <class D, class F>
std::function<long long(QDialog&)> Read(F getter) {
    return [getter](QDialog& dialog) { return static_cast<long long>(getter(static_cast<D&>(dialog))); };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TfrmGetters,
    ::testing::Values(
        ReadCase{
            "CompressionNone", "Tfrmbackup", {"rbwim"}, Read<Tfrmbackup>([](auto& d) { return d.compression(); }), 1},
        ReadCase{"CompressionXpress",
                 "Tfrmbackup",
                 {"rbwim", "rb_lzx", "rb_xpress"},
                 Read<Tfrmbackup>([](auto& d) { return d.compression(); }),
                 1},
        ReadCase{"CompressionLzx",
                 "Tfrmbackup",
                 {"rbwim", "rb_lzx"},
                 Read<Tfrmbackup>([](auto& d) { return d.compression(); }),
                 2},
        ReadCase{"CompressionLzms",
                 "Tfrmbackup",
                 {"rbwim", "rb_lzms"},
                 Read<Tfrmbackup>([](auto& d) { return d.compression(); }),
                 3},
        ReadCase{"Wimboot",
                 "Tfrmbackup",
                 {"rbwim", "chk_wimboot"},
                 Read<Tfrmbackup>([](auto& d) { return d.wimboot(); }),
                 1},
        ReadCase{"NoWimboot", "Tfrmbackup", {}, Read<Tfrmbackup>([](auto& d) { return d.wimboot(); }), 0},
        ReadCase{"Skip",
                 "Tfrmbackup",
                 {"chk_unpartitioned"},
                 Read<Tfrmbackup>([](auto& d) { return d.skip_unpartitioned(); }),
                 1},
        ReadCase{"NetcatDefault", "TfrmDevio", {}, Read<TfrmDevio>([](auto& d) { return d.netcat(); }), 1},
        ReadCase{"Devio", "TfrmDevio", {"rbdevio"}, Read<TfrmDevio>([](auto& d) { return d.netcat(); }), 0},
        ReadCase{"DevioSkip",
                 "TfrmDevio",
                 {"chk_unpartitioned"},
                 Read<TfrmDevio>([](auto& d) { return d.skip_unpartitioned(); }),
                 1},
        ReadCase{"StyleMbr", "Tfrmpartstyle", {}, Read<Tfrmpartstyle>([](auto& d) { return d.style(); }), 0},
        ReadCase{"StyleGpt", "Tfrmpartstyle", {"rbgpt"}, Read<Tfrmpartstyle>([](auto& d) { return d.style(); }), 1},
        ReadCase{"StyleRaw", "Tfrmpartstyle", {"rbraw"}, Read<Tfrmpartstyle>([](auto& d) { return d.style(); }), 2},
        ReadCase{"LogicalDefault",
                 "Tfrmvirtualdisk",
                 {},
                 Read<Tfrmvirtualdisk>([](auto& d) { return d.logical_sector_size(); }),
                 0},
        ReadCase{"Logical512",
                 "Tfrmvirtualdisk",
                 {"rblog512"},
                 Read<Tfrmvirtualdisk>([](auto& d) { return d.logical_sector_size(); }),
                 512},
        ReadCase{"Logical4096",
                 "Tfrmvirtualdisk",
                 {"rblog4096"},
                 Read<Tfrmvirtualdisk>([](auto& d) { return d.logical_sector_size(); }),
                 4096},
        ReadCase{"PhysicalUntouchedByLogical",
                 "Tfrmvirtualdisk",
                 {"rblog4096"},
                 Read<Tfrmvirtualdisk>([](auto& d) { return d.physical_sector_size(); }),
                 0},
        ReadCase{"Physical512",
                 "Tfrmvirtualdisk",
                 {"rbphy512"},
                 Read<Tfrmvirtualdisk>([](auto& d) { return d.physical_sector_size(); }),
                 512},
        ReadCase{"Physical4096",
                 "Tfrmvirtualdisk",
                 {"rbphy4096"},
                 Read<Tfrmvirtualdisk>([](auto& d) { return d.physical_sector_size(); }),
                 4096},
        ReadCase{
            "SizeDefault", "Tfrmvirtualdisk", {}, Read<Tfrmvirtualdisk>([](auto& d) { return *d.size_mb(); }), 256},
        ReadCase{"Flags",
                 "Tfrmvirtualdisk",
                 {"chkpermanent", "chkRO", "chkcreatepart"},
                 Read<Tfrmvirtualdisk>([](auto& d) {
                     return d.permanent() * 1 + d.dynamic() * 2 + d.read_only() * 4 + d.no_drive_letter() * 8 +
                            d.create_partition() * 16;
                 }),
                 1 + 4 + 16},
        ReadCase{"OtherFlags",
                 "Tfrmvirtualdisk",
                 {"chkdynamic", "chkNoDriveLetter"},
                 Read<Tfrmvirtualdisk>([](auto& d) {
                     return d.permanent() * 1 + d.dynamic() * 2 + d.read_only() * 4 + d.no_drive_letter() * 8 +
                            d.create_partition() * 16;
                 }),
                 2 + 8}),
    CaseName());

struct NumberCase {
    QString text;
    std::optional<std::int64_t> expected;
};

class TfrmresizeNumbers : public DialogTableTest<NumberCase> {};

// Sizes are whole megabytes; anything else is no answer rather than 0.
TEST_P(TfrmresizeNumbers, AreWholeMegabytes) {
    Tfrmresize resize;
    resize.txtnew->setText(GetParam().text);
    EXPECT_EQ(resize.new_size_mb(), GetParam().expected);
    TfrmExpandVHD expand;
    expand.txtsize->setText(GetParam().text);
    EXPECT_EQ(expand.size_mb(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TfrmresizeNumbers,
                         ::testing::Values(NumberCase{"2048", 2048}, NumberCase{" 10 ", 10},
                                           NumberCase{"8589934592", 8589934592LL}, NumberCase{"", std::nullopt},
                                           NumberCase{"12.5", std::nullopt}, NumberCase{"1O", std::nullopt}));

TEST_F(DialogTest, TfrmresizeShowsTheSizesItIsGiven) {
    Tfrmresize dialog;
    dialog.SetCurrentSize(1024);
    dialog.SetNewSize(4095);
    EXPECT_EQ(dialog.txtcurrent->text(), "1024");
    EXPECT_TRUE(dialog.txtcurrent->isReadOnly());
    EXPECT_EQ(dialog.new_size_mb(), 4095);
}

TEST_F(DialogTest, TfrmDevioHostIsTheTypedText) {
    TfrmDevio dialog;
    EXPECT_EQ(dialog.host(), "127.0.0.1:9000");
    dialog.txthost->setText("10.0.0.2:7000");
    EXPECT_EQ(dialog.host(), "10.0.0.2:7000");
}

// ---------------------------------------------------------------- defaults by name

struct DefaultCase {
    const char* dialog;
    const char* object;  // "" for the dialog itself
    const char* property;
    QVariant expected;
};

// The header captions of a list, or a widget property.
QVariant ReadProperty(QObject& object, const char* property) {
    if (std::string(property) == "columns") {
        auto* list = qobject_cast<QTreeWidget*>(&object);
        if (!list) return {};
        QStringList captions;
        for (int i = 0; i < list->columnCount(); ++i) captions << list->headerItem()->text(i);
        return captions.join(',');
    }
    return object.property(property);
}

class DialogDefaults : public DialogTableTest<DefaultCase> {};

TEST_P(DialogDefaults, AreAsTheCallersExpect) {
    const DefaultCase& c = GetParam();
    auto dialog = MakeDialog(c.dialog);
    ASSERT_TRUE(dialog);
    QObject* object = *c.object ? dialog->findChild<QObject*>(c.object) : dialog.get();
    ASSERT_NE(object, nullptr) << c.dialog << "." << c.object;
    const QVariant value = ReadProperty(*object, c.property);
    EXPECT_EQ(value, c.expected) << c.dialog << "." << c.object << "." << c.property << " is "
                                 << value.toString().toStdString();
}

QVariant Text(const char* text) { return QString(text); }

INSTANTIATE_TEST_SUITE_P(
    Cases, DialogDefaults,
    ::testing::Values(
        DefaultCase{"Tfrmtarget", "", "windowTitle", Text("Tarnovell")},
        DefaultCase{"Tfrmtarget", "lbltarget", "text", Text("Please select destination")},
        DefaultCase{"Tfrmtarget", "lvdisks", "columns",
                    Text("#,Type,Name,Size (MB),Used (MB),Unused (MB),FS,Linux Device")},
        DefaultCase{"Tfrmtarget", "btnok", "text", Text("OK")}, DefaultCase{"Tfrmtarget", "btnok", "default", true},
        DefaultCase{"Tfrmtarget", "btncancel", "text", Text("Cancel")},
        DefaultCase{"Tfrmtarget", "btncancel", "default", false},
        DefaultCase{"Tfrmbackup", "", "windowTitle", Text("Backup / Restore")},
        DefaultCase{"Tfrmbackup", "lblchoose", "text", Text("Choose options")},
        DefaultCase{"Tfrmbackup", "lbldefaults", "text", Text("(leave defaults if you dont know)")},
        DefaultCase{"Tfrmbackup", "grp_format", "title", Text("Format")},
        DefaultCase{"Tfrmbackup", "rbraw", "text", Text("RAW")}, DefaultCase{"Tfrmbackup", "rbraw", "checked", true},
        DefaultCase{"Tfrmbackup", "rbwim", "text", Text("WIM")}, DefaultCase{"Tfrmbackup", "rbwim", "checked", false},
        DefaultCase{"Tfrmbackup", "rbEWF", "text", Text("EWF")},
        DefaultCase{"Tfrmbackup", "rbVHD", "text", Text("VHD")},
        DefaultCase{"Tfrmbackup", "rblz4", "text", Text("LZ4")}, DefaultCase{"Tfrmbackup", "rblz4", "checked", false},
        DefaultCase{"Tfrmbackup", "grp_raw", "title", Text("RAW (MBR Disk only)")},
        DefaultCase{"Tfrmbackup", "chk_unpartitioned", "text", Text("Skip non partitioned space")},
        DefaultCase{"Tfrmbackup", "chk_unpartitioned", "checked", false},
        DefaultCase{"Tfrmbackup", "grp_wim", "title", Text("WIM (Part. only)")},
        DefaultCase{"Tfrmbackup", "grp_wim", "enabled", false},
        DefaultCase{"Tfrmbackup", "chk_wimboot", "text", Text("WIMBOOT")},
        DefaultCase{"Tfrmbackup", "rb_xpress", "text", Text("XPRESS")},
        DefaultCase{"Tfrmbackup", "rb_lzx", "text", Text("LZX")},
        DefaultCase{"Tfrmbackup", "rb_lzms", "text", Text("LZMS")}, DefaultCase{"Tfrmbackup", "btnok", "default", true},
        DefaultCase{"Tfrmresize", "", "windowTitle", Text("Resize")},
        DefaultCase{"Tfrmresize", "lblprompt", "text", Text("Enter new partition size")},
        DefaultCase{"Tfrmresize", "lblcurrent", "text", Text("Current Size (MB)")},
        DefaultCase{"Tfrmresize", "lblnew", "text", Text("New Size (MB)")},
        DefaultCase{"Tfrmresize", "txtcurrent", "text", Text("")},
        DefaultCase{"Tfrmresize", "txtnew", "text", Text("")}, DefaultCase{"Tfrmresize", "btnok", "default", true},
        DefaultCase{"Tfrmvirtualdisk", "", "windowTitle", Text("Create Virtual Disk")},
        DefaultCase{"Tfrmvirtualdisk", "lblprompt", "text", Text("Enter VHD details")},
        DefaultCase{"Tfrmvirtualdisk", "lblpath", "text", Text("Path")},
        DefaultCase{"Tfrmvirtualdisk", "txtpath", "text", Text("")},
        DefaultCase{"Tfrmvirtualdisk", "btnfile", "text", Text("...")},
        DefaultCase{"Tfrmvirtualdisk", "lblsize", "text", Text("Size (MB)")},
        DefaultCase{"Tfrmvirtualdisk", "txtsize", "text", Text("256")},
        DefaultCase{"Tfrmvirtualdisk", "lblparent", "text", Text("Parent (optional)")},
        DefaultCase{"Tfrmvirtualdisk", "txtParent", "text", Text("")},
        DefaultCase{"Tfrmvirtualdisk", "btnParent", "text", Text("...")},
        DefaultCase{"Tfrmvirtualdisk", "chkpermanent", "text", Text("Permanent (i.e after handle is closed)")},
        DefaultCase{"Tfrmvirtualdisk", "chkpermanent", "checked", false},
        DefaultCase{"Tfrmvirtualdisk", "chkdynamic", "text", Text("Dynamic")},
        DefaultCase{"Tfrmvirtualdisk", "chkRO", "text", Text("Read Only")},
        DefaultCase{"Tfrmvirtualdisk", "chkNoDriveLetter", "text", Text("No Drive Letter")},
        DefaultCase{"Tfrmvirtualdisk", "chkcreatepart", "text", Text("Create Partition")},
        DefaultCase{"Tfrmvirtualdisk", "grp_logical", "title", Text("Logical sector size")},
        DefaultCase{"Tfrmvirtualdisk", "rblog512", "text", Text("512")},
        DefaultCase{"Tfrmvirtualdisk", "rblog4096", "text", Text("4096")},
        DefaultCase{"Tfrmvirtualdisk", "rblogdefault", "text", Text("default")},
        DefaultCase{"Tfrmvirtualdisk", "rblogdefault", "checked", true},
        DefaultCase{"Tfrmvirtualdisk", "rblog512", "checked", false},
        DefaultCase{"Tfrmvirtualdisk", "grp_physical", "title", Text("Physical size")},
        DefaultCase{"Tfrmvirtualdisk", "rbphydefault", "checked", true},
        DefaultCase{"Tfrmvirtualdisk", "rbphy4096", "checked", false},
        DefaultCase{"Tfrmvirtualdisk", "btnok", "default", true},
        DefaultCase{"TfrmDevio", "", "windowTitle", Text("Network")},
        DefaultCase{"TfrmDevio", "lblchoose", "text", Text("Choose options")},
        DefaultCase{"TfrmDevio", "lbldefaults", "text", Text("(leave defaults if you dont know)")},
        DefaultCase{"TfrmDevio", "grp_host", "title", Text("Remote Host")},
        DefaultCase{"TfrmDevio", "txthost", "text", Text("127.0.0.1:9000")},
        DefaultCase{"TfrmDevio", "rbdevio", "text", Text("DevIO")},
        DefaultCase{"TfrmDevio", "rbdevio", "checked", false},
        DefaultCase{"TfrmDevio", "rbNetcat", "text", Text("Netcat")},
        DefaultCase{"TfrmDevio", "rbNetcat", "checked", true},
        DefaultCase{"TfrmDevio", "grp_physical", "title", Text("Physical Only / MBR Only")},
        DefaultCase{"TfrmDevio", "chk_unpartitioned", "text", Text("Skip non partitioned space")},
        DefaultCase{"TfrmDevio", "btnok", "default", true},
        DefaultCase{"TfrmExpandVHD", "", "windowTitle", Text("Expand VHD")},
        DefaultCase{"TfrmExpandVHD", "lblvhd", "text", Text("VHD")},
        DefaultCase{"TfrmExpandVHD", "btnvhd", "text", Text("...")},
        DefaultCase{"TfrmExpandVHD", "lblsize", "text", Text("Size (MB)")},
        DefaultCase{"TfrmExpandVHD", "txtsize", "text", Text("")},
        DefaultCase{"TfrmMergeVHD", "", "windowTitle", Text("Merge VHD")},
        DefaultCase{"TfrmMergeVHD", "lblvhd", "text", Text("VHD child")},
        DefaultCase{"TfrmMergeVHD", "btnvhd", "text", Text("...")},
        DefaultCase{"TfrmMergeVHD", "memonote", "plainText",
                    Text("MergeDepth=1\nYou should delete the child \nafter the merge.")},
        DefaultCase{"TfrmMergeVHD", "memonote", "readOnly", true},
        DefaultCase{"Tfrmpartstyle", "", "windowTitle", Text("Create Disk")},
        DefaultCase{"Tfrmpartstyle", "rbmbr", "text", Text("MBR")},
        DefaultCase{"Tfrmpartstyle", "rbmbr", "checked", true},
        DefaultCase{"Tfrmpartstyle", "rbgpt", "text", Text("GPT")},
        DefaultCase{"Tfrmpartstyle", "rbgpt", "checked", false},
        DefaultCase{"Tfrmpartstyle", "rbraw", "text", Text("RAW")},
        DefaultCase{"Tfrmpartstyle", "rbraw", "checked", false},
        DefaultCase{"Tfrmproperties", "", "windowTitle", Text("Properties")},
        DefaultCase{"Tfrmproperties", "", "modal", false}, DefaultCase{"Tfrmproperties", "Memo1", "readOnly", true},
        DefaultCase{"Tfrmproperties", "Memo1", "plainText", Text("")},
        DefaultCase{"TfrmAbout", "", "windowTitle", Text("About")}, DefaultCase{"TfrmAbout", "", "modal", false},
        DefaultCase{"TfrmAbout", "Label5", "text", Text("Processor details:")},
        DefaultCase{"TfrmAbout", "lblweb", "text", Text("Tarnovell project page")},
        DefaultCase{"TfrmAbout", "lblmail", "text", Text("Report a problem by mail")}));

// ---------------------------------------------------------------- OK and Cancel

struct AnswerCase {
    const char* dialog;
    const char* press;  // a button name, or "Esc"
    int result;
};

class DialogAnswers : public DialogTableTest<AnswerCase> {};

TEST_P(DialogAnswers, OkAcceptsCancelAndEscReject) {
    auto dialog = MakeDialog(GetParam().dialog);
    ASSERT_TRUE(dialog);
    dialog->show();
    dialog->setResult(-1);
    if (std::string(GetParam().press) == "Esc") {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(dialog.get(), &escape);
    } else {
        auto* button = Find<QPushButton>(*dialog, GetParam().press);
        ASSERT_NE(button, nullptr);
        button->click();
    }
    EXPECT_EQ(dialog->result(), GetParam().result);
    EXPECT_FALSE(dialog->isVisible());
}

std::vector<AnswerCase> AnswerCases() {
    std::vector<AnswerCase> cases;
    for (const char* name : {"Tfrmtarget", "Tfrmbackup", "Tfrmresize", "Tfrmvirtualdisk", "TfrmDevio", "TfrmExpandVHD",
                             "TfrmMergeVHD", "Tfrmpartstyle"}) {
        cases.push_back({name, "btnok", QDialog::Accepted});
        cases.push_back({name, "btncancel", QDialog::Rejected});
        cases.push_back({name, "Esc", QDialog::Rejected});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, DialogAnswers, ::testing::ValuesIn(AnswerCases()));

// ---------------------------------------------------------------- Tfrmtarget

TEST_F(DialogTest, TfrmtargetGivesBackTheSelectedRow) {
    Tfrmtarget dialog;
    disk::DiskListRow disk_row{"0", 0, "DISK 0", "QEMU HARDDISK", "1024", "", "", "", "/dev/sdb"};
    disk::DiskListRow part_row{"1",    -1,   "PART 0,1", "C: [data]", "1023", "12", "1011",
                               "NTFS", "/dev/sdb1 on /mnt/data"};
    dialog.SetRows({disk_row, part_row});
    ASSERT_EQ(dialog.lvdisks->topLevelItemCount(), 2);
    EXPECT_FALSE(dialog.SelectedRow().has_value());

    QTreeWidgetItem* item = dialog.lvdisks->topLevelItem(1);
    // Which device of the machine a row is comes last.
    const QStringList shown{"1", "PART 0,1", "C: [data]", "1023", "12", "1011", "NTFS", "/dev/sdb1 on /mnt/data"};
    for (int column = 0; column < shown.size(); ++column) EXPECT_EQ(item->text(column), shown[column]);
    item->setSelected(true);
    auto selected = dialog.SelectedRow();
    ASSERT_TRUE(selected.has_value());
    EXPECT_EQ(selected->device, "PART 0,1");
    EXPECT_EQ(selected->file_system, "NTFS");

    // Long names and file systems are shown whole.
    disk::DiskListRow long_row{"2", -1, "PART 2,1", "F: [A label that is rather long for its column]", "64", "1", "63",
                               "NTFS with a long name"};
    dialog.SetRows({disk_row, long_row});
    const QFontMetrics metrics(dialog.lvdisks->font());
    for (int column : {2, 6})
        EXPECT_GE(dialog.lvdisks->columnWidth(column),
                  metrics.horizontalAdvance(dialog.lvdisks->topLevelItem(1)->text(column)))
            << column;
    int all = 0;
    for (int column = 0; column < dialog.lvdisks->columnCount(); ++column) all += dialog.lvdisks->columnWidth(column);
    EXPECT_GE(dialog.width(), all);

    // Refilling drops the old rows and the selection with them.
    dialog.SetRows({disk_row});
    EXPECT_EQ(dialog.lvdisks->topLevelItemCount(), 1);
    EXPECT_FALSE(dialog.SelectedRow().has_value());
}

TEST_F(DialogTest, TfrmpropertiesShowsTheLines) {
    Tfrmproperties window;
    window.SetLines({"Disk 0", "Size: 1024", ""});
    EXPECT_EQ(window.Memo1->toPlainText(), "Disk 0\nSize: 1024\n");
}

struct ModelessCase {
    const char* name;
    const char* dialog;
    const char* how;  // "close", "Esc" or a button name
};

class TfrmModeless : public DialogTableTest<ModelessCase> {};

// Nobody holds the modeless windows: however they are dismissed, they free themselves.
TEST_P(TfrmModeless, FreeThemselvesWhenDismissed) {
    QPointer<QDialog> window = MakeDialog(GetParam().dialog).release();
    ASSERT_FALSE(window.isNull());
    window->show();
    const std::string how = GetParam().how;
    if (how == "close") {
        window->close();
    } else if (how == "Esc") {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &escape);
    } else {
        Find<QPushButton>(*window, how.c_str())->click();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull());
}

INSTANTIATE_TEST_SUITE_P(Cases, TfrmModeless,
                         ::testing::Values(ModelessCase{"PropertiesClosed", "Tfrmproperties", "close"},
                                           ModelessCase{"PropertiesEsc", "Tfrmproperties", "Esc"},
                                           ModelessCase{"AboutClosed", "TfrmAbout", "close"},
                                           ModelessCase{"AboutEsc", "TfrmAbout", "Esc"},
                                           ModelessCase{"AboutOk", "TfrmAbout", "btnok"}),
                         CaseName());

// ---------------------------------------------------------------- Tfrmvirtualdisk and existing files

enum class Existing { RegularFile, Folder, DeviceNode, Fifo };

struct ExistingCase {
    const char* name;
    Existing kind;
    bool yes;       // the answer to "File exists! Delete?"
    bool press_ok;  // else Cancel
    bool asked;
    bool kept;
};

// Makes the thing named `path`; false when this machine cannot.
bool Make(Existing kind, const std::string& path) {
    switch (kind) {
        case Existing::RegularFile:
            WriteFile(path, "an older disk");
            return true;
        case Existing::Folder:
            return fs::create_directory(path);
        case Existing::DeviceNode:
            // The null device, in the scratch folder: harmless even if it were removed.
            return test_support::IsRoot() && ::mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
        case Existing::Fifo:
            return ::mkfifo(path.c_str(), 0600) == 0;
    }
    return false;
}

class TfrmvirtualdiskExisting : public DialogTableTest<ExistingCase> {};

TEST_P(TfrmvirtualdiskExisting, IsDeletedOnlyAfterYesAndOk) {
    const ExistingCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("disk.vhd");
    if (!Make(c.kind, path)) GTEST_SKIP() << "cannot make " << c.name << " here";

    platform::ScriptedInteraction script;
    script.answer_confirm(c.yes);
    script.set_default_confirm(true);
    platform::ScopedInteraction scoped(script);
    ScopedFileDialogHook hook(Choose(path));

    Tfrmvirtualdisk dialog;
    dialog.SetMode("create");
    dialog.show();
    dialog.btnfile->click();
    ASSERT_EQ(dialog.path(), path);

    const auto log = script.log();
    EXPECT_EQ(log.size(), c.asked ? 1u : 0u);
    if (!log.empty()) {
        EXPECT_EQ(log[0].kind, platform::ScriptedInteraction::Exchange::Confirm);
        EXPECT_EQ(log[0].text, "File exists! Delete?");
        EXPECT_EQ(log[0].caption, "Tarnovell");
    }
    // Nothing goes while the dialog is still open.
    EXPECT_TRUE(Exists(path));

    Find<QPushButton>(dialog, c.press_ok ? "btnok" : "btncancel")->click();
    EXPECT_EQ(dialog.result(), c.press_ok ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_EQ(Exists(path), c.kept);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TfrmvirtualdiskExisting,
    ::testing::Values(ExistingCase{"YesThenOkDeletes", Existing::RegularFile, true, true, true, false},
                      ExistingCase{"YesThenCancelKeeps", Existing::RegularFile, true, false, true, true},
                      ExistingCase{"NoThenOkKeeps", Existing::RegularFile, false, true, true, true},
                      ExistingCase{"NoThenCancelKeeps", Existing::RegularFile, false, false, true, true},
                      ExistingCase{"FolderNeverDeleted", Existing::Folder, true, true, false, true},
                      ExistingCase{"DeviceNodeNeverDeleted", Existing::DeviceNode, true, true, false, true},
                      ExistingCase{"FifoNeverDeleted", Existing::Fifo, true, true, false, true}),
    CaseName());

TEST_F(DialogTest, TfrmvirtualdiskKeepsTheFileWhenAnotherPathIsTypedAfterYes) {
    TempDir dir;
    const std::string path = dir.file("old.vhd");
    WriteFile(path);
    platform::ScriptedInteraction script;
    script.answer_confirm(true);
    platform::ScopedInteraction scoped(script);
    ScopedFileDialogHook hook(Choose(path));

    Tfrmvirtualdisk dialog;
    dialog.btnfile->click();
    dialog.txtpath->setText(QString::fromStdString(dir.file("new.vhd")));
    Find<QPushButton>(dialog, "btnok")->click();
    EXPECT_TRUE(Exists(path));
}

TEST_F(DialogTest, TfrmvirtualdiskNewFileIsNotAskedAbout) {
    TempDir dir;
    platform::ScriptedInteraction script;
    platform::ScopedInteraction scoped(script);
    Seen seen;
    ScopedFileDialogHook hook([&](QFileDialog& dialog) {
        seen = Look(dialog);
        dialog.selectFile(QString::fromStdString(dir.file("fresh.vhdx")));
        return int(QDialog::Accepted);
    });

    Tfrmvirtualdisk dialog;
    dialog.btnfile->click();
    EXPECT_EQ(dialog.path(), dir.file("fresh.vhdx"));
    EXPECT_TRUE(script.log().empty());
    EXPECT_EQ(seen.accept_mode, QFileDialog::AcceptSave);
    EXPECT_EQ(seen.name_filters, QtNameFilters(ParseFilter(kVhdFilter)));
    EXPECT_EQ(seen.first_filter, "VHD File (*.vhd)");
}

// ---------------------------------------------------------------- the "..." buttons

struct BrowseCase {
    const char* name;
    const char* dialog;
    const char* mode;  // for Tfrmvirtualdisk
    const char* button;
    const char* field;
    std::string filter;
    QString title;
};

class TfrmBrowse : public DialogTableTest<BrowseCase> {};

TEST_P(TfrmBrowse, PutsTheOpenedFileIntoItsField) {
    const BrowseCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("existing.vhd");
    WriteFile(path);
    platform::ScriptedInteraction script;
    platform::ScopedInteraction scoped(script);
    Seen seen;
    ScopedFileDialogHook hook([&](QFileDialog& dialog) {
        seen = Look(dialog);
        dialog.selectFile(QString::fromStdString(path));
        return int(QDialog::Accepted);
    });

    auto dialog = MakeDialog(c.dialog);
    ASSERT_TRUE(dialog);
    if (auto* virtual_disk = dynamic_cast<Tfrmvirtualdisk*>(dialog.get())) virtual_disk->SetMode(c.mode);
    Find<QPushButton>(*dialog, c.button)->click();

    EXPECT_EQ(Find<QLineEdit>(*dialog, c.field)->text().toStdString(), path);
    EXPECT_EQ(seen.accept_mode, QFileDialog::AcceptOpen);
    EXPECT_EQ(seen.file_mode, QFileDialog::ExistingFile);
    EXPECT_EQ(seen.default_suffix, "");
    EXPECT_EQ(seen.name_filters, QtNameFilters(ParseFilter(c.filter)));
    if (!c.title.isEmpty()) {
        EXPECT_EQ(seen.title, c.title);
    }
    // Opening an existing file is never a question about deleting it.
    EXPECT_TRUE(script.log().empty());
    dialog->accept();
    EXPECT_TRUE(Exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TfrmBrowse,
    ::testing::Values(BrowseCase{"OpenVhd", "Tfrmvirtualdisk", "open", "btnfile", "txtpath",
                                 "VHD File (*.vhd)|*.vhd|VHDx File (*.vhdx)|*.vhdx|Iso File (*.iso)|*.iso",
                                 "Tarnovell"},
                      BrowseCase{"Parent", "Tfrmvirtualdisk", "create", "btnParent", "txtParent",
                                 "VHD File (*.vhd)|*.vhd|VHDX File (*.vhdx)|*.vhdx", "Tarnovell"},
                      BrowseCase{"Expand", "TfrmExpandVHD", "", "btnvhd", "txtvhd", kVhdFilter, ""},
                      BrowseCase{"Merge", "TfrmMergeVHD", "", "btnvhd", "txtvhd", kVhdFilter, ""}),
    CaseName());

TEST_F(DialogTest, TfrmBrowseCancelledLeavesTheField) {
    ScopedFileDialogHook hook([](QFileDialog&) { return int(QDialog::Rejected); });
    TfrmExpandVHD dialog;
    dialog.txtvhd->setText("/data/child.vhd");
    dialog.btnvhd->click();
    EXPECT_EQ(dialog.vhd(), "/data/child.vhd");
}

// ---------------------------------------------------------------- TfrmAbout

class TfrmAboutHal : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(TfrmAboutHal, IsTheProductName) { EXPECT_EQ(HalText(GetParam().first), GetParam().second); }

INSTANTIATE_TEST_SUITE_P(Cases, TfrmAboutHal,
                         ::testing::Values(std::pair<std::string, std::string>{"Standard PC (Q35 + ICH9, 2009)\n",
                                                                               "Hal:Standard PC (Q35 + ICH9, 2009)"},
                                           std::pair<std::string, std::string>{"", "Hal:"},
                                           std::pair<std::string, std::string>{std::string("a\0b\0", 4), "Hal:a\nb"}));

struct CpuCase {
    std::string machine, cpuinfo, expected;
};

class TfrmAboutProcessor : public ::testing::TestWithParam<CpuCase> {};

TEST_P(TfrmAboutProcessor, IsArchitectureAndFirstModel) {
    EXPECT_EQ(ProcessorDetails(GetParam().machine, GetParam().cpuinfo), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TfrmAboutProcessor,
    ::testing::Values(
        CpuCase{"x86_64",
                "processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\n"
                "\nprocessor\t: 1\nmodel name\t: Second CPU\n",
                "x86_64 - Intel(R) Xeon(R) CPU @ 2.20GHz"},
        CpuCase{"aarch64", "processor\t: 0\nBogoMIPS\t: 50.00\nCPU implementer\t: 0x41\n", "aarch64 - "},
        CpuCase{"x86_64", "", "x86_64 - "}, CpuCase{"i686", "model name: Pentium\r\n", "i686 - Pentium"}));

TEST_F(DialogTest, TfrmAboutFillsItsLabelsOnShow) {
    QPointer<TfrmAbout> about = new TfrmAbout(nullptr, "Tarnovell 2.3.8", "/nonexistent/");
    about->show();
    struct utsname names {};
    ASSERT_EQ(::uname(&names), 0);
    EXPECT_EQ(about->Label3->text(), "Tarnovell 2.3.8");
    EXPECT_TRUE(about->Label4->text().startsWith("Hal:"));
    EXPECT_EQ(about->Label5->text(), "Processor details:");
    EXPECT_TRUE(about->Label6->text().startsWith(QString(names.machine) + " - "));
    about->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(about.isNull());
}

struct PositionCase {
    const char* name;
    const char* file;  // "" for none
    std::string text;
    QPoint expected;
};

class TfrmAboutPosition : public DialogTableTest<PositionCase> {};

TEST_P(TfrmAboutPosition, ComesFromConfigIni) {
    TempDir dir;
    if (*GetParam().file) WriteFile(dir.file(GetParam().file), GetParam().text);
    auto about = std::make_unique<TfrmAbout>(nullptr, "Tarnovell 2.3.8", dir.path().string() + "/");
    about->move(50, 60);
    about->show();
    EXPECT_EQ(about->pos(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TfrmAboutPosition,
    ::testing::Values(PositionCase{"Exact", "config.INI", "[frmAbout]\r\ntop=120\r\nleft=340\r\n", QPoint(340, 120)},
                      PositionCase{"OtherCase", "Config.ini", "[FRMABOUT]\nTop=70\nLeft=80\n", QPoint(80, 70)},
                      PositionCase{"OnlyTop", "config.ini", "[frmAbout]\ntop=90\n", QPoint(50, 90)},
                      PositionCase{"BadValues", "config.INI", "[frmAbout]\ntop=high\nleft=\n", QPoint(50, 60)},
                      PositionCase{"OtherSection", "config.INI", "[frmMain]\ntop=1\nleft=2\n", QPoint(50, 60)},
                      PositionCase{"NoFile", "", "", QPoint(50, 60)}),
    CaseName());

TEST_F(DialogTest, TfrmAboutLinksUnderlineOnHoverAndAnnounceTheirAddress) {
    auto about = std::make_unique<TfrmAbout>(nullptr, "Tarnovell 2.3.8", "/nonexistent/");
    for (LinkLabel* link : {about->lblweb, about->lblmail}) {
        // The test takes the click instead of the desktop.
        QObject::disconnect(link, &LinkLabel::clicked, nullptr, nullptr);
        std::vector<QUrl> opened;
        const auto taken = QObject::connect(link, &LinkLabel::clicked, [&](const QUrl& url) { opened.push_back(url); });

        EXPECT_FALSE(link->font().underline());
        QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
        QCoreApplication::sendEvent(link, &enter);
        EXPECT_TRUE(link->font().underline());
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(link, &leave);
        EXPECT_FALSE(link->font().underline());

        link->resize(200, 20);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QCoreApplication::sendEvent(link, &release);
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_EQ(opened[0], link->address());
        EXPECT_TRUE(opened[0].isValid());
        QObject::disconnect(taken);
    }
    EXPECT_EQ(about->lblweb->address().scheme(), "https");
    EXPECT_EQ(about->lblmail->address().scheme(), "mailto");
}

}  // namespace
