// The GPT entry list of "Open GPT part table", on tables sgdisk wrote and
// checked against what sgdisk itself says of each entry.
#include "main/operations/gpt_entries.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "platform/base/interaction.h"
#include "support/embedded_machine.h"

using namespace tarnovell;

namespace {

// What `sgdisk -i N` says of an entry, in our lines' words.
std::vector<std::string> SgdiskLines(const std::string& image, int slot) {
    const std::string info = test_support::Run("sgdisk -i " + std::to_string(slot) + " " + image).output;
    std::map<std::string, std::string> said;
    std::istringstream lines(info);
    for (std::string line; std::getline(lines, line);) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) said[line.substr(0, colon)] = line.substr(colon + 2);
    }
    auto first_word = [](const std::string& text) { return text.substr(0, text.find(' ')); };
    const long long first = std::stoll(first_word(said["First sector"]));
    const long long last = std::stoll(first_word(said["Last sector"]));
    std::string name = said["Partition name"];
    name = name.substr(1, name.size() - 2);  // sgdisk quotes it
    return {"Type:{" + first_word(said["Partition GUID code"]) + "}",
            "ID:{" + said["Partition unique GUID"] + "}",
            "Start:" + std::to_string(first * 512),
            "End:" + std::to_string(last * 512),
            "Total bytes:" + std::to_string((last - first + 1) * 512),
            "Label:" + name,
            ""};
}

class GptEntries : public ::testing::Test {
protected:
    std::string Image(const std::string& sgdisk_arguments) {
        const std::string image = dir_.file("gpt.img");
        test_support::RunOn("rm -f %s && truncate -s 16M %s", image);
        test_support::RunOn("sgdisk " + sgdisk_arguments + " %s >/dev/null", image);
        return image;
    }
    // Spoils the CRC of the header at `lba`.
    void SpoilHeader(const std::string& image, long long lba) {
        test_support::RunOn("printf 'XXXX' | dd of=%s bs=1 seek=" + std::to_string(lba * 512 + 16) +
                                " conv=notrunc status=none",
                            image);
    }

    test_support::TempDir dir_;
    platform::ScriptedInteraction ui_;
    platform::ScopedInteraction scope_{ui_};
};

}  // namespace

TEST_F(GptEntries, UsedEntriesAreListedAsSgdiskSeesThemAndEmptySlotsSkipped) {
    const std::string image = Image("-n 1:2048:+4M -c 1:first -t 1:8300 -n 3:0:+2M -c '3:third one' -t 3:0700");
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadGptEntries(image, lines));
    std::vector<std::string> expected = SgdiskLines(image, 1);
    const std::vector<std::string> third = SgdiskLines(image, 3);
    expected.insert(expected.end(), third.begin(), third.end());
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(ui_.texts().empty());
}

TEST_F(GptEntries, TheHeadersEntryCountIsWalkedAndADamagedPrimaryGivesWayToTheBackup) {
    // 256 entries: slot 200 lies past the 128 a fixed walk would stop at.
    const std::string image = Image("-S 256 -n 200:2048:+1M -c 200:far");
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadGptEntries(image, lines));
    EXPECT_EQ(lines, SgdiskLines(image, 200));

    SpoilHeader(image, 1);
    lines.clear();
    ASSERT_TRUE(ReadGptEntries(image, lines));
    EXPECT_EQ(lines.size(), 7u);

    SpoilHeader(image, 16 * 2048 - 1);
    lines.clear();
    EXPECT_FALSE(ReadGptEntries(image, lines));
    EXPECT_TRUE(lines.empty());
}

TEST_F(GptEntries, NothingIsListedForAnMbrDiskOrAPathThatIsNotThere) {
    const std::string image = dir_.file("mbr.img");
    test_support::RunOn("truncate -s 8M %s && printf 'label: dos\\nstart=2048,type=ee\\n' | sfdisk -q %s", image);
    std::vector<std::string> lines;
    // A protective entry without a GPT behind it.
    EXPECT_FALSE(ReadGptEntries(image, lines));
    EXPECT_FALSE(ReadGptEntries(dir_.file("missing.img"), lines));
    EXPECT_TRUE(lines.empty());
}
