// Copy Files from a volume of the embedded host to a folder: what a tree
// holds beyond its bytes arrives (hard links, symbolic links, holes,
// extended attributes), the same tree twice is refused before anything
// starts, a failing archiver is a failed copy, and cancel stops both.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "main/operations/copy_files.h"
#include "platform/base/interaction.h"
#include "platform/device/registry.h"
#include "support/copy_doubles.h"
#include "support/embedded_machine.h"
#include "support/test_support.h"
#include "support/volume_fixtures.h"

namespace {

namespace fs = std::filesystem;
using tarnovell::CopyFilesResult;
using tarnovell::CopyVolumeFiles;
using test_support::Quote;
// (test_support::Run by its full name: the fixture has a Run of its own.)

class CopyFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::IsRoot()) GTEST_SKIP() << "needs root: the volume is mounted for the copy";
        if (!test_support::HaveTool("setfattr") || !test_support::HaveTool("getfattr"))
            GTEST_SKIP() << "needs setfattr/getfattr";
        const std::string tree = Quote(tree_.path().string());
        // A file with an attribute, a hard link to it, a symbolic link, a
        // file of mostly hole and a folder of its own.
        ASSERT_EQ(test_support::Run("cd " + tree + " && printf 'plain bytes' > a && ln a b && ln -s a c && mkdir d && "
                      "printf deep > d/e && truncate -s 3M s && printf tail >> s && "
                      "setfattr -n user.tag -v blue a")
                      .exit_code,
                  0);
        machine_ = std::make_unique<test_support::EmbeddedMachine>(std::vector{test_support::OnePartitionDisk(
            16, "mkfs.ext4 -q -F -E offset=%o -d " + tree + " %s %nk")});
        auto snap = platform::device::Registry::instance().snapshot();
        ASSERT_EQ(snap->volumes.size(), 1u);
        letter_ = std::string(1, snap->volumes[0].letter) + ":";
        context_.interaction = &ui_;
        context_.status = &posts_;
        context_.cancel = &cancel_;
    }

    std::vector<std::string> statuses() const { return posts_.texts(platform::OperationKind::Status); }
    bool said_done() const {
        for (const auto& s : statuses())
            if (s == tarnovell::kCopyFilesDone) return true;
        return false;
    }

    test_support::TempDir tree_, target_;
    std::unique_ptr<test_support::EmbeddedMachine> machine_;
    std::string letter_;
    platform::ScriptedInteraction ui_;
    test_support::RecordedPosts posts_;
    std::atomic<bool> cancel_{false};
    disk::OperationContext context_;
};

TEST_F(CopyFiles, CarriesLinksHolesAndAttributes) {
    ui_.answer_confirm(true);
    const std::string to = target_.path().string();
    ASSERT_EQ(CopyVolumeFiles(letter_, to, context_), CopyFilesResult::Done);
    ASSERT_FALSE(ui_.log().empty());
    EXPECT_EQ(ui_.log().front().text, "Copy " + letter_ + " to " + to + "?");
    EXPECT_TRUE(said_done());
    EXPECT_EQ(test_support::Run("diff -r --no-dereference --exclude=lost+found " + Quote(tree_.path().string()) + " " + Quote(to))
                  .exit_code,
              0);
    EXPECT_EQ(fs::read_symlink(target_.file("c")), "a");
    EXPECT_EQ(fs::hard_link_count(target_.file("a")), 2u);
    EXPECT_TRUE(fs::equivalent(target_.file("a"), target_.file("b")));
    EXPECT_EQ(test_support::Run("cd " + Quote(to) + " && getfattr --only-values -n user.tag a").output, "blue");
    // The hole stays a hole: far less is allocated than the file's length.
    EXPECT_EQ(fs::file_size(target_.file("s")), (3u << 20) + 4);
    EXPECT_LT(std::stoll(test_support::Run("du -k " + Quote(target_.file("s")) + " | cut -f1").output), 512);
}

TEST_F(CopyFiles, TheSameTreeTwiceIsRefusedBeforeAsking) {
    const std::string inside = target_.file("inside");
    fs::create_directory(inside);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {letter_, "\\\\.\\" + letter_},            // one volume under two names
        {target_.path().string(), inside},          // a folder inside the source
        {target_.path().string(), target_.path().string()},
    };
    for (const auto& [from, to] : cases) {
        EXPECT_EQ(CopyVolumeFiles(from, to, context_), CopyFilesResult::Refused) << from << " -> " << to;
        ASSERT_FALSE(ui_.log().empty());
        EXPECT_EQ(ui_.log().back().kind, platform::ScriptedInteraction::Exchange::Inform);
        EXPECT_EQ(ui_.log().back().text, tarnovell::kCopyFilesSameSource);
    }
    for (const auto& exchange : ui_.log()) EXPECT_NE(exchange.kind, platform::ScriptedInteraction::Exchange::Confirm);
    EXPECT_FALSE(said_done());
}

TEST_F(CopyFiles, NoIsTheEndAndAFailingArchiverIsAFailedCopy) {
    ui_.answer_confirm(false);
    EXPECT_EQ(CopyVolumeFiles(letter_, target_.path().string(), context_), CopyFilesResult::Declined);
    EXPECT_TRUE(fs::is_empty(target_.path()));

    // A folder full where a file must go: the unpacking side cannot write it.
    fs::create_directories(target_.file("a/x"));
    ui_.answer_confirm(true);
    EXPECT_EQ(CopyVolumeFiles(letter_, target_.path().string(), context_), CopyFilesResult::Failed);
    EXPECT_FALSE(said_done());
    EXPECT_NE(ui_.texts().back().find("Copyfile failed"), std::string::npos) << ui_.texts().back();
}

// mount(8) says why on one line and where to read more on the next: both
// reach the person.
TEST_F(CopyFiles, AVolumeThatCannotBeMountedSaysWhy) {
    // An ext4 volume whose superblock no longer matches its checksum: still
    // ext4 to a probe, refused by the kernel.
    test_support::DiskSpec spec =
        test_support::OnePartitionDisk(16, "mkfs.ext4 -q -F -O metadata_csum -E offset=%o %s %nk");
    spec.prepare.push_back("printf X | dd of=%s bs=1 seek=" +
                           std::to_string(test_support::kVolumeStart + 1024 + 0x78) + " conv=notrunc status=none");
    machine_.reset();
    machine_ = std::make_unique<test_support::EmbeddedMachine>(std::vector{spec});
    auto snap = platform::device::Registry::instance().snapshot();
    ASSERT_EQ(snap->volumes.size(), 1u);
    ASSERT_EQ(snap->volumes[0].filesystem, "ext4");
    const std::string letter = std::string(1, snap->volumes[0].letter) + ":";
    ui_.answer_confirm(true);
    EXPECT_EQ(CopyVolumeFiles(letter, target_.path().string(), context_), CopyFilesResult::Failed);
    const std::string said = ui_.texts().back();
    EXPECT_NE(said.find("could not be mounted: mount: "), std::string::npos) << said;
    EXPECT_NE(said.find("dmesg(1)"), std::string::npos) << said;
    EXPECT_TRUE(fs::is_empty(target_.path()));
}

TEST_F(CopyFiles, CancelStopsBothArchivers) {
    ui_.answer_confirm(true);
    cancel_ = true;
    EXPECT_EQ(CopyVolumeFiles(letter_, target_.path().string(), context_), CopyFilesResult::Cancelled);
    EXPECT_FALSE(said_done());
}

}  // namespace
