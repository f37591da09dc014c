// The Format window on a volume of image files: its controls, a format from
// question to last log line, the cluster and media choices, and failures.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include "support/fmtchk_window_fixture.h"
#include "support/window_questions.h"
#include "tools/format/ufrmformat.h"

namespace {

using tarnovell::TfrmFormat;

class FormatWindow : public fmtchk_test::WindowTest {};

QStringList Items(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    return items;
}

TEST(FormatWindowLayout, HasTheControlsAndChoices) {
    test_support::TestApplication();
    TfrmFormat window;
    EXPECT_EQ(window.windowTitle(), "Format");
    EXPECT_EQ(Items(window.FileSystem), QStringList({"NTFS", "FAT", "FAT32", "exFAT", "UDF"}));
    EXPECT_EQ(window.FileSystem->currentIndex(), 0);
    EXPECT_EQ(window.cmbclustersize->currentText(), "AUTO");
    EXPECT_EQ(Items(window.cmbclustersize).size(), 11);
    EXPECT_EQ(window.OptQuickFmt->text(), "Quick");
    EXPECT_EQ(window.btn_format->text(), "Format");
    EXPECT_TRUE(window.testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_TRUE(window.windowFlags() & Qt::WindowStaysOnTopHint);
}

TEST(FormatWindowLayout, ClusterSizeAndMediaKind) {
    test_support::TestApplication();
    TfrmFormat window;
    struct Case {
        QString typed;
        int size;
    };
    for (const auto& c : {Case{"AUTO", 0}, Case{"4096", 4096}, Case{"131072", 131072}, Case{"big", 0}}) {
        window.cmbclustersize->setCurrentText(c.typed);
        EXPECT_EQ(window.ClusterSize(), c.size) << c.typed.toStdString();
    }
    for (const auto& [letter, kind] : {std::pair{"a", 1}, std::pair{"B", 1}, std::pair{"C", 0}, std::pair{"z", 0}}) {
        window.VolumeLetter = letter;
        EXPECT_EQ(window.MediaKind(), kind) << letter;
    }
}

// The window stays on top of the others: a question over any other window
// (the main window, which the program's boxes go to otherwise) opens behind
// it, and nothing seems to happen.
TEST(FormatWindowLayout, ItsQuestionIsAskedOverIt) {
    test_support::TestApplication();
    auto* window = new TfrmFormat;
    QPointer<TfrmFormat> alive(window);
    window->VolumeLetter = "F";
    window->show();
    test_support::NextBox box;
    window->btn_format->click();
    EXPECT_EQ(box.text(), "Format F?");
    EXPECT_EQ(box.parent(), window);
    EXPECT_EQ(window->Log->toPlainText(), "") << "No formats nothing";
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
}

// A volume of the machine is named in the question, and the question that
// names it belongs to the window as much as the one that does not.
TEST_F(FormatWindow, ItsQuestionNamingTheVolumeIsAskedOverIt) {
    const std::string letter = Use(test_support::OnePartitionDisk(8));
    auto* window = new TfrmFormat;
    QPointer<TfrmFormat> alive(window);
    window->VolumeLetter = letter;
    window->show();
    test_support::NextBox box;
    window->btn_format->click();
    EXPECT_EQ(box.text(), QString::fromStdString("Format " + letter + "?"));
    EXPECT_TRUE(box.about().contains("partition 1 of")) << box.about().toStdString();
    EXPECT_EQ(box.parent(), window);
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
}

TEST_F(FormatWindow, FormatsAfterTheQuestionAndLogsEveryStep) {
    const std::string letter = Use(test_support::OnePartitionDisk(40));
    size_ = 40 << 20;
    auto* window = new TfrmFormat;
    QPointer<TfrmFormat> alive(window);
    window->VolumeLetter = letter;
    window->FileSystem->setCurrentIndex(2);  // FAT32
    window->OptQuickFmt->setChecked(true);
    window->cmbclustersize->setCurrentText("131072");  // no size FAT32 takes: the default is used
    ui_.answer_confirm(true);
    window->btn_format->click();

    ASSERT_FALSE(ui_.log().empty());
    EXPECT_EQ(ui_.log()[0].text, "Format " + letter + "?");
    EXPECT_EQ(ui_.log()[0].caption, "Tarnovell");
    const QStringList lines = fmtchk_test::LogLines(window->Log);
    EXPECT_EQ(lines.first(), QString::fromStdString("Starting Format Disk for " + letter + ":"));
    EXPECT_TRUE(lines.contains("Format Disk: Finished OK")) << window->Log->toPlainText().toStdString();
    EXPECT_FALSE(lines.contains("Format Disk Failed"));
    EXPECT_EQ(lines.last(), "");
    EXPECT_TRUE(window->btn_format->isEnabled());
    EXPECT_EQ(window->ProgressBar->value(), 0);
    EXPECT_EQ(Type(), "vfat");
    window->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
}

TEST_F(FormatWindow, NoFormatsNothingAndFailuresAreLogged) {
    const std::string letter = Use(test_support::OnePartitionDisk(8));
    TfrmFormat window;
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.VolumeLetter = letter;
    window.FileSystem->setCurrentIndex(1);
    ui_.answer_confirm(false);
    window.btn_format->click();
    EXPECT_TRUE(window.Log->toPlainText().isEmpty());
    EXPECT_EQ(Type(), "");

    // The format's tool ends without a file system.
    test_support::WaitingTool mkfs("mkfs.fat");
    test_support::WriteWholeFile(mkfs.script(), "#!/bin/sh\necho no room >&2\nexit 1\n");
    ui_.answer_confirm(true);
    window.btn_format->click();
    QStringList lines = fmtchk_test::LogLines(window.Log);
    EXPECT_TRUE(lines.contains("no room"));
    EXPECT_TRUE(lines.contains("Format Disk: Unable to Finish"));
    EXPECT_EQ(lines[lines.size() - 2], "Format Disk Failed");
    EXPECT_EQ(lines.last(), "");

    // A volume that has gone since the window opened.
    window.Log->clear();
    window.VolumeLetter = "Q";
    ui_.answer_confirm(true);
    window.btn_format->click();
    lines = fmtchk_test::LogLines(window.Log);
    EXPECT_TRUE(lines.contains("Q:\\ Appears to be Unformatted or No Drive"));
    EXPECT_TRUE(lines.contains("Format Disk Failed")) << window.Log->toPlainText().toStdString();
}

}  // namespace
