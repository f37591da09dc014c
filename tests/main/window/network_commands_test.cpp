// "Backup to Network" and "Restore from Network" from the window on an
// embedded machine: the "Network" dialog, its checks and messages, then the
// transfer against a devio server in the test or socat, and the status line.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

#include "disk/copy/copy_loop.h"
#include "main/dialogs/dlg_backup.h"
#include "main/window/ufrmmain.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"
#include "support/net_peers.h"
#include "support/status_log.h"
#include "support/test_application.h"
#include "support/window_test_helpers.h"

using test_support::DevioServer;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::ListeningPeer;
using test_support::ReadWholeFile;
using window_test::AnswerNetworkDialog;
using window_test::SelectDevice;

namespace {

DiskSpec RandomDisk(std::int64_t size) {
    return DiskSpec{size,
                    {"printf 'label: dos\\nstart=2048,size=4096,type=83\\n' | sfdisk -q %s",
                     "head -c 2500000 /dev/urandom | dd of=%s bs=1M seek=1 conv=notrunc status=none"},
                    ""};
}

// The dialog's answers: host text and mode, and what the test saw of it.
struct NetworkAnswer {
    std::string host;
    bool netcat = true;
    bool skip = false;
    bool* skip_offered = nullptr;
};

class WindowNetwork : public ::testing::Test {
protected:
    void SetUp() override {
        test_support::TestApplication();
        ui_.set_default_confirm(true);
        platform::set_pump([] { QCoreApplication::processEvents(); });
    }
    void TearDown() override {
        platform::set_pump(nullptr);
        delete window_;
    }
    void Open() {
        window_ = new tarnovell::Tfrmmain(state_);
        status_ = test_support::WatchStatus(window_->statusBar());
        list_ = window_->findChild<QTreeWidget*>("lvdisks");
    }
    void Answer(NetworkAnswer answer) {
        AnswerNetworkDialog([answer](tarnovell::TfrmDevio& dialog) {
            dialog.txthost->setText(QString::fromStdString(answer.host));
            (answer.netcat ? dialog.rbNetcat : dialog.rbdevio)->setChecked(true);
            dialog.chk_unpartitioned->setChecked(answer.skip);
            if (answer.skip_offered) *answer.skip_offered = dialog.grp_physical->isVisibleTo(&dialog);
        });
    }
    // Runs a side-bar button of the Clone page, as a click would.
    void Click(const char* caption) {
        for (auto* button : window_->findChildren<QPushButton*>())
            if (button->text() == caption) {
                ASSERT_TRUE(button->isEnabled()) << caption;
                button->click();
                return;
            }
        FAIL() << "no button " << caption;
    }
    std::string Status() const { return status_->last(); }
    void RestoreFromAStalledServerThenCancel(const std::function<void()>& while_stalled);
    // "done in " + milliseconds + "ms".
    static bool SaysDoneIn(const std::string& status) {
        const std::string head = "done in ", tail = "ms";
        if (status.size() <= head.size() + tail.size() || status.rfind(head, 0) != 0 ||
            status.compare(status.size() - tail.size(), tail.size(), tail) != 0)
            return false;
        const std::string number = status.substr(head.size(), status.size() - head.size() - tail.size());
        return number.find_first_not_of("0123456789") == std::string::npos;
    }

    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    tarnovell::MainState state_;
    tarnovell::Tfrmmain* window_ = nullptr;
    test_support::StatusLog* status_ = nullptr;
    QTreeWidget* list_ = nullptr;
};

TEST_F(WindowNetwork, DevioBackupAndRestoreOfADisk) {
    EmbeddedMachine machine({RandomDisk(8 << 20), test_support::PartitionedExt4Disk()});
    Open();
    DevioServer server(std::string(8 << 20, '\0'));
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    bool skip_offered = false;
    Answer({"127.0.0.1:" + std::to_string(server.port()), false, false, &skip_offered});
    Click("Backup to Network");
    EXPECT_TRUE(skip_offered) << "a disk row offers to skip unpartitioned space";
    EXPECT_TRUE(SaysDoneIn(Status())) << Status();
    std::string sent = server.finish();
    EXPECT_TRUE(sent == ReadWholeFile(machine.image(0)));

    DevioServer back(sent);
    ASSERT_TRUE(SelectDevice(list_, "DISK 1"));
    Answer({"127.0.0.1:" + std::to_string(back.port()), false, false, &skip_offered});
    Click("Restore from Network");
    EXPECT_FALSE(skip_offered) << "a restore never offers the skip";
    EXPECT_TRUE(SaysDoneIn(Status())) << Status();
    EXPECT_TRUE(ReadWholeFile(machine.image(1)) == sent);
    ASSERT_TRUE(SelectDevice(list_, "PART 1,1")) << "the received table is in the list";
}

TEST_F(WindowNetwork, NetcatRestoreOfADiskAndBackupOfAVolume) {
    if (!test_support::HaveTool("socat")) GTEST_SKIP() << "socat is needed";
    EmbeddedMachine machine({RandomDisk(8 << 20), test_support::PartitionedExt4Disk()});
    Open();
    {
        ListeningPeer peer("socat -d -d -u FILE:" + machine.image(0) + " TCP-LISTEN:0,bind=127.0.0.1");
        ASSERT_NE(peer.port(), 0) << peer.log();
        ASSERT_TRUE(SelectDevice(list_, "DISK 1"));
        Answer({"127.0.0.1:" + std::to_string(peer.port()), true});
        Click("Restore from Network");
        EXPECT_EQ(peer.wait(), 0) << peer.log();
        EXPECT_TRUE(SaysDoneIn(Status())) << Status();
        EXPECT_TRUE(ReadWholeFile(machine.image(1)) == ReadWholeFile(machine.image(0)));
    }
    {
        const std::string received = machine.dir().file("volume.bin");
        ListeningPeer peer("socat -d -d -u TCP-LISTEN:0,bind=127.0.0.1 OPEN:" + received + ",creat,trunc");
        ASSERT_NE(peer.port(), 0) << peer.log();
        ASSERT_TRUE(SelectDevice(list_, "PART 0,1"));
        bool skip_offered = true;
        Answer({"127.0.0.1:" + std::to_string(peer.port()), true, false, &skip_offered});
        Click("Backup to Network");
        EXPECT_FALSE(skip_offered) << "a partition row hides the skip";
        EXPECT_EQ(peer.wait(), 0) << peer.log();
        EXPECT_TRUE(SaysDoneIn(Status())) << Status();
        EXPECT_TRUE(ReadWholeFile(received) == ReadWholeFile(machine.image(0)).substr(1 << 20, 4096 * 512));
    }
}

TEST_F(WindowNetwork, SkippingUnpartitionedSpaceSendsTheUsedExtentOnly) {
    EmbeddedMachine machine({RandomDisk(8 << 20)});
    Open();
    DevioServer server(std::string(8 << 20, '\0'));
    ASSERT_TRUE(SelectDevice(list_, "DISK 0"));
    Answer({"127.0.0.1:" + std::to_string(server.port()), false, true});
    Click("Backup to Network");
    EXPECT_TRUE(SaysDoneIn(Status())) << Status();
    // The partition ends at sector 2048 + 4096: 3 MiB.
    EXPECT_EQ(ui_.texts().front(), "Backup 3 MBytes ?");
    std::string sent = server.finish();
    EXPECT_TRUE(sent.substr(0, 3 << 20) == ReadWholeFile(machine.image(0)).substr(0, 3 << 20));
    EXPECT_EQ(sent.substr(3 << 20), std::string(5 << 20, '\0'));
}

// A restore of disk 1 from a devio server that stops answering after its
// first two blocks: once it has, `while_stalled` runs and the person
// presses Cancel; the window is alive meanwhile, so the presses get through.
void WindowNetwork::RestoreFromAStalledServerThenCancel(const std::function<void()>& while_stalled) {
    DevioServer server(std::string(8 << 20, 'x'));
    server.inject(DevioServer::Fault::Stall, 3);
    ASSERT_TRUE(SelectDevice(list_, "DISK 1"));
    Answer({"127.0.0.1:" + std::to_string(server.port()), false});
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!server.stalled()) return;
        watch.stop();
        while_stalled();
        window_->findChild<QPushButton*>("btn_cancel_backup_restore")->click();
    });
    watch.start(10);
    Click("Restore from Network");
    // The next operation would clear it as it starts; the next test has none.
    disk::copy_cancel = false;
    EXPECT_FALSE(watch.isActive()) << "the transfer ended before the server stalled";
    EXPECT_EQ(Status(), "Aborted at 131072");
}

TEST_F(WindowNetwork, CancelEndsARestoreFromAStalledServer) {
    EmbeddedMachine machine({DiskSpec{}, test_support::PartitionedExt4Disk()});
    Open();
    RestoreFromAStalledServerThenCancel([] {});
    EXPECT_EQ(ui_.texts().size(), 1u) << "the Overwrite question, and no error";
}

TEST_F(WindowNetwork, TheMbrPageWritesNothingWhileARestoreHoldsItsDisk) {
    EmbeddedMachine machine({DiskSpec{}, test_support::PartitionedExt4Disk()});
    Open();
    // The Master Boot Record page shows the disk the restore is about to write.
    auto* selector = window_->findChild<QComboBox*>("drivecombopart");
    const int disk_one = selector->findText("\\\\.\\PhysicalDrive1", Qt::MatchStartsWith);
    ASSERT_GE(disk_one, 0);
    selector->setCurrentIndex(disk_one);
    emit selector->activated(disk_one);
    // While the restore waits on its peer, the page's Write and Apply are
    // pressed, and every question would be answered Yes.
    RestoreFromAStalledServerThenCancel([&] {
        window_->findChild<QLineEdit*>("txtMBRDiskID")->setText("1A2B3C4D");
        for (const char* name : {"btn_write_part", "btn_mbr_apply_diskid"})
            window_->findChild<QPushButton*>(name)->click();
    });
    EXPECT_EQ(ui_.texts().size(), 1u) << "the restore's Overwrite question, no other";
    EXPECT_TRUE(ReadWholeFile(machine.image(1)).substr(0, 131072) == std::string(131072, 'x'))
        << "only the restore's bytes are at the disk's start";
}

TEST_F(WindowNetwork, ChecksAndFailuresSayWhyAndNeverSayDone) {
    EmbeddedMachine machine({RandomDisk(8 << 20), test_support::PartitionedExt4Disk()});
    Open();
    const std::string before = ReadWholeFile(machine.image(1));
    struct Case {
        std::string host;
        bool restore;
        std::string message;
    };
    const Case cases[] = {
        {"127.0.0.1:abc", false, "'abc' is not a valid integer value"},
        {"9000", true, "Not a dotted IPv4 address: ''"},
        {"localhost:9000", false, "Not a dotted IPv4 address: 'localhost'"},
        {"127.0.0.1:70000", true, "Port out of range (1-65535): 70000"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SelectDevice(list_, "DISK 1"));
        platform::ScriptedInteraction ui;
        platform::ScopedInteraction scope(ui);
        Answer({c.host, false});
        Click(c.restore ? "Restore from Network" : "Backup to Network");
        EXPECT_EQ(ui.texts(), std::vector<std::string>{c.message}) << c.host;
        EXPECT_FALSE(SaysDoneIn(Status())) << c.host;
    }
    EXPECT_TRUE(ReadWholeFile(machine.image(1)) == before) << "a refused peer costs the disk nothing";
    // A server that breaks the protocol half-way: its text, and no "done".
    DevioServer server(std::string(8 << 20, 'x'));
    server.inject(DevioServer::Fault::Error, 5);
    ASSERT_TRUE(SelectDevice(list_, "DISK 1"));
    platform::ScriptedInteraction ui;
    ui.set_default_confirm(true);
    platform::ScopedInteraction scope(ui);
    Answer({"127.0.0.1:" + std::to_string(server.port()), false});
    Click("Restore from Network");
    EXPECT_EQ(ui.texts().back(), "bad response: len=0 errno=5");
    EXPECT_EQ(Status(), "Aborted at 262144");

    list_->clearSelection();
    platform::ScriptedInteraction none;
    platform::ScopedInteraction none_scope(none);
    Click("Backup to Network");
    EXPECT_EQ(none.texts(), std::vector<std::string>{"pick a disk/part"});
}

}  // namespace
