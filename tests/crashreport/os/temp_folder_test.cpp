// The reporter's temporary folder and the files it leaves, with what a
// hostile local user may have put in the shared temporary folder: links,
// files and folders of another user at every name the reporter might use.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "crashreport/codec/zip.h"
#include "crashreport/os/file_access.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace crashreport {
namespace {

namespace fs = std::filesystem;

unsigned ModeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// The temporary folder points into a scratch folder of the test while it
// lives, so that planted names never meet the machine's own /tmp.
class TempFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        tmpdir_.emplace("TMPDIR", temp_.path().c_str());
        victim_ = fs::path(victims_.path()) / "victim";
        fs::create_directory(victim_);
        test_support::WriteWholeFile((victim_ / "keep.txt").string(), "precious");
    }
    void TearDown() override {
        DeleteZelTempFolder();
        tmpdir_.reset();
    }
    fs::path Temp() const { return temp_.path(); }
    // The victim folder still holds only its own file.
    void ExpectVictimUntouched() const {
        EXPECT_EQ(test_support::ReadWholeFile((victim_ / "keep.txt").string()), "precious");
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(victim_)) names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"keep.txt"});
    }

    test_support::TempDir temp_;
    test_support::TempDir victims_;
    fs::path victim_;
    std::optional<test_support::ScopedEnvironment> tmpdir_;
};

// A process id nobody has any more.
int EndedProcessId() {
    const test_support::CommandResult run = test_support::Run("sh -c 'echo $$'");
    return std::atoi(run.output.c_str());
}

TEST_F(TempFolderTest, IsMadeFreshPrivateAndNeverAtTheOldFixedName) {
    // The name earlier versions used, taken by someone else.
    const fs::path fixed = Temp() / "crashreport_tests.zelExcept";
    fs::create_directory_symlink(victim_, fixed);
    const fs::path folder = GetZelTempFolder();
    ASSERT_FALSE(folder.empty());
    const fs::path made = folder.parent_path();
    EXPECT_EQ(made.parent_path(), Temp());
    const std::string prefix = "crashreport_tests.zelExcept-" + std::to_string(OwnProcessId()) + "-";
    EXPECT_EQ(made.filename().string().rfind(prefix, 0), 0u) << made;
    EXPECT_EQ(ModeOf(made), 0700u);
    EXPECT_TRUE(IsOwnPrivateFolder(made));
    EXPECT_EQ(GetZelTempFolder(), folder) << "one folder for the run";

    ASSERT_TRUE(WriteOwnFile(folder / "crashbox-1.txt", "report"));
    EXPECT_EQ(ModeOf(folder / "crashbox-1.txt"), 0600u);
    DeleteZelTempFolder();
    EXPECT_FALSE(fs::exists(made));
    ExpectVictimUntouched();
    EXPECT_TRUE(fs::is_symlink(fixed));
}

TEST_F(TempFolderTest, AFolderThatStoppedBeingOursIsNotHandedOutAgain) {
    const fs::path first = GetZelTempFolder().parent_path();
    ASSERT_FALSE(first.empty());
    // Opened to others (or swapped for a link): a new folder is made.
    fs::permissions(first, fs::perms::all);
    const fs::path second = GetZelTempFolder().parent_path();
    EXPECT_NE(second, first);
    EXPECT_TRUE(IsOwnPrivateFolder(second));
    fs::remove(first);
    fs::create_directory_symlink(victim_, first);
    const fs::path third = GetZelTempFolder();
    EXPECT_EQ(third.parent_path(), second);
    WriteOwnFile(third / "screenShot.bmp", "BM");
    ExpectVictimUntouched();
}

TEST_F(TempFolderTest, LeftoversOfEndedRunsGoButNothingElseAtTheirNames) {
    const std::string ended = "crashreport_tests.zelExcept-" + std::to_string(EndedProcessId()) + "-";
    const std::string alive = "crashreport_tests.zelExcept-" + std::to_string(OwnProcessId()) + "-";
    // What an ended run of ours left: removed.
    const fs::path leftover = Temp() / (ended + "AAAAAA");
    fs::create_directory(leftover);
    fs::permissions(leftover, fs::perms::owner_all, fs::perm_options::replace);
    test_support::WriteWholeFile((leftover / "report.zip").string(), "x");
    // A running instance's folder: kept.
    const fs::path running = Temp() / (alive + "BBBBBB");
    fs::create_directory(running);
    fs::permissions(running, fs::perms::owner_all, fs::perm_options::replace);
    test_support::WriteWholeFile((running / "report.zip").string(), "x");
    // Planted by others: a link, a file, a folder open to all.
    fs::create_directory_symlink(victim_, Temp() / (ended + "CCCCCC"));
    test_support::WriteWholeFile((Temp() / (ended + "DDDDDD")).string(), "a file");
    const fs::path open_folder = Temp() / (ended + "EEEEEE");
    fs::create_directory(open_folder);
    fs::permissions(open_folder, fs::perms::all, fs::perm_options::replace);
    test_support::WriteWholeFile((open_folder / "theirs.txt").string(), "theirs");
    // Another user's folder, as only root can make one here.
    fs::path foreign;
    if (test_support::IsRoot()) {
        foreign = Temp() / (ended + "FFFFFF");
        fs::create_directory(foreign);
        fs::permissions(foreign, fs::perms::owner_all, fs::perm_options::replace);
        test_support::WriteWholeFile((foreign / "theirs.txt").string(), "theirs");
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown((foreign / "theirs.txt").c_str(), 65534, 65534), 0);
    }

    DeleteFoldersOfEndedRuns();
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_TRUE(fs::exists(running / "report.zip"));
    EXPECT_TRUE(fs::is_symlink(Temp() / (ended + "CCCCCC")));
    EXPECT_EQ(test_support::ReadWholeFile((Temp() / (ended + "DDDDDD")).string()), "a file");
    EXPECT_EQ(test_support::ReadWholeFile((open_folder / "theirs.txt").string()), "theirs");
    if (!foreign.empty()) {
        EXPECT_EQ(test_support::ReadWholeFile((foreign / "theirs.txt").string()), "theirs");
    }

    // Removing a folder by name checks the same way.
    DeleteFolderTree(Temp() / (ended + "CCCCCC"));
    DeleteFolderTree(open_folder);
    if (!foreign.empty()) DeleteFolderTree(foreign);
    ExpectVictimUntouched();
    EXPECT_TRUE(fs::exists(open_folder / "theirs.txt"));
    if (!foreign.empty()) {
        EXPECT_TRUE(fs::exists(foreign / "theirs.txt"));
    }
}

TEST_F(TempFolderTest, FilesAreTheUsersAloneAndNeverWrittenThroughALink) {
    const fs::path folder = GetZelTempFolder();
    ASSERT_FALSE(folder.empty());
    // An archive and a plain file, new and over an older one of mode 0644.
    test_support::WriteWholeFile((folder / "bugreport.txt").string(), "report text");
    ASSERT_TRUE(WriteZipArchive(folder / "bugreport.zip", {folder / "bugreport.txt"}, {"bugreport.txt"}));
    EXPECT_EQ(ModeOf(folder / "bugreport.zip"), 0600u);
    test_support::WriteWholeFile((folder / "old.txt").string(), "old");
    fs::permissions(folder / "old.txt", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                            fs::perms::others_read,
                    fs::perm_options::replace);
    ASSERT_TRUE(WriteOwnFile(folder / "old.txt", "new"));
    EXPECT_EQ(ModeOf(folder / "old.txt"), 0600u);
    EXPECT_EQ(test_support::ReadWholeFile((folder / "old.txt").string()), "new");
    // A link at the name is refused, for a file and for an archive.
    fs::create_symlink(victim_ / "keep.txt", folder / "linked.txt");
    EXPECT_FALSE(WriteOwnFile(folder / "linked.txt", "overwritten"));
    EXPECT_FALSE(WriteZipArchive(folder / "linked.txt", {folder / "bugreport.txt"}, {"bugreport.txt"}));
    ExpectVictimUntouched();
}

}  // namespace
}  // namespace crashreport
