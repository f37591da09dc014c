// Loop disks attached and detached under a running program on the Linux
// host. The window (a process of its own) lists a blank disk that comes,
// keeps the numbers of the disks it had, and forgets a chosen disk that
// went, so that the blank one that takes its node and number is not
// written in its place; a change while a question waits gets nothing
// written. The command line numbers the disks in the order
// TARNOVELL_LINUX_DISKS names them and says which device each is, and its
// questions say which disk and volumes they mean.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/loop_disk.h"
#include "support/program_session.h"
#include "support/test_support.h"

namespace {

using test_support::LoopDisk;
using test_support::ProgramSession;
using test_support::Quote;
using test_support::Sh;
using test_support::TempDir;

std::string NameOf(const std::string& node) { return std::filesystem::path(node).filename().string(); }

// The first MiB of a disk, read past every cache.
std::string FirstMiB(const std::string& node) {
    return test_support::Run("dd if=" + Quote(node) + " bs=1048576 count=1 iflag=direct status=none").output;
}

class DiskChangeLinuxProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = test_support::LoopDevicesMissing(); !missing.empty()) GTEST_SKIP() << missing;
    }
    void TearDown() override { disks_.clear(); }

    // A 64 MiB loop disk without a table on `node` (any free one when
    // empty), its first MiB `fill` repeated.
    LoopDisk* make(const std::string& name, const std::string& fill, const std::string& node = "") {
        std::string error;
        auto disk = LoopDisk::Make(images_.file(name), "", error, node);
        EXPECT_TRUE(disk) << error;
        if (!disk) return nullptr;
        if (!fill.empty())
            EXPECT_TRUE(Sh("yes " + Quote(fill) + " | head -c 1048576 | dd of=" + Quote(disk->node()) +
                           " bs=1048576 oflag=direct iflag=fullblock status=none"));
        disks_.push_back(std::move(disk));
        return disks_.back().get();
    }
    void drop(LoopDisk* disk) {
        std::erase_if(disks_, [&](const std::unique_ptr<LoopDisk>& d) { return d.get() == disk; });
    }
    std::vector<std::string> environment(const std::string& disks) const {
        return {"TARNOVELL_HOST", "TARNOVELL_LINUX_DISKS=" + disks, "TARNOVELL_STATE=" + work_.file("state.ini"),
                "QT_QPA_PLATFORM=offscreen", "DISPLAY", "WAYLAND_DISPLAY"};
    }
    std::string command(ProgramSession& window, const std::string& line) {
        window.send(line);
        std::string said;
        EXPECT_TRUE(window.take_until("end\n", said)) << line << ": " << said;
        return said;
    }

    TempDir images_, work_;
    std::vector<std::unique_ptr<LoopDisk>> disks_;
};

TEST_F(DiskChangeLinuxProgramTest, TheWindowListsDisksThatComeAndForgetsAChosenDiskThatWent) {
    const test_support::LoopNumberClaim claim(2);
    const auto& nodes = claim.nodes();
    ASSERT_EQ(nodes.size(), 2u) << "no two loop numbers from 200 up are free";
    LoopDisk* old_disk = make("y.img", "Y-DISK", nodes[1]);
    ASSERT_TRUE(old_disk);
    ProgramSession window({WINDOW_CHILD}, environment(NameOf(nodes[0]) + "," + NameOf(nodes[1])));
    std::string said;
    ASSERT_TRUE(window.take_until("ready\n", said)) << said;
    EXPECT_EQ(command(window, "rows"), "row DISK 0|Loop y.img|" + nodes[1] + "\nend\n");
    command(window, "select DISK 0");

    // A blank disk comes, named first in the list: it moves no number.
    LoopDisk* blank = make("x.img", "", nodes[0]);
    ASSERT_TRUE(blank);
    std::string rows = command(window, "await " + nodes[0]);
    EXPECT_EQ(rows, "row DISK 0|Loop y.img|" + nodes[1] + "\nrow DISK 1|Loop x.img|" + nodes[0] + "\nend\n");
    EXPECT_EQ(command(window, "selected"), "DISK 0\nend\n");

    // The chosen disk goes, and a disk of unknown bytes takes its node and number.
    drop(old_disk);
    LoopDisk* other = make("z.img", "Z-DISK", nodes[1]);
    ASSERT_TRUE(other);
    rows = command(window, "await Loop z.img");
    EXPECT_EQ(rows, "row DISK 0|Loop z.img|" + nodes[1] + "\nrow DISK 1|Loop x.img|" + nodes[0] + "\nend\n");
    EXPECT_EQ(command(window, "selected"), "none\nend\n");
    const std::string z = FirstMiB(other->node());
    EXPECT_EQ(command(window, "press Disk|Wipe Disk"), "pick a disk/part\nend\n");
    EXPECT_TRUE(FirstMiB(other->node()) == z);
}

TEST_F(DiskChangeLinuxProgramTest, ADiskThatTakesTheChosenOnesPlaceWhileAQuestionWaitsGetsNothingWritten) {
    const test_support::LoopNumberClaim claim(1);
    const auto& nodes = claim.nodes();
    ASSERT_EQ(nodes.size(), 1u) << "no loop number from 200 up is free";
    LoopDisk* chosen = make("y.img", "Y-DISK", nodes[0]);
    ASSERT_TRUE(chosen);
    struct Case {
        bool window;
        std::string question;
    } cases[] = {{true, "Wipe \\\\.\\PhysicalDrive0? [y/n] "}, {false, "Wipe \\\\.\\PhysicalDrive0? [y/n] "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.window ? "window" : "command line");
        LoopDisk* before = chosen ? chosen : make("y.img", "Y-DISK", nodes[0]);
        ASSERT_TRUE(before);
        const std::vector<std::string> argv =
            c.window ? std::vector<std::string>{WINDOW_CHILD}
                     : std::vector<std::string>{TARNOVELL_EXECUTABLE, "-wipe", "\\\\.\\PhysicalDrive0"};
        ProgramSession program(argv, environment(NameOf(nodes[0])));
        std::string said;
        if (c.window) {
            ASSERT_TRUE(program.take_until("ready\n", said)) << said;
            command(program, "select DISK 0");
            program.send("press Disk|Wipe Disk");
        }
        ASSERT_TRUE(program.take_until(c.question, said)) << said;
        EXPECT_NE(said.find("\\\\.\\PhysicalDrive0 is " + nodes[0] + " (Loop y.img, 64 MB)\n"), std::string::npos)
            << said;
        drop(before);
        chosen = nullptr;
        LoopDisk* other = make("z.img", "Z-DISK", nodes[0]);
        ASSERT_TRUE(other);
        const std::string z = FirstMiB(other->node());
        program.send("y");
        if (c.window) {
            ASSERT_TRUE(program.take_until("end\n", said)) << said;
        } else {
            program.close_input();
            int status = 0;
            ASSERT_TRUE(program.wait_for_end(std::chrono::seconds(60), &status));
            said = program.rest();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << "\n" << said;
        }
        EXPECT_NE(said.find("\\\\.\\PhysicalDrive0 is no longer " + nodes[0] +
                            " (Loop y.img, 64 MB), the disk that was chosen: it is now " + nodes[0] +
                            " (Loop z.img, 64 MB). Nothing was written"),
                  std::string::npos)
            << said;
        EXPECT_TRUE(FirstMiB(other->node()) == z);
        drop(other);
    }
}

// The numbers follow the order of TARNOVELL_LINUX_DISKS, and every line
// says which device it is.
TEST_F(DiskChangeLinuxProgramTest, ListNumbersTheDisksInTheOrderNamedAndNamesTheirDevices) {
    LoopDisk* a = make("a.img", "A-DISK");
    LoopDisk* b = make("b.img", "B-DISK");
    ASSERT_TRUE(a && b);
    for (const auto& order : std::vector<std::vector<LoopDisk*>>{{a, b}, {b, a}}) {
        std::string list, expected;
        for (std::size_t n = 0; n < order.size(); ++n) {
            const std::string file = order[n] == a ? "a.img" : "b.img";
            list += (list.empty() ? "" : ",") + order[n]->name();
            expected += "PhysicalDrive" + std::to_string(n) + "\tLoop " + file + "      \t64MB\t" + order[n]->node() +
                        "\n";
        }
        SCOPED_TRACE(list);
        ProgramSession program({TARNOVELL_EXECUTABLE, "-list"}, environment(list));
        int status = 0;
        ASSERT_TRUE(program.wait_for_end(std::chrono::seconds(60), &status));
        EXPECT_EQ(program.rest(), expected + "Done\n");
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

// "Lock and/or Dismount failed! Abort?" says which disk it is and which of
// its volumes are still mounted; going on, the refusal says which is in use.
TEST_F(DiskChangeLinuxProgramTest, TheQuestionsOfAWriteNameTheDiskAndTheVolumeInUse) {
    if (!test_support::HaveTool("mkfs.ext4")) GTEST_SKIP() << "mkfs.ext4 is not installed (e2fsprogs)";
    test_support::LoopMachine machine;
    LoopDisk* disk = machine.make("disk", "label: dos\n2048,20480,83\n22528,20480,83\n", {2});
    ASSERT_TRUE(disk);
    const std::string folder = machine.mount_folder("disk", 2);
    const std::string before = FirstMiB(disk->node());
    test_support::ProcessInside inside(folder);
    ASSERT_TRUE(inside.ready());
    ProgramSession program({TARNOVELL_EXECUTABLE, "-wipe", "\\\\.\\PhysicalDrive0"}, environment(disk->name()));
    std::string said;
    ASSERT_TRUE(program.take_until("Wipe \\\\.\\PhysicalDrive0? [y/n] ", said)) << said;
    program.send("y");
    ASSERT_TRUE(program.take_until("Abort? [y/n] ", said)) << said;
    const std::string described = disk->node() + " (Loop disk.img, 64 MB)";
    const std::string volume = disk->part(2) + " mounted at " + folder + ", partition 2 of " + described;
    EXPECT_NE(said.find("\\\\.\\PhysicalDrive0 is " + described + "\nmounted: " + volume +
                        "\nLock and/or Dismount failed! Abort? [y/n] "),
              std::string::npos)
        << said;
    program.send("n");
    program.close_input();
    int status = 0;
    ASSERT_TRUE(program.wait_for_end(std::chrono::seconds(60), &status));
    said = program.rest();
    EXPECT_NE(said.find("a volume of \\\\.\\PhysicalDrive0 is still in use: nothing was written (" + volume + ")"),
              std::string::npos)
        << said;
    EXPECT_TRUE(FirstMiB(disk->node()) == before);
}

}  // namespace
