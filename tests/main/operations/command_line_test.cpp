// The program run from a console: one verb, its lines, "Done", no display.
// Most cases run the built program and look at what it printed on standard
// output and standard error and at its exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "disk/copy/copy_endpoints.h"
#include "disk/device/handle_ops.h"
#include "main/operations/command_line.h"
#include "main/operations/text_helpers.h"
#include "platform/base/interaction.h"
#include "platform/device/handle.h"
#include "support/case_name.h"
#include "support/console_program.h"
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
    const std::string image0 = machine.image(0), image1 = machine.image(1);
    EXPECT_EQ(result.out,
              "PhysicalDrive0\tTest Disk 0     \t32MB\t" + image0 + "\n"
              // no file system: no size to ask it for
              "\\\\.\\C:\tC:              \t0MB\tpartition 1 of " + image0 + "\n"
              "\\\\.\\D:\tD: [home]       \t4MB\tpartition 2 of " + image0 + "\n"
              "PhysicalDrive1\tTest Disk 1     \t16MB\t" + image1 + "\n"
              "\\\\.\\E:\tE:              \t0MB\tpartition 1 of " + image1 + "\n"
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
    std::vector<std::string> absent;  // what standard error must not hold
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
    for (const std::string& text : c.absent)
        EXPECT_EQ(run.err.find(expand(text)), std::string::npos) << "standard error holds " << expand(text) << "\n"
                                                                 << run.err;
    if (!c.check.empty()) {
        auto check = test_support::Run("cd " + test_support::Quote(dir) + " && " + expand(c.check));
        EXPECT_EQ(check.exit_code, 0) << expand(c.check) << "\n" << check.output;
    }
}

namespace {

// Each line ends in the image file the embedded disk is, or the partition of it.
const std::string kListed =
    "PhysicalDrive0\tTest Disk 0     \t8MB\t{dir}/disk0.img\n"
    "\\\\.\\C:\tC:              \t0MB\tpartition 1 of {dir}/disk0.img\n"
    "PhysicalDrive1\tTest Disk 1     \t8MB\t{dir}/disk1.img\n";
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

    // Help is asked for: the usage on standard output, and no mistake.
    std::string usage;
    for (const std::string& line : tarnovell::UsageLines()) usage += line + "\n";
    add({.name = "help_short", .arguments = "-h", .status = 0, .out = usage, .absent = {"unknown verb"}});
    add({.name = "help_long", .arguments = "--help", .status = 0, .out = usage, .absent = {"unknown verb"}});

    // A No (here: nobody there to answer) says that nothing was written.
    const std::string untouched1 = "cmp -s -n 8388608 disk1.img /dev/zero";
    add({.name = "clone_declined", .arguments = std::string("-disk ") + kDisk0 + " " + kDisk1, .status = 1,
         .out = "Done\n",
         .err = {R"(Clone \\.\PhysicalDrive0 to \\.\PhysicalDrive1? [y/n])", "declined, nothing was written"},
         .check = untouched1});
    add({.name = "restore_declined", .arguments = std::string("-image -restore {dir}/disk0.img ") + kDisk1,
         .status = 1, .out = "Done\n",
         .err = {R"(Overwrite \\.\PhysicalDrive1? [y/n])", "declined, nothing was written"}, .check = untouched1});

    // A write-protected disk is refused for what it is, not as one another
    // program holds.
    const std::string write_protected = R"(sed -i '/^\[disk1\]$/a readonly=1' {manifest})";
    const std::string refused1 =
        R"(\\.\PhysicalDrive1 cannot be written: nothing was written - \\.\PhysicalDrive1: The media is write protected)";
    add({.name = "clone_onto_a_write_protected_disk", .arguments = std::string("-disk ") + kDisk0 + " " + kDisk1 + " -quiet",
         .status = 1, .out = "mode quiet\nDone\n", .err = {refused1}, .setup = write_protected, .check = untouched1,
         .absent = {"in use by another program"}});
    add({.name = "restore_onto_a_write_protected_disk",
         .arguments = std::string("-image -restore {dir}/disk0.img ") + kDisk1 + " -quiet", .status = 1,
         .out = "mode quiet\nDone\n", .err = {refused1}, .setup = write_protected, .check = untouched1,
         .absent = {"in use by another program"}});

    // A source that cannot be opened is said before any question.
    const std::string missing = "could not createfile (src),2 - {dir}/missing.img: The system cannot find the file specified";
    add({.name = "restore_from_a_missing_file", .arguments = std::string("-image -restore {dir}/missing.img ") + kDisk1,
         .status = 1, .out = "Done\n", .err = {missing}, .check = untouched1,
         .absent = {"Overwrite", "declined"}});
    add({.name = "backup_of_a_missing_file", .arguments = "-image -backup {dir}/missing.img {dir}/out.img",
         .status = 1, .out = "Done\n", .err = {missing}, .check = "test ! -e out.img",
         .absent = {"Overwrite", "declined"}});
    add({.name = "clone_of_a_missing_disk", .arguments = std::string("-disk '\\\\.\\PhysicalDrive7' ") + kDisk1,
         .status = 1, .out = "Done\n",
         .err = {R"(could not createfile - \\.\PhysicalDrive7: The system cannot find the file specified)"},
         .check = untouched1, .absent = {"Clone", "declined"}});

    // An LZ4 file in lz4's own frame format is no image, and the person is
    // told which format one is.
    add({.name = "lz4_frame_format_is_refused", .arguments = std::string("-image -restore {dir}/frame.lz4 ") + kDisk1,
         .status = 1, .out = "Done\n",
         .err = {"improper LZ4 file - {dir}/frame.lz4: it is in the LZ4 frame format, which lz4 writes by default; "
                 "an image is in the legacy format that lz4 -l writes"},
         .setup = "lz4 -q disk0.img frame.lz4", .check = untouched1, .absent = {"Overwrite"}});

    // A virtual-disk or evidence container is never written as it is: the
    // person is told how it is restored.
    struct Container {
        const char* name;
        const char* setup;
        const char* kind;
        bool window_restores;
    };
    for (const Container& c :
         {Container{"restore_of_a_dynamic_vhd", "qemu-img create -q -f vpc image 4M", "VHD", true},
          Container{"restore_of_a_fixed_vhd", "qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on disk0.img image", "VHD",
                    true},
          Container{"restore_of_a_vhdx", "qemu-img create -q -f vhdx image 4M", "VHD", true},
          Container{"restore_of_a_qcow2", "qemu-img create -q -f qcow2 image 4M", "QCOW", false},
          Container{"restore_of_a_vmdk", "qemu-img create -q -f vmdk image 4M", "VMDK", false},
          Container{"restore_of_a_vdi", "qemu-img create -q -f vdi image 4M", "VDI", false},
          Container{"restore_of_a_ewf", "printf 'EVF\\011\\015\\012\\377\\000' > image && head -c 4096 disk0.img >> image", "EWF",
                    true}}) {
        const std::string kind = c.kind;
        const std::string how = c.window_restores ? "\"Restore from Image\" with " + kind + " chosen, or " : "";
        add({.name = c.name,
             .arguments = std::string("-image -restore {dir}/image ") + kDisk1 + " -quiet", .status = 1,
             .out = "mode quiet\nDone\n",
             .err = {"{dir}/image is a " + kind + " image, not a raw one: -image -restore would write its container "
                     "as it is onto \\\\.\\PhysicalDrive1. Restore it from the window: " + how +
                     "\"Disk Image Conversion\" from " + kind + " to RAW with \\\\.\\PhysicalDrive1 as the destination"},
             .setup = c.setup, .check = untouched1});
    }

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
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[1], "tarnovell -list");
    EXPECT_EQ(lines[2], "tarnovell -image -backup source destination");
    EXPECT_EQ(lines[11], "tarnovell -sparse destination size_in_bytes");
    EXPECT_EQ(lines[12], "tarnovell -wipe destination");
    EXPECT_EQ(lines[13], "tarnovell -infos source infos.txt");
    EXPECT_EQ(lines[14], "source/destination can either be logical \\\\.\\C: or physical \\\\.\\PhysicalDrive0");
    // -quiet is no verb, but what it does is said.
    EXPECT_EQ(lines[15], "add -quiet anywhere to answer every question yes without asking (-wipe still asks)");
    EXPECT_EQ(lines[16], "tarnovell -h (or --help) prints this text");
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

// A clone onto a smaller disk writes it until it refuses a write: the part
// that fits holds the source's first bytes exactly, the zeros among them
// made zeros over what the disk held before, and the position said is
// where the disk ends. The source's data lies at its start, 40 MiB in and
// just before 64 MiB; the rest is zeros; the destinations are all 0xFF.
TEST(CommandLine, ACloneOntoASmallerDiskHoldsTheSourcesFirstBytesAndSaysWhereItStopped) {
    const DiskSpec source{96 << 20,
                          {"head -c 1048576 /dev/urandom | dd of=%s conv=notrunc status=none",
                           "head -c 4096 /dev/urandom | dd of=%s bs=1M seek=40 conv=notrunc status=none",
                           "head -c 1048576 /dev/urandom | dd of=%s bs=1M seek=63 conv=notrunc status=none"},
                          ""};
    auto filled = [](std::int64_t size) {
        return DiskSpec{size, {"head -c " + std::to_string(size) + " /dev/zero | tr '\\000' '\\377' | dd of=%s "
                               "conv=notrunc status=none"}, ""};
    };
    // A disk that ends where a block of the copy ends, and one that ends
    // three sectors into a block of data.
    for (const std::int64_t size : {std::int64_t{64} << 20, (std::int64_t{64} << 20) - 1536}) {
        SCOPED_TRACE(size);
        EmbeddedMachine machine({source, filled(size)});
        auto clone = RunProgram(machine, std::string("-disk ") + kDisk0 + " " + kDisk1 + " -quiet");
        EXPECT_EQ(clone.status, 1) << clone.out << clone.err;
        EXPECT_NE(clone.out.find("\nAborted at " + std::to_string(size) + "\n"), std::string::npos) << clone.out;
        const auto cmp = test_support::Run("cmp -n " + std::to_string(size) + " " + machine.image(0) + " " +
                                           machine.image(1));
        EXPECT_EQ(cmp.exit_code, 0) << cmp.output;
        EXPECT_EQ(std::filesystem::file_size(machine.image(1)), static_cast<std::uintmax_t>(size)) << "never grown";
    }
}

// Ctrl-C at "Clone ... to ...?", or the SIGTERM of timeout or a service
// manager: the question waits no longer, and the program ends at once by
// that signal, nothing written and no "Done".
TEST(CommandLine, AnInterruptAtTheCloneQuestionEndsTheRunByItsSignal) {
    EmbeddedMachine machine({MbrWithLogical(), DiskSpec{48 << 20, {}, ""}});
    const std::string before = test_support::ReadWholeFile(machine.image(1));
    for (int signal_number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal_number);
        test_support::ConsoleProgram program({"-disk", "\\\\.\\PhysicalDrive0", "\\\\.\\PhysicalDrive1"},
                                             machine.dir());
        ASSERT_TRUE(program.wait_for_question());
        ASSERT_TRUE(program.interrupt(signal_number));
        // A program still waiting would take the end of its input for No.
        program.close_input();
        const int status = program.wait();
        ASSERT_TRUE(WIFSIGNALED(status)) << "exited " << WEXITSTATUS(status) << ": " << program.out() << program.err();
        EXPECT_EQ(WTERMSIG(status), signal_number);
        // The question, after the lines that say which disks it means, is
        // the last thing said.
        const std::string question = "Clone \\\\.\\PhysicalDrive0 to \\\\.\\PhysicalDrive1? [y/n] \n";
        EXPECT_TRUE(program.err().ends_with("\n" + question)) << program.err();
        EXPECT_EQ(program.err().find("declined"), std::string::npos) << program.err();
        EXPECT_EQ(program.out(), "");
        EXPECT_TRUE(test_support::ReadWholeFile(machine.image(1)) == before);
    }
}

// A wipe the disk refuses from its first byte has written nothing, and
// says so: zeros gathered to be made zeros in one go count only once the
// disk has taken them.
TEST(CommandLine, AWipeThatAReadOnlyDiskRefusesSaysItStoppedAtZero) {
    EmbeddedMachine machine({DiskSpec{8 << 20, {"head -c 8388608 /dev/urandom | dd of=%s conv=notrunc status=none"},
                                      ""}});
    // Made read-only as the Disk page makes it: the machine keeps it so.
    ASSERT_TRUE(disk::IoctlSetDiskAttributes("\\\\.\\PhysicalDrive0", 2, 2));
    const std::string before = test_support::ReadWholeFile(machine.image(0));
    auto wipe = RunProgram(machine, std::string("-wipe ") + kDisk0, "y\n");
    EXPECT_EQ(wipe.status, 1) << wipe.out << wipe.err;
    EXPECT_NE(wipe.out.find("Aborted at 0\n"), std::string::npos) << wipe.out;
    EXPECT_NE(wipe.err.find("writefile error:"), std::string::npos) << wipe.err;
    EXPECT_TRUE(test_support::ReadWholeFile(machine.image(0)) == before);
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
