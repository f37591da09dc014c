// Disks that change places under a running program, on the demo machine:
// the manifest rewritten with the bodies of two disks swapped, which moves
// no drive letter. The window (a process of its own) lists the disks anew
// and its next write lands on the disk that was chosen, under its new
// number; a change that comes while a question is open, in the window or
// on the command line, gets nothing written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/embedded_machine.h"
#include "support/program_session.h"
#include "support/test_support.h"

namespace {

using test_support::DiskSpec;
using test_support::EmbeddedMachine;
using test_support::ProgramSession;
using test_support::ReadWholeFile;

constexpr std::int64_t kDiskBytes = 8 << 20;

// Disk 0 has no table, only text all through it: nothing gives it a letter.
// Disk 1 has an MBR with one data partition, C:.
std::vector<DiskSpec> NoiseAndData() {
    return {DiskSpec{kDiskBytes, {"yes NOISE-DISK | head -c 8388608 > %s"}, ""},
            DiskSpec{kDiskBytes,
                     {"printf 'label: dos\\nstart=2048,size=8192,type=7\\n' | sfdisk -q %s",
                      "yes DATA-DISK | head -c 4194304 | dd of=%s bs=1M seek=1 conv=notrunc status=none"},
                     ""}};
}

// The manifest with the bodies of [disk0] and [disk1] swapped, written in
// one go: disk 0 becomes what disk 1 was and the other way round.
std::string Swapped(const std::string& manifest) {
    const auto second = manifest.find("[disk1]");
    const std::string first_body = manifest.substr(7, second - 7), second_body = manifest.substr(second + 7);
    return "[disk0]" + second_body + (second_body.back() == '\n' ? "" : "\n") + "[disk1]" + first_body;
}

class DiskChangeProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        noise_ = ReadWholeFile(machine_.image(0));
        data_ = ReadWholeFile(machine_.image(1));
        ASSERT_EQ(data_.substr(510, 2), "\x55\xAA");
        ASSERT_NE(noise_.substr(510, 2), "\x55\xAA");
    }

    std::vector<std::string> environment() const {
        return {"TARNOVELL_HOST=" + machine_.manifest(), "QT_QPA_PLATFORM=offscreen", "DISPLAY", "WAYLAND_DISPLAY"};
    }
    // Answers of one command of the window, up to its "end".
    std::string command(ProgramSession& window, const std::string& line) {
        window.send(line);
        std::string said;
        EXPECT_TRUE(window.take_until("end\n", said)) << line << ": " << said;
        return said;
    }
    // Whether `line` makes the window ask, and its question ends in `question`.
    ::testing::AssertionResult asked(ProgramSession& window, const std::string& line, const std::string& question) {
        window.send(line);
        std::string said;
        const std::string asked = question + " [y/n] ";
        if (!window.take_until("[y/n] ", said))
            return ::testing::AssertionFailure() << line << ": no question: " << said;
        if (said.size() < asked.size() || said.compare(said.size() - asked.size(), asked.size(), asked) != 0)
            return ::testing::AssertionFailure() << line << ": asked " << said;
        return ::testing::AssertionSuccess();
    }
    void swap_disks() {
        test_support::WriteWholeFile(machine_.manifest(), Swapped(ReadWholeFile(machine_.manifest())));
    }
    // A row as the window's child prints it: device, description, Linux device.
    std::string row(int disk, const std::string& product, int image) const {
        return "row DISK " + std::to_string(disk) + "|" + product + "|" + machine_.image(image) + "\n";
    }

    EmbeddedMachine machine_{NoiseAndData()};
    std::string noise_, data_;
};

TEST_F(DiskChangeProgramTest, TheWindowListsTheSwappedDisksAndItsNextWritesReachTheDisksChosen) {
    ProgramSession window({WINDOW_CHILD}, environment());
    std::string said;
    ASSERT_TRUE(window.take_until("ready\n", said)) << said;
    std::string rows = command(window, "rows");
    ASSERT_NE(rows.find(row(0, "Test Disk 0", 0)), std::string::npos) << rows;
    command(window, "select DISK 0");
    command(window, "mbr \\\\.\\PhysicalDrive0");

    swap_disks();
    rows = command(window, "await DISK 0|Test Disk 1");
    ASSERT_EQ(rows.find("timeout"), std::string::npos) << "the list was not refreshed:\n" << rows;
    EXPECT_NE(rows.find(row(1, "Test Disk 0", 0)), std::string::npos) << rows;
    // What was chosen is still chosen, under the number it has now.
    EXPECT_EQ(command(window, "selected"), "DISK 1\nend\n");
    EXPECT_EQ(command(window, "mbr-entry"), "\\\\.\\PhysicalDrive1 [Test Disk 0]\nend\n");

    // The MBR page's table, all zeros, onto the disk its selector shows.
    const std::string disk1_is = "\\\\.\\PhysicalDrive1 is " + machine_.image(0) + " (Test Disk 0, 8 MB)\n";
    command(window, "click btn_reset_part_table");
    ASSERT_TRUE(
        asked(window, "click btn_write_part", disk1_is + "Overwrite Partition Table on \\\\.\\PhysicalDrive1?"));
    window.send("y");
    // The noise has no boot signature, and gets none.
    ASSERT_TRUE(window.take_until("Magic Bytes are different than $AA55, fix it? [y/n] ", said)) << said;
    window.send("n");
    ASSERT_TRUE(window.take_until("end\n", said)) << said;
    EXPECT_TRUE(ReadWholeFile(machine_.image(1)) == data_) << "the data disk's table stays";
    const std::string noise = ReadWholeFile(machine_.image(0));
    EXPECT_EQ(noise.substr(446, 64), std::string(64, '\0'));
    EXPECT_TRUE(noise.substr(512) == noise_.substr(512));

    // The wipe of the row selected before the swap.
    ASSERT_TRUE(asked(window, "press Disk|Wipe Disk", disk1_is + "Wipe \\\\.\\PhysicalDrive1?"));
    window.send("y");
    ASSERT_TRUE(window.take_until("end\n", said)) << said;
    EXPECT_TRUE(ReadWholeFile(machine_.image(0)) == std::string(kDiskBytes, '\0')) << said;
    EXPECT_TRUE(ReadWholeFile(machine_.image(1)) == data_) << said;
}

TEST_F(DiskChangeProgramTest, ASwapWhileTheWindowAsksGetsNothingWritten) {
    ProgramSession window({WINDOW_CHILD}, environment());
    std::string said;
    ASSERT_TRUE(window.take_until("ready\n", said)) << said;
    command(window, "select DISK 0");
    window.send("press Disk|Wipe Disk");
    ASSERT_TRUE(window.take_until("Wipe \\\\.\\PhysicalDrive0? [y/n] ", said)) << said;
    swap_disks();
    window.send("y");
    ASSERT_TRUE(window.take_until("end\n", said)) << said;
    EXPECT_NE(said.find("\\\\.\\PhysicalDrive0 is no longer " + machine_.image(0) +
                        " (Test Disk 0, 8 MB), the disk that was chosen: it is now " + machine_.image(1) +
                        " (Test Disk 1, 8 MB). Nothing was written"),
              std::string::npos)
        << said;
    EXPECT_TRUE(ReadWholeFile(machine_.image(0)) == noise_);
    EXPECT_TRUE(ReadWholeFile(machine_.image(1)) == data_);
}

// The command line chooses the disks it is given as it starts: a swap while
// its question waits gets nothing written, whatever the verb.
TEST_F(DiskChangeProgramTest, ASwapWhileTheCommandLineAsksGetsNothingWritten) {
    const std::string image = machine_.dir().file("zeros.img");
    test_support::MakeSparseFile(image, kDiskBytes);
    const std::string sector = machine_.dir().file("sector.bin");
    test_support::WriteWholeFile(sector, std::string(512, 'B'));
    struct Case {
        std::vector<std::string> arguments;
        std::string question;
        std::string answer = "y";
    } cases[] = {
        {{"-wipe", "\\\\.\\PhysicalDrive0"}, "Wipe \\\\.\\PhysicalDrive0? [y/n] "},
        {{"-image", "-restore", image, "\\\\.\\PhysicalDrive0"}, "Overwrite \\\\.\\PhysicalDrive0? [y/n] "},
        {{"-disk", "\\\\.\\PhysicalDrive1", "\\\\.\\PhysicalDrive0"},
         "Clone \\\\.\\PhysicalDrive1 to \\\\.\\PhysicalDrive0? [y/n] "},
        // The sector tool opens the disk before it asks where to write.
        {{"-bs", "-restore", sector, "\\\\.\\PhysicalDrive0"}, "Enter sector offset [] ", "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.question);
        std::vector<std::string> argv{TARNOVELL_EXECUTABLE};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        ProgramSession program(argv, {"TARNOVELL_HOST=" + machine_.manifest(), "DISPLAY", "WAYLAND_DISPLAY",
                                      "QT_QPA_PLATFORM"});
        std::string said;
        ASSERT_TRUE(program.take_until(c.question, said)) << said;
        EXPECT_NE(said.find("\\\\.\\PhysicalDrive0 is " + machine_.image(0) + " (Test Disk 0, 8 MB)\n"),
                  std::string::npos)
            << said;
        swap_disks();
        program.send(c.answer);
        program.close_input();
        int status = 0;
        ASSERT_TRUE(program.wait_for_end(std::chrono::seconds(60), &status));
        said = program.rest();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << "\n" << said;
        EXPECT_NE(said.find("\\\\.\\PhysicalDrive0 is no longer " + machine_.image(0)), std::string::npos) << said;
        EXPECT_TRUE(ReadWholeFile(machine_.image(0)) == noise_);
        EXPECT_TRUE(ReadWholeFile(machine_.image(1)) == data_);
        swap_disks();  // back as they were
    }
}

}  // namespace
