// The INI reader and the console's answers.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/base/ini_file.h"
#include "platform/base/interaction.h"

using namespace platform;

namespace {

TEST(IniFile, SectionsAndKeysIgnoreCaseAndValuesAreTrimmed) {
    IniFile ini = IniFile::Parse(
        "; comment\r\n[Options]\r\n  Enable_Advanced =  1  \r\nname = Test Disk ; remark\r\nurl=a;b\r\n"
        "[outlookbar]\r\nPage1\r\n# another comment\r\nButton3=\r\n");
    EXPECT_EQ(ini.GetString("options", "ENABLE_ADVANCED"), "1");
    EXPECT_TRUE(ini.GetBool("OPTIONS", "enable_advanced", false));
    EXPECT_EQ(ini.GetString("options", "name"), "Test Disk");
    EXPECT_EQ(ini.GetString("options", "url"), "a;b");  // no blank before ';': part of the value
    EXPECT_EQ(ini.Keys("OutlookBar"), (std::vector<std::string>{"Page1", "Button3"}));
    EXPECT_EQ(ini.GetInt("options", "missing", 42), 42);
    EXPECT_FALSE(ini.HasSection("absent"));

    ini.Set("OPTIONS", "hide_advanced", "0");
    IniFile again = IniFile::Parse(ini.Serialize());
    EXPECT_EQ(again.GetString("options", "hide_advanced"), "0");
    EXPECT_EQ(again.GetString("options", "enable_advanced"), "1");
}

TEST(IniFile, SectionsAreFoundAgainAfterOthersAreAddedAndRemoved) {
    IniFile ini = IniFile::Parse("\xEF\xBB\xBF" "first=1\n[a]\nx=1\n[b]\ny=2\n[A]\nz=3\n");
    EXPECT_EQ(ini.GetString("", "first"), "1");  // the mark is no part of the key
    EXPECT_EQ(ini.Keys("a"), (std::vector<std::string>{"x", "z"}));  // one section, given twice
    ini.RemoveSection("A");
    EXPECT_FALSE(ini.HasSection("a"));
    EXPECT_EQ(ini.GetString("b", "y"), "2");
    ini.Set("c", "w", "4");
    ini.Set("C", "v", "5");
    EXPECT_EQ(ini.Keys("c"), (std::vector<std::string>{"w", "v"}));
    EXPECT_EQ(ini.sections().size(), 3u);
}

// The one line reader under both IniFile and the machine manifest: what it
// finds wrong with a line, and what the tolerant IniFile makes of it anyway.
TEST(IniLines, FaultsAreNamedAndIniFileStillTakesTheLine) {
    struct Case {
        const char* line;
        IniLine::Kind kind;
        const char* name;
        const char* value;
        const char* fault;
        const char* section;  // where IniFile puts what follows the line
        const char* key;      // the key IniFile keeps for it; nullptr: none
    };
    using K = IniLine::Kind;
    for (const Case& c : {
             Case{"[Options]", K::Heading, "Options", "", "", "options", nullptr},
             Case{"[ a b ]  ; note", K::Heading, "a b", "", "", "a b", nullptr},
             Case{"[broken", K::Heading, "broken", "", "a section heading without its ']': [broken", "broken", nullptr},
             Case{"[s] x", K::Heading, "s", "", "text after the section heading: [s] x", "s", nullptr},
             Case{"key = a;b # c", K::Entry, "key", "a;b", "", "", "key"},
             Case{"=value", K::Entry, "", "value", "a value without its key: =value", "", ""},
             Case{"Page1", K::Other, "", "", "neither a section heading nor key=value: Page1", "", "Page1"},
         }) {
        SCOPED_TRACE(c.line);
        const auto lines = ReadIniLines(std::string("; first\r\n\r\n") + c.line + "\r\n");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].number, 3);
        EXPECT_EQ(lines[0].kind, c.kind);
        EXPECT_EQ(lines[0].name, c.name);
        EXPECT_EQ(lines[0].value, c.value);
        EXPECT_EQ(lines[0].fault, c.fault);
        const IniFile ini = IniFile::Parse(std::string(c.line) + "\nafter=1\n");
        EXPECT_EQ(ini.GetString(c.section, "after"), "1");
        if (c.key) {
            EXPECT_TRUE(ini.Get("", c.key).has_value());
        }
    }
    EXPECT_TRUE(ReadIniLines("\xEF\xBB\xBF; only a remark\n  \n# and another").empty());
}

struct ConsoleCase {
    std::string question;
    std::string input;  // what the person types; "<eof>" for no input at all
    bool answer;
};

class ConsoleQuestions : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleQuestions, AnswerOrTheSafeDefault) {
    const auto& c = GetParam();
    std::istringstream in(c.input == "<eof>" ? "" : c.input + "\n");
    std::ostringstream out;
    ConsoleInteraction console(in, out);
    EXPECT_EQ(console.confirm(c.question, "Tarnovell"), c.answer);
    EXPECT_EQ(out.str().rfind(c.question + " [y/n] ", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsoleQuestions,
    ::testing::Values(ConsoleCase{"Source is bigger than Destination! Continue?", "y", true},
                      ConsoleCase{"Source is bigger than Destination! Continue?", "Yes", true},
                      ConsoleCase{"Source is bigger than Destination! Continue?", "n", false},
                      ConsoleCase{"Source is bigger than Destination! Continue?", "<eof>", false},
                      ConsoleCase{"Source is bigger than Destination! Continue?", "maybe", false},
                      ConsoleCase{"Lock and/or Dismount failed! Abort?", "<eof>", true},
                      ConsoleCase{"Lock and/or Dismount failed! Abort?", "n", false},
                      ConsoleCase{"Lock and/or Dismount failed! Abort?", "whatever", true}));

TEST(ConsoleQuestions, QuietAsksNothing) {
    std::istringstream in;
    std::ostringstream out;
    ConsoleInteraction console(in, out);
    console.set_quiet(true);
    EXPECT_TRUE(console.confirm("Overwrite?", "Tarnovell"));
    EXPECT_TRUE(out.str().empty());
    // A Yes that ends the operation says why it ends.
    EXPECT_TRUE(console.confirm("Lock and/or Dismount failed! Abort?", "Tarnovell"));
    EXPECT_EQ(out.str(), "Lock and/or Dismount failed! Abort? [y/n] y\n");
}

TEST(ScriptedInteraction, RecordsAndAnswersInOrder) {
    ScriptedInteraction script;
    script.answer_confirm(true);
    script.answer_confirm(false);
    ScopedInteraction scope(script);
    EXPECT_TRUE(interaction().confirm("one?", "c"));
    EXPECT_FALSE(interaction().confirm("two?", "c"));
    EXPECT_FALSE(interaction().confirm("three?", "c"));  // the default
    interaction().inform("done", "c");
    EXPECT_EQ(script.texts(), (std::vector<std::string>{"one?", "two?", "three?", "done"}));
}

}  // namespace
