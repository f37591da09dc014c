#include "crashreport/forms/nv_assistant.h"

#include <gtest/gtest.h>

#include "crashreport/crash_test_settings.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/settings/reporter_ui.h"
#include "crashreport/report/exception_info.h"
#include "support/test_support.h"

namespace crashreport_test {

using namespace crashreport;

namespace {

std::string FormStream(const std::string& text) {
    std::string error;
    const auto root = ParseStreamText(text, error);
    EXPECT_TRUE(root) << error;
    return root ? WriteComponentStream(*root) : std::string();
}

const char* const kTestForm = R"(object TestForm: TNVForm
  Message = 'Tell us more'
  MinWidth = 400
  ActiveControl = 'Single'
  object AbortBtn: INVButton
    Caption = 'Stop'
  end
  object Head: INVLabel
    Caption = 'Name:'
  end
  object Single: INVEdit
    Lines = 1
    Text = 'a%LF%b'
  end
  object Many: INVEdit
    Lines = 3
    Optional = True
    OutputType = 'nvoOwnSection'
    OutputName = 'details'
  end
  object Flag: INVCheckBox
    Enabled = TRUE
    Text = 'flag it'
  end
  object Other: INVCheckBox
    Enabled = 2
  end
end
)";

}  // namespace

TEST(FormStream, ItemsAndFormPropertiesComeFromTheStream) {
    TNVForm form(nullptr, 1, 1, nullptr, FormStream(kTestForm), "Title");
    EXPECT_EQ(form.name(), "TestForm");
    EXPECT_EQ(form.message(), "Tell us more");
    EXPECT_EQ(form.min_width(), 400);
    EXPECT_EQ(form.active_control(), "Single");
    ASSERT_EQ(form.ItemCount(), 8);
    EXPECT_EQ(form.CancelBtn()->Caption(), "Stop");  // "AbortBtn" is the Cancel button
    EXPECT_EQ(form.ContinueBtn()->Caption(), "Next >");
    EXPECT_EQ(form.Edit("Single")->text(), "a\r\nb");
    EXPECT_EQ(form.Edit("Single")->lines(), 1);
    EXPECT_EQ(form.Edit("Many")->output_type(), NVOutputType::OwnSection);
    EXPECT_TRUE(form.CheckBox("Flag")->enabled());
    EXPECT_EQ(form.CheckBox("Flag")->Caption(), "flag it");
    EXPECT_FALSE(form.CheckBox("Other")->enabled());
    EXPECT_EQ(form.CheckBox("Other")->Caption(), "Other");
    EXPECT_TRUE(form.Label("Head")->IsHeadLabel());
    EXPECT_EQ(form.Edit("Head"), nullptr);
    EXPECT_EQ(form.Item(99), nullptr);
}

TEST(FormStream, UnknownValueTypeStopsReadingWithAMessage) {
    std::vector<std::string> messages;
    ReporterUi ui;
    ui.message_box = [&](const std::string& text, const std::string& caption, MessageIcon) {
        messages.push_back(caption + "|" + text);
    };
    SetReporterUi(ui);
    std::string stream = std::string("TPF0\x07TNVForm\x01" "F", 14) + "\x07Message" + "\x06\x02hi" +
                         "\x03" "Odd" + '\x05' + std::string(10, '\0') + '\0' + std::string("\x09INVButton\x04Late\0\0", 17);
    TNVForm form(nullptr, 1, 1, nullptr, stream, "t");
    SetReporterUi({});
    EXPECT_EQ(form.message(), "hi");
    EXPECT_EQ(form.ItemCount(), 3);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "zelExcept|Internal error: Invalid assistant resource ($5).");
}

TEST(Forms, ContinueWaitsForRequiredEdits) {
    TNVForm form(nullptr, 1, 1, nullptr, FormStream(kTestForm), "t");
    form.Edit("Single")->SetText("");
    form.RecheckContinue();
    EXPECT_FALSE(form.ContinueBtn()->EffectivelyEnabled());
    form.Edit("Single")->SetText("Ann");
    EXPECT_TRUE(form.ContinueBtn()->EffectivelyEnabled());
    form.Edit("Single")->SetValid(false);
    EXPECT_FALSE(form.ContinueBtn()->EffectivelyEnabled());
    // The own-section kind is only for edits of several lines.
    form.Edit("Single")->SetOutputType(NVOutputType::OwnSection);
    EXPECT_EQ(form.Edit("Single")->output_type(), NVOutputType::Header);
}

TEST(Forms, FormMarkedSkippedIsNeverShownAndCountsAsSkip) {
    TNVAssistant assistant("A", {FormStream(kTestForm), FormStream(kTestForm)}, nullptr);
    int shown = 0;
    SetFormPresenter([&](TNVForm&) {
        ++shown;
        return kResultContinue;
    });
    assistant.SetActionCallback([](TNVForm& form, std::uint8_t action, TNVItem*, TIZESettings*) {
        if (action == kFormShowing && form.page_number() == 1) form.Skip();
    });
    EXPECT_EQ(assistant.ShowModal(), kResultContinue);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(assistant.Form(0)->modal_result(), 0);
    SetFormPresenter([&](TNVForm&) { return kResultCancel; });
    EXPECT_EQ(assistant.ShowModal(), kResultCancel);
    SetFormPresenter({});
}

TEST(ContactForm, PlausibleAddresses) {
    struct Case {
        const char* address;
        bool plausible;
    };
    const Case cases[] = {{"ann@example.org", true},   {"a.b+c_d-e@x.y.org", true}, {" ann@example.org", false},
                          {"ann@example.org ", false}, {"ann@.example.org", false}, {"ann@x@example.org", false},
                          {"@example.org", false},     {"ann@example", false},      {".ann@example.org", false},
                          {"ann@example.org.", false}, {"an n@example.org", false}, {"", false}};
    for (const Case& c : cases) EXPECT_EQ(IsPlausibleEmailAddress(c.address), c.plausible) << c.address;
}

TEST(ContactForm, RemembersValuesOnContinueOnly) {
    test_support::TempDir dir;
    SetRegistryStoreFolder(dir.path());
    UseSettings(BaseSettings());
    RegisterCrashReporterResourcesForTest();
    UseSettings(BaseSettings());
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    {
        INVAssistant assistant = LoadAssistantForms("Send", {"ContactForm"}, exception.get());
        TNVForm* form = assistant->Form(0);
        ASSERT_NE(form->Edit("EmailEdit"), nullptr);
        form->Edit("NameEdit")->SetText("Ann Lee");
        form->Edit("EmailEdit")->SetText("ann@example");
        EXPECT_FALSE(form->Edit("EmailEdit")->valid());
        form->Edit("EmailEdit")->SetText("ann@example.org");
        EXPECT_TRUE(form->Edit("EmailEdit")->valid());
        form->CheckBox("MemCheck")->SetChecked(true);
        form->Finish(kResultCancel);
        EXPECT_EQ(RegistryReadText(RegistryRoot::CurrentUser, "Software\\Kolvar\\ContactForm", "RememberName"), "");
        EXPECT_EQ(exception->MailFrom(), "");
        form->Finish(kResultContinue);
    }
    EXPECT_EQ(RegistryReadText(RegistryRoot::CurrentUser, "Software\\Kolvar\\ContactForm", "RememberName"), "Ann Lee");
    EXPECT_EQ(exception->MailFrom(), "Ann Lee <ann@example.org>");
    // The next contact form starts with the remembered values.
    INVAssistant again = LoadAssistantForms("Send", {"ContactForm"}, exception.get());
    EXPECT_EQ(again->Form(0)->Edit("EmailEdit")->text(), "ann@example.org");
    EXPECT_TRUE(again->Form(0)->CheckBox("MemCheck")->checked());
    EXPECT_EQ(again->Form(0)->active_control(), "ContinueBtn");
    SetRegistryStoreFolder({});
}

TEST(Assistants, FoundBySettingWithoutScreenshotFormWhenThereIsNoScreenshot) {
    RegisterCrashReporterResourcesForTest();
    auto settings = BaseSettings();
    settings["Assistant1"] = std::string("SendAssistant|Send Assistant|ContactForm|DetailsForm|ScrShotForm");
    settings["ScrShotDepth"] = 4;
    UseSettings(settings);
    TIZESettings object(ExecutableModule(), true);
    EXPECT_EQ(FindAssistant(object, "nothing", true), nullptr);
    INVAssistant with = FindAssistant(object, "sendassistant", true);
    ASSERT_NE(with, nullptr);
    EXPECT_EQ(with->title(), "Send Assistant");
    ASSERT_EQ(with->FormCount(), 3);
    EXPECT_EQ(with->Form(2)->name(), "ScrShotForm");
    EXPECT_EQ(with->Form(1)->Edit("DetailsEdit")->lines(), 9);
    EXPECT_EQ(FindAssistant(object, "SendAssistant", false)->FormCount(), 2);
}

TEST(Assistants, FormCacheGivesBackWhatTheUserEntered) {
    RegisterCrashReporterResourcesForTest();
    UseSettings(BaseSettings());
    TIZESettings object(ExecutableModule(), true);
    while (object.FormCache()->Count() > 0) object.FormCache()->Delete(0);
    {
        INVAssistant first = LoadAssistantForms("A", {"DetailsForm"}, &object);
        first->Form(0)->Edit("DetailsEdit")->SetText("clicked backup");
        first->Form(0)->Finish(kResultContinue);
        FillFormCache(object, *first);
    }
    INVAssistant second = LoadAssistantForms("A", {"DetailsForm"}, &object);
    ReadFormCache(object, *second);
    EXPECT_EQ(second->Form(0)->Edit("DetailsEdit")->text(), "clicked backup");
}

}  // namespace crashreport_test
