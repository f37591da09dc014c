// Cloning one embedded disk or volume onto another, with its questions,
// refusals and cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>

#include "disk/device/handle_ops.h"
#include "main/operations/clone.h"
#include "platform/device/handle.h"
#include "platform/device/registry.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"

using namespace tarnovell;
using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

// 40 MiB with an ext4 primary and a FAT logical partition, and data that
// is not all zeros beyond the file systems.
DiskSpec SourceDisk() {
    return DiskSpec{40 << 20,
                    {"printf 'label: dos\\nlabel-id: 0x1234abcd\\nstart=2048,size=20480,type=83\\n"
                     "start=22528,size=59392,type=5\\nstart=24576,size=57344,type=6\\n' | sfdisk -q %s",
                     "mkfs.ext4 -q -F -L system -E offset=1048576 %s 10240",
                     "mkfs.fat -F 16 -n DATA --offset 24576 %s 28672 >/dev/null",
                     "head -c 3000000 /dev/urandom | dd of=%s bs=1M seek=30 conv=notrunc status=none"},
                    ""};
}

DiskSpec BlankDisk(std::int64_t size) { return DiskSpec{size, {}, ""}; }

class Status : public platform::OperationTarget {
public:
    void post(int, platform::OperationKind, std::int64_t, const std::string& text) override { last = text; }
    std::string last;
};

// Sets the cancel flag the first time the bar moves (after the first 16 MiB).
class CancelOnProgress : public platform::ProgressBar {
public:
    explicit CancelOnProgress(std::atomic<bool>& cancel) : cancel_(cancel) {}
    void set_max(std::int64_t) override {}
    void set_position(std::int64_t) override { cancel_ = true; }

private:
    std::atomic<bool>& cancel_;
};

std::string Peer(const std::string& command) { return test_support::Run(command).output; }

class CloneTest : public ::testing::Test {
protected:
    void SetUp() override { disk::SetLockRetryDelay(std::chrono::milliseconds(1)); }
    void TearDown() override {
        // A clone gives back every volume it locked, however it ended.
        EXPECT_EQ(platform::device::Registry::instance().locked_volume_count(), 0u);
        disk::SetLockRetryDelay(std::chrono::milliseconds(1000));
    }
    disk::OperationContext Context() {
        disk::OperationContext context;
        context.cancel = &cancel_;
        context.status = &status_;
        return context;
    }
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
    std::atomic<bool> cancel_{false};
    Status status_;
};

}  // namespace

TEST_F(CloneTest, DiskOntoABiggerDiskIsByteForByteWithTheSameTable) {
    EmbeddedMachine machine({SourceDisk(), BlankDisk(64 << 20)});
    ui_.answer_confirm(true);  // "Clone ... ?"
    ASSERT_EQ(CloneDevice("\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1", Context()), CloneResult::Completed);
    EXPECT_EQ(ui_.texts().front(), "Clone \\\\.\\PhysicalDrive0 to \\\\.\\PhysicalDrive1?");
    EXPECT_EQ(status_.last.rfind("clone done in ", 0), 0u) << status_.last;
    auto cmp = test_support::Run("cmp -n 41943040 " + machine.image(0) + " " + machine.image(1));
    EXPECT_EQ(cmp.exit_code, 0) << cmp.output;
    std::string source_table = Peer("sfdisk -d " + machine.image(0) + " | grep -v '^device:\\|img'");
    EXPECT_EQ(Peer("sfdisk -d " + machine.image(1) + " | grep -v '^device:\\|img'"), source_table);
    // The system knows the new layout at once.
    EXPECT_EQ(platform::device::Registry::instance().snapshot()->volumes_of(1).size(), 2u);
}

TEST_F(CloneTest, NoToTheSizeQuestionLeavesTheDestinationUntouched) {
    DiskSpec small{16 << 20, {"printf 'label: dos\\nstart=2048,size=8192,type=7\\n' | sfdisk -q %s"}, ""};
    EmbeddedMachine machine({SourceDisk(), small});
    std::string before = test_support::ReadWholeFile(machine.image(1));
    ui_.answer_confirm(true);   // clone?
    ui_.answer_confirm(false);  // "Source is bigger than Destination! Continue?"
    EXPECT_EQ(CloneDevice("\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1", Context()), CloneResult::Declined);
    EXPECT_EQ(ui_.texts().back(), "Source is bigger than Destination! Continue?");
    EXPECT_EQ(test_support::ReadWholeFile(machine.image(1)), before);
}

TEST_F(CloneTest, FailedLockAnsweredWithAbortLeavesTheDestinationUntouched) {
    EmbeddedMachine machine({SourceDisk(), SourceDisk()});
    std::string before = test_support::ReadWholeFile(machine.image(1));
    // Another handle on the destination volume keeps it from being locked.
    platform::Handle busy = platform::CreateFile("\\\\.\\F:", platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                 platform::OPEN_EXISTING, 0);
    ASSERT_TRUE(busy);
    ui_.answer_confirm(true);  // clone?
    ui_.answer_confirm(true);  // "Lock and/or Dismount failed! Abort?"
    EXPECT_EQ(CloneDevice("\\\\.\\D:", "\\\\.\\F:", Context()), CloneResult::Declined);
    EXPECT_EQ(ui_.texts().back(), "Lock and/or Dismount failed! Abort?");
    EXPECT_EQ(test_support::ReadWholeFile(machine.image(1)), before);
}

TEST_F(CloneTest, FailedLockAnsweredWithGoOnStillDismountsAndCopies) {
    EmbeddedMachine machine({SourceDisk(), SourceDisk()});
    // The lock fails while another handle holds the volume; the dismount
    // that follows it lets the copy write all the same.
    platform::Handle busy = platform::CreateFile("\\\\.\\F:", platform::GENERIC_READ, platform::FILE_SHARE_READ,
                                                 platform::OPEN_EXISTING, 0);
    ASSERT_TRUE(busy);
    ui_.answer_confirm(true);   // clone?
    ui_.answer_confirm(false);  // "Lock and/or Dismount failed! Abort?" No
    EXPECT_EQ(CloneDevice("\\\\.\\D:", "\\\\.\\F:", Context()), CloneResult::Completed)
        << ::testing::PrintToString(ui_.texts()) << status_.last;
    EXPECT_EQ(status_.last.rfind("clone done in ", 0), 0u) << status_.last;
    for (const auto& exchange : ui_.log()) EXPECT_NE(exchange.kind, platform::ScriptedInteraction::Exchange::Inform);
}

TEST_F(CloneTest, CancelStopsAfterTheCurrentBlockAndIsNotReportedAsDone) {
    EmbeddedMachine machine({SourceDisk(), BlankDisk(64 << 20)});
    CancelOnProgress canceller(cancel_);
    disk::OperationContext context = Context();
    context.progress = &canceller;
    EXPECT_EQ(CloneDevice("\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1", context, true), CloneResult::Aborted);
    EXPECT_EQ(status_.last, "Aborted at " + std::to_string(16 << 20));
    std::string copied = test_support::ReadWholeFile(machine.image(1));
    std::string source = test_support::ReadWholeFile(machine.image(0));
    EXPECT_EQ(copied.substr(0, 16 << 20), source.substr(0, 16 << 20));
    EXPECT_EQ(copied.substr(30 << 20, 1 << 20), std::string(1 << 20, '\0'));  // the rest was never written
}

TEST_F(CloneTest, SameOrNestedDevicesAreRefusedBeforeAnythingIsWritten) {
    EmbeddedMachine machine({SourceDisk(), BlankDisk(64 << 20)});
    std::string before = test_support::ReadWholeFile(machine.image(0));
    struct Case {
        const char* source;
        const char* destination;
    };
    for (const Case& c : {Case{"\\\\.\\PhysicalDrive0", "\\\\.\\physicaldrive0"}, Case{"\\\\.\\C:", "\\\\.\\PhysicalDrive0"},
                          Case{"\\\\.\\PhysicalDrive0", "\\\\.\\D:"}, Case{"\\\\.\\C:", "\\\\.\\C:"}}) {
        ui_.set_default_confirm(true);
        EXPECT_EQ(CloneDevice(c.source, c.destination, Context()), CloneResult::Refused) << c.source << " " << c.destination;
    }
    EXPECT_EQ(test_support::ReadWholeFile(machine.image(0)), before);
    for (const auto& exchange : ui_.log()) EXPECT_NE(exchange.kind, platform::ScriptedInteraction::Exchange::Confirm);
}

TEST_F(CloneTest, QuietCloneOfAVolumeOntoASmallerOneCopiesWhatFitsAndFails) {
    DiskSpec two{40 << 20,
                 {"printf 'label: dos\\nstart=2048,size=20480,type=7\\nstart=22528,size=8192,type=7\\n' | sfdisk -q %s",
                  "head -c 10485760 /dev/urandom | dd of=%s bs=1M seek=1 conv=notrunc status=none"},
                 ""};
    EmbeddedMachine machine({two});
    EXPECT_EQ(CloneDevice("\\\\.\\C:", "\\\\.\\D:", Context(), true), CloneResult::Aborted);
    EXPECT_TRUE(ui_.log().empty());  // quiet: no question, no write-error box
    std::string image = test_support::ReadWholeFile(machine.image(0));
    EXPECT_EQ(image.substr(22528 * 512, 4 << 20), image.substr(2048 * 512, 4 << 20));
}

// Only the device prefix makes a disk: files whose names hold "physicaldrive"
// are cloned onto like any other file, and no disk layout is deleted for them.
TEST_F(CloneTest, DiskOntoAFileWhateverItsName) {
    EmbeddedMachine machine({SourceDisk(), SourceDisk()});
    const std::string source = test_support::ReadWholeFile(machine.image(0));
    const std::string other_disk = test_support::ReadWholeFile(machine.image(1));
    for (const std::string name : {"plain.img", "physicaldrive.img", "PhysicalDrive1", "physicaldrive1/disk.img"}) {
        SCOPED_TRACE(name);
        const std::string file = machine.dir().file(name);
        std::filesystem::create_directories(std::filesystem::path(file).parent_path());
        test_support::WriteWholeFile(file, std::string(source.size(), '\0'));
        ui_.answer_confirm(true);   // clone?
        ui_.answer_confirm(true);   // a file has no partition length: "Source is bigger ...! Continue?"
        // A file has no volumes to lock: it is written beside its name and takes it when whole.
        EXPECT_EQ(CloneDevice("\\\\.\\PhysicalDrive0", file, Context()), CloneResult::Completed);
        EXPECT_EQ(status_.last.rfind("clone done in ", 0), 0u) << status_.last;
        EXPECT_TRUE(test_support::ReadWholeFile(file) == source);
    }
    for (const auto& exchange : ui_.log()) EXPECT_EQ(exchange.kind, platform::ScriptedInteraction::Exchange::Confirm);
    // Disk 1 shares its number with two of the names: it is left alone.
    EXPECT_TRUE(test_support::ReadWholeFile(machine.image(1)) == other_disk);
    EXPECT_EQ(platform::device::Registry::instance().snapshot()->volumes_of(1).size(), 2u);
}
