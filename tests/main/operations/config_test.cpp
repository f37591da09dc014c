// Reading config.ini from the program folder.
#include <gtest/gtest.h>

#include "main/operations/config.h"
#include "support/test_support.h"

using tarnovell::MainConfig;
using tarnovell::ReadMainConfig;

namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;

TEST(MainConfig, WithoutAFileEverythingStaysDefault) {
    test_support::TempDir folder;
    MainConfig config = ReadMainConfig(folder.path().string() + "/");
    EXPECT_FALSE(config.exists);
    EXPECT_FALSE(config.enable_advanced);
    EXPECT_FALSE(config.hide_advanced);
    EXPECT_TRUE(config.outlookbar.empty());
}

struct ConfigCase {
    const char* name;
    std::string file_name;
    std::string text;
    bool enable_advanced;
    bool hide_advanced;
    Lines outlookbar;
};

class ConfigFile : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigFile, ReadsTheOptionsAndTheSideBarLines) {
    const auto& c = GetParam();
    test_support::TempDir folder;
    test_support::WriteWholeFile(folder.file(c.file_name), c.text);
    MainConfig config = ReadMainConfig(folder.path().string() + "/");
    EXPECT_TRUE(config.exists);
    EXPECT_EQ(config.enable_advanced, c.enable_advanced);
    EXPECT_EQ(config.hide_advanced, c.hide_advanced);
    EXPECT_EQ(config.outlookbar, c.outlookbar);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigFile,
    ::testing::Values(
        ConfigCase{"empty_file", "config.ini", "", false, false, {}},
        ConfigCase{"both_keys", "config.ini", "[options]\nenable_advanced=1\nhide_advanced=1\n", true, true, {}},
        ConfigCase{"crlf_lines", "config.ini", "[options]\r\nenable_advanced=1\r\n[outlookbar]\r\nClone=0\r\n", true,
                   false, {{"Clone", "0"}}},
        ConfigCase{"keys_and_sections_in_any_case", "config.ini", "[OPTIONS]\nHide_Advanced=1\n[OutlookBar]\nFormat=0\n",
                   false, true, {{"Format", "0"}}},
        ConfigCase{"file_name_in_any_case", "CONFIG.INI", "[options]\nenable_advanced=1\n", true, false, {}},
        ConfigCase{"only_1_switches_on", "config.ini",
                   "[options]\nenable_advanced=true\nhide_advanced=01\n", false, false, {}},
        ConfigCase{"zero_is_off", "config.ini", "[options]\nenable_advanced=0\nhide_advanced=0\n", false, false, {}},
        ConfigCase{"keys_of_another_section_are_ignored", "config.ini", "[frmAbout]\nenable_advanced=1\n", false,
                   false, {}},
        ConfigCase{"byte_order_mark_before_the_first_section", "config.ini",
                   "\xEF\xBB\xBF[options]\r\nenable_advanced=1\r\n", true, false, {}},
        ConfigCase{"side_bar_lines_keep_file_order", "config.ini",
                   "[outlookbar]\nWipe Disk=0\nDisk Image=0\nFormat=1\nClone\n[options]\nenable_advanced=1\n", true,
                   false, {{"Wipe Disk", "0"}, {"Disk Image", "0"}, {"Format", "1"}, {"Clone", ""}}}),
    [](const auto& test) { return std::string(test.param.name); });

// Half a million sections before the ones that count: read in time linear
// in the file (a look-up of every heading among those before it took
// minutes before the window opened).
TEST(MainConfig, AFileOfManySectionsIsReadWhole) {
    test_support::TempDir folder;
    std::string text;
    text.reserve(10 << 20);
    for (int i = 0; i < 500000; ++i) text += "[section" + std::to_string(i) + "]\nkey=" + std::to_string(i) + "\n";
    text += "[options]\nhide_advanced=1\n[outlookbar]\nClone=0\n";
    test_support::WriteWholeFile(folder.file("config.ini"), text);
    MainConfig config = ReadMainConfig(folder.path().string() + "/");
    EXPECT_TRUE(config.hide_advanced);
    EXPECT_EQ(config.outlookbar, (Lines{{"Clone", "0"}}));
}

}  // namespace
