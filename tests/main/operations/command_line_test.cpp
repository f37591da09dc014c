// The program run from a console: one verb, its lines, "Done", no display.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "disk/copy/copy_endpoints.h"
#include "main/operations/command_line.h"
#include "main/operations/text_helpers.h"
#include "platform/base/interaction.h"
#include "support/embedded_machine.h"

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

// Runs the built program without any display; with `console_only` its
// messages (standard error) are left out. `answers` is what the person types
// (nothing at all when empty).
test_support::CommandResult RunProgram(const EmbeddedMachine& machine, const std::string& arguments,
                                       bool console_only = false, const std::string& answers = "") {
    std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TARNOVELL_HOST=" +
                          test_support::Quote(machine.manifest()) + " " + TARNOVELL_EXECUTABLE + " " + arguments +
                          (answers.empty() ? " </dev/null" : "") + (console_only ? " 2>/dev/null" : "");
    if (!answers.empty()) command = "printf '%s' " + test_support::Quote(answers) + " | " + command;
    return test_support::Run("sh -c " + test_support::Quote(command));
}

}  // namespace

TEST(CommandLine, ListPrintsEveryRowInListOrderThenDone) {
    EmbeddedMachine machine({MbrWithLogical(), Gpt()});
    auto result = RunProgram(machine, "-list");
    EXPECT_EQ(result.exit_code, 0) << result.output;
    EXPECT_EQ(result.output,
              "PhysicalDrive0\tTest Disk 0     \t32MB\n"
              "\\\\.\\C:\tC:              \t0MB\n"  // no file system: no size to ask it for
              "\\\\.\\D:\tD: [home]       \t4MB\n"
              "PhysicalDrive1\tTest Disk 1     \t16MB\n"
              "\\\\.\\E:\tE:              \t0MB\n"
              "Done\n");
}

struct VerbCase {
    const char* name;
    std::string arguments;
    int exit_code;
    std::string output;  // what the console shows
};

class CommandLineVerbs : public ::testing::TestWithParam<VerbCase> {};

TEST_P(CommandLineVerbs, EndAsTheyShould) {
    EmbeddedMachine machine({DiskSpec{}});
    auto result = RunProgram(machine, GetParam().arguments, true);
    EXPECT_EQ(result.exit_code, GetParam().exit_code);
    EXPECT_EQ(result.output, GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineVerbs,
    ::testing::Values(VerbCase{"upper_case_list_is_no_verb", "-LIST", 0, "Done\n"},
                      VerbCase{"unknown_verb", "-frobnicate", 0, "Done\n"},
                      VerbCase{"quiet_anywhere", "-list -QUIET", 0, "mode quiet\nPhysicalDrive0\tTest Disk 0     \t8MB\nDone\n"},
                      VerbCase{"verb_without_its_operation_fails", "-wipe \\\\\\\\.\\\\PhysicalDrive0", 1, "Done\n"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(CommandLine, ModeChoice) {
    using tarnovell::IsInfosRequest;
    using tarnovell::WantsCommandLineMode;
    EXPECT_FALSE(WantsCommandLineMode({}));
    EXPECT_TRUE(WantsCommandLineMode({"-list"}));
    EXPECT_FALSE(WantsCommandLineMode({"-infos", "a", "b"}));  // answered, then the window opens
    EXPECT_TRUE(WantsCommandLineMode({"-infos", "a"}));
    EXPECT_TRUE(IsInfosRequest({"-infos", "a", "b"}));
}

TEST(CommandLine, UsageNamesEveryVerb) {
    auto lines = tarnovell::UsageLines();
    ASSERT_GE(lines.size(), 16u);
    EXPECT_EQ(lines[1], "tarnovell -list");
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
    auto clone = RunProgram(machine, "-disk \\\\\\\\.\\\\PhysicalDrive0 \\\\\\\\.\\\\PhysicalDrive1 -quiet", true);
    EXPECT_EQ(clone.exit_code, 0) << clone.output;
    EXPECT_NE(clone.output.find("clone done in "), std::string::npos) << clone.output;
    EXPECT_TRUE(cmp(machine.image(0), machine.image(1), 32 << 20));

    std::string image = machine.dir().file("backup.img");
    auto backup = RunProgram(machine, "-image -backup \\\\\\\\.\\\\PhysicalDrive0 " + image + " -quiet", true);
    EXPECT_EQ(backup.exit_code, 0) << backup.output;
    EXPECT_TRUE(cmp(machine.image(0), image, 32 << 20));

    // Onto a disk too small, without -quiet and nobody to answer: the safe
    // answer is No, nothing is written and the exit code says so.
    std::string before = test_support::ReadWholeFile(machine.image(2));
    auto refused = RunProgram(machine, "-image -restore " + image + " \\\\\\\\.\\\\PhysicalDrive2", true);
    EXPECT_EQ(refused.exit_code, 1) << refused.output;
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
    auto clone = RunProgram(machine, "-disk \\\\\\\\.\\\\PhysicalDrive0 " + test_support::Quote(file), false,
                            "y\ny\nn\n");
    EXPECT_EQ(clone.exit_code, 0) << clone.output;
    EXPECT_EQ(clone.output.find("IOCTL_DISK_DELETE_DRIVE_LAYOUT"), std::string::npos) << clone.output;
    EXPECT_NE(clone.output.find("clone done in "), std::string::npos) << clone.output;
    EXPECT_TRUE(test_support::ReadWholeFile(file) == source);
    EXPECT_TRUE(test_support::ReadWholeFile(machine.image(0)) == source);
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
        EXPECT_EQ(tarnovell::RunCommandLine({"-image", "-backup", "\\\\.\\PhysicalDrive0", image, "-quiet"}, state,
                                            console, errors),
                  c.exit_code)
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

