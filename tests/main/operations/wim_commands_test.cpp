// WIM capture and apply as the main window and the command line run them:
// the Wimscript.ini exclusion list, the message callback, the file-name
// rules, and whole captures and applies checked with wimlib-imagex.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "disk/bindings/wimgapi.h"
#include "main/operations/command_line.h"
#include "main/operations/wim_commands.h"
#include "platform/base/interaction.h"
#include "platform/modules/module.h"
#include "platform/base/wide_text.h"
#include "support/test_support.h"
#include "support/wim_fixtures.h"

namespace wim = platform::wim;
using platform::OperationKind;
using test_support::TempDir;

namespace {

using wim_test::MakeSourceFolder;
using wim_test::Post;
using wim_test::RecordingTarget;
using wim_test::WimlibDir;
using wim_test::WimlibInfo;
using wim_test::WriteFile;

}  // namespace

TEST(WimExclusions, ReadFromWimscriptIni) {
    struct Case {
        const char* name;
        std::string contents;
        tarnovell::ExclusionList expected;
    };
    const std::vector<Case> cases = {
        {"first line skipped, quotes removed, lowered", "[ExclusionList]\n\"\\Secret.TMP\"\n\\Temp\\X.tmp\n",
         std::vector<std::string>{"\\secret.tmp", "\\temp\\x.tmp"}},
        {"CR LF line ends", "[ExclusionList]\r\n\\secret.tmp\r\n\\hiberfil.sys\r\n",
         std::vector<std::string>{"\\secret.tmp", "\\hiberfil.sys"}},
        {"only the first line gives no list", "\\secret.tmp\n", std::nullopt},
        {"empty file gives no list", "", std::nullopt},
        {"blank lines are no entries", "[x]\n\n\\a\n\n", std::vector<std::string>{"\\a"}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(dir.file("Wimscript.ini"), c.contents);
        EXPECT_EQ(tarnovell::ReadExclusionList(dir.file("Wimscript.ini")), c.expected);
    }
    EXPECT_EQ(tarnovell::ReadExclusionList(dir.file("missing.ini")), std::nullopt);
}

TEST(WimExclusions, MatchTheWholePathBelowTheDrive) {
    const tarnovell::ExclusionList list = std::vector<std::string>{"\\secret.tmp", "\\temp\\x.tmp"};
    struct Case {
        const char* path;
        bool excluded;
    };
    for (const Case& c : {Case{"C:\\secret.tmp", true}, Case{"C:\\SECRET.TMP", true},
                          Case{"C:\\sub\\secret.tmp", false}, Case{"?:\\temp\\x.tmp", true},
                          Case{"C:\\temp\\x.tmp.bak", false}, Case{"C:", false}, Case{"", false}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(tarnovell::IsExcluded(list, c.path), c.excluded);
    }
    EXPECT_FALSE(tarnovell::IsExcluded(std::nullopt, "C:\\secret.tmp"));
}

TEST(WimCallback, EachMessageBecomesItsPost) {
    const std::u16string path = u"C:\\dir\\file.txt";
    const auto wparam = reinterpret_cast<wim::WPARAM>(path.c_str());
    struct Case {
        platform::DWORD message;
        wim::WPARAM wparam;
        wim::LPARAM lparam;
        std::optional<Post> expected;
    };
    const std::vector<Case> cases = {
        {wim::WIM_MSG_PROGRESS, 37, 0, Post{platform::WM_OPERATION, OperationKind::Percent, 37, ""}},
        {wim::WIM_MSG_SCANNING, 0, 12, Post{platform::WM_OPERATION, OperationKind::Status, 0, "WIM_MSG_SCANNING:in progress"}},
        {wim::WIM_MSG_ERROR, wparam, 5, Post{platform::WM_OPERATION, OperationKind::Message, 0, "WIM_MSG_ERROR\r\n5\r\nC:\\dir\\file.txt"}},
        {wim::WIM_MSG_RETRY, wparam, 32, Post{platform::WM_OPERATION, OperationKind::Status, 0, "WIM_MSG_RETRY;32;C:\\dir\\file.txt"}},
        {wim::WIM_MSG_INFO, wparam, 0, Post{platform::WM_OPERATION, OperationKind::Status, 0, "WIM_MSG_INFO;0;C:\\dir\\file.txt"}},
        {wim::WIM_MSG_WARNING, wparam, 87, Post{platform::WM_OPERATION, OperationKind::Status, 0, "WIM_MSG_WARNING;87;C:\\dir\\file.txt"}},
        {wim::WIM_MSG_SETRANGE, 0, 100, std::nullopt},
        {wim::WIM_MSG_COMPRESS, 0, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        RecordingTarget target;
        std::atomic<bool> cancel{false};
        tarnovell::WimCallbackContext context{nullptr, &cancel, &target, platform::WM_OPERATION};
        EXPECT_EQ(tarnovell::MainWimMessageCallback(c.message, c.wparam, c.lparam, &context), wim::WIM_MSG_SUCCESS);
        std::vector<Post> posts = target.posts();
        if (!c.expected) {
            EXPECT_TRUE(posts.empty());
            continue;
        }
        ASSERT_EQ(posts.size(), 1u);
        EXPECT_EQ(posts[0].channel, platform::WM_OPERATION);
        EXPECT_EQ(posts[0].kind, c.expected->kind);
        EXPECT_EQ(posts[0].percent, c.expected->percent);
        EXPECT_EQ(posts[0].text, c.expected->text);
    }
}

TEST(WimCallback, ProcessSkipsListedFilesAndCancelAborts) {
    const tarnovell::ExclusionList list = std::vector<std::string>{"\\secret.tmp"};
    std::atomic<bool> cancel{false};
    RecordingTarget target;
    tarnovell::WimCallbackContext context{&list, &cancel, &target, platform::WM_OPERATION};
    for (auto [path, include] : {std::pair{u"C:\\Secret.TMP", 0}, std::pair{u"C:\\sub\\secret.tmp", 1}}) {
        wim::BOOL included = 1;
        tarnovell::MainWimMessageCallback(wim::WIM_MSG_PROCESS, reinterpret_cast<wim::WPARAM>(path),
                                          reinterpret_cast<wim::LPARAM>(&included), &context);
        EXPECT_EQ(included, include);
    }
    cancel = true;
    EXPECT_EQ(tarnovell::MainWimMessageCallback(wim::WIM_MSG_PROGRESS, 5, 0, &context), wim::WIM_MSG_ABORT_IMAGE);
    EXPECT_EQ(tarnovell::MainWimMessageCallback(0, 0, 0, &context), wim::WIM_MSG_ABORT_IMAGE);
}

TEST(WimNames, VolumeRootsAndSolidFileNames) {
    struct Case {
        const char* given;
        const char* expected;
    };
    for (const Case& c : {Case{"\\\\.\\C:", "C:\\"}, Case{"\\\\.\\C:\\", "C:\\"}, Case{"C:", "C:\\"},
                          Case{"C:\\", "C:\\"}, Case{"/tmp/folder", "/tmp/folder"},
                          Case{"\\\\?\\Volume{0b2c}\\", "\\\\?\\Volume{0b2c}\\"}}) {
        SCOPED_TRACE(c.given);
        EXPECT_EQ(tarnovell::WimVolumeRoot(c.given), c.expected);
    }
    for (const Case& c : {Case{"/backups/disk.wim", "/backups/disk.esd"}, Case{"/backups/DISK.WIM", "/backups/DISK.esd"},
                          Case{"/backups.wim/disk.wim", "/backups.wim/disk.esd"},
                          Case{"/wim/a.wimx", "/wim/a.wimx"}, Case{"/x/image", "/x/image"}}) {
        SCOPED_TRACE(c.given);
        EXPECT_EQ(tarnovell::SolidFileName(c.given), c.expected);
    }
}

class WimCaptureAndApply : public ::testing::Test {
protected:
    void SetUp() override {
        if (test_support::Run("command -v wimlib-imagex").exit_code != 0) GTEST_SKIP() << "wimlib-imagex is not installed";
        state_.program_folder = dir_.file("program") + "/";
        std::filesystem::create_directories(state_.program_folder);
        source_ = MakeSourceFolder(dir_);
    }

    std::optional<tarnovell::WorkerOutcome> Capture(const std::string& file, int compression) {
        return tarnovell::WimCapture(state_, source_, file, false, compression, &target_, nullptr);
    }

    TempDir dir_;
    tarnovell::MainState state_;
    std::string source_;
    RecordingTarget target_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
};

TEST_F(WimCaptureAndApply, ExclusionsOfWimscriptIniLeaveOnlyTheRootFileOut) {
    WriteFile(state_.program_folder + "WIMSCRIPT.INI", "[ExclusionList]\r\n\\secret.tmp\r\n");
    const std::string file = dir_.file("out.wim");
    auto outcome = Capture(file, 1);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->succeeded()) << target_.last_status();
    EXPECT_NE(target_.last_status().find(" terminated with code:0"), std::string::npos);
    const std::string listing = WimlibDir(file);
    EXPECT_EQ(listing.find("\n/secret.tmp"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/sub/secret.tmp"), std::string::npos) << listing;
    EXPECT_NE(listing.find("/keep.txt"), std::string::npos) << listing;
}

TEST_F(WimCaptureAndApply, EachCompressionIsWhatWimlibReads) {
    struct Case {
        int compression;
        const char* file;
        const char* written;
        const char* type;
    };
    for (const Case& c : {Case{0, "none.wim", "none.wim", "XPRESS"}, Case{1, "x.wim", "x.wim", "XPRESS"},
                          Case{2, "l.wim", "l.wim", "LZX"}, Case{3, "s.WIM", "s.esd", "LZMS"}}) {
        SCOPED_TRACE(c.file);
        auto outcome = Capture(dir_.file(c.file), c.compression);
        ASSERT_TRUE(outcome);
        ASSERT_TRUE(outcome->succeeded()) << target_.last_status();
        ASSERT_TRUE(std::filesystem::exists(dir_.file(c.written)));
        const std::string info = WimlibInfo(dir_.file(c.written));
        EXPECT_NE(info.find(std::string("Compression:    ") + c.type), std::string::npos) << info;
        // A solid file carries the version number of solid resources.
        if (c.compression == 3) {
            EXPECT_NE(info.find("Version:        3584"), std::string::npos) << info;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.file("s.WIM")));
}

TEST_F(WimCaptureAndApply, NoToTheDeleteQuestionAppendsAnImage) {
    const std::string file = dir_.file("two.wim");
    ASSERT_TRUE(Capture(file, 2)->succeeded());
    ui_.answer_confirm(false);
    auto second = Capture(file, 2);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->succeeded()) << target_.last_status();
    ASSERT_FALSE(ui_.log().empty());
    EXPECT_EQ(ui_.log().back().text, "File exists! Delete?\r\n(No=Append)");
    EXPECT_NE(WimlibInfo(file).find("Image Count:    2"), std::string::npos) << WimlibInfo(file);

    ui_.answer_confirm(true);
    ASSERT_TRUE(Capture(file, 2)->succeeded());
    EXPECT_NE(WimlibInfo(file).find("Image Count:    1"), std::string::npos) << WimlibInfo(file);
}

TEST_F(WimCaptureAndApply, CancelEndsTheCaptureWithAFailingCode) {
    state_.cancel = true;
    auto outcome = Capture(dir_.file("cancelled.wim"), 1);
    ASSERT_TRUE(outcome);
    ASSERT_TRUE(outcome->exit_code);
    EXPECT_NE(*outcome->exit_code, 0u);
    state_.cancel = false;
}

TEST_F(WimCaptureAndApply, ApplyOfAnImageWimlibCaptured) {
    const std::string file = dir_.file("peer.wim");
    auto peer = test_support::Run("wimlib-imagex capture '" + source_ + "' '" + file + "' --compress=LZX");
    ASSERT_EQ(peer.exit_code, 0) << peer.output;
    const std::string target = dir_.file("applied");
    std::filesystem::create_directories(target);
    tarnovell::WorkerOutcome outcome = tarnovell::WimApply(state_, file, target, 1, false, &target_, nullptr);
    EXPECT_TRUE(outcome.succeeded()) << target_.last_status();
    auto diff = test_support::Run("diff -r '" + source_ + "' '" + target + "'");
    EXPECT_EQ(diff.exit_code, 0) << diff.output;
    bool reached_100 = false;
    for (const Post& p : target_.posts()) reached_100 |= p.kind == OperationKind::Percent && p.percent == 100;
    EXPECT_TRUE(reached_100);
}

TEST_F(WimCaptureAndApply, ABadIndexOrAMissingFileFails) {
    tarnovell::WorkerOutcome missing =
        tarnovell::WimApply(state_, dir_.file("none.wim"), dir_.file("t"), 1, false, &target_, nullptr);
    EXPECT_FALSE(missing.succeeded());
    const std::string file = dir_.file("one.wim");
    ASSERT_TRUE(Capture(file, 1)->succeeded());
    std::filesystem::create_directories(dir_.file("t"));
    tarnovell::WorkerOutcome bad_index = tarnovell::WimApply(state_, file, dir_.file("t"), 5, false, &target_, nullptr);
    EXPECT_FALSE(bad_index.succeeded());
}

TEST_F(WimCaptureAndApply, WithoutTheLibraryTheWorkerSaysSo) {
    disk::UnloadWimgapi();
    platform::HideModuleForTesting("wimgapi.dll", true);
    auto outcome = Capture(dir_.file("never.wim"), 1);
    platform::HideModuleForTesting("wimgapi.dll", false);
    ASSERT_TRUE(outcome);
    EXPECT_FALSE(outcome->succeeded());
    bool said = false;
    for (const Post& p : target_.posts()) said |= p.kind == OperationKind::Message && p.text == "wimgapi not loaded";
    EXPECT_TRUE(said);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("never.wim")));
}

TEST_F(WimCaptureAndApply, TheCommandLineVerbsCaptureAndApply) {
    const std::string file = dir_.file("cli.wim");
    std::ostringstream console, errors;
    state_.console_attached = true;
    EXPECT_EQ(tarnovell::RunCommandLine(tarnovell::ParseCommandLine({"-wim", "-backup", source_, file}), state_, console, errors), 0)
        << console.str() << errors.str();
    EXPECT_NE(WimlibInfo(file).find("XPRESS"), std::string::npos);
    const std::string target = dir_.file("cli-applied");
    std::filesystem::create_directories(target);
    EXPECT_EQ(tarnovell::RunCommandLine(tarnovell::ParseCommandLine({"-wim", "-restore", file, target}), state_, console, errors), 0)
        << console.str() << errors.str();
    EXPECT_EQ(test_support::Run("diff -r '" + source_ + "' '" + target + "'").exit_code, 0);
    EXPECT_NE(console.str().find("Done"), std::string::npos);

    // A failed apply ends with a non-zero exit code.
    EXPECT_EQ(tarnovell::RunCommandLine(tarnovell::ParseCommandLine({"-wim", "-restore", dir_.file("missing.wim"), target}), state_, console, errors),
              1);
}

TEST(WimImageIndex, NumbersFromOneAreTakenAndEverythingElseSaysWhy) {
    struct Case {
        const char* typed;
        std::optional<int> index;
        const char* problem;
    };
    for (const Case& c : {Case{"1", 1, ""}, Case{" 3 ", 3, ""}, Case{"$10", 16, ""}, Case{"2147483647", 2147483647, ""},
                          Case{"0", std::nullopt, "Image Index must be 1 or more"},
                          Case{"-1", std::nullopt, "Image Index must be 1 or more"},
                          Case{"$FFFFFFFF", std::nullopt, "'$FFFFFFFF' is not a valid integer value"},
                          Case{"first", std::nullopt, "'first' is not a valid integer value"},
                          Case{"1.5", std::nullopt, "'1.5' is not a valid integer value"},
                          Case{"", std::nullopt, "'' is not a valid integer value"}}) {
        SCOPED_TRACE(c.typed);
        std::string problem;
        EXPECT_EQ(tarnovell::ParseImageIndex(c.typed, problem), c.index);
        EXPECT_EQ(problem, c.problem);
    }
}

// The launchers of the WIM windows: a window's context (its own message
// number and cancel flag), the reference file, the export.
class WimWindowWork : public WimCaptureAndApply {
protected:
    disk::OperationContext Context(int channel) {
        disk::OperationContext context;
        context.status = &target_;
        context.channel = channel;
        context.cancel = &cancel_;
        return context;
    }
    std::optional<tarnovell::WorkerOutcome> WindowCapture(const std::string& file, int compression,
                                                          const std::string& reference = "") {
        tarnovell::WimCaptureJob job;
        job.source = source_;
        job.wim_file = file;
        job.reference = reference;
        job.compression = compression;
        return tarnovell::StartWimCapture(job, state_.program_folder, Context(platform::WM_OPERATION_CAPTURE), nullptr);
    }
    tarnovell::WorkerOutcome Export(const std::string& from, const std::string& to, int index) {
        return tarnovell::StartWimExport({from, to, index}, Context(platform::WM_OPERATION_EXPORT), nullptr);
    }
    std::string Bytes(const std::string& file) { return test_support::ReadWholeFile(file); }

    std::atomic<bool> cancel_{false};
};

TEST_F(WimWindowWork, EveryPostGoesOutOnTheWindowsOwnMessage) {
    ASSERT_TRUE(WindowCapture(dir_.file("own.wim"), 0)->succeeded()) << target_.last_status();
    const std::vector<Post> posts = target_.posts();
    ASSERT_FALSE(posts.empty());
    for (const Post& post : posts) EXPECT_EQ(post.channel, platform::WM_OPERATION_CAPTURE) << post.text;
    EXPECT_EQ(posts.front().text, "in progress...");
    EXPECT_NE(posts.back().text.find(" terminated with code:0"), std::string::npos);
    EXPECT_NE(WimlibInfo(dir_.file("own.wim")).find("Compression:    None"), std::string::npos);
}

TEST_F(WimWindowWork, TheEsdNameIsSettledBeforeTheQuestion) {
    // An LZMS capture to "x.wim" writes "x.esd": the question is about that
    // file, and only when it is there.
    const std::string wim = dir_.file("x.wim"), esd = dir_.file("x.esd");
    WriteFile(wim, "not asked about");
    ASSERT_TRUE(WindowCapture(wim, 3)->succeeded()) << target_.last_status();
    EXPECT_TRUE(ui_.log().empty()) << testing::PrintToString(ui_.texts());
    EXPECT_EQ(Bytes(wim), "not asked about");
    EXPECT_NE(WimlibInfo(esd).find("Compression:    LZMS"), std::string::npos);

    ui_.answer_confirm(false);  // No: a second image is appended to the ESD
    ASSERT_TRUE(WindowCapture(wim, 3)->succeeded()) << target_.last_status();
    ASSERT_EQ(ui_.log().size(), 1u);
    EXPECT_EQ(ui_.log()[0].text, "File exists! Delete?\r\n(No=Append)");
    EXPECT_NE(WimlibInfo(esd).find("Image Count:    2"), std::string::npos) << WimlibInfo(esd);
}

TEST_F(WimWindowWork, AFailedOrCancelledCaptureLeavesNothingAndKeepsTheFileItWasToReplace) {
    const std::string kept = dir_.file("kept.wim");
    ASSERT_TRUE(WindowCapture(kept, 1)->succeeded());
    const std::string before = Bytes(kept);
    const std::vector<std::string> files = wim_test::Listing(dir_.path().string());

    // Yes to "Delete?", then the capture is cancelled: the old file stays.
    cancel_ = true;
    ui_.answer_confirm(true);
    auto cancelled = WindowCapture(kept, 1);
    ASSERT_TRUE(cancelled && cancelled->exit_code);
    EXPECT_NE(*cancelled->exit_code, 0u);
    EXPECT_EQ(Bytes(kept), before);
    // A new capture that is cancelled leaves no file, partial or temporary.
    auto fresh = WindowCapture(dir_.file("fresh.wim"), 2);
    ASSERT_TRUE(fresh && fresh->exit_code);
    EXPECT_NE(*fresh->exit_code, 0u);
    cancel_ = false;
    // A capture of a folder that is not there fails with an error, not 0.
    source_ = dir_.file("no such folder");
    auto missing = WindowCapture(dir_.file("missing.wim"), 1);
    ASSERT_TRUE(missing && missing->exit_code);
    EXPECT_NE(*missing->exit_code, 0u);
    EXPECT_EQ(wim_test::Listing(dir_.path().string()), files);
}

TEST_F(WimWindowWork, ANameThatIsNoFileIsNeitherAskedAboutNorReplaced) {
    std::filesystem::create_directories(dir_.file("folder.wim"));
    EXPECT_FALSE(WindowCapture(dir_.file("folder.wim"), 1));
    EXPECT_EQ(ui_.texts(), std::vector<std::string>{dir_.file("folder.wim") + " is not a file"});
    EXPECT_TRUE(std::filesystem::is_directory(dir_.file("folder.wim")));
}

TEST_F(WimWindowWork, AReferenceThatIsRefusedIsSaidAndTheCaptureGoesOn) {
    WriteFile(dir_.file("not-a-wim.wim"), "plain text");
    auto outcome = WindowCapture(dir_.file("ref.wim"), 1, dir_.file("not-a-wim.wim"));
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->succeeded()) << target_.last_status();
    const std::vector<std::string> messages = target_.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].rfind("WIMSetReferenceFile failed,", 0), 0u) << messages[0];
    EXPECT_NE(WimlibDir(dir_.file("ref.wim")).find("/keep.txt"), std::string::npos);
}

TEST_F(WimWindowWork, ExportMakesAddsAndRefusesWhatIsNoWim) {
    const std::string source = dir_.file("source.wim"), target = dir_.file("target.wim");
    auto peer = wim_test::MakeTwoImageWim(source, source_, "first", source_ + "/sub", "second");
    ASSERT_EQ(peer.exit_code, 0) << peer.output;

    // Into a file that is not there: made, XPRESS, with the chosen image.
    EXPECT_TRUE(Export(source, target, 2).succeeded()) << target_.last_status();
    std::string info = WimlibInfo(target);
    EXPECT_NE(info.find("Image Count:    1"), std::string::npos) << info;
    EXPECT_NE(info.find("Compression:    XPRESS"), std::string::npos) << info;
    EXPECT_NE(info.find("second"), std::string::npos) << info;
    // Into a WIM that is there: the image is added, twice over if asked.
    EXPECT_TRUE(Export(source, target, 2).succeeded()) << target_.last_status();
    EXPECT_TRUE(Export(source, target, 1).succeeded()) << target_.last_status();
    info = WimlibInfo(target);
    EXPECT_NE(info.find("Image Count:    3"), std::string::npos) << info;
    EXPECT_EQ(test_support::Run("wimlib-imagex verify " + target).exit_code, 0);
    EXPECT_NE(WimlibDir(target, 3).find("/keep.txt"), std::string::npos);
    for (const Post& post : target_.posts()) EXPECT_EQ(post.channel, platform::WM_OPERATION_EXPORT);

    // A file of that name that is no WIM is never made over.
    WriteFile(dir_.file("notes.wim"), "my notes");
    tarnovell::WorkerOutcome refused = Export(source, dir_.file("notes.wim"), 1);
    ASSERT_TRUE(refused.exit_code);
    EXPECT_NE(*refused.exit_code, 0u);
    EXPECT_EQ(Bytes(dir_.file("notes.wim")), "my notes");
    ASSERT_FALSE(target_.messages().empty());
    EXPECT_EQ(target_.messages().back().rfind("WIMCreateFile failed,", 0), 0u) << target_.messages().back();

    // An image the source does not have.
    tarnovell::WorkerOutcome absent = Export(source, dir_.file("none.wim"), 3);
    ASSERT_TRUE(absent.exit_code);
    EXPECT_NE(*absent.exit_code, 0u);
    EXPECT_EQ(target_.messages().back(), "WIMLoadImage failed," + std::to_string(platform::ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("none.wim")));
}

TEST_F(WimWindowWork, ApplyOfAnEsdWithTheIndexChosen) {
    const std::string esd = dir_.file("two.esd");
    auto peer = wim_test::MakeTwoImageWim(esd, source_ + "/sub", "sub", source_, "all", "--solid");
    ASSERT_EQ(peer.exit_code, 0) << peer.output;
    const std::string target = dir_.file("applied");
    std::filesystem::create_directories(target);
    tarnovell::WimApplyJob job{esd, target, "", 2, false};
    tarnovell::WorkerOutcome outcome = tarnovell::StartWimApply(job, Context(platform::WM_OPERATION_APPLY), nullptr);
    EXPECT_TRUE(outcome.succeeded()) << target_.last_status();
    EXPECT_EQ(test_support::Run("diff -r " + test_support::Quote(source_) + " " + target).exit_code, 0);

    job.index = 3;
    tarnovell::WorkerOutcome absent = tarnovell::StartWimApply(job, Context(platform::WM_OPERATION_APPLY), nullptr);
    ASSERT_TRUE(absent.exit_code);
    EXPECT_NE(*absent.exit_code, 0u);
    EXPECT_EQ(target_.messages().back(), "WIMLoadImage failed," + std::to_string(platform::ERROR_INVALID_PARAMETER));
}

TEST_F(WimWindowWork, TwoWindowsWorkSideBySideEachHearingOnlyItsOwnWorker) {
    // Two captures at once, as two capture windows run them: each worker's
    // callback reaches its own window only, so each window sees its own
    // progress rise once to 100, and a cancel stops only its own worker.
    test_support::TempDir other_dir;
    const std::string other = MakeSourceFolder(other_dir);
    for (int i = 0; i < 4; ++i) WriteFile(other + "/big" + std::to_string(i) + ".bin", std::string(4 << 20, 'a' + i));
    struct Window {
        RecordingTarget target;
        std::atomic<bool> cancel{false};
        platform::DWORD code = 12345;
    };
    auto run = [](const std::string& source, const std::string& file, Window& window) {
        disk::OperationContext context;
        context.status = &window.target;
        context.channel = platform::WM_OPERATION_CAPTURE;
        context.cancel = &window.cancel;
        tarnovell::WimCaptureJob job;
        job.source = source;
        job.wim_file = file;
        window.code = tarnovell::WimCaptureThread(job, context);
    };
    auto percents = [](const Window& window) {
        std::vector<std::int64_t> seen;
        for (const Post& post : window.target.posts())
            if (post.kind == OperationKind::Percent) seen.push_back(post.percent);
        return seen;
    };
    for (bool cancel_second : {false, true}) {
        SCOPED_TRACE(cancel_second);
        Window first, second;
        second.cancel = cancel_second;
        std::filesystem::remove(dir_.file("a.wim"));
        std::filesystem::remove(dir_.file("b.wim"));
        std::thread a([&] { run(other, dir_.file("a.wim"), first); });
        std::thread b([&] { run(other, dir_.file("b.wim"), second); });
        a.join();
        b.join();
        EXPECT_EQ(first.code, 0u);
        EXPECT_EQ(second.code == 0, !cancel_second);
        EXPECT_EQ(std::filesystem::exists(dir_.file("b.wim")), !cancel_second);
        const std::vector<std::int64_t> seen = percents(first);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end())) << testing::PrintToString(seen);
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 100), 1) << testing::PrintToString(seen);
    }
}
