// FormatEx and Chkdsk over the file-system tools, on volumes of image files:
// what each format leaves as blkid and the file system's own checker see it,
// a damaged FAT found and repaired, the refusals, and a stop that ends the
// tool.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/base/wide_text.h"
#include "platform/device/handle.h"
#include "platform/device/registry.h"
#include "platform/device/volume_api.h"
#include "platform/fmifs/fmifs.h"
#include "platform/modules/module.h"
#include "support/case_name.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"
#include "support/volume_fixtures.h"

namespace {

using namespace platform::fmifs;
using platform::DWORD;
using test_support::EmbeddedMachine;
using test_support::kVolumeStart;
using test_support::OnePartitionDisk;
using test_support::Quote;

// What the callback was told, and how it answers.
struct Heard {
    std::vector<DWORD> commands;
    std::vector<std::string> lines;
    std::optional<bool> done;
    std::function<bool(DWORD command, const std::string& line)> answer;

    bool saw(DWORD command) const { return std::find(commands.begin(), commands.end(), command) != commands.end(); }
    bool said(const std::string& text) const {
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
};

thread_local Heard* heard = nullptr;

BOOLEAN Listen(CALLBACKCOMMAND command, DWORD, void* argument) {
    heard->commands.push_back(command);
    std::string line;
    if (command == OUTPUT) {
        line = static_cast<TEXTOUTPUT*>(argument)->Output;
        heard->lines.push_back(line);
    }
    if (command == DONE) heard->done = *static_cast<BOOLEAN*>(argument) != 0;
    return !heard->answer || heard->answer(command, line) ? 1 : 0;
}

std::string AllLines(const Heard& h) {
    std::string text;
    for (const auto& line : h.lines) text += line + "\n";
    return text;
}

class Fmifs : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test_support::IsRoot()) GTEST_SKIP() << "needs root: the tools work on a loop device";
    }

    void Use(std::int64_t megabytes, const std::string& mkfs = "") {
        Use(OnePartitionDisk(megabytes, mkfs));
    }
    void Use(const test_support::DiskSpec& disk) {
        machine_ = std::make_unique<EmbeddedMachine>(std::vector{disk});
        megabytes_ = (disk.size >> 20) - 2;
        auto snap = platform::device::Registry::instance().snapshot();
        ASSERT_EQ(snap->volumes.size(), 1u);
        ASSERT_NE(snap->volumes[0].letter, 0);
        root_ = std::string{snap->volumes[0].letter, ':', '\\'};
    }

    Heard Format(const char16_t* file_system, BOOL quick, DWORD cluster = 0, DWORD media = FMIFS_HARDDISK,
                 std::function<bool(DWORD, const std::string&)> answer = {}) {
        Heard h;
        h.answer = std::move(answer);
        heard = &h;
        FormatEx(platform::Utf8ToUtf16(root_).c_str(), media, file_system, u"NONAME", quick, cluster, &Listen);
        heard = nullptr;
        return h;
    }

    Heard Check(bool fix, std::function<bool(DWORD, const std::string&)> answer = {}) {
        Heard h;
        h.answer = std::move(answer);
        heard = &h;
        Chkdsk(platform::Utf8ToUtf16(root_).c_str(), u"", fix, 0, 0, 0, nullptr, nullptr, &Listen);
        heard = nullptr;
        return h;
    }

    std::string image() const { return machine_->image(0); }
    std::int64_t size() const { return megabytes_ << 20; }
    std::string Copy(const std::string& name) const {
        return test_support::CopyRegion(image(), kVolumeStart, size(), machine_->dir().file(name));
    }

    std::unique_ptr<EmbeddedMachine> machine_;
    std::int64_t megabytes_ = 0;
    std::string root_;
};

struct FormatCase {
    const char* name;
    const char16_t* file_system;
    DWORD cluster;
    const char* tool;     // that makes it
    const char* type;     // blkid's
    const char* version;  // blkid's, "" for any
    const char* checker;  // the file system's own, "%s" the volume's bytes; "" for none
    const char* ours;     // what the volume list calls it now; "" when it does not know it
};

class FormatEach : public Fmifs, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatEach, MakesTheFileSystemItsCheckerAccepts) {
    const FormatCase& c = GetParam();
    if (!test_support::HaveTool(c.tool)) GTEST_SKIP() << c.tool << " is not installed";
    Use(40);
    Heard h = Format(c.file_system, 1, c.cluster);
    ASSERT_TRUE(h.done.has_value());
    EXPECT_TRUE(*h.done) << AllLines(h);
    EXPECT_TRUE(h.saw(STRUCTURECREATED));
    EXPECT_EQ(h.commands.back(), DONE);

    auto probed = test_support::ProbeRegion(image(), kVolumeStart, size());
    EXPECT_EQ(probed.type, c.type);
    EXPECT_EQ(probed.label, "NONAME");
    if (*c.version) {
        EXPECT_EQ(probed.version, c.version);
    }
    if (*c.checker) {
        std::string copy = Copy("volume.bin"), command = c.checker;
        command.replace(command.find("%s"), 2, Quote(copy));
        auto checked = test_support::Run(command);
        EXPECT_EQ(checked.exit_code, 0) << checked.output;
    }
    platform::VolumeInformation info;
    if (*c.ours) {  // the volume list knows the new file system at once
        ASSERT_TRUE(platform::GetVolumeInformationA(root_, info));
        EXPECT_EQ(info.file_system, c.ours);
    }
    // Nothing outside the volume was touched: the partition table still stands.
    auto table = test_support::Run("sfdisk --dump " + Quote(image()));
    EXPECT_NE(table.output.find("start=        2048, size=       81920, type=7"), std::string::npos) << table.output;
}

INSTANTIATE_TEST_SUITE_P(
    FileSystems, FormatEach,
    ::testing::Values(FormatCase{"NTFS", u"NTFS", 4096, "mkntfs", "ntfs", "", "ntfsfix -n %s", "NTFS"},
                      FormatCase{"FAT", u"FAT", 0, "mkfs.fat", "vfat", "FAT16", "fsck.fat -n %s", "FAT"},
                      FormatCase{"FAT32", u"FAT32", 512, "mkfs.fat", "vfat", "FAT32", "fsck.fat -n %s", "FAT32"},
                      FormatCase{"exFAT", u"exFAT", 0, "mkfs.exfat", "exfat", "", "fsck.exfat -n %s", "exFAT"},
                      FormatCase{"UDF", u"UDF", 0, "mkudffs", "udf", "", "", ""}),
    test_support::CaseName());

TEST_F(Fmifs, AFullFormatReportsTheToolsProgress) {
    Use(24);
    Heard h = Format(u"NTFS", 0);
    ASSERT_TRUE(h.done.value_or(false)) << AllLines(h);
    EXPECT_TRUE(h.saw(PROGRESS));
    EXPECT_EQ(test_support::ProbeRegion(image(), kVolumeStart, size()).type, "ntfs");
}

TEST_F(Fmifs, ADamagedFatIsFoundThenRepaired) {
    Use(test_support::DamagedFatDisk());
    const std::string before = test_support::ReadWholeFile(image());

    Heard look = Check(false);
    EXPECT_EQ(look.done, false) << AllLines(look);
    EXPECT_TRUE(look.said("Errors found by fsck.fat; nothing was changed: check with Correct Errors to repair them"))
        << AllLines(look);
    EXPECT_EQ(test_support::ReadWholeFile(image()), before) << "a check that does not fix writes nothing";

    Heard repair = Check(true);
    EXPECT_EQ(repair.done, true) << AllLines(repair);
    EXPECT_TRUE(repair.said("Errors found and corrected by fsck.fat")) << AllLines(repair);

    Heard again = Check(false);
    EXPECT_EQ(again.done, true) << AllLines(again);
    EXPECT_TRUE(again.said("fsck.fat found no errors in the file system")) << AllLines(again);
    // What the tool itself said comes before, in its own words; nothing
    // speaks for a system that did not run.
    EXPECT_TRUE(std::any_of(again.lines.begin(), again.lines.end(),
                            [](const std::string& line) { return line.find(" files, ") != std::string::npos; }))
        << AllLines(again);
    for (const Heard* heard : {&look, &repair, &again})
        for (const std::string& line : heard->lines) {
            EXPECT_EQ(line.find("Windows"), std::string::npos) << line;
            EXPECT_EQ(line.find("CHKDSK"), std::string::npos) << line;
        }
    auto checked = test_support::Run("fsck.fat -n " + Quote(Copy("after.bin")));
    EXPECT_EQ(checked.exit_code, 0) << checked.output;
}

TEST_F(Fmifs, RefusesWhatItCannotDoAndTouchesNothing) {
    Use(8, "mkfs.ext4 -q -F -E offset=%o %s %n");
    const std::string before = test_support::ReadWholeFile(image());

    Heard ext4 = Check(true);
    EXPECT_TRUE(ext4.saw(FSNOTSUPPORTED));
    EXPECT_EQ(ext4.done, false);
    Heard media = Format(u"FAT", 1, 0, 3);
    EXPECT_EQ(media.done, false);
    Heard unknown = Format(u"HPFS", 1);
    EXPECT_TRUE(unknown.saw(FSNOTSUPPORTED));
    Heard tiny = Format(u"FAT", 1, 256);
    EXPECT_TRUE(tiny.saw(CLUSTERSIZETOOSMALL));
    EXPECT_EQ(tiny.done, false);
    {
        // Someone else has the volume open: it cannot be locked for a format.
        platform::Handle other = platform::CreateFile("\\\\.\\" + root_.substr(0, 2), platform::GENERIC_READ,
                                                      platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                                      platform::OPEN_EXISTING, 0);
        ASSERT_TRUE(other);
        Heard in_use = Format(u"FAT", 1);
        EXPECT_TRUE(in_use.saw(VOLUMEINUSE)) << AllLines(in_use);
        EXPECT_EQ(in_use.done, false);
    }
    root_ = "Q:\\";
    Heard nowhere = Format(u"FAT", 1);
    EXPECT_EQ(nowhere.done, false);
    EXPECT_EQ(test_support::ReadWholeFile(image()), before);
}

TEST_F(Fmifs, AnAnswerOfStopEndsTheTool) {
    Use(8);
    test_support::WaitingTool mkntfs("mkntfs");
    Heard h = Format(u"NTFS", 1, 0, FMIFS_HARDDISK,
                     [](DWORD command, const std::string& line) { return !(command == OUTPUT && line == "working"); });
    EXPECT_EQ(h.done, false);
    EXPECT_TRUE(h.said("the format was stopped")) << AllLines(h);
    EXPECT_FALSE(mkntfs.still_running());
}

TEST(FmifsModule, LoadsByItsWindowsName) {
    platform::ModuleReference module("fmifs.dll");
    ASSERT_TRUE(module);
    EXPECT_NE(module.symbol("FormatEx"), nullptr);
    EXPECT_NE(module.symbol("Chkdsk"), nullptr);
    EXPECT_EQ(module.symbol("EnableVolumeCompession"), nullptr);
}

}  // namespace
