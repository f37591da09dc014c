// The format and check-disk component over the fmifs stand-in, on volumes of
// image files: the lines a window shows, the results, Cancel, one run at a
// time per component, and components on two threads kept apart.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "disk/fmtchk/magfmtchkdsk.h"
#include "platform/device/handle.h"
#include "platform/device/registry.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"
#include "support/volume_fixtures.h"

namespace {

using disk::FmtChkException;
using disk::TMagFmtChkDsk;
using test_support::EmbeddedMachine;
using test_support::OnePartitionDisk;
using test_support::Quote;


struct Listener {
    std::vector<std::string> lines;
    std::vector<int> percents;
    void attach(TMagFmtChkDsk& c) {
        c.onInfoEvent = [this](const std::string& text, bool&) { lines.push_back(text); };
        c.onProgressEvent = [this](int percent, bool&) { percents.push_back(percent); };
    }
    bool has(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
    std::string all() const {
        std::string text;
        for (const auto& line : lines) text += line + "\n";
        return text;
    }
};

std::string RootOf(int disk) {
    auto snap = platform::device::Registry::instance().snapshot();
    auto volumes = snap->volumes_of(disk);
    EXPECT_EQ(volumes.size(), 1u);
    return volumes.empty() ? "" : std::string{volumes[0]->letter, ':', '\\'};
}

class FmtChk : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::IsRoot()) GTEST_SKIP() << "needs root: the tools work on a loop device";
    }
};

TEST(FmtChkClusterSize, OnlyTheSizesTheLibraryTakes) {
    for (int size : {512, 1024, 2048, 4096, 8192, 16384, 32768, 65536})
        EXPECT_EQ(TMagFmtChkDsk::ClusterSizeFor(size), size);
    for (int size : {0, 256, 3000, 131072, 262144, -512}) EXPECT_EQ(TMagFmtChkDsk::ClusterSizeFor(size), 0);
}

TEST_F(FmtChk, FormatsAnUnformattedVolumeAndSaysSoLineByLine) {
    EmbeddedMachine machine({OnePartitionDisk(8)});
    const std::string root = RootOf(0);
    TMagFmtChkDsk c;
    Listener heard;
    heard.attach(c);
    ASSERT_TRUE(c.RunFormat(root, 0, 131072, true, "noname", 1)) << heard.all();
    const std::vector<std::string> first = {root + " Appears to be Unformatted or No Drive",
                                            root + " Starting to Format Drive"};
    ASSERT_GE(heard.lines.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(heard.lines.begin(), heard.lines.begin() + 2), first);
    EXPECT_TRUE(heard.has("Format Disk: Structure Created OK"));
    EXPECT_TRUE(heard.has("Format Disk: Finished OK"));
    EXPECT_TRUE(heard.has(root + " Volume Label: NONAME, File System: FAT")) << heard.all();
    EXPECT_EQ(heard.lines.back().rfind(root + " New Volume Space: ", 0), 0u) << heard.all();
    auto probed = test_support::ProbeRegion(machine.image(0), test_support::kVolumeStart, 8 << 20);
    EXPECT_EQ(probed.type, "vfat");
    EXPECT_EQ(probed.label, "NONAME");

    // A second format looks at what is there first, and takes the volume for itself.
    heard.lines.clear();
    ASSERT_TRUE(c.RunFormat(root, 0, 0, true, "noname", 3)) << heard.all();
    EXPECT_EQ(heard.lines[0], root + " Checking Existing Drive Format");
    EXPECT_EQ(heard.lines[1], root + " Volume Label: NONAME, File System: FAT");
    EXPECT_EQ(test_support::ProbeRegion(machine.image(0), test_support::kVolumeStart, 8 << 20).type, "exfat");
}

TEST_F(FmtChk, UnknownChoicesGiveFalseWithoutTouchingTheVolume) {
    EmbeddedMachine machine({OnePartitionDisk(8)});
    TMagFmtChkDsk c;
    EXPECT_FALSE(c.RunFormat(RootOf(0), 2, 0, true, "x", 1));
    EXPECT_FALSE(c.RunFormat(RootOf(0), 0, 0, true, "x", 5));
    EXPECT_THROW(c.RunFormat("Q", 0, 0, true, "x", 1), FmtChkException);
    EXPECT_EQ(test_support::ProbeRegion(machine.image(0), test_support::kVolumeStart, 8 << 20).type, "");
}

TEST_F(FmtChk, CheckDriveSaysWhatStandsInTheWay) {
    EmbeddedMachine machine({OnePartitionDisk(8, "mkfs.fat -n DATA --offset 2048 %s %n >/dev/null")});
    const std::string root = RootOf(0);
    TMagFmtChkDsk c;
    std::string fs;
    EXPECT_TRUE(c.CheckDrive(root, true, fs));
    EXPECT_EQ(fs, "FAT");
    auto message = [&](const std::string& r, bool exclusive) {
        try {
            c.CheckDrive(r, exclusive, fs);
        } catch (const FmtChkException& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(message("E", false), "Invalid Drive Specification: E");
    EXPECT_EQ(message("Q:\\", false), "Drive Not Found: Q:\\");
    platform::Handle other = platform::CreateFile("\\\\.\\" + root.substr(0, 2), platform::GENERIC_READ,
                                                  platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                  platform::OPEN_EXISTING, 0);
    ASSERT_TRUE(other);
    EXPECT_EQ(message(root, true), "Drive In Use: " + root);
    EXPECT_EQ(message(root, false), "");
}

TEST_F(FmtChk, ACheckThatFindsErrorsIsTrueEvenWhenItCannotFinish) {
    EmbeddedMachine machine({test_support::DamagedFatDisk()});
    TMagFmtChkDsk c;
    Listener heard;
    heard.attach(c);
    EXPECT_TRUE(c.RunCheck(RootOf(0), false, false, false, false));
    EXPECT_TRUE(c.FileSysProblem);
    EXPECT_TRUE(heard.has("Check Disk: Unable to Finish")) << heard.all();
    EXPECT_EQ(c.FirstErrorLine, "Errors found by fsck.fat; nothing was changed: check with Correct Errors to repair them");

    // Repaired, then clean; the first error line is kept across runs.
    EXPECT_TRUE(c.RunCheck(RootOf(0), true, false, false, false));
    EXPECT_TRUE(c.FileSysProblem);
    heard.lines.clear();
    EXPECT_TRUE(c.RunCheck(RootOf(0), false, false, false, true));
    EXPECT_FALSE(c.FileSysProblem);
    EXPECT_TRUE(heard.has("Check Disk: Finished OK")) << heard.all();
    EXPECT_EQ(c.FirstErrorLine, "Errors found by fsck.fat; nothing was changed: check with Correct Errors to repair them");
}

TEST_F(FmtChk, CancelOnTheFirstLineStopsTheFormatAndItsTool) {
    EmbeddedMachine machine({OnePartitionDisk(8)});
    test_support::WaitingTool mkfs("mkfs.fat");
    TMagFmtChkDsk c;
    std::vector<std::string> lines;
    c.onInfoEvent = [&](const std::string& text, bool& cancel) {
        lines.push_back(text);
        cancel = true;
    };
    EXPECT_FALSE(c.RunFormat(RootOf(0), 0, 0, true, "x", 1));
    EXPECT_EQ(lines.back(), "Format Disk: Unable to Finish");
    EXPECT_FALSE(mkfs.still_running());
}

TEST_F(FmtChk, OneRunAtATimePerComponent) {
    EmbeddedMachine machine({OnePartitionDisk(8, "mkfs.fat --offset 2048 %s %n >/dev/null")});
    const std::string root = RootOf(0);
    TMagFmtChkDsk c;
    std::string refused;
    c.onInfoEvent = [&](const std::string&, bool&) {
        if (!refused.empty() || !c.running()) return;
        try {
            c.RunCheck(root, false, false, false, false);
        } catch (const FmtChkException& e) {
            refused = e.what();
        }
    };
    EXPECT_TRUE(c.RunCheck(root, false, false, false, false));
    EXPECT_EQ(refused, "Format or Check Disk already running");
    EXPECT_FALSE(c.running());
}

TEST_F(FmtChk, ComponentsOnTwoThreadsHearOnlyTheirOwnRun) {
    const auto fat = OnePartitionDisk(8, "mkfs.fat --offset 2048 %s %n >/dev/null");
    EmbeddedMachine machine({fat, fat});
    const std::string first = RootOf(0), second = RootOf(1);
    ASSERT_NE(first, second);
    auto run = [](const std::string& root, std::vector<std::string>& lines, bool& result) {
        TMagFmtChkDsk c;
        c.onInfoEvent = [&](const std::string& text, bool&) { lines.push_back(text); };
        result = c.RunCheck(root, false, false, false, true);
    };
    std::vector<std::string> a, b;
    bool ra = false, rb = false;
    std::thread one(run, first, std::ref(a), std::ref(ra)), two(run, second, std::ref(b), std::ref(rb));
    one.join();
    two.join();
    EXPECT_TRUE(ra);
    EXPECT_TRUE(rb);
    for (const auto& [lines, mine, theirs] : {std::tuple{&a, first, second}, std::tuple{&b, second, first}}) {
        ASSERT_FALSE(lines->empty());
        EXPECT_EQ(lines->back(), "Check Disk: Finished OK");
        for (const auto& line : *lines) EXPECT_EQ(line.find(theirs.substr(0, 2)), std::string::npos) << line;
    }
}

}  // namespace
