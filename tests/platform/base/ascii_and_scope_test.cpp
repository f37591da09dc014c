// ASCII case folding and trimming, and the scope guard.
#include <gtest/gtest.h>

#include <clocale>
#include <stdexcept>
#include <string>

#include "platform/base/ascii.h"
#include "platform/base/scope_guard.h"

using namespace platform;

namespace {

struct FoldCase {
    std::string a, b;
    bool equal;
};

TEST(Ascii, FoldsOnlyAsciiLettersWhateverTheLocale) {
    // The window sets the user's locale; device and DLL names must still
    // compare as they do without it.
    const char* before = std::setlocale(LC_ALL, nullptr);
    const std::string saved = before ? before : "C";
    std::setlocale(LC_ALL, "C.UTF-8");
    const FoldCase cases[] = {
        {"\\\\.\\PhysicalDrive0", "\\\\.\\physicaldrive0", true},
        {"VirtDisk.DLL", "virtdisk.dll", true},
        {"abc", "abcd", false},
        {"[", "{", false},           // 0x5B and 0x7B differ by the case bit but are no letters
        {"@", "`", false},
        {"\xC4", "\xE4", false},     // Latin-1 A and a umlaut: not ASCII, not folded
        {"", "", true},
    };
    for (const FoldCase& c : cases) EXPECT_EQ(EqualsNoCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(ToLower("MiXeD-123\xC4"), "mixed-123\xC4");
    EXPECT_EQ(ToUpper("PhysicalDrive"), "PHYSICALDRIVE");
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(Ascii, PrefixAndPartIgnoreCase) {
    struct Case {
        const char* text;
        const char* part;
        bool starts, contains;
    };
    const Case cases[] = {
        {"HarddiskVolume3", "harddiskvolume", true, true},
        {"\\Device\\CdRom0", "cdrom", false, true},
        {"Vol", "Volume", false, false},  // shorter than the prefix
        {"disk.VHDX", ".vhdx", false, true},
        {"anything", "", true, true},
        {"", "x", false, false},
        {"\xC4rger", "\xE4", false, false},  // bytes above 0x7F are not folded
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StartsWithNoCase(c.text, c.part), c.starts) << c.text << " / " << c.part;
        EXPECT_EQ(ContainsNoCase(c.text, c.part), c.contains) << c.text << " / " << c.part;
    }
}

TEST(Ascii, TrimTakesBlanksFromBothEndsOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"  value \r\n", "value"}, {"\t a b \t", "a b"}, {" \r\n\t", ""}, {"", ""}, {"x", "x"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(Trim(in), out) << '"' << in << '"';
}

TEST(ScopeGuard, RunsOnEveryWayOutUnlessDismissed) {
    int runs = 0;
    { ScopeGuard guard([&] { ++runs; }); }
    EXPECT_EQ(runs, 1);
    try {
        ScopeGuard guard([&] { ++runs; });
        throw std::runtime_error("leaving early");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(runs, 2);
    {
        ScopeGuard guard([&] { ++runs; });
        guard.dismiss();
    }
    EXPECT_EQ(runs, 2);
}

}  // namespace
