// The program run from a console: one verb, its lines, "Done", no display.
// Most cases run the built program and look at what it printed on standard
// output and standard error and at its exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "disk/copy/copy_endpoints.h"
#include "main/operations/command_line.h"
#include "main/operations/text_helpers.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"
#include "support/case_name.h"
#include "support/copy_cancel_watch.h"
#include "support/embedded_machine.h"
#include "support/ntfs_volumes.h"

using test_support::DiskSpec;
using test_support::EmbeddedMachine;

namespace {

DiskSpec MbrWithLogical() {
    return DiskSpec{32 << 20,
                    {"printf 'label: dos\\nstart=2048,size=8192,type=7\\nstart=10240,size=20480,type=5\\n"
                     "start=12288,size=8192,type=83\\n' | sfdisk -q %s",
                     "mkfs.ext4 -q -F -L home -E offset=6291456 %s 4096"},
                    ""};
}

DiskSpec Gpt() { return DiskSpec{16 << 20, {"sgdisk -n 1:2048:+4M -t 1:0700 %s >/dev/null"}, ""}; }

// 8 MiB: one partition without a file system, and 2 MB of noise behind it.
DiskSpec NoisyDisk() {
    return DiskSpec{8 << 20,
                    {"printf 'label: dos\\nstart=2048,size=4096,type=83\\n' | sfdisk -q %s",
                     "head -c 2000000 /dev/urandom | dd of=%s bs=1M seek=5 conv=notrunc status=none"},
                    ""};
}

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the built program in `folder` over the machine `host` without any
// display. `environment` goes before the program as env arguments, `prefix`
// before env (another user, a time limit); `answers` is what the person
// types (nothing at all when empty).
ProgramRun RunTarnovell(const std::string& folder, const std::string& host, const std::string& arguments,
                        const std::string& answers = "", const std::string& environment = "",
                        const std::string& prefix = "") {
    const std::string err_file = folder + "/.stderr";
    std::string command = "cd " + test_support::Quote(folder) + " && " + (answers.empty() ? "" : "printf '%s' " +
                          test_support::Quote(answers) + " | ") + prefix + " env -u DISPLAY -u WAYLAND_DISPLAY " +
                          "-u QT_QPA_PLATFORM " + environment + " TARNOVELL_HOST=" + test_support::Quote(host) + " " +
                          TARNOVELL_EXECUTABLE + " " + arguments + (answers.empty() ? " </dev/null" : "") + " 2>" +
                          test_support::Quote(err_file);
    test_support::CommandResult result = test_support::Run("sh -c " + test_support::Quote(command));
    ProgramRun run{result.exit_code, result.output, test_support::ReadWholeFile(err_file)};
    std::filesystem::remove(err_file);
    return run;
}

ProgramRun RunProgram(const EmbeddedMachine& machine, const std::string& arguments, const std::string& answers = "") {
    return RunTarnovell(machine.dir().path().string(), machine.manifest(), arguments, answers);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

TEST(CommandLine, ListPrintsEveryRowInListOrderThenDone) {
    EmbeddedMachine machine({MbrWithLogical(), Gpt()});
    auto result = RunProgram(machine, "-list");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "PhysicalDrive0\tTest Disk 0     \t32MB\n"
              "\\\\.\\C:\tC:              \t0MB\n"  // no file system: no size to ask it for
              "\\\\.\\D:\tD: [home]       \t4MB\n"
              "PhysicalDrive1\tTest Disk 1     \t16MB\n"
              "\\\\.\\E:\tE:              \t0MB\n"
              "Done\n");
    EXPECT_EQ(result.err, "");
}

// What the program prints and how it ends, for right and wrong arguments and
// for machines set up wrongly. In the texts, {dir} is the machine's folder,
// where the program runs; {manifest} its manifest.
struct ArgvCase {
    const char* name;
    std::string arguments;
    int status;
    std::string out;                // standard output: exactly this, or with `out_pattern` a regular expression
    std::vector<std::string> err;   // what standard error holds, each in this order
    std::string setup;              // shell command run in {dir} before the program
    std::string check;              // shell command that must succeed in {dir} afterwards
    std::string host = "{manifest}";
    std::string environment;        // env arguments
    std::string prefix;             // before env: another user, a time limit
    bool out_pattern = false;
    bool needs_root = false;
};

class CommandLineArgv : public ::testing::TestWithParam<ArgvCase> {};

TEST_P(CommandLineArgv, PrintsAndEndsAsItShould) {
    const ArgvCase& c = GetParam();
    if (c.needs_root && !test_support::IsRoot()) GTEST_SKIP() << "needs root to run the program as another user";
    EmbeddedMachine machine({NoisyDisk(), DiskSpec{8 << 20, {}, ""}});
    const std::string dir = machine.dir().path().string();
    auto expand = [&](const std::string& text) {
        return Replace(Replace(text, "{manifest}", machine.manifest()), "{dir}", dir);
    };
    if (!c.setup.empty()) {
        auto setup = test_support::Run("cd " + test_support::Quote(dir) + " && " + expand(c.setup));
        ASSERT_EQ(setup.exit_code, 0) << setup.output;
    }
    ProgramRun run = RunTarnovell(dir, expand(c.host), expand(c.arguments), "", expand(c.environment), c.prefix);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    if (c.out_pattern)
        EXPECT_TRUE(std::regex_match(run.out, std::regex(expand(c.out)))) << run.out;
    else
        EXPECT_EQ(run.out, expand(c.out));
    std::size_t from = 0;
    for (const std::string& text : c.err) {
        const std::size_t at = run.err.find(expand(text), from);
        EXPECT_NE(at, std::string::npos) << "standard error lacks (in order) " << expand(text) << "\n" << run.err;
        if (at != std::string::npos) from = at + 1;
    }
    if (!c.check.empty()) {
        auto check = test_support::Run("cd " + test_support::Quote(dir) + " && " + expand(c.check));
        EXPECT_EQ(check.exit_code, 0) << expand(c.check) << "\n" << check.output;
    }
}

namespace {

const std::string kListed = "PhysicalDrive0\tTest Disk 0     \t8MB\n\\\\.\\C:\tC:              \t0MB\n"
                            "PhysicalDrive1\tTest Disk 1     \t8MB\n";
const char* const kDisk0 = R"('\\.\PhysicalDrive0')";
const char* const kDisk1 = R"('\\.\PhysicalDrive1')";

std::vector<ArgvCase> ArgvCases() {
    std::vector<ArgvCase> cases;
    auto add = [&](ArgvCase c) { cases.push_back(std::move(c)); };

    // -quiet is a switch only as a whole argument, in any place and case.
    add({.name = "quiet_inside_a_file_name_is_no_switch",
         .arguments = std::string("-image -backup ") + kDisk0 + " {dir}/my-quiet-notes.img",
         .status = 1, .out = "Done\n", .err = {"Overwrite {dir}/my-quiet-notes.img? [y/n]"},
         .setup = "printf notes > my-quiet-notes.img", .check = "test \"$(cat my-quiet-notes.img)\" = notes"});
    add({.name = "quiet_first_is_no_verb", .arguments = "-quiet -list", .status = 0,
         .out = "mode quiet\n" + kListed + "Done\n"});
    add({.name = "quiet_last_in_capitals", .arguments = "-list -QUIET", .status = 0,
         .out = "mode quiet\n" + kListed + "Done\n"});
    add({.name = "quiet_alone_names_no_verb", .arguments = "-quiet", .status = 2, .out = "mode quiet\nDone\n",
         .err = {"no verb given", "tarnovell -list"}});
    add({.name = "quiet_answers_yes", .arguments = std::string("-image -backup ") + kDisk0 + " {dir}/b.img -quiet",
         .status = 0, .out = "mode quiet\nDone in \\d+ ms, \\d+ KBytes/sec\nDone\n", .check = "cmp b.img disk0.img",
         .out_pattern = true});

    // Verbs that do not fit say so and fail.
    add({.name = "verbs_are_case_sensitive", .arguments = "-LIST", .status = 2, .out = "Done\n",
         .err = {"unknown verb -LIST", "tarnovell -image -backup source destination"}});
    add({.name = "unknown_verb", .arguments = "-frobnicate", .status = 2, .out = "Done\n",
         .err = {"unknown verb -frobnicate"}});
    add({.name = "verb_without_its_mode", .arguments = "-image /a /b", .status = 2, .out = "Done\n",
         .err = {"-image takes -backup or -restore", "tarnovell -image -restore source destination"}});
    add({.name = "too_few_operands", .arguments = std::string("-image -backup ") + kDisk0, .status = 2,
         .out = "Done\n", .err = {"wrong number of arguments for -image -backup", "tarnovell -image -backup source"}});
    add({.name = "too_many_operands", .arguments = std::string("-disk ") + kDisk0 + " " + kDisk1 + " extra",
         .status = 2, .out = "Done\n", .err = {"wrong number of arguments for -disk"},
         .check = "cmp -s -n 8388608 disk1.img /dev/zero"});
    add({.name = "wipe_declined_when_nobody_answers", .arguments = std::string("-wipe ") + kDisk0, .status = 1,
         .out = "Done\n", .err = {"Wipe \\\\.\\PhysicalDrive0? [y/n]"}, .check = "! cmp -s -n 8388608 disk0.img /dev/zero"});

    // An LZ4 image is restored unpacked, whatever its name.
    add({.name = "lz4_image_restores_unpacked",
         .arguments = std::string("-image -restore {dir}/disk0.img.bak ") + kDisk1 + " -quiet", .status = 0,
         .out = "mode quiet\nrestore done in \\d+ ms, \\d+ KBytes/sec\nDone\n", .setup = "lz4 -q -l disk0.img disk0.img.bak",
         .check = "cmp disk0.img disk1.img", .out_pattern = true});

    // A disk is no WIM target nor source; nothing named like it appears.
    add({.name = "wim_apply_onto_a_disk", .arguments = std::string("-wim -restore {dir}/some.wim ") + kDisk1,
         .status = 1, .out = "Done\n", .err = {R"(WIM format is for logical drives only - \\.\PhysicalDrive1)"},
         .check = "! ls | grep -i physicaldrive"});
    add({.name = "wim_capture_of_a_disk", .arguments = std::string("-wim -backup ") + kDisk0 + " {dir}/d.wim",
         .status = 1, .out = "Done\n", .err = {R"(WIM format is for logical drives only - \\.\PhysicalDrive0)"},
         .check = "test ! -e d.wim"});

    // Without a display the window is not tried: the usage says what works.
    add({.name = "no_display", .arguments = "", .status = 1, .out = "",
         .err = {"no display available", "tarnovell -list", "tarnovell -infos source infos.txt"}});
    add({.name = "display_without_a_server", .arguments = "", .status = 1, .out = "", .err = {"no display available"},
         .environment = "DISPLAY=:4711"});

    // A machine that cannot be told stops every verb, saying which file is wrong and how.
    const std::string manifest_of = "TARNOVELL_HOST manifest {dir}/";
    add({.name = "missing_manifest", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "none.ini: cannot be read: The system cannot find the file specified"},
         .check = "! ls none.ini*", .host = "{dir}/none.ini"});
    add({.name = "manifest_is_a_folder", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "sub: is not a file"}, .setup = "mkdir sub", .host = "{dir}/sub"});
    add({.name = "manifest_line_without_value", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "bad.ini: line 2: neither a section heading nor key=value: image disk0.img"},
         .setup = "printf '[disk0]\\nimage disk0.img\\n' > bad.ini", .host = "{dir}/bad.ini"});
    add({.name = "manifest_section_twice", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "bad.ini: line 3: [disk0] is given twice"},
         .setup = "printf '[disk0]\\nimage=disk0.img\\n[disk0]\\nimage=disk1.img\\n' > bad.ini",
         .host = "{dir}/bad.ini"});
    add({.name = "manifest_image_twice", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "bad.ini: line 3: [disk1] names the image of [disk0]: ./disk0.img"},
         .setup = "printf '[disk0]\\nimage=disk0.img\\n[disk1]\\nimage=./disk0.img\\n' > bad.ini",
         .host = "{dir}/bad.ini"});
    add({.name = "manifest_image_twice_by_its_full_path", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "bad.ini: line 3: [disk1] names the image of [disk0]: {dir}/disk0.img"},
         .setup = "printf '[disk0]\\nimage=disk0.img\\n[disk1]\\nimage=%s/disk0.img\\n' \"$PWD\" > bad.ini",
         .host = "{dir}/bad.ini"});
    add({.name = "manifest_sector_size_not_a_power_of_two", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "bad.ini: line 3: sector_size=1000 is not a power of two from 512 to 4096"},
         .setup = "printf '[disk0]\\nimage=disk0.img\\nsector_size=1000\\n' > bad.ini", .host = "{dir}/bad.ini"});
    add({.name = "manifest_sector_size_too_large", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "bad.ini: line 3: sector_size=8192 is not a power of two from 512 to 4096"},
         .setup = "printf '[disk0]\\nimage=disk0.img\\nsector_size=8192\\n' > bad.ini", .host = "{dir}/bad.ini"});
    add({.name = "manifest_unreadable", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "machine.ini: cannot be read: Access is denied"},
         .setup = "chmod 755 . && chmod 600 machine.ini", .prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups",
         .needs_root = true});

    // Only files and block devices are disks: a FIFO would block every open.
    add({.name = "image_that_is_a_fifo", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {manifest_of + "fifo.ini: [disk0] image {dir}/pipe.img is neither a regular file nor a block device"},
         .setup = "mkfifo pipe.img && printf '[disk0]\\nimage=pipe.img\\n' > fifo.ini", .host = "{dir}/fifo.ini",
         .prefix = "timeout 120"});

    // Nor is a FIFO a source: it would block the open until someone wrote
    // to it. It is refused at once (the time limit kills, it does not ask).
    const std::string fifo_refused = "{dir}/pipe.img: The file is neither a regular file nor a block device";
    add({.name = "backup_from_a_fifo", .arguments = "-image -backup {dir}/pipe.img {dir}/out.img -quiet", .status = 1,
         .out = "mode quiet\nDone\n", .err = {"could not createfile (src),222 - " + fifo_refused},
         .setup = "mkfifo pipe.img", .check = "test ! -e out.img", .prefix = "timeout -s KILL 60"});
    add({.name = "restore_from_a_fifo", .arguments = "-image -restore {dir}/pipe.img " + std::string(kDisk1) + " -quiet",
         .status = 1, .out = "mode quiet\nDone\n", .err = {"could not createfile (src),222 - " + fifo_refused},
         .setup = "mkfifo pipe.img", .check = "cmp -s -n 8388608 disk1.img /dev/zero", .prefix = "timeout -s KILL 60"});
    add({.name = "mbr_restore_from_a_fifo", .arguments = "-mbr -restore {dir}/pipe.img " + std::string(kDisk1),
         .status = 1, .out = "Done\n", .err = {"could not createfile - " + fifo_refused},
         .setup = "mkfifo pipe.img", .check = "cmp -s -n 8388608 disk1.img /dev/zero", .prefix = "timeout -s KILL 60"});

    // Disks that cannot be opened are named with the reason.
    add({.name = "disks_that_cannot_be_opened", .arguments = "-list", .status = 1, .out = "Done\n",
         .err = {R"(\\.\PhysicalDrive0 could not be opened - {dir}/disk0.img: Access is denied)",
                 R"(\\.\PhysicalDrive1 could not be opened - {dir}/disk1.img: Access is denied)"},
         .setup = "chmod 755 . && chmod 644 machine.ini && chmod 600 disk0.img disk1.img",
         .prefix = "setpriv --reuid=65534 --regid=65534 --clear-groups", .needs_root = true});

    // Errors name the thing and the system's reason, not only a code.
    add({.name = "missing_source_file", .arguments = "-image -backup {dir}/missing.img {dir}/out.img -quiet",
         .status = 1, .out = "mode quiet\nDone\n",
         .err = {"could not createfile (src),2 - {dir}/missing.img: The system cannot find the file specified"}});
    add({.name = "destination_in_a_missing_folder",
         .arguments = std::string("-image -backup ") + kDisk0 + " {dir}/no/such/out.img -quiet", .status = 1,
         .out = "mode quiet\nDone\n",
         .err = {"could not createfile (dst),3 - {dir}/no/such/out.img: The system cannot find the path specified"}});
    add({.name = "missing_disk", .arguments = std::string("-image -restore {dir}/disk0.img '\\\\.\\PhysicalDrive7'") +
                                              " -quiet",
         .status = 1, .out = "mode quiet\nDone\n",
         .err = {R"(could not createfile (dst),2 - \\.\PhysicalDrive7: The system cannot find the file specified)"}});
    add({.name = "clone_from_a_missing_disk",
         .arguments = std::string("-disk '\\\\.\\PhysicalDrive7' ") + kDisk1 + " -quiet", .status = 1,
         .out = "mode quiet\nDone\n",
         .err = {R"(could not createfile - \\.\PhysicalDrive7: The system cannot find the file specified)"}});
    add({.name = "wim_that_is_not_there", .arguments = "-wim -restore {dir}/missing.wim {dir}/folder", .status = 1,
         .out = "\\d+ terminated with code:2\nDone\n",
         .err = {"terminated with code:2 - {dir}/missing.wim to {dir}/folder: The system cannot find the file specified"},
         .out_pattern = true});
    return cases;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineArgv, ::testing::ValuesIn(ArgvCases()),
                         test_support::CaseName());

TEST(CommandLine, QuietIsTakenOutOnlyAsAWholeArgument) {
    using tarnovell::ParseCommandLine;
    auto line = ParseCommandLine({"-quiet", "-disk", "a-quiet-b", "-Quiet", "c"});
    EXPECT_TRUE(line.quiet);
    EXPECT_EQ(line.args, (std::vector<std::string>{"-disk", "a-quiet-b", "c"}));
    line = ParseCommandLine({"-image", "-backup", "x", "my-quiet-notes.img"});
    EXPECT_FALSE(line.quiet);
    EXPECT_EQ(line.args.size(), 4u);
}

TEST(CommandLine, ModeChoice) {
    using tarnovell::IsInfosRequest;
    using tarnovell::ParseCommandLine;
    using tarnovell::WantsCommandLineMode;
    EXPECT_FALSE(WantsCommandLineMode(ParseCommandLine({})));
    EXPECT_TRUE(WantsCommandLineMode(ParseCommandLine({"-list"})));
    EXPECT_TRUE(WantsCommandLineMode(ParseCommandLine({"-quiet"})));  // says that no verb was given
    EXPECT_FALSE(WantsCommandLineMode(ParseCommandLine({"-infos", "a", "b"})));  // answered, then the window opens
    EXPECT_TRUE(WantsCommandLineMode(ParseCommandLine({"-infos", "a"})));
    EXPECT_TRUE(IsInfosRequest(ParseCommandLine({"-infos", "a", "-quiet", "b"})));
}

TEST(CommandLine, UsageNamesEveryVerb) {
    auto lines = tarnovell::UsageLines();
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[1], "tarnovell -list");
    EXPECT_EQ(lines[2], "tarnovell -image -backup source destination");
    EXPECT_EQ(lines[11], "tarnovell -sparse destination size_in_bytes");
    EXPECT_EQ(lines[12], "tarnovell -wipe destination");
    EXPECT_EQ(lines[13], "tarnovell -infos source infos.txt");
    EXPECT_EQ(lines[14], "source/destination can either be logical \\\\.\\C: or physical \\\\.\\PhysicalDrive0");
    EXPECT_EQ(lines.back(), "");
}

TEST(TextHelpers, PadRightAndSplitToList) {
    EXPECT_EQ(tarnovell::PadRight("abc", ' ', 5), "abc  ");
    EXPECT_EQ(tarnovell::PadRight("abcdef", ' ', 5), "abcdef");
    EXPECT_EQ(tarnovell::SplitToList("a=b=c", "="), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(tarnovell::SplitToList("", ","), (std::vector<std::string>{""}));
}

TEST(CommandLine, DiskAndImageVerbsCopyAndExitByTheirOutcome) {
    DiskSpec source = MbrWithLogical();
    EmbeddedMachine machine({source, DiskSpec{48 << 20, {}, ""}, DiskSpec{8 << 20, {}, ""}});
    auto cmp = [&](const std::string& a, const std::string& b, std::int64_t bytes) {
        return test_support::Run("cmp -n " + std::to_string(bytes) + " " + a + " " + b).exit_code == 0;
    };
    auto clone = RunProgram(machine, std::string("-disk ") + kDisk0 + " " + kDisk1 + " -quiet");
    EXPECT_EQ(clone.status, 0) << clone.out << clone.err;
    EXPECT_NE(clone.out.find("clone done in "), std::string::npos) << clone.out;
    EXPECT_TRUE(cmp(machine.image(0), machine.image(1), 32 << 20));

    std::string image = machine.dir().file("backup.img");
    auto backup = RunProgram(machine, std::string("-image -backup ") + kDisk0 + " " + image + " -quiet");
    EXPECT_EQ(backup.status, 0) << backup.out << backup.err;
    EXPECT_TRUE(cmp(machine.image(0), image, 32 << 20));

    // Onto a disk too small, without -quiet and nobody to answer: the safe
    // answer is No, nothing is written and the exit code says so.
    std::string before = test_support::ReadWholeFile(machine.image(2));
    auto refused = RunProgram(machine, "-image -restore " + image + " '\\\\.\\PhysicalDrive2'");
    EXPECT_EQ(refused.status, 1) << refused.out << refused.err;
    EXPECT_EQ(test_support::ReadWholeFile(machine.image(2)), before);
}

// The destination of the issue that made device names a matter of prefix
// only: a file named like a disk (the names in between are in the clone's
// own tests, which can shorten the lock retries a file destination waits out).
TEST(CommandLine, DiskVerbClonesOntoAFileNamedLikeADisk) {
    EmbeddedMachine machine({MbrWithLogical()});
    const std::string source = test_support::ReadWholeFile(machine.image(0));
    const std::string file = machine.dir().file("some/dir/physicaldrive.img");
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    test_support::WriteWholeFile(file, std::string(source.size(), '\0'));
    // Yes to the clone, Yes to going on (a file has no partition length), No
    // to giving up because a file cannot be locked like a volume.
    auto clone = RunProgram(machine, std::string("-disk ") + kDisk0 + " " + test_support::Quote(file), "y\ny\nn\n");
    EXPECT_EQ(clone.status, 0) << clone.out << clone.err;
    EXPECT_EQ(clone.err.find("IOCTL_DISK_DELETE_DRIVE_LAYOUT"), std::string::npos) << clone.err;
    EXPECT_NE(clone.out.find("clone done in "), std::string::npos) << clone.out;
    EXPECT_TRUE(test_support::ReadWholeFile(file) == source);
    EXPECT_TRUE(test_support::ReadWholeFile(machine.image(0)) == source);
}

// With -quiet nothing is asked, but an operation that fails still says why
// on standard error, and the exit status says it failed.
TEST(CommandLine, QuietFailuresSayWhy) {
    // C: 20 MiB of noise, D: 4 MiB after it.
    EmbeddedMachine machine({DiskSpec{40 << 20,
                                      {"printf 'label: dos\\nstart=2048,size=40960,type=7\\nstart=43008,size=8192,type=7\\n'"
                                       " | sfdisk -q %s",
                                       "head -c 20971520 /dev/urandom | dd of=%s bs=1M seek=1 conv=notrunc status=none"},
                                      ""}});
    const std::string copy = machine.dir().file("copy.img");
    test_support::WriteWholeFile(copy, "a file is no disk");
    struct Case {
        const char* what;
        std::string arguments;
        std::string said;
        bool hold_c = false;  // another process has C: open while the program runs
    } cases[] = {
        {"a clone onto a file in a folder that is not there",
         std::string("-disk ") + kDisk0 + " " + machine.dir().file("missing/copy.img") + " -quiet",
         machine.dir().file("missing/copy.img")},
        {"a clone onto a smaller volume", "-disk '\\\\.\\C:' '\\\\.\\D:' -quiet", "writefile error:"},
        {"a restore onto a volume another process holds", "-image -restore " + copy + " '\\\\.\\C:' -quiet",
         "Lock and/or Dismount failed! Abort? [y/n] y", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = test_support::ReadWholeFile(machine.image(0));
        platform::Handle held;
        if (c.hold_c)
            held = platform::CreateFile("\\\\.\\C:", platform::GENERIC_READ,
                                        platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
        ASSERT_EQ(static_cast<bool>(held), c.hold_c);
        const ProgramRun run = RunProgram(machine, c.arguments);
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_NE(run.err.find(c.said), std::string::npos) << run.out << run.err;
        EXPECT_EQ(run.out.rfind("mode quiet\n", 0), 0u) << run.out;
        if (c.hold_c) EXPECT_TRUE(test_support::ReadWholeFile(machine.image(0)) == before) << "nothing written";
    }
    EXPECT_EQ(test_support::ReadWholeFile(copy), "a file is no disk");
}

// A backup that had to store unreadable sectors as zeros is neither a
// success nor a failure: it exits with a status of its own and says which
// bytes are zeros, on the console and where its messages go.
TEST(CommandLine, ABackupWithUnreadableSectorsExitsWithItsOwnStatusAndSaysWhere) {
    EmbeddedMachine machine({DiskSpec{4 << 20, {"head -c 4194304 /dev/urandom | dd of=%s conv=notrunc status=none"}, ""}});
    const std::string image = machine.dir().file("backup.img");
    struct Case {
        const char* what;
        std::int64_t fault_at;  // 0: none
        int exit_code;
    } cases[] = {{"clean", 0, 0}, {"one bad sector", 3 * 524288 + 700, tarnovell::kExitUnreadableSectors}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        disk::InjectReadFaultForTesting(c.fault_at, c.fault_at ? 1 : 0, platform::ERROR_CRC);
        platform::ScriptedInteraction quiet;  // every question answered Yes, as -quiet does
        quiet.set_default_confirm(true);
        platform::ScopedInteraction scoped(quiet);
        tarnovell::MainState state;
        state.console_attached = true;
        std::ostringstream console, errors;
        const auto line = tarnovell::ParseCommandLine({"-image", "-backup", "\\\\.\\PhysicalDrive0", image, "-quiet"});
        EXPECT_EQ(tarnovell::RunCommandLine(line, state, console, errors), c.exit_code)
            << console.str() << errors.str();
        const std::string tail = ", 512 unreadable bytes replaced by zeros";
        const std::string where = "512 unreadable bytes replaced by zeros at 1573376-1573887";
        bool told = false;
        for (const auto& text : quiet.texts()) told = told || text == where;
        EXPECT_EQ(told, c.fault_at != 0) << ::testing::PrintToString(quiet.texts());
        EXPECT_NE(console.str().find("Done in "), std::string::npos) << console.str();
        EXPECT_EQ(console.str().find(tail) != std::string::npos, c.fault_at != 0) << console.str();
    }
    disk::InjectReadFaultForTesting(0, 0, 0);
}


// An apply onto an unmounted NTFS volume: an empty one takes the image, as
// from the window; one that already holds the image's files is refused by
// the imaging library, and the console says which file and why.
TEST(CommandLine, WimApplyOntoNtfsVolumesSaysWhyItFails) {
    for (const char* tool : {"mkntfs", "ntfscat", "wimlib-imagex", "losetup"})
        if (!test_support::HaveTool(tool)) GTEST_SKIP() << tool << " is not installed";
    if (!test_support::IsRoot()) GTEST_SKIP() << "an unmounted volume is reached through a loop device, which needs root";
    test_support::TempDir parts;
    test_support::NtfsVolumes volumes;
    ASSERT_NO_FATAL_FAILURE(test_support::MakeNtfsVolumes(parts, "applied from the console\n", volumes));
    EmbeddedMachine machine({volumes.disk});
    const std::string& seed = volumes.seed;

    auto applied = RunProgram(machine, "-wim -restore " + seed + R"( '\\.\D:')");
    EXPECT_EQ(applied.status, 0) << applied.out << applied.err;
    EXPECT_EQ(test_support::Run("ntfscat " + test_support::SecondNtfsVolume(machine) + " docs/note.txt").output,
              "applied from the console\n");

    auto refused = RunProgram(machine, "-wim -restore " + seed + R"( '\\.\C:')");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("Error creating \"/docs\" in NTFS volume: File exists"), std::string::npos) << refused.err;
    EXPECT_TRUE(std::regex_search(refused.err, std::regex(R"(\d+ terminated with code:50 - )" + seed +
                                                          R"( to \\\\\.\\C:: The request is not supported)")))
        << refused.err;
}
