// The reporter as the program uses it, end to end: a child process installs
// it and fails; its report (on standard output and in the bug-report file)
// must carry the stack, the threads, the modules and the disassembly.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "support/virtual_display.h"

namespace crashreport_test {

namespace {

struct ChildRun {
    int exit_code = -1;
    bool signalled = false;
    std::string output;
    std::string error;  // standard error
    std::string report_file;
};

std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

ChildRun RunChild(const std::string& mode, const std::filesystem::path& folder, const std::string& extra_env = {}) {
    const std::filesystem::path report = folder / "bugreport.txt";
    // An abandoned thread leaves what its stack owned: that is no leak to report.
    const std::string command = "env ASAN_OPTIONS=detect_leaks=0 CRASH_CHILD_REPORT='" + report.string() + "' CRASH_CHILD_MARKER='" +
                                (folder / "marker").string() + "' QT_QPA_PLATFORM=offscreen " + extra_env + " timeout 120 '" +
                                CRASH_CHILD + "' " + mode + " 2>'" + (folder / "stderr").string() + "'";
    ChildRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    std::array<char, 4096> buffer;
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) run.output.append(buffer.data(), n);
    const int status = pclose(pipe);
    run.signalled = WIFSIGNALED(status);
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.report_file = ReadFile(report);
    run.error = ReadFile(folder / "stderr");
    return run;
}

// The value of a header line "name   : value" of a report.
std::string Item(const std::string& report, const std::string& name) {
    const std::size_t at = report.find("\n" + name + " ");
    if (at == std::string::npos) return {};
    const std::size_t colon = report.find(": ", at);
    const std::size_t end = report.find_first_of("\r\n", colon);
    return report.substr(colon + 2, end - colon - 2);
}

class CrashChildTest : public ::testing::Test {
protected:
    test_support::TempDir scratch_;
    const std::filesystem::path& folder_ = scratch_.path();
};

}  // namespace

TEST_F(CrashChildTest, FaultInWorkerThreadIsReportedAndTheProgramGoesOn) {
    const ChildRun run = RunChild("worker-segv", folder_);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_NE(run.output.find("survived, exit code none"), std::string::npos) << run.output;
    const std::string& report = run.report_file;
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(Item(report, "exception class"), "EAccessViolation");
    EXPECT_NE(Item(report, "exception message").find("Write of address $10"), std::string::npos);
    EXPECT_EQ(Item(report, "callstack crc").size(), 31u);
    EXPECT_EQ(Item(report, "version"), "9.9.9");
    // The failing thread first, with the faulting routine on top, then the
    // main thread waiting for it.
    const std::size_t failing = report.find("\r\n\r\nthread $");
    const std::size_t main_thread = report.find("\r\n\r\nmain thread ($");
    ASSERT_NE(failing, std::string::npos);
    ASSERT_NE(main_thread, std::string::npos);
    EXPECT_LT(failing, main_thread);
    const std::string first_lines = report.substr(failing, main_thread - failing);
    EXPECT_NE(first_lines.find("WriteToUnmappedPage"), std::string::npos) << first_lines;
    EXPECT_NE(first_lines.find("FailInWorker"), std::string::npos) << first_lines;
    EXPECT_NE(first_lines.find("crash_child.cpp"), std::string::npos);
    EXPECT_NE(report.find("WorkerThread::wait_for"), std::string::npos);
    EXPECT_NE(report.find("\r\nmodules:\r\n"), std::string::npos);
    EXPECT_NE(report.find("crashreport_crash_child "), std::string::npos);
    // The modules' versions: the program's own, and a library's whole one.
    const std::size_t modules = report.find("\r\nmodules:\r\n");
    const std::string program_line = report.substr(report.find(" crashreport_crash_child ", modules), 80);
    EXPECT_NE(program_line.find(" 9.9.9 "), std::string::npos) << program_line;
    const std::size_t qt = report.find(" libQt6Core.so.6 ", modules);
    ASSERT_NE(qt, std::string::npos);
    std::string qt_version = report.substr(qt + 17, report.find_first_of("\r", qt) - qt - 17);
    qt_version = qt_version.substr(qt_version.find_first_not_of(' '));
    qt_version = qt_version.substr(0, qt_version.find(' '));
    EXPECT_EQ(std::count(qt_version.begin(), qt_version.end(), '.'), 2) << qt_version;
    EXPECT_NE(report.find("\r\ncpu registers:\r\nrax"), std::string::npos);
    EXPECT_NE(report.find("\r\nstack dump:\r\n"), std::string::npos);
    // The crash line of the disassembly is marked.
    const std::size_t disassembly = report.find("\r\ndisassembling:\r\n");
    ASSERT_NE(disassembly, std::string::npos);
    EXPECT_NE(report.find(" > mov", disassembly), std::string::npos) << report.substr(disassembly);
    EXPECT_TRUE(report.ends_with("\r\n\r\n"));
}

TEST_F(CrashChildTest, ExceptionLeavingAWorkerThreadIsReportedWithItsThrowSite) {
    const ChildRun run = RunChild("worker-throw", folder_);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_NE(run.output.find("survived"), std::string::npos);
    EXPECT_EQ(Item(run.report_file, "exception class"), "std::runtime_error");
    EXPECT_EQ(Item(run.report_file, "exception message"), "worker gave up");
    const std::size_t failing = run.report_file.find("\r\n\r\nthread $");
    ASSERT_NE(failing, std::string::npos);
    EXPECT_NE(run.report_file.find("ThrowFromWorker", failing), std::string::npos);
}

TEST_F(CrashChildTest, FaultOnMainThreadEndsTheProgramAfterTheReport) {
    const ChildRun run = RunChild("main-segv", folder_);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_FALSE(run.signalled);
    // Without windows the report goes to standard output, after the message.
    EXPECT_EQ(run.output.rfind("An error occurred in the application.\n", 0), 0u) << run.output.substr(0, 200);
    EXPECT_NE(run.output.find("exception class   : EAccessViolation"), std::string::npos);
    const std::string& report = run.report_file;
    const std::size_t main_thread = report.find("\r\n\r\nmain thread ($");
    ASSERT_NE(main_thread, std::string::npos);
    EXPECT_NE(report.find("FailInWorker", main_thread), std::string::npos);
    EXPECT_NE(report.find("\r\ndisassembling:\r\n"), std::string::npos);
}

TEST_F(CrashChildTest, UncaughtExceptionOnMainThreadIsReported) {
    const ChildRun run = RunChild("main-throw", folder_);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(Item(run.report_file, "exception class"), "std::logic_error");
    EXPECT_EQ(Item(run.report_file, "exception message"), "nobody caught this");
}

TEST_F(CrashChildTest, DeadWindowThreadShowsTheBoxFromAFreshInstance) {
    // The box of the fresh instance counts down on its close button.
    const ChildRun run = RunChild("main-segv-crash-box", folder_, "CRASH_CHILD_AUTOCLOSE=1");
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(ReadFile(folder_ / "marker"), "crash box shown\n");
    EXPECT_EQ(Item(run.report_file, "exception class"), "EAccessViolation");
}

TEST_F(CrashChildTest, ThePleaseWaitBoxIsOnScreenWhileTheReportOfAMainThreadFaultIsMade) {
    // The window thread faults; its report is held in the making (one of
    // its sections waits for a file) while the test looks at the display.
    if (!test_support::HaveTool("Xvfb") || !test_support::HaveTool("xwininfo"))
        GTEST_SKIP() << "Xvfb or xwininfo is not installed (Debian packages xvfb, x11-utils)";
    std::unique_ptr<test_support::GroupChild> server;
    const std::string display = test_support::StartXvfb(server, (folder_ / "xvfb.log").string());
    ASSERT_FALSE(display.empty()) << ReadFile(folder_ / "xvfb.log");
    const std::filesystem::path release = folder_ / "release";
    test_support::GroupChild child({CRASH_CHILD, "main-segv-crash-box"}, (folder_ / "child.log").string(), [&] {
        setenv("DISPLAY", display.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        setenv("CRASH_CHILD_REPORT", (folder_ / "bugreport.txt").c_str(), 1);
        setenv("CRASH_CHILD_MARKER", (folder_ / "marker").c_str(), 1);
        setenv("CRASH_CHILD_HOLD_REPORT", release.c_str(), 1);
        setenv("CRASH_CHILD_AUTOCLOSE", "1", 1);
    });
    // The box by its title among the display's windows:
    //   0x1200007 "Report in the making": ("crashreport_crash_child" ...)  320x88+0+0  +480+468
    std::string box;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (box.empty() && std::chrono::steady_clock::now() < deadline && !child.Poll()) {
        std::istringstream windows(test_support::Run("xwininfo -root -tree -display " + display).output);
        for (std::string line; std::getline(windows, line);)
            if (line.find("\"Report in the making\"") != std::string::npos) box = line;
        if (box.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_FALSE(box.empty()) << ReadFile(folder_ / "child.log");
    // Shown, with the picture beside its line: wider than the line alone.
    std::istringstream fields(box);
    std::string id;
    fields >> id;
    const std::string facts = test_support::Run("xwininfo -id " + id + " -display " + display).output;
    EXPECT_NE(facts.find("Map State: IsViewable"), std::string::npos) << facts;
    std::smatch size;
    ASSERT_TRUE(std::regex_search(box, size, std::regex(" ([0-9]+)x([0-9]+)\\+"))) << box;
    EXPECT_GE(std::stoi(size[1]), 220 + 32) << box;
    EXPECT_FALSE(child.Poll()) << "the report was made without waiting for its held section";
    test_support::WriteWholeFile(release.string(), "");
    const std::optional<int> status = child.WaitFor(std::chrono::minutes(2));
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status << "\n" << ReadFile(folder_ / "child.log");
    EXPECT_EQ(ReadFile(folder_ / "marker"), "crash box shown\n");
    const std::string report = ReadFile(folder_ / "bugreport.txt");
    EXPECT_EQ(Item(report, "exception class"), "EAccessViolation");
    EXPECT_NE(report.find("\r\nheld:\r\nreleased"), std::string::npos) << report.substr(0, 2000);
}

TEST_F(CrashChildTest, ExceptionInAWindowHandlerShowsTheBoxAndTheProgramGoesOn) {
    const ChildRun run = RunChild("gui-handler-throws", folder_, "CRASH_CHILD_AUTOCONTINUE=1");
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, "continued\n");
    EXPECT_EQ(Item(run.report_file, "exception class"), "std::runtime_error");
    EXPECT_EQ(Item(run.report_file, "exception message"), "button handler failed");
    // With a display the header tells its mode, before the process id.
    const std::string mode = Item(run.report_file, "display mode");
    EXPECT_TRUE(std::regex_match(mode, std::regex("[0-9]+x[0-9]+, [0-9]+ bit"))) << mode;
    EXPECT_LT(run.report_file.find("\ndisplay mode "), run.report_file.find("\nprocess id "));
}

TEST_F(CrashChildTest, ProgramSettingsEnableTheReporterWithoutFreezeWatchdog) {
    const ChildRun run = RunChild("program-settings", folder_);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, "active=1 watchdog=0\n");
}

TEST_F(CrashChildTest, SameFaultTwiceIsFoldedIntoOneReportWithACount) {
    RunChild("worker-segv", folder_);
    const ChildRun second = RunChild("worker-segv", folder_);
    const std::string& file = second.report_file;
    EXPECT_EQ(file.find("date/time "), 0u);
    EXPECT_EQ(file.find("\r\ndate/time "), std::string::npos) << "the first report was not folded";
    EXPECT_EQ(Item(file, "count"), "2");
}

TEST_F(CrashChildTest, AProgramFileChangedSinceItWasBuiltSaysItIsCorruptAndEnds) {
    // The program's own settings test the file; its build wrote the
    // checksum in. One changed byte of what is loaded (a text of .rodata the
    // test never shows) must be noticed; stripping the file is no change.
    const std::string sections = test_support::Run("readelf -S -W '" + std::string(CRASH_CHILD) + "'").output;
    const std::size_t comment = sections.find(" .rodata ");
    ASSERT_NE(comment, std::string::npos);
    std::istringstream fields(sections.substr(comment));
    std::string name, type, address, offset;
    fields >> name >> type >> address >> offset;
    std::string program = ReadFile(CRASH_CHILD);
    const std::filesystem::path intact = folder_ / "intact", damaged = folder_ / "damaged";
    test_support::WriteWholeFile(intact.string(), program);
    program[std::stoul(offset, nullptr, 16) + 3] ^= 0x20;
    test_support::WriteWholeFile(damaged.string(), program);
    std::filesystem::permissions(intact, std::filesystem::perms::owner_all);
    std::filesystem::permissions(damaged, std::filesystem::perms::owner_all);
    const test_support::CommandResult good = test_support::Run("'" + intact.string() + "' program-settings");
    EXPECT_EQ(good.exit_code, 0);
    EXPECT_EQ(good.output, "active=1 watchdog=0\n");
    const test_support::CommandResult bad = test_support::Run("'" + damaged.string() + "' program-settings");
    EXPECT_EQ(bad.exit_code, 0);
    EXPECT_EQ(bad.output, "The file \"damaged\" seems to be corrupt!\n");
    const std::filesystem::path stripped = folder_ / "stripped";
    ASSERT_EQ(test_support::Run("strip --strip-all -o '" + stripped.string() + "' '" + intact.string() + "'").exit_code, 0);
    const test_support::CommandResult after_strip = test_support::Run("'" + stripped.string() + "' program-settings");
    EXPECT_EQ(after_strip.output, "active=1 watchdog=0\n");
}

TEST_F(CrashChildTest, TwoInstancesAtOnceEachKeepTheirOwnFolder) {
    // Both share one temporary folder; the first keeps running while the
    // second starts (and sweeps what ended runs left), works and ends.
    const std::filesystem::path temp = folder_ / "tmp";
    std::filesystem::create_directory(temp);
    const std::filesystem::path release = folder_ / "release";
    const std::string env = "TMPDIR='" + temp.string() + "' CRASH_CHILD_RELEASE='" + release.string() + "' ";
    FILE* first = popen(("env " + env + "timeout 120 '" + std::string(CRASH_CHILD) + "' temp-folder").c_str(), "r");
    ASSERT_NE(first, nullptr);
    char line[4096] = {};
    ASSERT_NE(std::fgets(line, sizeof line, first), nullptr);
    std::string first_folder = line;
    while (!first_folder.empty() && first_folder.back() == '\n') first_folder.pop_back();
    test_support::WriteWholeFile(release.string() + "-second", "");
    const test_support::CommandResult second = test_support::Run(
        "env TMPDIR='" + temp.string() + "' CRASH_CHILD_RELEASE='" + release.string() + "-second' '" +
        std::string(CRASH_CHILD) + "' temp-folder");
    EXPECT_EQ(second.exit_code, 0) << second.output;
    std::string second_folder = second.output;
    while (!second_folder.empty() && second_folder.back() == '\n') second_folder.pop_back();
    EXPECT_NE(first_folder, second_folder);
    EXPECT_EQ(ReadFile(std::filesystem::path(first_folder) / "mine.txt"), "mine") << "the second run took it";
    EXPECT_FALSE(std::filesystem::exists(second_folder)) << "a run removes its own folder as it ends";
    test_support::WriteWholeFile(release.string(), "");
    EXPECT_EQ(pclose(first), 0);
    EXPECT_FALSE(std::filesystem::exists(first_folder));
}

TEST_F(CrashChildTest, LeftWorkerReleasesWhatItsStackHeld) {
    // The worker's frames above the fault unwind: its descriptor closes and
    // its lock is free, and nothing after the fault runs.
    const ChildRun run = RunChild("worker-segv-holding", folder_);
    EXPECT_EQ(run.exit_code, 0) << run.error;
    EXPECT_TRUE(run.output.ends_with("\nexit code none, descriptor closed, lock free\n")) << run.output;
    EXPECT_EQ(run.output.find("went on after the fault"), std::string::npos);
    EXPECT_EQ(Item(run.report_file, "exception class"), "EAccessViolation");
}

// The sanitizers keep a heap of their own and stop at a double free
// themselves, before the C library could.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kOwnHeap = false;
#else
constexpr bool kOwnHeap = true;
#endif

TEST_F(CrashChildTest, BrokenHeapEndsTheRunWithItsReportOnStandardError) {
    if (!kOwnHeap) GTEST_SKIP() << "the sanitizer's heap reports this itself";
    // The C library aborts from inside free with its lock held; on the
    // main thread and in a worker (which cannot be left then) alike.
    for (const char* mode : {"main-heap", "worker-heap"}) {
        const ChildRun run = RunChild(mode, folder_);
        EXPECT_EQ(run.exit_code, 1) << mode << ": " << run.error;
        EXPECT_NE(run.error.find("An error occurred in the application."), std::string::npos) << mode;
        EXPECT_NE(run.error.find("SIGABRT (aborted) raised by the program itself"), std::string::npos)
            << mode << ": " << run.error.substr(0, 2000);
        EXPECT_NE(run.error.find("CorruptTheHeap"), std::string::npos) << mode;
        EXPECT_EQ(run.output.find("survived"), std::string::npos) << mode;
        EXPECT_EQ(Item(run.report_file, "exception class"), "EExternalException") << mode;
    }
}

TEST_F(CrashChildTest, ReporterThatHangsIsGivenUpAndTheProcessEnds) {
    const ChildRun run = RunChild("hung-reporter", folder_);
    // Ended by the fault's own signal (as `timeout` passes it on), with what
    // the handler knew.
    EXPECT_TRUE(run.signalled || run.exit_code == 128 + SIGSEGV) << run.exit_code;
    EXPECT_NE(run.error.find("the error reporter did not answer in time"), std::string::npos) << run.error;
    EXPECT_NE(run.error.find("exception     : SIGSEGV (code 1), write of address $0000000000000010"),
              std::string::npos)
        << run.error;
    EXPECT_NE(run.error.find("  executable +$"), std::string::npos) << run.error;
}

TEST_F(CrashChildTest, TheEmergencyReserveIsGivenToTheReportWhileAnExceptionIsHandled) {
    const ChildRun run = RunChild("emergency-reserve", folder_);
    EXPECT_EQ(run.exit_code, 0);
    // Four regions of 4 MB and four of 512 KB.
    EXPECT_EQ(run.output, "at start 18874368\nwhile handled 0\nafterwards 18874368\nafter shut-down 0\n");
}

TEST_F(CrashChildTest, AFaultOfTheReporterItselfEndsTheProgramWithItsShortReport) {
    const ChildRun run = RunChild("faulting-handler", folder_);
    EXPECT_TRUE(run.signalled || run.exit_code == 128 + SIGSEGV) << run.exit_code;
    EXPECT_NE(run.error.find("the fault struck the error reporter itself"), std::string::npos) << run.error;
}

TEST_F(CrashChildTest, SignalFromAnotherProcessNamesTheSenderNotAnAddress) {
    const std::string command = "env ASAN_OPTIONS=detect_leaks=0 CRASH_CHILD_REPORT='" +
                                (folder_ / "bugreport.txt").string() + "' timeout 120 '" + CRASH_CHILD +
                                "' await-signal 2>'" + (folder_ / "stderr").string() + "'";
    FILE* child = popen(command.c_str(), "r");
    ASSERT_NE(child, nullptr);
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, child), nullptr);
    const int pid = std::atoi(line);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGSEGV), 0);
    while (std::fgets(line, sizeof line, child) != nullptr) {
    }
    const int status = pclose(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status << "\n" << ReadFile(folder_ / "stderr");
    const std::string report = ReadFile(folder_ / "bugreport.txt");
    EXPECT_EQ(Item(report, "exception message"),
              "Signal SIGSEGV sent by process " + std::to_string(::getpid()) + " (user " + std::to_string(::getuid()) +
                  ")");
    EXPECT_EQ(report.find("of address"), std::string::npos);
}

TEST_F(CrashChildTest, RunningCodeOnTheStackIsAnAccessViolationNotAnOverflow) {
    const ChildRun run = RunChild("execute-stack", folder_);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(Item(run.report_file, "exception class"), "EAccessViolation");
    EXPECT_NE(Item(run.report_file, "exception message").find(". Execution of address $"), std::string::npos)
        << Item(run.report_file, "exception message");
}

// The lines of the first section of a report whose title starts so,
// without the lines of the reporter's remarks (">> created by ...").
std::string SectionOf(const std::string& report, const std::string& title) {
    const std::size_t at = report.find("\r\n\r\n" + title);
    if (at == std::string::npos) return {};
    const std::size_t body = report.find("\r\n", at + 4);
    std::istringstream lines(report.substr(body + 2, report.find("\r\n\r\n", body) - body - 2));
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (!line.starts_with(">>")) kept += line + "\n";
    return kept;
}

TEST_F(CrashChildTest, AStrippedProgramReportsFromItsSeparateDebugFileAsTheWholeProgramDoes) {
    // The program as a package ships it: without symbols and lines, which
    // lie in a file of their own, found by the program's debug link or in
    // the build-id tree.
    auto run = [](const std::string& command) {
        const test_support::CommandResult result = test_support::Run(command);
        EXPECT_EQ(result.exit_code, 0) << command << "\n" << result.output;
        return result.output;
    };
    const std::string program = CRASH_CHILD;
    const std::filesystem::path linked = folder_ / "linked" / "crashreport_crash_child";
    const std::filesystem::path bare = folder_ / "bare" / "crashreport_crash_child";
    std::filesystem::create_directories(linked.parent_path());
    std::filesystem::create_directories(bare.parent_path());
    const std::filesystem::path debug = linked.parent_path() / "crashreport_crash_child.debug";
    run("objcopy --only-keep-debug '" + program + "' '" + debug.string() + "'");
    run("objcopy --strip-all --add-gnu-debuglink='" + debug.string() + "' '" + program + "' '" + linked.string() + "'");
    run("objcopy --strip-all '" + program + "' '" + bare.string() + "'");
    const std::string notes = run("readelf -n '" + bare.string() + "'");
    const std::size_t id_at = notes.find("Build ID: ");
    ASSERT_NE(id_at, std::string::npos);
    const std::string id = notes.substr(id_at + 10, notes.find('\n', id_at) - id_at - 10);
    const std::filesystem::path tree = folder_ / "debug" / ".build-id" / id.substr(0, 2);
    std::filesystem::create_directories(tree);
    std::filesystem::copy_file(debug, tree / (id.substr(2) + ".debug"));
    ASSERT_EQ(run("readelf -S -W '" + linked.string() + "'").find(" .symtab "), std::string::npos);
    // Each run at the same addresses, so that the reports can be compared
    // line by line.
    const std::string report_path = (folder_ / "bugreport.txt").string();
    auto report_of = [&](const std::string& file, const std::string& debug_path) {
        std::filesystem::remove(report_path);
        test_support::Run("env ASAN_OPTIONS=detect_leaks=0 CRASH_CHILD_REPORT='" + report_path + "' " +
                          (debug_path.empty() ? std::string() : "CRASH_CHILD_DEBUG_PATH='" + debug_path + "' ") +
                          "timeout 120 setarch -R '" + file + "' worker-segv 2>/dev/null");
        return ReadFile(report_path);
    };
    const std::string whole = report_of(program, "");
    const std::string stack = SectionOf(whole, "thread $"), disassembly = SectionOf(whole, "disassembling:");
    // The whole program's report: offsets, relative lines, a disassembly.
    ASSERT_NE(stack.find("crash_child.cpp"), std::string::npos) << whole.substr(0, 3000);
    ASSERT_TRUE(std::regex_search(stack, std::regex(" \\+[0-9a-f]*[1-9a-f][0-9a-f]* crashreport_crash_child "))) << stack;
    ASSERT_TRUE(std::regex_search(stack, std::regex(" \\+[0-9]+ \\(anonymous namespace\\)::WriteToUnmappedPage"))) << stack;
    ASSERT_NE(disassembly.find("public (anonymous namespace)::WriteToUnmappedPage:"), std::string::npos) << disassembly;
    const std::pair<const char*, std::string> stripped[] = {
        {"debug link", report_of(linked.string(), "")},
        {"build-id tree", report_of(bare.string(), (folder_ / "debug").string() + ":/usr/lib/debug")},
    };
    for (const auto& [how, report] : stripped) {
        EXPECT_EQ(SectionOf(report, "thread $"), stack) << how;
        EXPECT_EQ(SectionOf(report, "disassembling:"), disassembly) << how;
    }
    // A routine named in a form's action is found by its name.
    EXPECT_EQ(test_support::Run("'" + linked.string() + "' public-by-name").output, "found\n");
    EXPECT_EQ(test_support::Run("env CRASH_CHILD_DEBUG_PATH='" + (folder_ / "debug").string() + "' '" + bare.string() +
                                "' public-by-name")
                  .output,
              "found\n");
}

TEST_F(CrashChildTest, CheckValuesOfUnnamedFramesStayTheSameFromRunToRun) {
    // Without any symbols every frame of the program is unnamed; its check
    // value must not be the address, which each run puts elsewhere.
    const std::filesystem::path stripped = folder_ / "crashreport_crash_child";
    ASSERT_EQ(test_support::Run("strip --strip-all -o '" + stripped.string() + "' '" + std::string(CRASH_CHILD) + "'")
                  .exit_code,
              0);
    auto run = [&](const std::string& name) {
        const std::string report = (folder_ / name).string();
        test_support::Run("env ASAN_OPTIONS=detect_leaks=0 CRASH_CHILD_REPORT='" + report + "' timeout 120 '" +
                          stripped.string() + "' worker-segv 2>/dev/null");
        return ReadFile(report);
    };
    const std::string first = run("first.txt"), second = run("second.txt");
    const std::string where_first = Item(first, "exception message"), where_second = Item(second, "exception message");
    ASSERT_FALSE(where_first.empty()) << first.substr(0, 2000);
    if (where_first == where_second) GTEST_SKIP() << "address-space randomisation is off";
    EXPECT_EQ(Item(first, "callstack crc"), Item(second, "callstack crc"));
    EXPECT_EQ(Item(first, "callstack crc").size(), 31u);
}

TEST_F(CrashChildTest, ThreadsSayWhoStartedThemAndShowTheirWholeStacks) {
    const ChildRun run = RunChild("library-threads", folder_);
    EXPECT_EQ(run.exit_code, 1);
    const std::string& report = run.report_file;
    // A thread of the program: its creator and the place it was created.
    std::string own;
    for (std::size_t at = report.find("\r\n\r\nthread $"); at != std::string::npos;
         at = report.find("\r\n\r\nthread $", at + 4)) {
        const std::string section = report.substr(at + 4, report.find("\r\n\r\n", at + 4) - at - 4);
        if (section.find("StartWaitingWorker") != std::string::npos) own = section;
    }
    ASSERT_FALSE(own.empty()) << report.substr(0, 4000);
    const std::size_t created = own.find("\r\n>> created by main thread ($");
    ASSERT_NE(created, std::string::npos) << own;
    EXPECT_NE(own.find("StartWaitingWorker", created), std::string::npos) << own;
    EXPECT_NE(own.find("crash_child.cpp", created), std::string::npos) << own;
    // Threads Qt started are named as Qt named them and say so; their
    // stacks go down to where they wait.
    const std::size_t qt_thread = report.find("(QThread) <started by libQt6Core.so.6>:");
    ASSERT_NE(qt_thread, std::string::npos) << report.substr(0, 4000);
    const std::string event_loop = report.substr(qt_thread, report.find("\r\n\r\n", qt_thread) - qt_thread);
    EXPECT_NE(event_loop.find("QEventLoop::exec"), std::string::npos) << event_loop;
    EXPECT_NE(event_loop.find("QThread::exec"), std::string::npos) << event_loop;
    EXPECT_NE(event_loop.find(">> created by main thread ($"), std::string::npos) << event_loop;
    EXPECT_NE(report.find("(Thread (pooled)) <started by libQt6Core.so.6>:"), std::string::npos);
    // The reporter's own threads stay out of the list.
    EXPECT_EQ(report.find("RelayFaults"), std::string::npos);
}

TEST_F(CrashChildTest, ExceptionsTheProgramHandlesItselfReachTheHiddenHandlersOnce) {
    const ChildRun run = RunChild("hidden-exception", folder_);
    EXPECT_EQ(run.exit_code, 0) << run.error;
    // The report of the exception that left the worker comes first on
    // standard output; the hidden ones are the handler's lines.
    std::vector<std::string> hidden;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("hidden ", 0) == 0) hidden.push_back(line);
    EXPECT_EQ(hidden, (std::vector<std::string>{"hidden std::runtime_error: handled quietly",
                                                "hidden std::logic_error: passed on"}));
    EXPECT_TRUE(run.output.ends_with("done\n"));
    EXPECT_EQ(Item(run.report_file, "exception message"), "worker gave up");
}

TEST_F(CrashChildTest, AFaultUnderTheBoxOnTheWindowThreadEndsTheProgramWithItsReport) {
    // The box of a first exception is up on the window thread when that
    // thread faults: nothing can show the fault any more, nor answer.
    const ChildRun run = RunChild("fault-under-box", folder_);
    EXPECT_TRUE(run.signalled || run.exit_code == 128 + SIGSEGV) << run.exit_code << run.error;
    EXPECT_NE(run.error.find("An error occurred in the application; the error reporter did not answer in time."),
              std::string::npos)
        << run.error;
    EXPECT_NE(run.error.find("exception     : SIGSEGV (code 1), write of address $0000000000000010"),
              std::string::npos);
}

}  // namespace crashreport_test
