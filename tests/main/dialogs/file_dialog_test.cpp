// RunFileDialog and its filters: the NUL list the system dialog would read,
// the Qt name filters made from it, and the answers handed back to callers.
#include <gtest/gtest.h>

#include <QFileDialog>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/dialog_test_helpers.h"
#include "main/dialogs/file_dialog.h"
#include "support/test_support.h"

using namespace tarnovell;
using namespace dialog_test;
using test_support::TempDir;

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- filters

struct NulCase {
    std::string text;
    char a, b;
    std::string expected;
};

class FilterToNulsTable : public ::testing::TestWithParam<NulCase> {};

TEST_P(FilterToNulsTable, ReplacesEveryCharacter) {
    EXPECT_EQ(FilterToNuls(GetParam().text, GetParam().a, GetParam().b), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, FilterToNulsTable,
                         ::testing::Values(NulCase{"a|b|c", '|', '\0', std::string("a\0b\0c", 5)},
                                           NulCase{"||", '|', '\0', std::string("\0\0", 2)},
                                           NulCase{"abc", '|', '\0', "abc"}, NulCase{"", '|', '\0', ""},
                                           NulCase{"*.img;*.dd", ';', ' ', "*.img *.dd"}));

// The list the system dialog reads ends in a double NUL: the appended one and
// the string's terminator, whether or not the filter had a "|".
class NulFilterListTable : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(NulFilterListTable, EndsInADoubleNul) {
    const std::string list = NulFilterList(GetParam().first);
    EXPECT_EQ(list, GetParam().second);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.back(), '\0');
    EXPECT_EQ(list.c_str()[list.size()], '\0');
}

INSTANTIATE_TEST_SUITE_P(Cases, NulFilterListTable,
                         ::testing::Values(std::pair<std::string, std::string>{"Image File (*.img)",
                                                                               std::string("Image File (*.img)\0", 19)},
                                           std::pair<std::string, std::string>{"A|*.a", std::string("A\0*.a\0", 6)},
                                           std::pair<std::string, std::string>{"", std::string("\0", 1)}));

struct QtFilterCase {
    const char* name;
    std::string filter;
    std::vector<std::pair<std::string, std::string>> pairs;
    QStringList qt;
};

class FilterConversion : public ::testing::TestWithParam<QtFilterCase> {};

TEST_P(FilterConversion, GivesPairsAndQtNameFilters) {
    const auto pairs = ParseFilter(GetParam().filter);
    EXPECT_EQ(pairs, GetParam().pairs);
    EXPECT_EQ(QtNameFilters(pairs), GetParam().qt);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FilterConversion,
    ::testing::Values(
        QtFilterCase{
            "ThreeVhdKinds",
            kVhdFilter,
            {{"VHD File (*.vhd)", "*.vhd"}, {"VHDx File (*.vhdx)", "*.vhdx"}, {"VHDs File (*.vhds)", "*.vhds"}},
            {"VHD File (*.vhd)", "VHDx File (*.vhdx)", "VHDs File (*.vhds)"}},
        QtFilterCase{
            "DescriptionWithoutPattern", "Image File|*.img", {{"Image File", "*.img"}}, {"Image File (*.img)"}},
        QtFilterCase{"SemicolonPatterns", "Images|*.img;*.dd", {{"Images", "*.img;*.dd"}}, {"Images (*.img *.dd)"}},
        QtFilterCase{"SemicolonPatternsShown",
                     "Images (*.img;*.dd)|*.img;*.dd",
                     {{"Images (*.img;*.dd)", "*.img;*.dd"}},
                     {"Images (*.img *.dd)"}},
        QtFilterCase{"ShownInOtherCase",
                     "Fixed VHD File (*.VHD)|*.vhd|Dynamic VHDx File (*.VHDx)|*.vhdx",
                     {{"Fixed VHD File (*.VHD)", "*.vhd"}, {"Dynamic VHDx File (*.VHDx)", "*.vhdx"}},
                     {"Fixed VHD File (*.VHD)", "Dynamic VHDx File (*.VHDx)"}},
        QtFilterCase{"AllFilesMeansEveryName",
                     "Disk Dump (*.dd)|*.dd|All Files (*.*)|*.*",
                     {{"Disk Dump (*.dd)", "*.dd"}, {"All Files (*.*)", "*.*"}},
                     {"Disk Dump (*.dd)", "All Files (*)"}},
        QtFilterCase{"AllFilesShownWithDotStar",
                     "All files (*.*)|*",
                     {{"All files (*.*)", "*"}},
                     {"All files (*)"}},
        QtFilterCase{"OtherPatternShown", "Image (*.img)|*.dd", {{"Image (*.img)", "*.dd"}}, {"Image (*.img) (*.dd)"}},
        QtFilterCase{"NoBarWithPattern", "Image File (*.img)", {{"Image File (*.img)", ""}}, {"Image File (*.img)"}},
        QtFilterCase{"NoBarPlain", "Images", {{"Images", ""}}, {"Images (*)"}}, QtFilterCase{"Empty", "", {}, {}},
        QtFilterCase{"TrailingBar", "A|*.a|", {{"A", "*.a"}}, {"A (*.a)"}},
        QtFilterCase{"EmptyStringEndsTheList", "A|*.a||B|*.b", {{"A", "*.a"}}, {"A (*.a)"}}),
    CaseName());

// ---------------------------------------------------------------- RunFileDialog

struct RunCase {
    const char* name;
    bool open;
    std::string default_extension;
    std::string filter;
    std::string proposed;  // the path passed in; relative to the folder when it names a file
    bool confirm;
    std::string choose;  // file the user picks in the folder; empty: keeps the proposal
    int choose_length;   // instead: a file whose full path has this many characters
    int choose_filter;   // 1-based; 0 keeps the first
    bool returned;
    int index;  // expected filter_index; -7 untouched
    QString suffix;
};

// Makes a file whose full path is exactly `length` characters, under nested
// folders of `root`, since no single name may be that long.
std::string PathOfLength(const fs::path& root, int length) {
    std::string path = root.string();
    while (static_cast<int>(path.size()) + 1 + 101 < length) {
        path += "/" + std::string(100, 'd');
        fs::create_directory(path);
    }
    path += "/" + std::string(static_cast<std::size_t>(length) - path.size() - 1, 'f');
    WriteFile(path);
    return path;
}

class RunFileDialogTable : public DialogTableTest<RunCase> {};

TEST_P(RunFileDialogTable, HandsBackWhatTheUserChose) {
    const RunCase& c = GetParam();
    TempDir dir;
    const std::string folder = dir.path().string();
    std::string chosen;
    if (c.choose_length > 0) chosen = PathOfLength(dir.path(), c.choose_length);
    if (!c.choose.empty()) {
        chosen = dir.file(c.choose);
        WriteFile(chosen);
    }
    ASSERT_TRUE(c.choose_length == 0 || static_cast<int>(chosen.size()) == c.choose_length);

    Seen seen;
    ScopedFileDialogHook hook([&](QFileDialog& dialog) {
        seen = Look(dialog);
        if (!chosen.empty()) dialog.selectFile(QString::fromStdString(chosen));
        if (c.choose_filter > 0) dialog.selectNameFilter(dialog.nameFilters().value(c.choose_filter - 1));
        return int(c.confirm ? QDialog::Accepted : QDialog::Rejected);
    });

    std::string path = c.proposed;
    int index = -7;
    const bool returned =
        RunFileDialog(nullptr, c.default_extension, c.filter, c.open, path, "Tarnovell", folder, &index);

    EXPECT_EQ(returned, c.returned);
    EXPECT_EQ(index, c.index);
    const std::string expected_path = !c.returned ? c.proposed : !chosen.empty() ? chosen : dir.file(c.proposed);
    EXPECT_EQ(path, expected_path);

    EXPECT_EQ(seen.accept_mode, c.open ? QFileDialog::AcceptOpen : QFileDialog::AcceptSave);
    EXPECT_EQ(seen.file_mode, c.open ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    EXPECT_EQ(seen.title, "Tarnovell");
    EXPECT_EQ(seen.directory, QString::fromStdString(folder));
    EXPECT_EQ(seen.default_suffix, c.suffix);
    EXPECT_EQ(seen.name_filters, QtNameFilters(ParseFilter(c.filter)));
    EXPECT_EQ(seen.first_filter, seen.name_filters.value(0));
    if (!c.proposed.empty()) {
        ASSERT_FALSE(seen.proposed.isEmpty());
        EXPECT_TRUE(seen.proposed.first().endsWith(QString::fromStdString(c.proposed)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunFileDialogTable,
    ::testing::Values(
        RunCase{"SaveSecondFilter", false, "", kVhdFilter, "", true, "disk.vhdx", 0, 2, true, 2, ""},
        RunCase{"OpenFirstFilter", true, "*", "Image File (*.img)|*.img|Disk Dump (*.dd)|*.dd", "", true, "image.img",
                0, 0, true, 1, ""},
        RunCase{"OpenThirdFilter", true, "*", "Image File (*.img)|*.img|Disk Dump (*.dd)|*.dd|All Files (*.*)|*.*", "",
                true, "dump.bin", 0, 3, true, 3, ""},
        RunCase{"DefaultExtension", false, "img", "Image File (*.img)|*.img", "", true, "new.img", 0, 0, true, 1,
                "img"},
        RunCase{"DottedDefaultExtension", false, ".wim", "WIM File (*.wim)|*.wim", "", true, "a.wim", 0, 0, true, 1,
                "wim"},
        RunCase{"ProposedNameKept", false, "", "Image File (*.img)|*.img", "PhysicalDrive0.img", true, "", 0, 0, true,
                1, ""},
        RunCase{"Cancelled", false, "", kVhdFilter, "keep.vhd", false, "other.vhd", 0, 2, false, -7, ""},
        RunCase{"PathOf260Characters", true, "*", "Image File (*.img)|*.img", "", true, "", 260, 0, true, 1, ""},
        RunCase{"PathOf261CharactersRefused", true, "*", "Image File (*.img)|*.img", "keep.img", true, "", 261, 0,
                false, -7, ""}),
    CaseName());

}  // namespace

// The name a backup is written under carries the extension of the filter
// chosen: added when none was typed, and for a VHD also when another was.
TEST(FilterExtensions, TheChosenFilterGivesTheExtension) {
    const std::string vhd = "Fixed VHD File (*.VHD)|*.vhd|Dynamic VHD File (*.VHD)|*.vhd|Fixed VHDx File (*.VHDx)|*.vhdx|"
                            "Dynamic VHDx File (*.VHDx)|*.vhdx";
    EXPECT_EQ(FilterExtension(vhd, 1), ".vhd");
    EXPECT_EQ(FilterExtension(vhd, 4), ".vhdx");
    EXPECT_EQ(FilterExtension(vhd, 5), "");
    EXPECT_EQ(FilterExtension(vhd, 0), "");
    EXPECT_EQ(FilterExtension("Image File (*.img)|*.img|Disk Dump (*.dd)|*.dd|All Files (*.*)|*.*", 2), ".dd");
    EXPECT_EQ(FilterExtension("Image File (*.img)|*.img|Disk Dump (*.dd)|*.dd|All Files (*.*)|*.*", 3), "");
    EXPECT_EQ(FilterExtension("Images|*.img;*.ima", 1), ".img");
    EXPECT_EQ(FilterExtension("Anything|*", 1), "");

    struct Case {
        const char* path;
        bool exactly;
        const char* expected;
    };
    for (const Case& c : {Case{"/b/disk", false, "/b/disk.vhd"}, Case{"/b/disk.", false, "/b/disk.vhd"},
                          Case{"/b/disk.img", false, "/b/disk.img"}, Case{"/b/disk.img", true, "/b/disk.img.vhd"},
                          Case{"/b/disk.VHD", true, "/b/disk.VHD"}, Case{"/b/.hidden", false, "/b/.hidden.vhd"},
                          Case{"/b.d/disk", false, "/b.d/disk.vhd"}, Case{"/b/", false, "/b/"}}) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(WithFilterExtension(c.path, ".vhd", c.exactly), c.expected);
    }
    EXPECT_EQ(WithFilterExtension("/b/disk", "", true), "/b/disk");
}
