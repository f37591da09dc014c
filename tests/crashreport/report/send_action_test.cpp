// The send action's last channels, the user's mail program through
// xdg-email and the mailto command through xdg-open: what they answer by
// their exit code decides whether the report counts as sent or the
// "SendFailMsg" box comes up.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "crashreport/crash_test_settings.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/report/report_actions.h"
#include "crashreport/settings/reporter_ui.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace crashreport_test {
namespace {

using namespace crashreport;

// Stand-ins for xdg-email and xdg-open first on PATH: each notes that it ran
// and exits with the status it is told.
class FakeMailPrograms {
public:
    FakeMailPrograms(int email_status, int open_status) {
        Write("xdg-email", email_status);
        Write("xdg-open", open_status);
        SetRegistryStoreFolder(dir_.file("registry"));
    }
    ~FakeMailPrograms() { SetRegistryStoreFolder({}); }
    std::string log() const { return test_support::ReadWholeFile(dir_.file("ran.log")); }

private:
    void Write(const std::string& name, int status) {
        test_support::WriteWholeFile(dir_.file(name), "#!/bin/sh\necho " + name + " >> '" + dir_.file("ran.log") +
                                                          "'\necho '" + name + ": no method available' >&2\nexit " +
                                                          std::to_string(status) + "\n");
        test_support::Run("chmod +x " + test_support::Quote(dir_.file(name)));
    }
    test_support::TempDir dir_;
    test_support::ScopedEnvironment path_{"PATH", test_support::PathWithFirst(dir_.path().string())};
};

struct Outcome {
    int result = -1;
    std::vector<std::string> boxes;
};

Outcome Send() {
    UseSettings({{"Enabled", true}, {"NoSettings", false}, {"MailAddr", "dev@example.org"}, {"MailViaMapi", true},
                 {"MailViaMailto", true}, {"MailAsSmtpServer", false}, {"MailAsSmtpClient", false},
                 {"UploadViaHttp", false}, {"AttachBugRep", false}, {"ScrShotDepth", 0}});
    Outcome outcome;
    ReporterUi ui;
    ui.message_box = [&](const std::string& text, const std::string&, MessageIcon) { outcome.boxes.push_back(text); };
    SetReporterUi(ui);
    const IZEModuleSettings settings = GetModuleSettings(ExecutableModule());
    outcome.result = SendBugReportNow("date/time : today\r\nexception class : EAccessViolation", nullptr, false, true,
                                      settings, false, nullptr, nullptr);
    SetReporterUi({});
    return outcome;
}

TEST(SendAction, MailProgramsThatFindNoWayToSendShowTheFailureBox) {
    FakeMailPrograms programs(3, 3);
    const Outcome outcome = Send();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(programs.log(), "xdg-email\nxdg-open\n");
    EXPECT_EQ(outcome.boxes, std::vector<std::string>{"Sorry, sending the bug report didn't work."});
}

TEST(SendAction, TheFirstProgramThatTakesTheMailCountsAsSent) {
    {
        FakeMailPrograms programs(0, 3);
        const Outcome outcome = Send();
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(programs.log(), "xdg-email\n");
        EXPECT_TRUE(outcome.boxes.empty());
    }
    {
        FakeMailPrograms programs(4, 0);
        const Outcome outcome = Send();
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(programs.log(), "xdg-email\nxdg-open\n");
        EXPECT_TRUE(outcome.boxes.empty());
    }
}

}  // namespace
}  // namespace crashreport_test
