#include "crashreport/settings/settings.h"

#include <gtest/gtest.h>

#include "crashreport/crash_test_settings.h"
#include "crashreport/settings/component_stream.h"
#include "crashreport/settings/reporter_ui.h"
#include "crashreport/settings/text_variables.h"

namespace crashreport_test {

using namespace crashreport;

namespace {

// Collects the reporter's messages instead of showing them.
struct CapturedMessages {
    CapturedMessages() {
        ReporterUi ui;
        ui.message_box = [this](const std::string& text, const std::string& caption, MessageIcon) {
            texts.push_back(caption + "|" + text);
        };
        SetReporterUi(ui);
    }
    ~CapturedMessages() { SetReporterUi({}); }
    std::vector<std::string> texts;
};

std::string Head() { return std::string("TPF0\x0ATZelExcept\x09zelExcept", 25); }

}  // namespace

TEST(SettingsStream, ReadsEveryValueTypeTheStreamCarries) {
    std::string stream = Head();
    auto name = [&](const std::string& n) { stream += static_cast<char>(n.size()) + n; };
    name("Small");
    stream += std::string("\x02\xF6", 2);  // int8 -10
    name("Middle");
    stream += std::string("\x03\x34\x12", 3);
    name("Large");
    stream += std::string("\x04\x60\xEA\x00\x00", 5);  // 60000
    name("Short");
    stream += std::string("\x06\x03" "abc", 5);
    name("Off");
    stream += '\x08';
    name("On");
    stream += '\x09';
    name("Long");
    stream += std::string("\x0C\x02\x00\x00\x00" "hi", 7);
    name("Wide");
    stream += std::string("\x12\x02\x00\x00\x00" "\xE4\x00" "b\x00", 9);  // "äb"
    name("Utf8");
    stream += std::string("\x14\x03\x00\x00\x00" "\xC3\xA9" "e", 8);
    stream += '\0';
    std::vector<SettingsProperty> properties;
    std::uint8_t bad = 0;
    ASSERT_TRUE(ParseSettingsStream(stream, properties, bad));
    ASSERT_EQ(properties.size(), 9u);
    EXPECT_EQ(properties[0].int_value, -10);
    EXPECT_EQ(properties[1].int_value, 0x1234);
    EXPECT_EQ(properties[2].int_value, 60000);
    EXPECT_EQ(*properties[3].text, "abc");
    EXPECT_EQ(properties[4].kind, PropertyKind::Boolean);
    EXPECT_FALSE(properties[4].bool_value);
    EXPECT_TRUE(properties[5].bool_value);
    EXPECT_EQ(*properties[6].text, "hi");
    EXPECT_EQ(*properties[7].text, "\xC3\xA4" "b");
    EXPECT_EQ(*properties[8].text, "\xC3\xA9" "e");
}

TEST(SettingsStream, UnknownValueTypeKeepsWhatCameBeforeAndIsReportedOnce) {
    UseSettings({});
    std::string stream = Head() + "\x07" "Enabled" + '\x09' + "\x09" "AutoDelay" + "\x05" + "0123456789" + '\0';
    std::vector<SettingsProperty> properties;
    std::uint8_t bad = 0;
    EXPECT_FALSE(ParseSettingsStream(stream, properties, bad));
    EXPECT_EQ(bad, 5);
    ASSERT_EQ(properties.size(), 1u);
    EXPECT_EQ(properties[0].name, "Enabled");

    CapturedMessages messages;
    RegisterResource("RCDATA", "TZELEXCEPT", stream);
    TIZESettings settings(ExecutableModule(), true);
    EXPECT_TRUE(settings.Enabled());
    ASSERT_EQ(messages.texts.size(), 1u);
    EXPECT_EQ(messages.texts[0], "zelExcept|Internal error: Invalid settings resource ($5).");
}

TEST(SettingsStream, WrongHeadOrCutStreamsGiveWhatIsWhole) {
    std::vector<SettingsProperty> properties;
    std::uint8_t bad = 0;
    EXPECT_TRUE(ParseSettingsStream("TPF0\x0ATZelExcepX\x09zelExcept", properties, bad));
    EXPECT_TRUE(properties.empty());
    const std::string cut = Head() + "\x07" "Enabled" + '\x09' + "\x05" "Limit" + "\x04\x10";
    EXPECT_TRUE(ParseSettingsStream(cut, properties, bad));
    EXPECT_EQ(properties.size(), 1u);
}

TEST(SettingsStream, TextFormCompilesToTheStreamTheReaderTakes) {
    std::string error;
    const auto root = ParseStreamText(
        "// comment\nobject zelExcept: TZelExcept\n  Enabled = True\n  FreezeTimeout = 60000\n"
        "  SendFailMsg = 'Sorry, it didn'#39't work.'\n  Negative = -200\nend\n",
        error);
    ASSERT_TRUE(root) << error;
    std::vector<SettingsProperty> properties;
    std::uint8_t bad = 0;
    ASSERT_TRUE(ParseSettingsStream(WriteComponentStream(*root), properties, bad));
    ASSERT_EQ(properties.size(), 4u);
    EXPECT_EQ(properties[1].int_value, 60000);
    EXPECT_EQ(*properties[2].text, "Sorry, it didn't work.");
    EXPECT_EQ(properties[3].int_value, -200);
    for (const char* broken : {"object a: T\n  X = 'open\nend\n", "object a: T\n  X = 1\n", "X = 1\n",
                               "object a: T\n  X = 99999999999\nend\n"})
        EXPECT_FALSE(ParseStreamText(broken, error)) << broken;
}

TEST(Settings, KeysMissingFromTheStreamTakeTheBuiltInDefaults) {
    UseSettings({{"Enabled", true}, {"NoSettings", false}, {"FreezeTimeout", 60000}, {"AutoSave", false}});
    const IZEModuleSettings settings = GetModuleSettings(ExecutableModule());
    ASSERT_TRUE(settings->Valid());
    EXPECT_EQ(settings->AutoDelay(), 60);
    EXPECT_EQ(settings->FreezeTimeout(), 60000);
    EXPECT_FALSE(settings->AutoSave());
    EXPECT_TRUE(settings->AutoSaveIfNotSent());
    EXPECT_FALSE(settings->CheckFreeze());
    EXPECT_EQ(settings->BugRepSendAs(), "bugreport.txt");
    EXPECT_EQ(settings->SendFailMsg(), "Sorry, sending the bug report didn't work.");
    EXPECT_EQ(settings->DupFreezeDef(), 2);
    EXPECT_TRUE(settings->HasPlugin("Processes"));
    EXPECT_FALSE(settings->FilterBool(FilterSet::F1, "NoBugRep"));
    EXPECT_EQ(settings->GetString("NoSuchKey"), "");
}

TEST(Settings, TheProgramsOwnSettingsAsShipped) {
    SetMainSettings(nullptr);
    RegisterCrashReporterResourcesForTest();
    const IZEModuleSettings settings = GetModuleSettings(ExecutableModule());
    ASSERT_TRUE(settings->Valid());
    EXPECT_TRUE(settings->Enabled());
    EXPECT_FALSE(settings->CheckFreeze());
    EXPECT_EQ(settings->FreezeTimeout(), 60000);
    EXPECT_EQ(settings->F1Classes(), "EDBEditError");
    EXPECT_EQ(settings->FilterInt(FilterSet::F1, "ShowCfg"), 3);
    EXPECT_TRUE(settings->FilterBool(FilterSet::F1, "NoBugRep"));
    EXPECT_EQ(settings->GetString("Assistant2"), "SaveAssistant|Save Assistant|ContactForm|DetailsForm");
    EXPECT_EQ(settings->PrepAttMsg(), "Preparing attachments...");
    EXPECT_EQ(settings->SendFailMsg(), "Sorry, sending the bug report didn't work.");
    EXPECT_FALSE(settings->CpuRegs());
    EXPECT_TRUE(settings->HasPlugin("modules"));
    EXPECT_FALSE(settings->HasPlugin("hardware"));
    EXPECT_EQ(settings->AutoDelay(), 60);
}

TEST(Settings, SettersWriteOnlyValidObjectsAndKeysOfTheirKind) {
    UseSettings({{"Enabled", true}, {"NoSettings", false}, {"MailAddr", std::string("a@b.c")}});
    TIZESettings settings(ExecutableModule(), true);
    EXPECT_TRUE(settings.SetMailAddr(""));
    EXPECT_EQ(settings.MailAddr(), "");
    EXPECT_FALSE(settings.GetInt("MailAddr"));
    EXPECT_FALSE(settings.SetBool("MailAddr", true));
    EXPECT_TRUE(settings.SetWide("BugRepFile", u"r\u00e9port.txt"));
    EXPECT_EQ(settings.BugRepFileW(), u"r\u00e9port.txt");

    RegisterResource("RCDATA", "TZELEXCEPT", "");
    SetMainSettings(nullptr);
    TIZESettings without(ExecutableModule(), true);
    EXPECT_FALSE(without.Valid());
    EXPECT_FALSE(without.SetAutoSave(false));
    EXPECT_TRUE(without.AutoSave());
}

TEST(Settings, AdditionalListsLiveInTheirKeys) {
    UseSettings({{"Enabled", true}, {"NoSettings", false}, {"AddFields", std::string("a=1|b=two")}});
    TIZESettings settings(ExecutableModule(), true);
    const IZEFields fields = settings.AdditionalFields();
    EXPECT_EQ(fields->Get("B"), "two");
    fields->Set("c", " 3 ");
    EXPECT_EQ(settings.GetString("AddFields"), "a=1|b=two|c=3");
    settings.AdditionalAttachments()->Add(u"/tmp/x/log.txt");
    EXPECT_EQ(settings.GetString("AddAttachs"), "/tmp/x/log.txt>log.txt>>log");
}

TEST(Settings, StoredPasswordsAreUnscrambledWithServerAndAccount) {
    const std::string stored = ScramblePasswordForStorage("secret", "mail.example", "me");
    EXPECT_NE(stored, "secret");
    UseSettings({{"Enabled", true}, {"NoSettings", false}, {"SmtpServer", std::string("mail.example")},
                 {"SmtpAccount", std::string("me")}, {"SmtpPassword", stored}});
    TIZESettings settings(ExecutableModule(), true);
    EXPECT_EQ(settings.SmtpPassword(), "secret");
    EXPECT_EQ(UnscrambleStoredPassword("plain", "s", "a"), "plain");
    EXPECT_NE(UnscrambleStoredPassword(stored, "other", "me"), "secret");
}

TEST(TextVariables, ExpandIgnoringCaseAndLeaveExceptionVariablesForLater) {
    UseSettings(BaseSettings());
    std::string text = "%APPNAME% / %AppName%: %exceptClass% - %exceptMsg%%LF%%bugReport% 100%";
    ExpandSettingsVars(ExecutableModule(), text, "%exceptClass%", "%bugReport%", "%exceptMsg%");
    EXPECT_EQ(text, "crashreport_tests / crashreport_tests: %exceptClass% - %exceptMsg%\r\n%bugReport% 100%");
    std::string message = "[%exceptmsg%] %exceptclass%";
    ExpandSettingsVars(ExecutableModule(), message, "EFoo", "", "");
    EXPECT_EQ(message, "[Unknown] EFoo");
    std::string date = "%date%";
    ExpandSettingsVars(ExecutableModule(), date, "", "", "");
    ASSERT_EQ(date.size(), 10u);
    EXPECT_EQ(date[4], '-');
}

TEST(TextVariables, AutomaticActionNeedsTenRecentExceptions) {
    const std::int64_t now = 1000000;
    ExceptionTimes times{};
    EXPECT_FALSE(CheckAutoActionAt(0, times, now));
    EXPECT_TRUE(CheckAutoActionAt(1, times, now));
    EXPECT_FALSE(CheckAutoActionAt(60, times, now));
    for (auto& t : times) t = now - 5;
    EXPECT_TRUE(CheckAutoActionAt(5, times, now));
    EXPECT_FALSE(CheckAutoActionAt(4, times, now));
    times[9] = 0;
    EXPECT_FALSE(CheckAutoActionAt(60, times, now));
}

TEST(TextVariables, ExceptionTextsAndSentenceEndings) {
    EXPECT_EQ(SentenceEnding("Broken!!"), "Broken.");
    EXPECT_EQ(SentenceEnding("Done"), "Done.");
    EXPECT_EQ(GetExceptionText({}), "Unknown");
    EXPECT_EQ(GetExceptionText(MakeExceptionInfo("E", " \x01line\r\nnext\t ")), "line\r\nnext");
    EXPECT_EQ(GetExceptionText(MakeExceptionInfo("E", "   ")), "Unknown");
    struct Base : std::runtime_error {
        Base() : std::runtime_error("base failed") {}
    };
    struct EDBEditError : Base {};
    const ExceptionObjectInfo info = DescribeException(std::make_exception_ptr(EDBEditError()));
    EXPECT_EQ(GetExceptionText(info), "base failed");
    EXPECT_TRUE(ExceptionIsOfClass(info, "std::runtime_error"));
    EXPECT_TRUE(ExceptionIsOfClass(info, "exception"));
    EXPECT_TRUE(ExceptionIsOfClass(info, " EDBEditError"));
    EXPECT_FALSE(ExceptionIsOfClass(info, "logic_error"));
    const ExceptionObjectInfo plain = DescribeException(std::make_exception_ptr(42));
    EXPECT_EQ(GetExceptionText(plain), "int");
}

TEST(ProgressAreas, MapsAreaPositionsOntoOneBar) {
    ProgressAreas areas;
    areas.Add("first", 100);
    areas.Add("", 300);
    areas.SetCurrent(1);
    areas.set_position(500);
    EXPECT_EQ(areas.BarValue(), 625);
    EXPECT_EQ(areas.CurrentText(), "first");  // an empty text repeats the previous one
    ProgressAreas small;
    small.Add("a", 1);
    small.Add("b", 3);
    small.SetCurrent(1);
    small.set_position(500);
    EXPECT_EQ(small.BarValue(), 500);  // the share 1.5 is cut to 1
    small.SetCurrent(2);
    EXPECT_EQ(small.BarValue(), 1000);
    EXPECT_EQ(small.CurrentText(), "b");
    small.SetCurrent(5);
    small.SetCurrent(-1);
    EXPECT_EQ(small.current(), 1);
}

}  // namespace crashreport_test
