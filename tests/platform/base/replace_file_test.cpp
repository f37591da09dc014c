// Replacing a file only once its new content is complete.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/base/ini_file.h"
#include "platform/base/replace_file.h"
#include "platform/base/win_error.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using platform::FileReplacement;
using test_support::ReadWholeFile;
using test_support::WriteWholeFile;

namespace {

std::size_t EntriesIn(const fs::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder)) ++count;
    return count;
}

TEST(FileReplacement, TakesTheOldNameAndModeOnlyWhenCommitted) {
    test_support::TempDir dir;
    const std::string target = dir.file("state.ini");
    WriteWholeFile(target, "old");
    ::chmod(target.c_str(), 0640);
    {
        FileReplacement replacement(target);
        ASSERT_TRUE(replacement);
        // Hidden, beside the target, with its extension.
        EXPECT_EQ(fs::path(replacement.path()).parent_path(), dir.path());
        EXPECT_EQ(fs::path(replacement.path()).filename().string()[0], '.');
        EXPECT_EQ(fs::path(replacement.path()).extension(), ".ini");
        ASSERT_TRUE(replacement.write("new content"));
        EXPECT_EQ(ReadWholeFile(target), "old");  // not before the commit
        ASSERT_TRUE(replacement.commit());
    }
    EXPECT_EQ(ReadWholeFile(target), "new content");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(FileReplacement, LeavesTheOldFileWhenTheWriterFails) {
    test_support::TempDir dir;
    const std::string target = dir.file("image.vhd");
    WriteWholeFile(target, "old image");
    // Our own writes, cut short by an exception.
    try {
        FileReplacement replacement(target);
        ASSERT_TRUE(replacement.write("half of the new"));
        throw std::runtime_error("the copy failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(ReadWholeFile(target), "old image");
    EXPECT_EQ(EntriesIn(dir.path()), 1u);

    // A writer by name that wrote something and then gave up.
    {
        FileReplacement replacement(target, FileReplacement::Start::NameOnly);
        ASSERT_TRUE(replacement);
        EXPECT_FALSE(fs::exists(replacement.path()));
        WriteWholeFile(replacement.path(), "partial");
    }
    EXPECT_EQ(ReadWholeFile(target), "old image");
    EXPECT_EQ(EntriesIn(dir.path()), 1u);

    // A writer by name that never made its file: nothing to commit.
    FileReplacement never_written(target, FileReplacement::Start::NameOnly);
    EXPECT_FALSE(never_written.commit());
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadWholeFile(target), "old image");
}

TEST(FileReplacement, NameOnlyCommitsWhatTheWriterMade) {
    test_support::TempDir dir;
    const std::string target = dir.file("new.wim");  // no old file at all
    FileReplacement replacement(target, FileReplacement::Start::NameOnly);
    ASSERT_TRUE(replacement);
    EXPECT_EQ(replacement.fd(), -1);
    WriteWholeFile(replacement.path(), "made by a tool");
    ASSERT_TRUE(replacement.commit());
    EXPECT_EQ(ReadWholeFile(target), "made by a tool");
    EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(FileReplacement, FailsCleanlyWhereTheFolderIsMissing) {
    test_support::TempDir dir;
    EXPECT_FALSE(platform::ReplaceFileContents(dir.file("no/such/folder.ini"), "x"));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(platform::IniFile().Save(dir.file("missing/config.ini")));
}

// A full disk is the writer failure that happens for real: the old settings
// must survive it, not be cut to what fitted.
TEST(FileReplacement, KeepsTheOldFileWhenTheDiskIsFull) {
    if (!test_support::IsRoot()) GTEST_SKIP() << "mounting needs root";
    test_support::TempDir dir;
    const std::string small = dir.file("small");
    fs::create_directory(small);
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k"), 0);
    const std::string target = small + "/config.ini";
    platform::IniFile before;
    before.Set("main", "key", "old value");
    ASSERT_TRUE(before.Save(target));
    const std::string old_text = ReadWholeFile(target);

    platform::IniFile huge;
    huge.Set("main", "key", std::string(256 << 10, 'x'));
    EXPECT_FALSE(huge.Save(target));
    EXPECT_EQ(ReadWholeFile(target), old_text);
    EXPECT_EQ(EntriesIn(small), 1u);
    ::umount2(small.c_str(), MNT_DETACH);
}

TEST(RenameWithoutReplacing, MovesToAFreeNameOnlyAndKeepsATakenOne) {
    test_support::TempDir dir;
    const std::string from = dir.file("a.img"), free_name = dir.file("a.vhd"), taken = dir.file("b.vhd");
    WriteWholeFile(from, "image");
    WriteWholeFile(taken, "someone else");
    EXPECT_FALSE(platform::RenameWithoutReplacing(from, taken));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_EXISTS);
    EXPECT_EQ(ReadWholeFile(taken), "someone else");
    EXPECT_EQ(ReadWholeFile(from), "image");
    ASSERT_TRUE(platform::RenameWithoutReplacing(from, free_name));
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ(ReadWholeFile(free_name), "image");
    EXPECT_FALSE(platform::RenameWithoutReplacing(dir.file("absent"), dir.file("other")));
}

// The new file takes the name; the old one stays as the backup, and a
// backup from before goes only once both stand.
TEST(FileReplacementKeepingOld, SwapsInTheNewFileAndKeepsTheOldOne) {
    for (const bool earlier_backup : {false, true}) {
        SCOPED_TRACE(earlier_backup ? "with an earlier backup" : "without a backup");
        test_support::TempDir dir;
        const std::string target = dir.file("SYSTEM"), backup = dir.file("SYSTEM.old");
        WriteWholeFile(target, "unchanged hive");
        if (earlier_backup) WriteWholeFile(backup, "hive of the run before");
        FileReplacement replacement(target, FileReplacement::Start::NameOnly);
        WriteWholeFile(replacement.path(), "changed hive");
        std::string leftover = "(none)";
        ASSERT_TRUE(replacement.commit_keeping_old(backup, &leftover));
        EXPECT_EQ(ReadWholeFile(target), "changed hive");
        EXPECT_EQ(ReadWholeFile(backup), "unchanged hive");
        EXPECT_EQ(leftover, "(none)");
        EXPECT_EQ(EntriesIn(dir.path()), 2u);
    }
}

// What cannot be done leaves every file as it was and no temporary behind.
TEST(FileReplacementKeepingOld, RefusesWhatItCannotSwapAndChangesNothing) {
    struct Case {
        const char* name;
        std::function<void(const std::string& target, const std::string& backup)> prepare;
        platform::DWORD error;
    };
    const Case cases[] = {
        {"backup name taken by a folder",
         [](const std::string& target, const std::string& backup) {
             WriteWholeFile(target, "unchanged hive");
             fs::create_directory(backup);
             WriteWholeFile(backup + "/inside", "someone's file");
         },
         platform::ERROR_ACCESS_DENIED},
        {"no target", [](const std::string&, const std::string&) {}, platform::ERROR_FILE_NOT_FOUND},
        {"target is a folder", [](const std::string& target, const std::string&) { fs::create_directory(target); },
         platform::ERROR_ACCESS_DENIED},
        {"backup is the target", [](const std::string& target, const std::string&) { WriteWholeFile(target, "x"); },
         platform::ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::TempDir dir;
        const std::string target = dir.file("SYSTEM");
        const std::string backup = std::string(c.name) == "backup is the target" ? target : dir.file("SYSTEM.old");
        c.prepare(target, backup);
        const std::size_t entries = EntriesIn(dir.path());
        FileReplacement replacement(target, FileReplacement::Start::NameOnly);
        WriteWholeFile(replacement.path(), "changed hive");
        EXPECT_FALSE(replacement.commit_keeping_old(backup));
        EXPECT_EQ(platform::GetLastError(), c.error);
        EXPECT_EQ(EntriesIn(dir.path()), entries);
        if (fs::is_regular_file(target)) {
            EXPECT_NE(ReadWholeFile(target), "changed hive");
        }
        if (fs::is_directory(backup)) {
            EXPECT_EQ(ReadWholeFile(backup + "/inside"), "someone's file");
        }
    }
}

// A rename the file system refuses, at each of the two steps: what the
// steps before it moved is put back.
TEST(FileReplacementKeepingOld, PutsBackWhatItMovedWhenARenameFails) {
    if (!test_support::IsRoot() || !test_support::HaveTool("chattr")) GTEST_SKIP() << "needs root and chattr";
    for (const bool fail_last : {false, true}) {
        SCOPED_TRACE(fail_last ? "the new file cannot take the name" : "the old file cannot be moved");
        test_support::TempDir dir;
        const std::string target = dir.file("SYSTEM"), backup = dir.file("SYSTEM.old");
        WriteWholeFile(target, "unchanged hive");
        WriteWholeFile(backup, "hive of the run before");
        FileReplacement replacement(target, FileReplacement::Start::NameOnly);
        WriteWholeFile(replacement.path(), "changed hive");
        // An immutable file can be neither renamed nor removed, not even by root.
        const std::string pinned = fail_last ? replacement.path() : target;
        if (test_support::Run("chattr +i " + test_support::Quote(pinned)).exit_code != 0)
            GTEST_SKIP() << "this file system has no immutable files";
        const bool swapped = replacement.commit_keeping_old(backup);
        const platform::DWORD error = platform::GetLastError();
        test_support::Run("chattr -i " + test_support::Quote(pinned));
        EXPECT_FALSE(swapped);
        EXPECT_EQ(error, platform::ERROR_ACCESS_DENIED);
        EXPECT_EQ(ReadWholeFile(target), "unchanged hive");
        EXPECT_EQ(ReadWholeFile(backup), "hive of the run before");
        // Only the pinned temporary, which nothing could remove, is left over.
        EXPECT_EQ(EntriesIn(dir.path()), fail_last ? 3u : 2u);
    }
}

}  // namespace
