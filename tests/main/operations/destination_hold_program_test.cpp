// The built program writing disks and files as a separate process: what it
// holds while it writes, and what it leaves when it ends. A clone onto a
// partitioned loop disk ends cleanly run after run; a disk another process
// holds is refused with a reason; a destination with a volume that stays in
// use gets nothing written; a restore that runs out of space keeps the file
// it was to replace.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "disk/copy/destination_hold.h"
#include "platform/base/interaction.h"
#include "support/copy_doubles.h"
#include "support/embedded_machine.h"
#include "support/loop_copy_fixture.h"
#include "support/loop_disk.h"
#include "support/test_support.h"

namespace {

using test_support::KernelParts;
using test_support::LoopDisk;
using test_support::MountsFrom;
using test_support::Quote;
using test_support::ReadWholeFile;
using test_support::Sh;
using test_support::TableParts;
using test_support::TempDir;
using test_support::WriteWholeFile;

struct ProgramRun {
    int status = -1;
    std::string err;
    std::string out;
};

// Runs the built program with `arguments` in this process's environment
// (the host the test set up), `answers` typed on its standard input, and
// gives it a minute at most.
ProgramRun RunProgram(const TempDir& folder, const std::string& arguments, const std::string& answers = "") {
    const std::string err = folder.file("stderr.txt");
    const std::string input = answers.empty() ? "</dev/null" : "<" + Quote(folder.file("answers.txt"));
    if (!answers.empty()) WriteWholeFile(folder.file("answers.txt"), answers);
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 60 " +
                                std::string(TARNOVELL_EXECUTABLE) + " " + arguments + " " + input + " 2>" + Quote(err);
    const test_support::CommandResult result = test_support::Run("sh -c " + Quote(command));
    ProgramRun run{result.exit_code, ReadWholeFile(err), result.output};
    std::filesystem::remove(err);
    return run;
}

std::string PathArgument(const std::string& device) { return Quote(device); }

// A file of `size` random bytes; its bytes.
std::string RandomFile(const std::string& path, std::int64_t size) {
    EXPECT_TRUE(Sh("head -c " + std::to_string(size) + " /dev/urandom > " + Quote(path)));
    return ReadWholeFile(path);
}

class HoldProgramLinuxTest : public test_support::LoopCopyTest {};

TEST_F(HoldProgramLinuxTest, ACloneOntoAPartitionedDiskEndsCleanlyThreeTimesInARow) {
    // Two ext4 partitions, the first mounted: what a clone onto a
    // partitioned disk starts from once the first run has made one.
    LoopDisk* source = machine_->make("source", "label: dos\n2048,204800,83\n206848,,83\n", {1, 2}, 512 << 20);
    LoopDisk* destination = machine_->make("destination", "", {}, 512 << 20);
    ASSERT_TRUE(source && destination);
    ASSERT_TRUE(Sh("umount " + Quote(machine_->mount_folder("source", 2))));
    machine_->offer({source, destination});
    const std::string from = machine_->path_of(*source), to = machine_->path_of(*destination);
    ASSERT_FALSE(from.empty() || to.empty());
    platform::device::Registry::Reset();  // the program keeps its own

    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE("clone " + std::to_string(round));
        // Ended by the time limit it would exit 124: it must end by itself.
        ProgramRun run = RunProgram(machine_->work(), "-disk " + PathArgument(from) + " " + PathArgument(to) + " -quiet");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(KernelParts(destination->name()), TableParts(source->node()));
        EXPECT_TRUE(Sh("cmp -n " + std::to_string(200 << 20) + " " + Quote(source->part(2)) + " " +
                       Quote(destination->part(2))));
    }
}

TEST_F(HoldProgramLinuxTest, ACloneOntoASmallerDiskHoldsTheSourcesFirstBytesAndSaysWhereItStopped) {
    // 100 MiB of data, then zeros, onto a disk of half the size that holds
    // 0xFF everywhere: every byte that fits is the source's.
    LoopDisk* source = machine_->make("source", "", {}, 192 << 20);
    LoopDisk* destination = machine_->make("destination", "", {}, 150 << 20);
    ASSERT_TRUE(source && destination);
    ASSERT_TRUE(Sh("head -c " + std::to_string(100 << 20) + " /dev/urandom | dd of=" + Quote(source->node()) +
                   " bs=1M oflag=direct status=none"));
    ASSERT_TRUE(Sh("head -c " + std::to_string(150 << 20) + " /dev/zero | tr '\\000' '\\377' | dd of=" +
                   Quote(destination->node()) + " bs=1M oflag=direct status=none"));
    machine_->offer({source, destination});
    const std::string from = machine_->path_of(*source), to = machine_->path_of(*destination);
    ASSERT_FALSE(from.empty() || to.empty());
    platform::device::Registry::Reset();  // the program keeps its own
    ProgramRun run = RunProgram(machine_->work(), "-disk " + PathArgument(from) + " " + PathArgument(to) + " -quiet");
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("\nAborted at " + std::to_string(150 << 20) + "\n"), std::string::npos) << run.out;
    EXPECT_TRUE(Sh("cmp -n " + std::to_string(150 << 20) + " " + Quote(source->node()) + " " +
                   Quote(destination->node())));
}

TEST_F(HoldProgramLinuxTest, ADestinationWithAVolumeThatStaysInUseGetsNothingWritten) {
    const std::string image = machine_->work().file("mbr.img");
    ASSERT_TRUE(Sh("truncate -s 32M " + Quote(image) + " && printf 'label: dos\\n2048,20480,83\\n' | sfdisk -q " +
                   Quote(image) + " && printf 'IMAGE-BYTES-%.0s' $(seq 4096) | dd of=" + Quote(image) +
                   " bs=1M seek=2 conv=notrunc status=none"));
    struct Case {
        const char* what;
        const char* table;
        std::string arguments;  // %d stands for the disk
        const char* answers;
    } cases[] = {
        // No answer to "Abort?" is Yes; "n" is to go on, which cannot help.
        {"wipe, abort", "label: dos\n2048,20480,83\n22528,20480,83\n", "-wipe %d", "y\n"},
        {"wipe, go on", "label: dos\n2048,20480,83\n22528,20480,83\n", "-wipe %d", "y\nn\n"},
        {"restore onto GPT, go on", "label: gpt\n2048,20480\n22528,20480\n", "-image -restore " + Quote(image) + " %d",
         "y\nn\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LoopDisk* disk = machine_->make("disk", c.table, {1, 2});
        ASSERT_TRUE(disk);
        machine_->offer({disk});
        const std::string path = machine_->path_of(*disk);
        platform::device::Registry::Reset();
        // The table and the space before the first partition: the file
        // systems' own bytes change as they are mounted again.
        const std::string before = ReadWholeFile(disk->node()).substr(0, 1 << 20);
        const auto parts = KernelParts(disk->name());
        const auto p1 = MountsFrom(disk->part(1)), p2 = MountsFrom(disk->part(2));
        {
            test_support::ProcessInside inside(machine_->mount_folder("disk", 2));
            ASSERT_TRUE(inside.ready());
            std::string arguments = c.arguments;
            arguments.replace(arguments.find("%d"), 2, PathArgument(path));
            ProgramRun run = RunProgram(machine_->work(), arguments, c.answers);
            EXPECT_EQ(run.status, 1) << run.err;
            EXPECT_NE(run.err.find("Lock and/or Dismount failed! Abort?"), std::string::npos) << run.err;
        }
        EXPECT_TRUE(ReadWholeFile(disk->node()).substr(0, 1 << 20) == before) << "the table and first bytes stay";
        EXPECT_EQ(test_support::Run("grep -c -a -F IMAGE-BYTES- " + Quote(disk->node())).output, "0\n");
        EXPECT_EQ(KernelParts(disk->name()), parts);
        EXPECT_EQ(MountsFrom(disk->part(1)), p1) << "what was unmounted for the lock is mounted again";
        EXPECT_EQ(MountsFrom(disk->part(2)), p2);
        machine_->clear();
    }
}

// The sector tools write what keeps every volume in use where it is (new
// boot code before the disk's own table), and nothing of what would take
// one away: a table without the busy, mounted first partition, one that
// moves it, a boot sector written over sector 0.
TEST_F(HoldProgramLinuxTest, SectorWritersKeepTheTableOfABusyMountedPartition) {
    LoopDisk* disk = machine_->make("disk", "label: dos\n2048,40960,83\n43008,20480,83\n", {1});
    ASSERT_TRUE(disk);
    machine_->offer({disk});
    const std::string path = machine_->path_of(*disk);
    ASSERT_FALSE(path.empty());
    platform::device::Registry::Reset();  // the program keeps its own
    const TempDir& work = machine_->work();
    const std::string zero = work.file("zero.mbr"), moved = work.file("moved.mbr"), code = work.file("code.mbr");
    ASSERT_TRUE(Sh("head -c 512 /dev/zero > " + Quote(zero)));
    ASSERT_TRUE(Sh("truncate -s 64M " + Quote(work.file("moved.img")) + " && printf 'label: dos\\n4096,40960,83\\n' | "
                   "sfdisk -q " + Quote(work.file("moved.img")) + " && head -c 512 " + Quote(work.file("moved.img")) +
                   " > " + Quote(moved)));
    ASSERT_TRUE(Sh("head -c 440 /dev/urandom > " + Quote(code) + " && dd if=" + Quote(disk->node()) +
                   " bs=1 skip=440 count=72 status=none >> " + Quote(code)));
    struct Case {
        const char* what;
        std::string arguments;
        const char* answers;
        bool written;
    } cases[] = {
        {"an empty table", "-mbr -restore " + Quote(zero) + " " + PathArgument(path), "", false},
        {"a table that moves the partition", "-mbr -restore " + Quote(moved) + " " + PathArgument(path), "", false},
        {"a boot sector at sector 0", "-bs -restore " + Quote(zero) + " " + PathArgument(path), "0\n", false},
        {"boot code before the disk's own table", "-mbr -restore " + Quote(code) + " " + PathArgument(path), "", true},
    };
    const auto parts = KernelParts(disk->name());
    const auto mounted = MountsFrom(disk->part(1));
    test_support::ProcessInside inside(machine_->mount_folder("disk", 1));
    ASSERT_TRUE(inside.ready());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = ReadWholeFile(disk->node()).substr(0, 1 << 20);
        ProgramRun run = RunProgram(work, c.arguments, c.answers);
        const std::string after = ReadWholeFile(disk->node()).substr(0, 1 << 20);
        if (c.written) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_TRUE(after.substr(0, 512) == ReadWholeFile(code));
            EXPECT_TRUE(after.substr(512) == before.substr(512));
        } else {
            EXPECT_EQ(run.status, 1) << run.err;
            EXPECT_NE(run.err.find("a volume of " + path + " is still in use: nothing was written"), std::string::npos)
                << run.err;
            EXPECT_TRUE(after == before) << "the table stays";
        }
        EXPECT_EQ(TableParts(disk->node()), parts);
        EXPECT_EQ(KernelParts(disk->name()), parts);
        EXPECT_EQ(MountsFrom(disk->part(1)), mounted);
    }
}

// A disk that one process holds is refused to another, which says why and
// writes nothing; once the hold ends the same command goes through.
void ExpectASecondWriterRefused(const TempDir& folder, const std::string& disk_path, const std::string& disk_bytes,
                                const std::string& image) {
    const std::string before = ReadWholeFile(disk_bytes);
    {
        platform::ScriptedInteraction answers;
        answers.set_default_confirm(true);
        disk::OperationContext context;
        context.interaction = &answers;
        std::unique_ptr<disk::DestinationHold> hold = disk::PrepareDestination(context, disk_path);
        ASSERT_TRUE(hold) << ::testing::PrintToString(answers.texts());
        for (const std::string arguments : {"-image -restore " + Quote(image) + " " + PathArgument(disk_path) + " -quiet",
                                            "-wipe " + PathArgument(disk_path) + " -quiet"}) {
            SCOPED_TRACE(arguments);
            ProgramRun run = RunProgram(folder, arguments, "y\n");
            EXPECT_EQ(run.status, 1) << run.err;
            EXPECT_NE(run.err.find(disk_path + " is in use by another program: nothing was written"), std::string::npos)
                << run.err;
            EXPECT_TRUE(ReadWholeFile(disk_bytes) == before);
        }
    }
    ProgramRun run = RunProgram(folder, "-image -restore " + Quote(image) + " " + PathArgument(disk_path) + " -quiet");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ReadWholeFile(disk_bytes).substr(0, 4 << 20) == ReadWholeFile(image));
}

TEST_F(HoldProgramLinuxTest, ASecondWriterOfABlankDiskIsRefused) {
    LoopDisk* disk = machine_->make("blank", "");
    ASSERT_TRUE(disk);
    machine_->offer({disk});
    const std::string image = machine_->work().file("data.img");
    RandomFile(image, 4 << 20);
    ExpectASecondWriterRefused(machine_->work(), machine_->path_of(*disk), disk->node(), image);
}

TEST(HoldProgram, ASecondWriterOfABlankEmbeddedDiskIsRefused) {
    test_support::EmbeddedMachine machine({test_support::DiskSpec{}});
    const std::string image = machine.dir().file("data.img");
    RandomFile(image, 4 << 20);
    ExpectASecondWriterRefused(machine.dir(), "\\\\.\\PhysicalDrive0", machine.image(0), image);
}

// A restore into a file is written beside it and takes its name only once
// complete: a file system that runs out of space on the way keeps the old
// file byte for byte, and nothing partial beside it.
TEST(HoldProgram, ARestoreThatRunsOutOfSpaceKeepsTheOldFile) {
    if (!test_support::IsRoot()) GTEST_SKIP() << "needs root to mount a small tmpfs";
    test_support::EmbeddedMachine machine(std::vector<test_support::DiskSpec>{});
    TempDir small;
    ASSERT_EQ(::mount("tarnovell-test", small.path().c_str(), "tmpfs", 0, "size=100m"), 0);
    struct Unmount {
        std::string folder;
        ~Unmount() { ::umount2(folder.c_str(), MNT_DETACH); }
    } unmount{small.path().string()};
    const std::string old = RandomFile(small.file("x.raw"), 30 << 20);
    const std::string big = machine.dir().file("big.raw");
    RandomFile(big, 120 << 20);

    for (const char* answers : {"", "y\n"}) {
        ProgramRun run = RunProgram(machine.dir(), "-image -restore " + Quote(big) + " " + Quote(small.file("x.raw")) +
                                                       (*answers ? "" : " -quiet"),
                                    answers);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find("writefile error"), std::string::npos) << run.err;
        EXPECT_TRUE(ReadWholeFile(small.file("x.raw")) == old);
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(small.path())) names.push_back(entry.path().filename());
        EXPECT_EQ(names, std::vector<std::string>{"x.raw"});
    }
}

}  // namespace
