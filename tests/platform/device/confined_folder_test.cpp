// Reading a file below a folder that may never be left: only a regular file
// reached without a symbolic link is opened, and what is not one (a FIFO,
// a device node) is refused without being opened at all.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/device/confined_folder.h"
#include "support/case_name.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using test_support::TempDir;

struct Below {
    const char* name;
    // Lays out `inner` (the confined folder) and what lies beside it in `outer`.
    std::function<void(const std::string& outer, const std::string& inner)> make;
    std::vector<std::string> components;
    platform::DWORD error;  // 0: opened
};

class OpenFileBelow : public ::testing::TestWithParam<Below> {};

TEST_P(OpenFileBelow, OpensOnlyARegularFileReachedWithoutALink) {
    const Below& c = GetParam();
    TempDir dir;
    const std::string outer = dir.path().string(), inner = dir.file("inner");
    fs::create_directories(inner + "/sub");
    test_support::WriteWholeFile(outer + "/secret", "secret");
    c.make(outer, inner);
    const auto folder = platform::ConfinedFolder::Open(inner);
    ASSERT_TRUE(folder);
    platform::Handle file = folder.OpenFileBelow(c.components);
    if (c.error != 0) {
        EXPECT_FALSE(file);
        EXPECT_EQ(platform::GetLastError(), c.error);
        return;
    }
    ASSERT_TRUE(file) << platform::GetLastError();
    char bytes[4] = {};
    std::size_t done = 0;
    ASSERT_TRUE(platform::ReadAt(file, 0, bytes, sizeof bytes, &done));
    EXPECT_EQ(std::string(bytes, done), "mine");
    EXPECT_FALSE(platform::WriteAt(file, 0, "x", 1, &done));
}

INSTANTIATE_TEST_SUITE_P(
    ConfinedFolder, OpenFileBelow,
    ::testing::Values(
        Below{"ARegularFile", [](auto&, auto& inner) { test_support::WriteWholeFile(inner + "/sub/f", "mine"); },
              {"sub", "f"}, 0},
        Below{"ALinkToAFileOutside", [](auto& outer, auto& inner) { fs::create_symlink(outer + "/secret", inner + "/f"); },
              {"f"}, platform::ERROR_ACCESS_DENIED},
        Below{"ALinkToAFileInside",
              [](auto&, auto& inner) {
                  test_support::WriteWholeFile(inner + "/g", "mine");
                  fs::create_symlink("g", inner + "/f");
              },
              {"f"}, platform::ERROR_ACCESS_DENIED},
        Below{"AFolderOnTheWayThatIsALink",
              [](auto& outer, auto& inner) {
                  fs::create_directory(outer + "/elsewhere");
                  test_support::WriteWholeFile(outer + "/elsewhere/f", "mine");
                  fs::create_directory_symlink(outer + "/elsewhere", inner + "/away");
              },
              {"away", "f"}, platform::ERROR_ACCESS_DENIED},
        // A FIFO's open would wait for a writer that never comes.
        Below{"AFifo", [](auto&, auto& inner) { ASSERT_EQ(::mkfifo((inner + "/f").c_str(), 0600), 0); }, {"f"},
              platform::ERROR_ACCESS_DENIED},
        Below{"AFolder", [](auto&, auto&) {}, {"sub"}, platform::ERROR_ACCESS_DENIED},
        Below{"NothingThere", [](auto&, auto&) {}, {"f"}, platform::ERROR_FILE_NOT_FOUND},
        Below{"AClimbOut", [](auto&, auto&) {}, {"..", "secret"}, platform::ERROR_INVALID_NAME}),
    test_support::CaseName());

}  // namespace
