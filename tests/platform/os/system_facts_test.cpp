// What the code above the platform may ask about files, the program and the
// machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/os/file_facts.h"
#include "platform/os/system_facts.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using platform::FileKind;

namespace {

TEST(FileFacts, TellOneFileUnderTwoNamesFromTwoFiles) {
    test_support::TempDir dir;
    const std::string file = dir.file("image.img"), hard = dir.file("hard.img"), copy = dir.file("copy.img"),
                      link = dir.file("link.img");
    test_support::WriteWholeFile(file, "12345");
    fs::create_hard_link(file, hard);
    fs::copy_file(file, copy);
    fs::create_symlink(file, link);

    const auto original = platform::FileFactsOf(file);
    ASSERT_TRUE(original);
    EXPECT_EQ(original->kind, FileKind::Regular);
    EXPECT_EQ(original->size, 5);
    EXPECT_TRUE(original->same_file(*platform::FileFactsOf(hard)));
    EXPECT_TRUE(original->same_file(*platform::FileFactsOf(link)));
    EXPECT_FALSE(original->same_file(*platform::FileFactsOf(copy)));

    EXPECT_EQ(platform::LinkFactsOf(link)->kind, FileKind::Link);
    EXPECT_EQ(platform::FileFactsOf(dir.path().string())->kind, FileKind::Folder);
    EXPECT_EQ(platform::FileFactsOf("/dev/null")->kind, FileKind::CharacterDevice);
    EXPECT_FALSE(platform::FileFactsOf(dir.file("missing")));
    EXPECT_FALSE(platform::FileFactsOf(""));
}

TEST(FileFacts, TheRealPathSeesThroughLinksAndDots) {
    test_support::TempDir dir;
    const std::string root = platform::RealPathOf(dir.path().string()).value();  // TMPDIR may itself be a link
    fs::create_directories(dir.file("a/b"));
    test_support::WriteWholeFile(dir.file("a/b/file"), "x");
    fs::create_symlink(dir.file("a/b/file"), dir.file("link"));
    fs::create_symlink(dir.file("a/b/gone"), dir.file("dangling"));
    EXPECT_EQ(platform::RealPathOf(dir.file("link")), root + "/a/b/file");
    EXPECT_EQ(platform::RealPathOf(dir.file("a/b/../b/./file")), root + "/a/b/file");
    EXPECT_EQ(platform::RealPathOf(dir.file("a/")), root + "/a");
    EXPECT_FALSE(platform::RealPathOf(dir.file("dangling")));
    EXPECT_FALSE(platform::RealPathOf(dir.file("missing")));
    EXPECT_FALSE(platform::RealPathOf(""));
}

TEST(FileFacts, ABlockDeviceSaysWhichDeviceItStandsFor) {
    for (const auto& entry : fs::directory_iterator("/dev")) {
        const auto facts = platform::FileFactsOf(entry.path().string());
        if (!facts || !facts->is_block_device()) continue;
        EXPECT_NE(facts->device, 0u) << entry.path();
        return;
    }
    GTEST_SKIP() << "no block device node to look at";
}

TEST(SystemFacts, NameTheRunningProgramAndTheMachine) {
    EXPECT_EQ(fs::path(platform::ExecutablePath()).filename(), "platform_tests");
    EXPECT_GT(platform::ProcessId(), 0);
    EXPECT_FALSE(platform::MachineArchitecture().empty());
    EXPECT_NE(platform::ProcessorDescription().find("processor"), std::string::npos);
}

}  // namespace
