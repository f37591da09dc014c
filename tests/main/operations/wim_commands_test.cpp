// WIM capture and apply as the main window and the command line run them:
// the Wimscript.ini exclusion list, the message callback, the file-name
// rules, and whole captures and applies checked with wimlib-imagex.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "disk/bindings/wimgapi.h"
#include "main/operations/command_line.h"
#include "main/operations/wim_commands.h"
#include "platform/base/interaction.h"
#include "platform/modules/module.h"
#include "platform/base/wide_text.h"
#include "support/test_support.h"

namespace wim = platform::wim;
using platform::OperationKind;
using test_support::TempDir;

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

struct Post {
    OperationKind kind;
    std::int64_t percent;
    std::string text;
};

class RecordingTarget : public platform::OperationTarget {
public:
    void post(int, OperationKind kind, std::int64_t percent, const std::string& text) override {
        std::lock_guard guard(mutex_);
        posts_.push_back({kind, percent, text});
    }
    std::vector<Post> posts() const {
        std::lock_guard guard(mutex_);
        return posts_;
    }
    std::string last_status() const {
        std::lock_guard guard(mutex_);
        for (auto it = posts_.rbegin(); it != posts_.rend(); ++it)
            if (it->kind == OperationKind::Status) return it->text;
        return {};
    }

private:
    mutable std::mutex mutex_;
    std::vector<Post> posts_;
};

// A folder to capture: files in the root and in sub-folders, one of them
// with the same name as a root file.
std::string MakeSourceFolder(const TempDir& dir) {
    std::string root = dir.file("source");
    WriteFile(root + "/secret.tmp", "swap");
    WriteFile(root + "/keep.txt", "kept");
    WriteFile(root + "/sub/secret.tmp", "not the root one");
    WriteFile(root + "/sub/deeper/data.bin", std::string(100000, 'x'));
    return root;
}

std::string WimlibDir(const std::string& file, int image = 1) {
    return test_support::Run("wimlib-imagex dir '" + file + "' " + std::to_string(image)).output;
}

std::string WimlibInfo(const std::string& file) { return test_support::Run("wimlib-imagex info '" + file + "'").output; }

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
        {wim::WIM_MSG_PROGRESS, 37, 0, Post{OperationKind::Percent, 37, ""}},
        {wim::WIM_MSG_SCANNING, 0, 12, Post{OperationKind::Status, 0, "WIM_MSG_SCANNING:in progress"}},
        {wim::WIM_MSG_ERROR, wparam, 5, Post{OperationKind::Message, 0, "WIM_MSG_ERROR\r\n5\r\nC:\\dir\\file.txt"}},
        {wim::WIM_MSG_RETRY, wparam, 32, Post{OperationKind::Status, 0, "WIM_MSG_RETRY;32;C:\\dir\\file.txt"}},
        {wim::WIM_MSG_INFO, wparam, 0, Post{OperationKind::Status, 0, "WIM_MSG_INFO;0;C:\\dir\\file.txt"}},
        {wim::WIM_MSG_WARNING, wparam, 87, Post{OperationKind::Status, 0, "WIM_MSG_WARNING;87;C:\\dir\\file.txt"}},
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
