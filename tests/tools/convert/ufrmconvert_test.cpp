// The image converter driven end to end: images made by qemu-img turned to
// raw and back into EWF (checked by ewfverify and read back by ewfexport),
// VHD copies through the worker, network peers on both sides, and the
// faults a converter must never make: a destination that is its source, a
// device or folder unlinked, a port read from the wrong ":".
#include "tools/convert/ufrmconvert.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>

#include <filesystem>

#include "disk/copy/copy_loop.h"
#include "main/dialogs/dlg_backup.h"
#include "platform/base/interaction.h"
#include "platform/base/progress.h"
#include "support/converter_window.h"
#include "support/dialog_test_helpers.h"
#include "support/embedded_machine.h"
#include "support/modal_answer.h"
#include "support/net_peers.h"
#include "support/test_application.h"
#include "support/test_support.h"
#include "support/window_questions.h"

namespace {

namespace ts = test_support;
using tarnovell::Tfrmconvert;

constexpr std::int64_t kMiB = 1048576;

class Converter : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ts::TestApplication(); }
    void SetUp() override {
        ui_.set_default_confirm(true);
        platform::set_pump([] { QCoreApplication::processEvents(); });
        window_ = new Tfrmconvert;
        window_->show();
        // A disk's worth of data with a pattern to recognise and some zeros.
        raw_ = dir_.file("disk.raw");
        ts::RunOn("head -c 3000000 /dev/urandom > %s && truncate -s 4M %s", raw_);
    }
    void TearDown() override {
        if (window_) window_->close();
        QApplication::processEvents();
        platform::set_pump(nullptr);
    }

    // Chooses a kind in a list as a click would.
    void Choose(QListWidget* list, const QString& kind) { ts::ChooseKind(*window_, list, kind); }
    QStringList Items(QListWidget* list) const {
        QStringList items;
        for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
        return items;
    }
    // Source and destination kinds and fields, then GO.
    void Convert(const QString& from, const std::string& source, const QString& to, const std::string& destination) {
        ts::RunConversion(*window_, from, source, to, destination);
    }
    std::string Status() const { return window_->StatusBar1->currentMessage().toStdString(); }
    std::string Image(const std::string& name, const std::string& qemu_options) {
        const std::string path = dir_.file(name);
        const ts::CommandResult made =
            ts::Run("qemu-img convert -f raw " + qemu_options + " " + ts::Quote(raw_) + " " + ts::Quote(path));
        EXPECT_EQ(made.exit_code, 0) << made.output;
        return path;
    }
    bool SameBytes(const std::string& a, const std::string& b) const {
        return ts::ReadWholeFile(a) == ts::ReadWholeFile(b);
    }

    ts::TempDir dir_;
    std::string raw_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    QPointer<Tfrmconvert> window_;
};

TEST_F(Converter, HasTheKindsFieldsAndCaption) {
    EXPECT_EQ(Items(window_->lstSource), QStringList({"RAW", "EWF", "DEVIO", "VDI", "VMDK", "VHD", "QCOW", "NETCAT"}));
    EXPECT_EQ(Items(window_->lstDestination), QStringList({"RAW", "EWF", "DEVIO", "NETCAT"}));
    EXPECT_EQ(window_->txtSource->toolTip(), "You can use \\\\.\\physicaldriveX, or \\\\.\\X: for RAW");
    EXPECT_EQ(window_->txtDestination->toolTip(), "you can use ip:port for devio or netcat");
    EXPECT_EQ(window_->btnGo->text(), "GO");
    // The test program is not "tarnovell": the converter's own title shows.
    EXPECT_TRUE(window_->windowTitle().startsWith("Pelmatic 1.0.0.2")) << window_->windowTitle().toStdString();
    EXPECT_TRUE(window_->testAttribute(Qt::WA_DeleteOnClose));

    Choose(window_->lstSource, "VMDK");
    EXPECT_EQ(Items(window_->lstDestination), QStringList({"RAW"}));
    Choose(window_->lstSource, "RAW");
    EXPECT_EQ(Items(window_->lstDestination),
              QStringList({"EWF", "DEVIO", "VHD FIXED", "VHD DYNAMIC", "NETCAT", "RAW"}));
}

TEST_F(Converter, QemuImageToRawAndBackToEwf) {
    if (!ts::HaveTool("qemu-img") || !ts::HaveTool("ewfverify")) GTEST_SKIP() << "qemu-img and ewfverify are needed";
    const std::string qcow = Image("disk.qcow2", "-O qcow2");

    // The source from the open dialog proposes its destination beside it.
    Choose(window_->lstSource, "QCOW");
    Choose(window_->lstDestination, "RAW");
    dialog_test::Seen seen;
    {
        dialog_test::ScopedFileDialogHook hook([&](QFileDialog& dialog) {
            seen = dialog_test::Look(dialog);
            dialog.selectFile(QString::fromStdString(qcow));
            return int(QDialog::Accepted);
        });
        window_->btnSource->click();
    }
    EXPECT_EQ(seen.accept_mode, QFileDialog::AcceptOpen);
    EXPECT_EQ(seen.name_filters, QStringList({"QCOW File (*.qcow)", "QCOW2 File (*.qcow2)"}));
    EXPECT_EQ(window_->txtSource->text().toStdString(), qcow);
    const std::string raw = dir_.file("disk.dd");
    EXPECT_EQ(window_->txtDestination->text().toStdString(), raw);
    window_->btnGo->click();
    EXPECT_TRUE(SameBytes(raw, raw_)) << Status();
    EXPECT_EQ(window_->pb_img->value(), 100);

    // And the raw file into an EWF set.
    const std::string ewf = dir_.file("disk.E01");
    Convert("RAW", raw, "EWF", dir_.file("disk.e01"));
    ASSERT_TRUE(std::filesystem::exists(ewf)) << Status();
    const ts::CommandResult verified = ts::Run("ewfverify -q " + ts::Quote(ewf));
    EXPECT_EQ(verified.exit_code, 0) << verified.output;
    const ts::CommandResult exported =
        ts::Run("ewfexport -q -u -f raw -t " + ts::Quote(dir_.file("exported")) + " " + ts::Quote(ewf));
    ASSERT_EQ(exported.exit_code, 0) << exported.output;
    EXPECT_TRUE(SameBytes(dir_.file("exported.raw"), raw_));

    // EWF back to raw.
    const std::string back = dir_.file("back.img");
    Convert("EWF", ewf, "RAW", back);
    EXPECT_TRUE(SameBytes(back, raw_)) << Status();
}

struct ImageCase {
    const char* kind;
    const char* name;
    const char* qemu_options;
};

class ConverterImages : public Converter, public ::testing::WithParamInterface<ImageCase> {};

TEST_P(ConverterImages, ToRaw) {
    if (!ts::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is needed";
    const ImageCase& c = GetParam();
    const std::string image = Image(c.name, c.qemu_options);
    const std::string raw = dir_.file("out.img");
    Convert(c.kind, image, "RAW", raw);
    EXPECT_TRUE(SameBytes(raw, raw_)) << Status();
    EXPECT_TRUE(ui_.texts().empty()) << ui_.texts().back();
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConverterImages,
                         ::testing::Values(ImageCase{"VMDK", "disk.vmdk", "-O vmdk"},
                                           ImageCase{"VDI", "disk.vdi", "-O vdi"},
                                           ImageCase{"QCOW", "disk.qcow", "-O qcow"},
                                           // VHDs go through the worker and the virtual-disk service.
                                           ImageCase{"VHD", "disk.vhd", "-O vpc -o subformat=fixed,force_size=on"}),
                         [](const auto& param_info) { return std::string(param_info.param.kind); });

TEST_F(Converter, RawToAFixedVhdThroughTheWorker) {
    if (!ts::HaveTool("qemu-img")) GTEST_SKIP() << "qemu-img is needed";
    const std::string vhd = dir_.file("disk.vhd");
    Convert("RAW", raw_, "VHD FIXED", vhd);
    EXPECT_TRUE(Status().find(" terminated with sucess") != std::string::npos) << Status();
    // The worker posts a percentage every 64 MiB: the bar still ends at the end.
    EXPECT_EQ(window_->pb_img->value(), 100);
    const ts::CommandResult back =
        ts::Run("qemu-img convert -f vpc -O raw " + ts::Quote(vhd) + " " + ts::Quote(dir_.file("back.raw")));
    ASSERT_EQ(back.exit_code, 0) << back.output;
    EXPECT_TRUE(SameBytes(dir_.file("back.raw"), raw_));
}

TEST_F(Converter, NetworkPeersOnEitherSide) {
    // To a devio server, the host and port read at the last ":".
    ts::DevioServer devio(std::string(4 * kMiB, '\0'));
    Convert("RAW", raw_, "DEVIO", "127.0.0.1:" + std::to_string(devio.port()));
    EXPECT_TRUE(devio.finish() == ts::ReadWholeFile(raw_)) << Status();

    // From a devio server into a new file.
    ts::DevioServer source(ts::ReadWholeFile(raw_));
    const std::string received = dir_.file("received.img");
    Convert("DEVIO", "127.0.0.1:" + std::to_string(source.port()), "RAW", received);
    EXPECT_TRUE(SameBytes(received, raw_)) << Status();

    if (!ts::HaveTool("socat")) GTEST_SKIP() << "socat is needed for the plain streams";
    const std::string listened = dir_.file("listened.img");
    ts::ListeningPeer sink("socat -d -d -u TCP-LISTEN:0,bind=127.0.0.1 CREATE:" + listened);
    ASSERT_NE(sink.port(), 0);
    Convert("RAW", raw_, "NETCAT", "127.0.0.1:" + std::to_string(sink.port()));
    EXPECT_EQ(sink.wait(), 0) << sink.log();
    EXPECT_TRUE(SameBytes(listened, raw_)) << Status();

    ts::ListeningPeer stream("socat -d -d -u OPEN:" + raw_ + " TCP-LISTEN:0,bind=127.0.0.1");
    ASSERT_NE(stream.port(), 0);
    const std::string streamed = dir_.file("streamed.img");
    Convert("NETCAT", "127.0.0.1:" + std::to_string(stream.port()), "RAW", streamed);
    EXPECT_TRUE(SameBytes(streamed, raw_)) << Status();
}

TEST_F(Converter, APeerWithoutAPortIsRefusedBeforeAnythingIsOpened) {
    Convert("RAW", raw_, "NETCAT", "127.0.0.1");
    EXPECT_EQ(ui_.texts(), std::vector<std::string>{"'127.0.0.1' is not a valid integer value"});
}

TEST_F(Converter, ANetworkSideAsksThroughTheNetworkDialog) {
    Choose(window_->lstSource, "DEVIO");
    bool devio_chosen = false, extra_hidden = false;
    ts::AnswerNextDialog<tarnovell::TfrmDevio>([&](tarnovell::TfrmDevio& d) {
        devio_chosen = d.rbdevio->isChecked();
        extra_hidden = !d.grp_physical->isVisibleTo(&d);
        d.txthost->setText("10.0.0.2:7000");
    });
    window_->btnSource->click();
    EXPECT_TRUE(devio_chosen);
    EXPECT_TRUE(extra_hidden);
    EXPECT_EQ(window_->txtSource->text(), "10.0.0.2:7000");

    Choose(window_->lstSource, "RAW");
    Choose(window_->lstDestination, "NETCAT");
    bool netcat_chosen = false;
    ts::AnswerNextDialog<tarnovell::TfrmDevio>(
        [&](tarnovell::TfrmDevio& d) { netcat_chosen = d.rbNetcat->isChecked(); }, false);
    window_->txtDestination->setText("kept");
    window_->btnDestination->click();
    EXPECT_TRUE(netcat_chosen);
    EXPECT_EQ(window_->txtDestination->text(), "kept") << "Cancel leaves the field";
}

TEST_F(Converter, ASourceIsNeverItsOwnDestination) {
    // A file without an extension: the proposal is another file.
    const std::string plain = dir_.file("disk");
    std::filesystem::copy_file(raw_, plain);
    Choose(window_->lstSource, "RAW");
    Choose(window_->lstDestination, "RAW");
    {
        dialog_test::ScopedFileDialogHook hook(dialog_test::Choose(plain));
        window_->btnSource->click();
    }
    EXPECT_EQ(window_->txtDestination->text().toStdString(), plain + ".dd");

    // Typed in as the same file, under its own name or another one, the
    // copy is refused and the file is left as it was.
    std::filesystem::create_hard_link(plain, dir_.file("alias"));
    std::filesystem::create_symlink(plain, dir_.file("link"));
    for (const std::string& same : {plain, dir_.file("alias"), dir_.file("link"), dir_.file(".") + "/disk"}) {
        Convert("RAW", plain, "RAW", same);
        ASSERT_TRUE(std::filesystem::exists(plain)) << same;
        EXPECT_TRUE(SameBytes(plain, raw_)) << same;
    }
    for (const std::string& text : ui_.texts())
        EXPECT_NE(text.find("are the same or one holds the other"), std::string::npos) << text;
    EXPECT_EQ(ui_.texts().size(), 4u);

    // Through the VHD worker, the same.
    const std::string vhd = dir_.file("disk.vhd");
    Convert("RAW", raw_, "VHD FIXED", vhd);
    ASSERT_TRUE(std::filesystem::exists(vhd)) << Status();
    const std::string vhd_bytes = ts::ReadWholeFile(vhd);
    Convert("VHD", vhd, "RAW", vhd);
    EXPECT_TRUE(ts::ReadWholeFile(vhd) == vhd_bytes);
    EXPECT_NE(Status().find(" terminated with failure:"), std::string::npos) << Status();
    Convert("RAW", plain, "VHD FIXED", dir_.file("alias"));
    EXPECT_TRUE(SameBytes(plain, raw_));
    // Two refusals, each after the question a copy onto an existing file asks.
    ASSERT_EQ(ui_.texts().size(), 8u);
    EXPECT_EQ(ui_.texts()[4], "Overwrite " + vhd + "?");
    EXPECT_NE(ui_.texts()[5].find("are the same or one holds the other"), std::string::npos) << ui_.texts()[5];
    EXPECT_EQ(ui_.texts()[6], "Overwrite " + dir_.file("alias") + "?");
    EXPECT_NE(ui_.texts()[7].find("are the same or one holds the other"), std::string::npos) << ui_.texts()[7];

    // Into an EWF set and back out of it, the same.
    const std::string ewf = dir_.file("set.E01");
    Convert("RAW", raw_, "EWF", dir_.file("set.e01"));
    ASSERT_TRUE(std::filesystem::exists(ewf)) << Status();
    const std::string ewf_bytes = ts::ReadWholeFile(ewf);
    Convert("EWF", ewf, "RAW", ewf);
    EXPECT_TRUE(ts::ReadWholeFile(ewf) == ewf_bytes);
}

TEST_F(Converter, WhatIsNoRegularFileIsNeverUnlinked) {
    // A folder, a socket, and (as root) a device node of our own that
    // works as /dev/null does: each stays what it is, whatever is written
    // to it or refused.
    const std::string folder = dir_.file("folder");
    std::filesystem::create_directory(folder);
    ts::WriteWholeFile(folder + "/inside", "kept");
    const std::string socket = dir_.file("socket");
    ts::RunOn("python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' %s", socket);
    std::vector<std::string> destinations = {folder, socket};
    const std::string null_node = dir_.file("null");
    if (ts::IsRoot() && ts::Run("mknod " + ts::Quote(null_node) + " c 1 3").exit_code == 0)
        destinations.push_back(null_node);
    for (const std::string& destination : destinations)
        for (const QString& kind : {QString("RAW"), QString("EWF")}) {
            Convert("RAW", raw_, kind, destination);
            EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(destination)))
                << kind.toStdString() << " " << destination;
        }
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(ts::ReadWholeFile(folder + "/inside"), "kept");
    EXPECT_TRUE(std::filesystem::is_socket(socket));
    if (destinations.size() == 3) {
        EXPECT_TRUE(std::filesystem::is_character_file(null_node));
    }
}

// The converter's questions belong to it: a box over another window (the
// main window, which the program's boxes go to otherwise) opens behind the
// converter, where nobody sees it.
TEST_F(Converter, ItsQuestionsAreAskedOverIt) {
    ts::NextBox box;
    Convert("RAW", raw_, "NETCAT", "127.0.0.1:9123");
    EXPECT_EQ(box.text(), "Overwrite 127.0.0.1:9123?");
    EXPECT_EQ(box.parent(), window_.data());
}

// The window's own Cancel stops a conversion held up by a peer that takes
// the connection and never reads; the run starts from an empty bar and
// status line, not from what the last run left.
TEST_F(Converter, ItsCancelStopsARunThatAPeerHoldsUp) {
    EXPECT_FALSE(window_->btnCancel->isEnabled());
    Convert("RAW", raw_, "RAW", dir_.file("first.img"));
    ASSERT_EQ(Status().rfind("restore done in ", 0), 0u) << Status();
    ASSERT_EQ(window_->pb_img->value(), 100);

    // Far more than the buffers of a connection hold: it cannot end by itself.
    const std::string big = dir_.file("big.raw");
    ts::RunOn("truncate -s 1G %s", big);
    ts::SilentPeer peer;
    int bar_when_asked = -1;
    std::string line_when_asked = "not asked";
    ts::LookingAnswers answers([&] {
        bar_when_asked = window_->pb_img->value();
        line_when_asked = Status();
    });
    answers.set_default_confirm(true);
    platform::ScopedInteraction asked(answers);
    bool cancel_offered = false;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!peer.accepted()) return;
        watch.stop();
        cancel_offered = window_->btnCancel->isEnabled();
        window_->btnCancel->click();
    });
    watch.start();
    Convert("RAW", big, "NETCAT", "127.0.0.1:" + std::to_string(peer.port()));
    // The next run would clear it as it starts; the next test has none.
    disk::copy_cancel = false;

    EXPECT_EQ(answers.texts(), std::vector<std::string>{"Overwrite 127.0.0.1:" + std::to_string(peer.port()) + "?"});
    EXPECT_EQ(bar_when_asked, 0);
    EXPECT_EQ(line_when_asked, "");
    EXPECT_TRUE(cancel_offered);
    ASSERT_EQ(Status().rfind("Aborted at ", 0), 0u) << Status();
    EXPECT_LT(std::stoll(Status().substr(11)), std::int64_t{1} << 30);
    EXPECT_FALSE(window_->btnCancel->isEnabled());
    EXPECT_TRUE(window_->btnGo->isEnabled());
}

TEST_F(Converter, ClosingDuringARunStopsItAndClosesAtItsEnd) {
    // A devio server that stops answering holds the run until the copy is
    // stopped; the close comes while it waits.
    ts::DevioServer server(std::string(4 * kMiB, '\0'));
    server.inject(ts::DevioServer::Fault::Stall, 3);
    bool stayed = false;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!server.stalled()) return;
        watch.stop();
        window_->close();
        stayed = window_ && window_->isVisible();
    });
    watch.start();
    Convert("RAW", raw_, "DEVIO", "127.0.0.1:" + std::to_string(server.port()));
    EXPECT_TRUE(stayed) << "the window stays while the copy unwinds";
    EXPECT_TRUE(disk::copy_cancel);
    QApplication::processEvents();
    EXPECT_TRUE(window_.isNull()) << "and goes once it has ended";
    disk::copy_cancel = false;
}

}  // namespace
