// The temporary-folder rule and scratch folders.
#include <gtest/gtest.h>

#include <sys/mount.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/base/win_error.h"
#include "platform/os/temp_folder.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using platform::ScratchFolder;

namespace {

TEST(TemporaryFolder, IsTmpdirOnlyWhenItCanBeWrittenInto) {
    test_support::TempDir scratch;
    const std::string usable = scratch.path().string();
    const std::string file = scratch.file("plain");
    test_support::WriteWholeFile(file, "x");
    const std::string read_only = scratch.file("read-only");
    fs::create_directory(read_only);
    fs::permissions(read_only, fs::perms::owner_read | fs::perms::owner_exec);

    struct Case {
        std::optional<std::string> tmpdir;
        std::string expected;
    };
    const Case cases[] = {
        {usable, usable},
        {usable + "//", usable},
        {std::nullopt, "/tmp"},
        {"", "/tmp"},
        {usable + "/missing", "/tmp"},
        {file, "/tmp"},
    };
    for (const Case& c : cases) {
        test_support::ScopedEnvironment tmpdir("TMPDIR", c.tmpdir ? c.tmpdir->c_str() : nullptr);
        EXPECT_EQ(platform::TemporaryFolder(), c.expected) << c.tmpdir.value_or("(unset)");
    }
    if (!test_support::IsRoot()) {  // root writes anywhere
        test_support::ScopedEnvironment tmpdir("TMPDIR", read_only.c_str());
        EXPECT_EQ(platform::TemporaryFolder(), "/tmp");
    }
}

TEST(ScratchFolder, IsPrivateAndGoesWithEverythingInIt) {
    test_support::TempDir parent;
    std::string path;
    {
        ScratchFolder folder = ScratchFolder::Create("unit-", parent.path().string());
        ASSERT_TRUE(folder);
        path = folder.path();
        EXPECT_EQ(fs::path(path).parent_path(), parent.path());
        EXPECT_EQ(fs::path(path).filename().string().rfind("unit-", 0), 0u);
        EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_all);
        fs::create_directories(folder.file("a/b"));
        test_support::WriteWholeFile(folder.file("a/b/c"), "data");
        fs::create_symlink("/", folder.file("link-to-root"));  // followed, it would take everything
        ScratchFolder moved = std::move(folder);
        EXPECT_FALSE(folder);
        EXPECT_TRUE(fs::exists(path));
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::exists("/tmp"));
}

TEST(ScratchFolder, ReleasedStays) {
    test_support::TempDir parent;
    std::string kept;
    {
        ScratchFolder folder = ScratchFolder::Create("kept-", parent.path().string());
        ASSERT_TRUE(folder);
        kept = folder.release();
    }
    EXPECT_TRUE(fs::is_directory(kept));
}

TEST(ScratchFolder, FailsWithAnErrorWhereNoFolderCanBeMade) {
    ScratchFolder folder = ScratchFolder::Create("x-", "/nonexistent-parent-folder");
    EXPECT_FALSE(folder);
    EXPECT_NE(platform::GetLastError(), platform::ERROR_SUCCESS);
}

// A file system mounted inside a scratch folder (a remount on its way back,
// a FUSE server's file) must come out of the clean-up untouched.
TEST(ScratchFolder, LeavesAMountInsideItAlone) {
    if (!test_support::IsRoot()) GTEST_SKIP() << "mounting needs root";
    test_support::TempDir parent;
    ScratchFolder folder = ScratchFolder::Create("mounted-", parent.path().string());
    ASSERT_TRUE(folder);
    const std::string root = folder.path();
    const std::string inside = folder.file("mnt");
    fs::create_directory(inside);
    ASSERT_EQ(::mount("tmpfs", inside.c_str(), "tmpfs", 0, "size=1m"), 0);
    test_support::WriteWholeFile(inside + "/precious", "keep me");
    test_support::WriteWholeFile(folder.file("ours"), "scratch");

    EXPECT_FALSE(folder.remove());
    EXPECT_EQ(test_support::ReadWholeFile(inside + "/precious"), "keep me");
    EXPECT_FALSE(fs::exists(root + "/ours"));  // what is ours went all the same
    ASSERT_EQ(::umount2(inside.c_str(), MNT_DETACH), 0);
    EXPECT_TRUE(platform::RemoveTreeOnOneFileSystem(root));
    EXPECT_FALSE(fs::exists(root));
}

}  // namespace
