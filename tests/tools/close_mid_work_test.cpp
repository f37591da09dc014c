// Every tool window that runs an operation, closed in the middle of it: the
// window holds its start command while the operation runs, stays until the
// operation has stopped, then goes; the program lives on, and what the
// operation was writing is not left behind half made (an old file keeps
// its bytes, a new one is not there, no hidden temporary remains).
//
// The close comes at the first moment the operation lets the window's
// messages run: the pump, which only an operation that is still running
// calls. Each source is far larger than what is read before that moment.
#include <gtest/gtest.h>

// Before Qt's headers: the packing code names a member "slots", which Qt
// makes a keyword.
#include "support/lz4_image.h"

#include <QAction>
#include <QMenu>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disk/bindings/liblz4.h"
#include "disk/copy/copy_loop.h"
#include "main/dialogs/file_dialog.h"
#include "main/operations/main_state.h"
#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "platform/device/registry.h"
#include "support/case_name.h"
#include "support/converter_window.h"
#include "support/copy_cancel_watch.h"
#include "support/embedded_machine.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "support/volume_fixtures.h"
#include "tools/checkdisk/ufrmcheckdisk.h"
#include "tools/convert/ufrmconvert.h"
#include "tools/extractor/ufrm7zextractor.h"
#include "tools/format/ufrmformat.h"
#include "tools/isomaker/ufrmimapi.h"
#include "tools/lz4/ufrmlz4.h"
#include "tools/md5hash/ufrmmd5hash.h"
#include "tools/parteditor/ufrmparteditor.h"
#include "tools/volumes/ufrmvolume.h"
#include "tools/wim/capture/ufrmcapture.h"
#include "tools/wim/hub/ufrmwim.h"

namespace {

namespace fs = std::filesystem;
namespace ts = test_support;

constexpr std::int64_t kGiB = std::int64_t{1} << 30;

// The names in a folder, hidden ones too.
std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

template <class Window>
Window* Shown() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<Window*>(widget); window && window->isVisible()) return window;
    return nullptr;
}

QPushButton* Button(QWidget* window, const char* name) { return window->findChild<QPushButton*>(name); }
QAction* Action(QWidget* window, const char* name) { return window->findChild<QAction*>(name); }

class CloseMidWork;

struct CloseCase {
    const char* name;
    bool needs_root = false;
    // Opens the window and fills it in; the window.
    std::function<QWidget*(CloseMidWork&)> open;
    // Whether the command that starts the operation can be given now.
    std::function<bool(QWidget*)> startable;
    // Starts the operation, its dialogs answered; back once it has ended.
    std::function<void(CloseMidWork&, QWidget*)> start;
    // What the out folder holds afterwards: the files put there before,
    // holding "old" (or links), and nothing else.
    std::set<std::string> left = {};
};

void PrintTo(const CloseCase& c, std::ostream* out) { *out << c.name; }

class CloseMidWork : public ::testing::TestWithParam<CloseCase> {
public:
    static void SetUpTestSuite() {
        ts::TestApplication();
        inputs_ = new ts::TempDir;
        // A disk's worth of holes: read at the speed of memory, still far
        // more than a second of it.
        ts::MakeSparseFile(inputs_->file("big.img"), 64 * kGiB);
    }
    static void TearDownTestSuite() {
        delete inputs_;
        inputs_ = nullptr;
    }

    void SetUp() override {
        if (GetParam().needs_root && !ts::IsRoot()) GTEST_SKIP() << "needs root: the tool works on a loop device";
        ui_.set_default_confirm(true);
        main_ = new tarnovell::Tfrmmain(state_);
        // The window's start-up takes the test program's folder; what the
        // tools write beside the program goes to the test's own.
        state_.program_folder = program_.path().string() + "/";
        fs::create_directories(out());
    }
    void TearDown() override {
        platform::set_pump(nullptr);
        tarnovell::SetFileDialogHook({});
        QList<QPointer<QWidget>> windows;
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (widget != main_) windows.append(widget);
        delete main_;
        for (const QPointer<QWidget>& widget : windows) delete widget.data();
    }

    static std::string big() { return inputs_->file("big.img"); }
    std::string out() const { return dir_.file("out"); }
    std::string out(const std::string& name) const { return out() + "/" + name; }
    const ts::TempDir& dir() const { return dir_; }

    // Every file or folder dialog picks `path`.
    void Answer(const std::string& path) {
        tarnovell::SetFileDialogHook([path](QFileDialog& dialog) {
            dialog.setDirectory(QString::fromStdString(fs::path(path).parent_path().string()));
            dialog.selectFile(QString::fromStdString(path));
            return int(QDialog::Accepted);
        });
    }

    // Clicks a button of the main window's side bar.
    void Click(const std::string& page, const std::string& caption) {
        auto* button =
            main_->findChild<QPushButton*>(QString::fromStdString(tarnovell::SideBarButtonName(page, caption)));
        ASSERT_TRUE(button) << caption;
        button->click();
        QCoreApplication::processEvents();
    }

    // Selects the main window's row whose device column reads `device`.
    void Select(const QString& device) {
        auto* list = main_->findChild<QTreeWidget*>("lvdisks");
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (list->topLevelItem(i)->text(1) == device) return list->setCurrentItem(list->topLevelItem(i));
        ADD_FAILURE() << "no row " << device.toStdString();
    }

    // A machine of one disk of 64 GiB, one partition over nearly all of
    // it, and one small FAT volume; the letter of the FAT volume.
    std::string Machine() {
        machine_ = std::make_unique<ts::EmbeddedMachine>(std::vector{
            ts::DiskSpec{64 * kGiB, {"printf 'label: dos\\nstart=2048,type=83\\n' | sfdisk -q %s"}, ""},
            ts::OnePartitionDisk(8, "mkfs.fat --offset 2048 %s %n >/dev/null")});
        main_->RefreshDrives1Click();
        auto snap = platform::device::Registry::instance().snapshot();
        for (const auto& volume : snap->volumes)
            if (volume.filesystem == "FAT") return std::string(1, volume.letter);
        ADD_FAILURE() << "no FAT volume";
        return "";
    }

    // The extractor, opened on an archive of one file of 512 MiB of zeros.
    tarnovell::Tfrm7zExtractor* Extractor() {
        Click("Disk Image", "7Z Extract");
        auto* window = Shown<tarnovell::Tfrm7zExtractor>();
        const std::string archive = dir_.file("zeros.7z");
        ts::MakeSparseFile(dir_.file("zeros.bin"), 512 << 20);
        EXPECT_EQ(ts::Run("7z a -bd -mx1 " + ts::Quote(archive) + " " + ts::Quote(dir_.file("zeros.bin"))).exit_code, 0);
        if (window) window->ListArchive(archive);
        return window;
    }

    // A folder of files that make a large image.
    std::string LargeTree() {
        const std::string tree = dir_.file("tree");
        fs::create_directories(tree);
        for (int i = 0; i < 4; ++i) ts::MakeSparseFile(tree + "/part" + std::to_string(i) + ".bin", 3 * kGiB);
        return tree;
    }

    platform::ScriptedInteraction ui_;
    std::unique_ptr<ts::WaitingTool> tool_;

private:
    static ts::TempDir* inputs_;
    ts::TempDir dir_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    ts::TempDir program_;
    tarnovell::Tfrmmain* main_ = nullptr;
    std::unique_ptr<ts::EmbeddedMachine> machine_;
};
ts::TempDir* CloseMidWork::inputs_ = nullptr;

TEST_P(CloseMidWork, TheWindowStopsItsWorkGoesAfterItAndLeavesNothingHalfMade) {
    const CloseCase& c = GetParam();
    QWidget* window = c.open(*this);
    ASSERT_TRUE(window);
    ASSERT_TRUE(c.startable(window));
    QPointer<QWidget> alive(window);
    bool closed = false, held = false, stayed = false;
    platform::set_pump([&] {
        if (!closed && alive) {
            closed = true;
            held = !c.startable(alive);
            alive->close();
            stayed = alive && alive->isVisible();
        }
        QCoreApplication::processEvents();
    });
    c.start(*this, window);
    platform::set_pump(nullptr);
    ASSERT_TRUE(closed) << "the operation never let the window's messages run";
    EXPECT_TRUE(held) << "the operation could be started again while it ran";
    EXPECT_TRUE(stayed) << "the window went while its operation ran";
    for (int i = 0; i < 20 && alive; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    EXPECT_TRUE(alive.isNull()) << "the window stayed after its operation ended";
    EXPECT_EQ(Names(out()), c.left) << testing::PrintToString(ui_.texts());
    for (const std::string& name : c.left)
        if (!fs::is_symlink(out(name))) EXPECT_EQ(ts::ReadWholeFile(out(name)), "old") << name;
    if (tool_) {
        EXPECT_FALSE(tool_->still_running());
    }
    disk::copy_cancel = false;
}

bool Enabled(QWidget* window, const char* button) { return Button(window, button)->isEnabled(); }

const CloseCase kCases[] = {
    {"Md5Hash", false,
     [](CloseMidWork& t) -> QWidget* {
         t.Click("Virtual Hard Disk", "MD5 Hash");
         return Shown<tarnovell::Tfrmmd5hash>();
     },
     [](QWidget* w) { return Enabled(w, "btnmd5"); },
     [](CloseMidWork& t, QWidget* w) {
         // The digest would go beside the file: here, a copy of its name in out.
         const std::string file = t.out("big.img");
         fs::create_symlink(CloseMidWork::big(), file);
         t.Answer(file);
         Button(w, "btnmd5")->click();
         EXPECT_TRUE(static_cast<tarnovell::Tfrmmd5hash*>(w)->txtmd5->text().isEmpty());
     },
     {"big.img"}},
    {"IsoMaker", false,
     [](CloseMidWork& t) -> QWidget* {
         t.Click("Disk Image", "Make ISO disc image");
         auto* window = Shown<tarnovell::Tfrmimapi>();
         if (!window) return nullptr;
         ts::WriteWholeFile(t.out("disc.iso"), "old");
         window->txtsource->setText(QString::fromStdString(t.LargeTree()));
         window->txtdestination->setText(QString::fromStdString(t.out("disc.iso")));
         window->cmbfs->setCurrentText("ISO9660");
         return window;
     },
     [](QWidget* w) { return Enabled(w, "Button2"); },
     [](CloseMidWork&, QWidget* w) { Button(w, "Button2")->click(); }, {"disc.iso"}},
    {"ExtractorExtractAll", false,
     [](CloseMidWork& t) -> QWidget* {
         return t.Extractor();
     },
     [](QWidget* w) { return Enabled(w, "btnExtractAll"); },
     [](CloseMidWork& t, QWidget* w) {
         t.Answer(t.out());
         Button(w, "btnExtractAll")->click();
     }},
    {"ExtractorExtractFile", false,
     [](CloseMidWork& t) -> QWidget* {
         auto* window = t.Extractor();
         if (!window) return nullptr;
         window->ListView1->setCurrentItem(window->ListView1->topLevelItem(0));
         ts::WriteWholeFile(t.out("zeros.bin"), "old");
         return window;
     },
     [](QWidget* w) { return Enabled(w, "btnExtractFile"); },
     [](CloseMidWork& t, QWidget* w) {
         t.Answer(t.out("zeros.bin"));
         Button(w, "btnExtractFile")->click();
     },
     {"zeros.bin"}},
    {"Converter", false,
     [](CloseMidWork& t) -> QWidget* {
         t.Click("Disk Image", "Disk Image Conversion");
         return Shown<tarnovell::Tfrmconvert>();
     },
     [](QWidget* w) { return Enabled(w, "btnGo"); },
     [](CloseMidWork& t, QWidget* w) {
         ts::RunConversion(*static_cast<tarnovell::Tfrmconvert*>(w), "RAW", CloseMidWork::big(), "RAW",
                           t.out("copy.img"));
     }},
    {"Lz4Compress", false,
     [](CloseMidWork& t) -> QWidget* {
         t.Click("Disk Image", "LZ4 Compressor");
         auto* window = Shown<tarnovell::Tfrmlz4>();
         if (!window) return nullptr;
         window->txtsource->setText(QString::fromStdString(CloseMidWork::big()));
         window->txtdestination->setText(QString::fromStdString(t.out("big.img.lz4")));
         return window;
     },
     [](QWidget* w) { return Enabled(w, "btnCompress"); },
     [](CloseMidWork&, QWidget* w) { Button(w, "btnCompress")->click(); }},
    {"Lz4Uncompress", false,
     [](CloseMidWork& t) -> QWidget* {
         t.Click("Disk Image", "LZ4 Compressor");
         auto* window = Shown<tarnovell::Tfrmlz4>();
         if (!window) return nullptr;
         // 16 GiB of zeros: one packed block, again and again.
         disk::LoadLZ4();
         const std::string one = ts::PackSequentially(std::string(disk::kLz4BlockInput, '\0'));
         const std::string block = one.substr(4);
         std::string image = one.substr(0, 4);
         for (std::int64_t at = 0; at < 16 * kGiB; at += disk::kLz4BlockInput) image += block;
         const std::string packed = t.dir().file("zeros.img.lz4");
         ts::WriteWholeFile(packed, image);
         window->txtsource->setText(QString::fromStdString(packed));
         window->txtdestination->setText(QString::fromStdString(t.out("zeros.img")));
         return window;
     },
     [](QWidget* w) { return Enabled(w, "Button1"); },
     [](CloseMidWork&, QWidget* w) { Button(w, "Button1")->click(); }},
    {"VolumeBackup", false,
     [](CloseMidWork& t) -> QWidget* {
         t.Machine();
         t.Click("Volume", "Volume Names");
         auto* window = Shown<tarnovell::Tfrmvolumes>();
         if (!window) return nullptr;
         // The large volume: the one of disk 0.
         auto snap = platform::device::Registry::instance().snapshot();
         for (const auto& volume : snap->volumes)
             for (std::size_t i = 0; volume.disk == 0 && i < window->rows().size(); ++i)
                 if (window->rows()[i].caption == volume.guid_path)
                     window->lvvolumes->setCurrentItem(window->lvvolumes->topLevelItem(static_cast<int>(i)));
         return window->lvvolumes->currentItem() ? window : nullptr;
     },
     [](QWidget* w) { return static_cast<tarnovell::Tfrmvolumes*>(w)->PopupMenu1->isEnabled(); },
     [](CloseMidWork& t, QWidget* w) {
         t.Answer(t.out("volume.img"));
         Action(w, "Backup1")->trigger();
     }},
    {"PartitionEditorBackup", false,
     [](CloseMidWork& t) -> QWidget* {
         t.Machine();
         t.Select("DISK 0");
         t.Click("Disk", "Partition Editor");
         auto* window = Shown<tarnovell::Tfrmparteditor>();
         if (window) window->ListView1->setCurrentItem(window->ListView1->topLevelItem(0));
         return window;
     },
     [](QWidget* w) { return static_cast<tarnovell::Tfrmparteditor*>(w)->PopupMenu1->isEnabled(); },
     [](CloseMidWork& t, QWidget* w) {
         t.Answer(t.out("partition.img"));
         Action(w, "BackupPartition1")->trigger();
     }},
    {"WimCapture", false,
     [](CloseMidWork& t) -> QWidget* {
         t.Click("Disk Image", "WIM Image");
         auto* hub = Shown<tarnovell::Tfrmwim>();
         if (!hub) return nullptr;
         hub->btn_wimcapture->click();
         auto* window = Shown<tarnovell::Tfrmcapture>();
         if (!window) return nullptr;
         const std::string source = t.dir().file("capture");
         fs::create_directories(source);
         ts::MakeSparseFile(source + "/huge.bin", 16 * kGiB);
         window->txtsource->setText(QString::fromStdString(source));
         window->txttarget->setText(QString::fromStdString(t.out("captured.wim")));
         return window;
     },
     [](QWidget* w) { return Enabled(w, "btn_ok"); },
     [](CloseMidWork&, QWidget* w) { Button(w, "btn_ok")->click(); }},
    {"Format", true,
     [](CloseMidWork& t) -> QWidget* {
         auto* window = new tarnovell::TfrmFormat;
         window->VolumeLetter = t.Machine();
         window->FileSystem->setCurrentIndex(1);  // FAT
         t.tool_ = std::make_unique<ts::WaitingTool>("mkfs.fat");
         window->show();
         return window;
     },
     [](QWidget* w) { return Enabled(w, "btn_format"); },
     [](CloseMidWork&, QWidget* w) { Button(w, "btn_format")->click(); }},
    {"CheckDisk", true,
     [](CloseMidWork& t) -> QWidget* {
         auto* window = new tarnovell::Tfrmcheckdisk;
         window->VolumeLetter = t.Machine();
         t.tool_ = std::make_unique<ts::WaitingTool>("fsck.fat");
         window->show();
         return window;
     },
     [](QWidget* w) { return Enabled(w, "doChkDsk"); },
     [](CloseMidWork&, QWidget* w) { Button(w, "doChkDsk")->click(); }},
};

INSTANTIATE_TEST_SUITE_P(Windows, CloseMidWork, ::testing::ValuesIn(kCases), ts::CaseName());

}  // namespace
