// The command line's -bs, -mbr, -sparse and -wipe run as a person runs
// them: the built program on a machine of image files, with what it prints
// on each stream, its exit status, and what it did checked by dd, cmp and
// stat.
#include <gtest/gtest.h>

#include <regex>

#include "support/case_name.h"
#include "support/embedded_machine.h"
#include "support/test_support.h"

using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

struct ArgvCase {
    const char* name;
    // DIR is the machine's folder, IMG the image of PhysicalDrive0; DISK and
    // VOL name the disk and its volume C: as a shell passes them.
    std::string arguments;
    std::string answers;  // typed by the person; empty: nothing, end of input
    int exit_code;
    std::string stdout_pattern;  // a regular expression for all of standard output
    std::string stderr_part;     // found in standard error ("" checks nothing)
    std::string check;           // shell command that must succeed afterwards
};

std::string Substitute(std::string text, const EmbeddedMachine& machine) {
    const std::pair<std::string, std::string> names[] = {
        {"DIR", machine.dir().path().string()},
        {"IMG", machine.image(0)},
        {"DISK", "'\\\\.\\PhysicalDrive0'"},
        {"VOL", "'\\\\.\\C:'"},
    };
    for (const auto& [name, value] : names)
        for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
            text.replace(at, name.size(), value);
    return text;
}

// Random bytes, an MBR and a FAT volume C: at 1 MiB; three 512-byte files to
// restore, a file that is in the way and a FIFO.
DiskSpec Disk() {
    return DiskSpec{8 << 20,
                    {"head -c 8388608 /dev/urandom | dd of=%s conv=notrunc status=none",
                     "printf 'label: dos\\nstart=2048,size=8192,type=6\\n' | sfdisk -q %s",
                     "mkfs.fat -F 12 -n VERBS --offset 2048 %s 4096 >/dev/null",
                     // New boot code before the disk's own table: C: is in use, and keeps its place.
                     "d=$(dirname %s) && head -c 440 /dev/urandom > $d/new-mbr.bin && "
                     "dd if=%s bs=1 skip=440 count=72 status=none >> $d/new-mbr.bin && head -c 512 /dev/zero > $d/zero.mbr && "
                     "head -c 512 /dev/urandom > $d/new-bs.bin && echo keep > $d/exists.bin && mkfifo $d/fifo"},
                    ""};
}

class ArgvTable : public ::testing::TestWithParam<ArgvCase> {};

const char* const kDoneWithRate = "Done in \\d+ ms, \\d+ KBytes/sec\nDone\n";

}  // namespace

TEST_P(ArgvTable, PrintsExitsAndDoesWhatItSays) {
    const ArgvCase& c = GetParam();
    EmbeddedMachine machine({Disk()});
    const std::string out = machine.dir().file("stdout"), err = machine.dir().file("stderr");
    std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TARNOVELL_HOST=" +
                          test_support::Quote(machine.manifest()) + " " + TARNOVELL_EXECUTABLE + " " +
                          Substitute(c.arguments, machine) + " >" + out + " 2>" + err;
    command = c.answers.empty() ? command + " </dev/null"
                                : "printf '%s' " + test_support::Quote(c.answers) + " | " + command;
    const test_support::CommandResult result = test_support::Run("sh -c " + test_support::Quote(command));
    const std::string printed = test_support::ReadWholeFile(out), said = test_support::ReadWholeFile(err);
    EXPECT_EQ(result.exit_code, c.exit_code) << said;
    EXPECT_TRUE(std::regex_match(printed, std::regex(c.stdout_pattern))) << "stdout: " << printed;
    EXPECT_NE(said.find(Substitute(c.stderr_part, machine)), std::string::npos) << "stderr: " << said;
    if (!c.check.empty()) {
        const std::string check = Substitute(c.check, machine);
        const test_support::CommandResult checked = test_support::Run(check);
        EXPECT_EQ(checked.exit_code, 0) << check << "\n" << checked.output;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Verbs, ArgvTable,
    ::testing::Values(
        ArgvCase{"mbr_backup", "-mbr -backup DISK DIR/mbr.bin", "", 0, kDoneWithRate, "",
                 "dd if=IMG bs=512 count=1 status=none | cmp - DIR/mbr.bin"},
        ArgvCase{"mbr_restore", "-mbr -restore DIR/new-mbr.bin DISK", "", 0, "Done\n", "", "cmp -n 512 IMG DIR/new-mbr.bin"},
        ArgvCase{"mbr_restore_without_a_volume_in_use_writes_nothing", "-mbr -restore DIR/zero.mbr DISK", "", 1,
                 "Done\n", "a volume of \\\\.\\PhysicalDrive0 is still in use: nothing was written",
                 "sfdisk -d IMG | grep -q 'start=        2048, size=        8192, type=6'"},
        ArgvCase{"bs_backup_of_a_volume", "-bs -backup VOL DIR/bs.bin", "", 0, kDoneWithRate, "",
                 "dd if=IMG bs=512 skip=2048 count=1 status=none | cmp - DIR/bs.bin"},
        ArgvCase{"bs_restore_onto_a_volume", "-bs -restore DIR/new-bs.bin VOL", "", 0, "Done\n", "",
                 "cmp -i 1048576:0 -n 512 IMG DIR/new-bs.bin"},
        ArgvCase{"bs_restore_onto_a_disk_asks_the_sector", "-bs -restore DIR/new-bs.bin DISK", "7\n", 0, "Done\n",
                 "\\\\.\\PhysicalDrive0 is IMG (Test Disk 0, 8 MB)\nEnter sector offset [] ",
                 "cmp -i 3584:0 -n 512 IMG DIR/new-bs.bin"},
        ArgvCase{"bs_restore_without_an_answer_writes_nothing", "-bs -restore DIR/new-bs.bin DISK", "", 1, "Done\n",
                 "", "! cmp -s -n 512 IMG DIR/new-bs.bin"},
        ArgvCase{"bs_backup_onto_an_existing_file", "-bs -backup VOL DIR/exists.bin", "", 1, "Done\n",
                 "could not createfile", "test \"$(cat DIR/exists.bin)\" = keep"},
        ArgvCase{"mbr_restore_of_a_missing_file_names_it", "-mbr -restore DIR/none.bin DISK", "", 1, "Done\n",
                 "none.bin: The system cannot find the file specified", "test ! -e DIR/none.bin"},
        ArgvCase{"wipe_of_a_missing_disk_names_it", "-wipe '\\\\.\\PhysicalDrive9'", "y\n", 1, "Done\n",
                 "PhysicalDrive9: The system cannot find the file specified", ""},
        ArgvCase{"sparse", "-sparse DIR/sparse.img 1073741824", "", 0, "Done\n", "",
                 "test $(stat -c %s DIR/sparse.img) = 1073741824 && test $(stat -c %b DIR/sparse.img) -lt 64"},
        ArgvCase{"sparse_negative_size", "-sparse DIR/bad.img -5", "", 1, "Done\n", "'-5' is not a size in bytes",
                 "test ! -e DIR/bad.img"},
        ArgvCase{"sparse_size_no_number", "-sparse DIR/bad.img 12abc", "", 1, "Done\n", "'12abc' is not a size in bytes",
                 "test ! -e DIR/bad.img"},
        ArgvCase{"sparse_never_on_a_device", "-sparse DISK 100", "", 1, "Done\n", "is a device",
                 "test $(stat -c %s IMG) = 8388608"},
        ArgvCase{"sparse_never_replaces_what_is_no_file", "-sparse DIR/fifo 100", "", 1, "Done\n",
                 "not a regular file", "test -p DIR/fifo"},
        // A file there is replaced only on Yes, and only by a complete one: a
        // size no file system takes leaves it as it was, and no other file.
        ArgvCase{"sparse_asks_before_replacing_a_file", "-sparse DIR/exists.bin 1000", "n\n", 1, "Done\n",
                 "/exists.bin? [y/n] declined, nothing was written\n", "test \"$(cat DIR/exists.bin)\" = keep"},
        ArgvCase{"sparse_replaces_a_file_on_yes", "-sparse DIR/exists.bin 1000", "y\n", 0, "Done\n", "Overwrite ",
                 "test $(stat -c %s DIR/exists.bin) = 1000 && cmp -n 1000 DIR/exists.bin /dev/zero"},
        ArgvCase{"sparse_that_fails_keeps_the_file", "-sparse DIR/exists.bin 9223372036854775807 -quiet", "", 1,
                 "mode quiet\nDone\n", "_make_sparse_file:",
                 "test \"$(cat DIR/exists.bin)\" = keep && test -z \"$(ls -A DIR | grep tarnovell-)\""},
        ArgvCase{"sparse_that_fails_leaves_no_file", "-sparse DIR/huge.img 9223372036854775807", "", 1, "Done\n",
                 "_make_sparse_file:", "test ! -e DIR/huge.img && test -z \"$(ls -A DIR | grep tarnovell-)\""},
        // The image behind a disk is that disk: no verb writes it as a file.
        ArgvCase{"sparse_never_over_a_disks_image", "-sparse IMG 1000", "", 1, "Done\n", "being used by another process",
                 "test $(stat -c %s IMG) = 8388608"},
        ArgvCase{"backup_never_over_a_disks_image", "-image -backup DIR/new-mbr.bin IMG -quiet", "", 1,
                 "mode quiet\nDone\n", "being used by another process",
                 "test $(stat -c %s IMG) = 8388608 && sfdisk -d IMG | grep -q type=6"},
        ArgvCase{"wim_capture_never_over_a_disks_image", "-wim -backup DIR IMG -quiet", "", 1, "mode quiet\n(.*\n)*Done\n",
                 "", "test $(stat -c %s IMG) = 8388608 && sfdisk -d IMG | grep -q type=6"},
        ArgvCase{"wipe_asks_even_when_quiet", "-wipe DISK -quiet", "y\n", 0,
                 "mode quiet\n(\\.+\n)?done in \\d+ ms, \\d+ KBytes/sec\nDone\n", "Wipe \\\\.\\PhysicalDrive0? [y/n]",
                 "cmp -n 8388608 IMG /dev/zero"},
        ArgvCase{"wipe_declined", "-wipe DISK -quiet", "n\n", 1, "mode quiet\nDone\n", "Wipe", "! cmp -s -n 512 IMG /dev/zero"},
        ArgvCase{"wrong_count_is_a_usage_error", "-bs -backup DIR/only-one", "", 2, "Done\n",
                 "tarnovell -bs -backup source destination", ""},
        ArgvCase{"unknown_mode_is_a_usage_error", "-mbr -frob a b", "", 2, "Done\n",
                 "tarnovell -mbr -restore source destination", ""},
        ArgvCase{"infos_answers_then_wants_the_window", "-infos VOL DIR/infos.txt", "", 1, "not implemented\n",
                 "no display available", "test ! -e DIR/infos.txt"}),
    test_support::CaseName());
