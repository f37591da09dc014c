// The side bar's default pages and the [outlookbar] trimming of config.ini.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "main/operations/side_bar.h"

using tarnovell::DefaultSideBar;
using tarnovell::SideBarPage;
using tarnovell::TrimSideBar;

namespace {

using Lines = std::vector<std::pair<std::string, std::string>>;
using Pages = std::vector<SideBarPage>;

TEST(DefaultSideBar, HasTheFivePagesWithTheirButtonsInOrder) {
    Pages pages = DefaultSideBar();
    ASSERT_EQ(pages.size(), 5u);
    EXPECT_EQ(pages[0].caption, "Clone");
    EXPECT_EQ(pages[1].caption, "Volume");
    EXPECT_EQ(pages[2].caption, "Disk");
    EXPECT_EQ(pages[3].caption, "Virtual Hard Disk");
    EXPECT_EQ(pages[4].caption, "Disk Image");
    EXPECT_EQ(pages[0].buttons.size(), 6u);
    EXPECT_EQ(pages[1].buttons.size(), 10u);
    EXPECT_EQ(pages[2].buttons.size(), 10u);
    EXPECT_EQ(pages[3].buttons.size(), 10u);
    EXPECT_EQ(pages[4].buttons.size(), 7u);
    EXPECT_EQ(pages[0].buttons[3], "Copy Files");
    EXPECT_EQ(pages[1].buttons[1], "Close handles / Redetect");
    EXPECT_EQ((std::vector<std::string>(pages[1].buttons.begin() + 2, pages[1].buttons.begin() + 4)),
              (std::vector<std::string>{"Set Volume Offline", "Set Volume Online"}));
    EXPECT_EQ((std::vector<std::string>(pages[1].buttons.begin() + 6, pages[1].buttons.begin() + 8)),
              (std::vector<std::string>{"Extend", "Shrink"}));
    EXPECT_EQ((std::vector<std::string>(pages[2].buttons.begin(), pages[2].buttons.begin() + 4)),
              (std::vector<std::string>{"Set Disk Online", "Set Disk Offline", "Set Disk Read-Only",
                                        "Set Disk Read-Write"}));
    EXPECT_EQ(pages[2].buttons[8], "Partition Editor");
    EXPECT_EQ(pages[2].buttons[9], "Wipe Disk");
    EXPECT_EQ(pages[3].buttons.back(), "Add VHD footer to a RAW file");
    EXPECT_EQ(pages[4].buttons.front(), "Disk Image Conversion");
    EXPECT_EQ(pages[4].buttons.back(), "LZ4 Compressor");
}

struct NameCase {
    std::string page, button, name;
};

class SideBarNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(SideBarNames, ComeFromTheDefaultPlaces) {
    EXPECT_EQ(tarnovell::SideBarButtonName(GetParam().page, GetParam().button), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SideBarNames,
    ::testing::Values(NameCase{"Clone", "Backup to Image", "JvOutlookBar1Pages0Buttons0"},
                      NameCase{"Clone", "Copy Files", "JvOutlookBar1Pages0Buttons3"},
                      NameCase{"Volume", "Volume Names", "JvOutlookBar1Pages1Buttons0"},
                      NameCase{"Volume", "Clean Volume", "JvOutlookBar1Pages1Buttons8"},
                      NameCase{"Volume", "Wipe Volume", "JvOutlookBar1Pages1Buttons9"},
                      NameCase{"Disk", "Partition Editor", "JvOutlookBar1Pages2Buttons8"},
                      NameCase{"Disk", "Wipe Disk", "JvOutlookBar1Pages2Buttons9"},
                      NameCase{"Disk Image", "Disk Image Conversion", "JvOutlookBar1Pages4Buttons0"},
                      NameCase{"Disk Image", "LZ4 Compressor", "JvOutlookBar1Pages4Buttons6"},
                      NameCase{"Disk", "Copy Files", ""}, NameCase{"Nowhere", "Copy Files", ""}));

TEST(SideBarNames, AreUniqueAcrossTheSideBar) {
    std::set<std::string> names;
    int buttons = 0;
    for (const auto& page : DefaultSideBar())
        for (const auto& button : page.buttons) {
            names.insert(tarnovell::SideBarButtonName(page.caption, button));
            ++buttons;
        }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(buttons));
    EXPECT_EQ(tarnovell::SideBarPageName("Virtual Hard Disk"), "JvOutlookBar1Pages3");
}

struct TrimCase {
    const char* name;
    Pages start;
    Lines lines;
    std::function<void(Pages&)> expected_change;  // applied by hand to `start`
};

class Trimming : public ::testing::TestWithParam<TrimCase> {};

TEST_P(Trimming, RemovesWhatTheLinesName) {
    const auto& c = GetParam();
    Pages pages = c.start;
    Pages expected = c.start;
    c.expected_change(expected);
    TrimSideBar(pages, c.lines);
    ASSERT_EQ(pages.size(), expected.size());
    for (std::size_t p = 0; p < pages.size(); ++p) {
        EXPECT_EQ(pages[p].caption, expected[p].caption) << "page " << p;
        EXPECT_EQ(pages[p].buttons, expected[p].buttons) << "page " << p;
    }
}

void NoChange(Pages&) {}
void EraseButton(Pages& pages, std::size_t page, std::size_t button) {
    pages[page].buttons.erase(pages[page].buttons.begin() + static_cast<std::ptrdiff_t>(button));
}

const Pages kThreeLevels = {
    {"First", {"Twin", "Twin", "Other"}},
    {"Twin", {"Twin"}},
    {"Last", {"Other", "Twin"}},
};

INSTANTIATE_TEST_SUITE_P(
    Cases, Trimming,
    ::testing::Values(
        TrimCase{"page_by_caption", DefaultSideBar(), {{"Clone", "0"}},
                 [](Pages& p) { p.erase(p.begin()); }},
        TrimCase{"page_caption_in_any_case", DefaultSideBar(), {{"clone", "0"}},
                 [](Pages& p) { p.erase(p.begin()); }},
        TrimCase{"last_page", DefaultSideBar(), {{"Disk Image", "0"}},
                 [](Pages& p) { p.erase(p.begin() + 4); }},
        TrimCase{"value_one_keeps_everything", DefaultSideBar(), {{"Format", "1"}}, NoChange},
        TrimCase{"empty_value_keeps_everything", DefaultSideBar(), {{"Format", ""}}, NoChange},
        TrimCase{"value_00_keeps_everything", DefaultSideBar(), {{"Format", "00"}}, NoChange},
        TrimCase{"button_wherever_it_stands", DefaultSideBar(), {{"Wipe Disk", "0"}},
                 [](Pages& p) { EraseButton(p, 2, 9); }},
        TrimCase{"button_in_any_case", DefaultSideBar(), {{"FORMAT", "0"}},
                 [](Pages& p) { EraseButton(p, 1, 4); }},
        TrimCase{"name_matching_nothing", DefaultSideBar(), {{"Defragment", "0"}}, NoChange},
        TrimCase{"lines_apply_in_order", DefaultSideBar(),
                 {{"Volume", "0"}, {"Format", "0"}, {"Tarnovell", "0"}, {"MD5 Hash", "0"}},
                 [](Pages& p) {
                     p.erase(p.begin() + 1);
                     EraseButton(p, 0, 2);
                     EraseButton(p, 2, 8);
                 }},
        // Only the first button of a name goes from each page, and the walk
        // ends at the page of that name.
        TrimCase{"first_button_per_page_until_the_page_of_that_name", kThreeLevels, {{"twin", "0"}},
                 [](Pages& p) {
                     EraseButton(p, 0, 0);
                     p.erase(p.begin() + 1);
                 }},
        TrimCase{"a_repeated_line_takes_the_next_button", Pages{{"Only", {"Dup", "Keep", "Dup"}}},
                 {{"Dup", "0"}, {"Dup", "0"}},
                 [](Pages& p) { p[0].buttons = {"Keep"}; }}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
