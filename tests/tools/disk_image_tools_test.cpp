// The MD5, ISO maker and 7-Zip extractor windows, opened from the main
// window's side bar and run there, their dialogs answered by the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

#include <filesystem>
#include <string>

#include "main/dialogs/file_dialog.h"
#include "main/operations/main_state.h"
#include "main/operations/side_bar.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/copy_cancel_watch.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "support/window_questions.h"
#include "tools/extractor/ufrm7zextractor.h"
#include "tools/isomaker/ufrmimapi.h"
#include "tools/md5hash/ufrmmd5hash.h"

namespace {

namespace fs = std::filesystem;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::TempDir;
using test_support::WriteWholeFile;

template <class Window>
Window* OpenWindow() {
    QCoreApplication::processEvents();
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<Window*>(widget); window && window->isVisible()) return window;
    return nullptr;
}

// Answers every file or folder dialog with `path`.
class ChoosePath {
public:
    explicit ChoosePath(const std::string& path)
        : previous_(tarnovell::SetFileDialogHook([path](QFileDialog& dialog) {
              dialog.setDirectory(QString::fromStdString(fs::path(path).parent_path().string()));
              dialog.selectFile(QString::fromStdString(path));
              return int(QDialog::Accepted);
          })) {}
    ~ChoosePath() { tarnovell::SetFileDialogHook(std::move(previous_)); }

private:
    tarnovell::FileDialogHook previous_;
};

class DiskImageTools : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::TestApplication();
        ui_.set_default_confirm(true);
        main_ = new tarnovell::Tfrmmain(state_);
        // The window's start-up takes the test program's folder; what the
        // tools write beside the program (the ISO maker's log) goes to the
        // test's own, apart from the tests that run beside it.
        state_.program_folder = dir_.file("program") + "/";
        fs::create_directories(state_.program_folder);
    }
    void TearDown() override {
        // A window takes its menus (top-level widgets too) with it.
        QList<QPointer<QWidget>> windows;
        for (QWidget* widget : QApplication::topLevelWidgets()) windows.append(widget);
        for (const QPointer<QWidget>& widget : windows)
            if (widget && widget != main_ &&
                (qobject_cast<tarnovell::Tfrmmd5hash*>(widget) || qobject_cast<tarnovell::Tfrmimapi*>(widget) ||
                 qobject_cast<tarnovell::Tfrm7zExtractor*>(widget)))
                delete widget.data();
        delete main_;
    }

    void Click(const std::string& page, const std::string& caption) {
        auto* button = main_->findChild<QPushButton*>(QString::fromStdString(tarnovell::SideBarButtonName(page, caption)));
        ASSERT_TRUE(button && button->isEnabled()) << caption;
        button->click();
    }

    TempDir dir_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* main_ = nullptr;
};

TEST_F(DiskImageTools, Md5WindowHashesAndWritesTheMd5File) {
    Click("Virtual Hard Disk", "MD5 Hash");
    auto* window = OpenWindow<tarnovell::Tfrmmd5hash>();
    ASSERT_TRUE(window);
    const std::string file = dir_.file("disk.img");
    WriteWholeFile(file, std::string(3 << 20, 'x') + "tail");
    {
        ChoosePath choose(file);
        window->btnmd5->click();
    }
    auto md5sum = test_support::Run("md5sum " + Quote(file)).output.substr(0, 32);
    EXPECT_EQ(window->txtmd5->text().toLower().toStdString(), md5sum);
    EXPECT_EQ(ReadWholeFile(dir_.file("disk.md5")), window->txtmd5->text().toStdString() + "\tdisk.img\r\n");
    EXPECT_TRUE(window->StatusBar1->currentMessage().startsWith("Done in "));
}

TEST_F(DiskImageTools, Md5WindowWritesNothingWhenItCannot) {
    Click("Virtual Hard Disk", "MD5 Hash");
    auto* window = OpenWindow<tarnovell::Tfrmmd5hash>();
    ASSERT_TRUE(window);
    // The .md5 file of "notes.md5" is itself.
    WriteWholeFile(dir_.file("notes.md5"), "keep me");
    window->HashFile(dir_.file("notes.md5"));
    EXPECT_EQ(ReadWholeFile(dir_.file("notes.md5")), "keep me");
    // A file that cannot be read: the digest stays empty and no .md5 appears.
    window->HashFile(dir_.file("gone.img"));
    EXPECT_TRUE(window->txtmd5->text().isEmpty());
    EXPECT_FALSE(fs::exists(dir_.file("gone.md5")));
    EXPECT_EQ(ui_.texts().size(), 2u) << testing::PrintToString(ui_.texts());
}

TEST_F(DiskImageTools, IsoMakerBuildsFromTheChosenFolder) {
    Click("Disk Image", "Make ISO disc image");
    auto* window = OpenWindow<tarnovell::Tfrmimapi>();
    ASSERT_TRUE(window);
    fs::create_directories(dir_.file("cd/isolinux"));
    WriteWholeFile(dir_.file("cd/isolinux/ISOLINUX.BIN"), std::string(8192, 'b'));
    WriteWholeFile(dir_.file("cd/readme.txt"), "read me");
    {
        ChoosePath choose(dir_.file("cd"));
        window->Button1->click();
    }
    EXPECT_EQ(window->txtbootfile_x86->text().toStdString(), dir_.file("cd/isolinux/ISOLINUX.BIN"));
    EXPECT_EQ(window->cmbfs->currentText(), "ISO9660");
    EXPECT_EQ(window->txtdestination->text().toStdString(), dir_.file("temp.iso"));
    window->PatchBootTable->setChecked(true);
    window->Button2->click();
    EXPECT_TRUE(window->StatusBar1->currentMessage().endsWith(" ok")) << testing::PrintToString(ui_.texts());
    const std::string report =
        test_support::Run("xorriso -indev " + Quote(dir_.file("temp.iso")) + " -report_el_torito plain 2>/dev/null").output;
    EXPECT_NE(report.find("BIOS  y   none  0x0000  0x00      4"), std::string::npos) << report;
    EXPECT_EQ(test_support::Run("isoinfo -x /README.TXT\\;1 -i " + Quote(dir_.file("temp.iso"))).output, "read me");
    const std::string log = ReadWholeFile(window->LogPath());
    EXPECT_NE(log.find("orbamel OK"), std::string::npos);
    EXPECT_NE(log.find("patch_iso9660_boot_file OK"), std::string::npos) << log;
    fs::remove(window->LogPath());
}

// The window starts on a file system it can build; "UDF" alone, which it
// cannot, is refused before the boot file is patched or anything written.
TEST_F(DiskImageTools, IsoMakerStartsOnWhatItCanBuildAndRefusesUdfAloneUntouched) {
    Click("Disk Image", "Make ISO disc image");
    auto* window = OpenWindow<tarnovell::Tfrmimapi>();
    ASSERT_TRUE(window);
    fs::create_directories(dir_.file("cd/isolinux"));
    const std::string loader(8192, 'b');
    WriteWholeFile(dir_.file("cd/isolinux/isolinux.bin"), loader);
    window->txtsource->setText(QString::fromStdString(dir_.file("cd")));
    window->txtdestination->setText(QString::fromStdString(dir_.file("cd.iso")));
    EXPECT_NE(window->cmbfs->currentText(), "UDF");
    window->Button2->click();
    EXPECT_TRUE(window->StatusBar1->currentMessage().endsWith(" ok")) << testing::PrintToString(ui_.texts());

    fs::remove(dir_.file("cd.iso"));
    window->StatusBar1->clearMessage();
    window->txtbootfile_x86->setText(QString::fromStdString(dir_.file("cd/isolinux/isolinux.bin")));
    window->cmbfs->setCurrentText("UDF");
    window->PatchBootTable->setChecked(true);
    const std::size_t said = ui_.texts().size();
    window->Button2->click();
    ASSERT_EQ(ui_.texts().size(), said + 1) << testing::PrintToString(ui_.texts());
    EXPECT_EQ(ui_.texts().back().rfind("A UDF image without ISO 9660 cannot be made here", 0), 0u) << ui_.texts().back();
    EXPECT_EQ(ReadWholeFile(dir_.file("cd/isolinux/isolinux.bin")), loader);
    EXPECT_FALSE(fs::exists(dir_.file("cd.iso")));
    EXPECT_EQ(ReadWholeFile(window->LogPath()).find("patch_boot_table"), std::string::npos);
    fs::remove(window->LogPath());
}

TEST_F(DiskImageTools, ExtractorListsAndExtracts) {
    fs::create_directories(dir_.file("tree/sub"));
    WriteWholeFile(dir_.file("tree/sub/b.txt"), "bee");
    WriteWholeFile(dir_.file("tree/a.txt"), std::string(100000, 'a'));
    ASSERT_EQ(test_support::Run("cd " + Quote(dir_.file("tree")) + " && 7z a -bd -tzip " + Quote(dir_.file("t.zip")) +
                                " . >/dev/null")
                  .exit_code,
              0);
    Click("Disk Image", "7Z Extract");
    auto* window = OpenWindow<tarnovell::Tfrm7zExtractor>();
    ASSERT_TRUE(window);
    {
        ChoosePath choose(dir_.file("t.zip"));
        window->btnOpen->click();
    }
    ASSERT_EQ(window->ListView1->topLevelItemCount(), 2);  // the folder "sub" has no row
    QTreeWidgetItem* bee = window->ListView1->findItems("sub/b.txt", Qt::MatchExactly, 1).value(0);
    ASSERT_TRUE(bee);
    window->ListView1->setCurrentItem(bee);
    {
        ChoosePath choose(dir_.file("single.txt"));
        window->btnExtractFile->click();
    }
    EXPECT_EQ(window->StatusBar1->currentMessage(), "done.");
    EXPECT_EQ(ReadWholeFile(dir_.file("single.txt")), "bee");
    fs::create_directories(dir_.file("all"));
    {
        ChoosePath choose(dir_.file("all"));
        window->btnExtractAll->click();
    }
    EXPECT_EQ(window->StatusBar1->currentMessage(), "done.");
    EXPECT_EQ(test_support::Run("diff -r " + Quote(dir_.file("tree")) + " " + Quote(dir_.file("all"))).exit_code, 0);
    EXPECT_TRUE(ui_.texts().empty()) << testing::PrintToString(ui_.texts());
}

TEST_F(DiskImageTools, ExtractorShowsWhatItRefuses) {
    Click("Disk Image", "7Z Extract");
    auto* window = OpenWindow<tarnovell::Tfrm7zExtractor>();
    ASSERT_TRUE(window);
    WriteWholeFile(dir_.file("notes.xyz"), "plain text");
    window->ListArchive(dir_.file("notes.xyz"));
    ASSERT_EQ(ui_.texts().size(), 1u);
    EXPECT_EQ(ui_.texts()[0], "ClassFactory cannot supply requested class");

    ASSERT_EQ(test_support::Run("python3 -c " +
                                Quote("import zipfile,sys\nz=zipfile.ZipFile(sys.argv[1],'w')\n"
                                      "z.writestr('../outside.txt','x')\nz.writestr('in.txt','y')\n") +
                                " " + Quote(dir_.file("evil.zip")))
                  .exit_code,
              0);
    window->ListArchive(dir_.file("evil.zip"));
    fs::create_directories(dir_.file("target"));
    {
        ChoosePath choose(dir_.file("target"));
        window->btnExtractAll->click();
    }
    EXPECT_NE(window->StatusBar1->currentMessage(), "done.");
    EXPECT_FALSE(fs::exists(dir_.file("outside.txt")));
    EXPECT_EQ(ReadWholeFile(dir_.file("target/in.txt")), "y");
    ASSERT_EQ(ui_.texts().size(), 2u);
    EXPECT_NE(ui_.texts()[1].find("../outside.txt"), std::string::npos) << ui_.texts()[1];
}

}  // namespace

// A second build starts from an empty bar and status line: what the first
// one left (its full bar, "... ok") is not this one's, even while it asks.
TEST_F(DiskImageTools, IsoMakerStartsEachBuildFromNothing) {
    Click("Disk Image", "Make ISO disc image");
    auto* window = OpenWindow<tarnovell::Tfrmimapi>();
    ASSERT_TRUE(window);
    fs::create_directories(dir_.file("cd"));
    WriteWholeFile(dir_.file("cd/small.txt"), "small");
    window->txtsource->setText(QString::fromStdString(dir_.file("cd")));
    window->txtdestination->setText(QString::fromStdString(dir_.file("cd.iso")));
    window->Button2->click();
    ASSERT_TRUE(window->StatusBar1->currentMessage().endsWith(" ok")) << testing::PrintToString(ui_.texts());
    ASSERT_GT(window->ProgressBar1->value(), 0);

    // More to build the second time: the first build's bar is not past its end.
    WriteWholeFile(dir_.file("cd/large.bin"), std::string(4 << 20, 'l'));
    int bar_when_asked = -1;
    std::string line_when_asked = "not asked";
    test_support::LookingAnswers answers([&] {
        if (bar_when_asked >= 0) return;
        bar_when_asked = window->ProgressBar1->value();
        line_when_asked = window->StatusBar1->currentMessage().toStdString();
    });
    answers.set_default_confirm(true);
    platform::ScopedInteraction asked(answers);
    window->Button2->click();
    EXPECT_EQ(bar_when_asked, 0);
    EXPECT_EQ(line_when_asked, "");
    EXPECT_TRUE(window->StatusBar1->currentMessage().endsWith(" ok"));
    fs::remove(window->LogPath());
}
