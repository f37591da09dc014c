#include <gtest/gtest.h>

#include "crashreport/crash_test_settings.h"
#include "crashreport/report/report_actions.h"
#include "crashreport/settings/text_variables.h"
#include "crashreport/text/string_toolkit.h"
#include "support/test_support.h"

namespace crashreport_test {

using namespace crashreport;

namespace {

const std::string kCrcA = "$11111111, $22222222, $33333333";
const std::string kCrcB = "$11111111, $44444444, $55555555";

std::string Report(const std::string& crc, const std::string& version = "2.3.8", const std::string& cls = "EAccessViolation",
                   const std::string& count = "", const std::string& tag = "") {
    std::string text = "date/time         : 2026-01-01, 10:00:00, 1ms" + tag + "\r\n"
                       "executable        : tarnovell\r\n";
    if (!version.empty()) text += "version           : " + version + "\r\n";
    text += "callstack crc     : " + crc + "\r\n";
    if (!count.empty()) text += "count             : " + count + "\r\n";
    text += "exception number  : 1\r\n";
    if (!cls.empty()) text += "exception class   : " + cls + "\r\n";
    text += "exception message : boom\r\n\r\nmain thread ($1):\r\n0000000000401000 +00 tarnovell main";
    return text;
}

FoldRules Rules() { return FoldRules{}; }

int CountReports(const std::string& content) {
    int n = content.rfind("date/time", 0) == 0 ? 1 : 0;
    for (std::size_t at = content.find("\r\ndate/time"); at != std::string::npos; at = content.find("\r\ndate/time", at + 1))
        ++n;
    return n;
}

}  // namespace

TEST(BugReportFile, ItemValuesAreReadUpToTheLineEnd) {
    const std::string report = Report(kCrcA);
    EXPECT_EQ(ReportItemValue(report, "date/time"), "2026-01-01, 10:00:00, 1ms");
    EXPECT_EQ(ReportItemValue(report, "callstack crc"), kCrcA);
    EXPECT_EQ(ReportItemValue(report, "exception class"), "EAccessViolation");
    EXPECT_EQ(ReportItemValue(report, "count"), "");
    EXPECT_EQ(ReportItemValue("exec. date/time : x\r\nexecutable : y", "executable"), "y");
}

TEST(BugReportFile, DuplicatesFoldByTheirDefinitionLevel) {
    struct Case {
        const char* what;
        std::string old_report, new_report;
        int level;
        bool folded;
    };
    const Case cases[] = {
        {"same stack", Report(kCrcA), Report(kCrcA), 1, true},
        {"other second crc at level 1", Report(kCrcA), Report(kCrcB), 1, false},
        {"first crc only at level 0", Report(kCrcA), Report(kCrcB), 0, true},
        {"all three at level 2", Report(kCrcA), Report("$11111111, $22222222, $99999999"), 2, false},
        {"crc of the wrong length never folds", Report("$1111, $2222"), Report("$1111, $2222"), 1, false},
        {"other version", Report(kCrcA, "2.3.7"), Report(kCrcA), 1, false},
        {"other class", Report(kCrcA, "2.3.8", "EIntError"), Report(kCrcA), 1, false},
        {"freeze reports use their own level", Report(kCrcA, "2.3.8", ""), Report(kCrcB, "2.3.8", ""), 1, false},
    };
    for (const Case& c : cases) {
        FoldRules rules = Rules();
        rules.dup_except_def = c.level;
        const std::string merged = MergeBugReport(c.old_report + "\r\n\r\n", c.new_report, rules);
        EXPECT_EQ(CountReports(merged), c.folded ? 1 : 2) << c.what;
        EXPECT_EQ(ReportItemValue(merged, "count"), c.folded ? "2" : "") << c.what;
    }
}

TEST(BugReportFile, FoldingCarriesTheCountOnAndRemovesTheOldReport) {
    const std::string older = Report(kCrcB, "2.3.8", "EAccessViolation", "", " older");
    const std::string old = Report(kCrcA, "2.3.8", "EAccessViolation", "3", " old");
    const std::string merged = MergeBugReport(older + "\r\n\r\n" + old + "\r\n\r\n", Report(kCrcA), Rules());
    EXPECT_EQ(CountReports(merged), 2);
    EXPECT_EQ(merged.find(" old\r\n"), std::string::npos);
    EXPECT_NE(merged.find(" older\r\n"), std::string::npos);
    // The count stands right under the crc, its colon aligned.
    EXPECT_NE(merged.find("callstack crc     : " + kCrcA + "\r\ncount             : 4\r\n"), std::string::npos);
    EXPECT_TRUE(merged.ends_with("main\r\n\r\n"));
}

TEST(BugReportFile, WithoutVersionTheFileDatesMustMatch) {
    auto with_dates = [](const std::string& exec) {
        std::string report = Report(kCrcA, "");
        report.insert(report.find("callstack"), "exec. date/time   : " + exec + "\r\n");
        return report;
    };
    EXPECT_EQ(CountReports(MergeBugReport(with_dates("2026-01-01 10:00") + "\r\n\r\n", with_dates("2026-01-01 10:00"), Rules())), 1);
    EXPECT_EQ(CountReports(MergeBugReport(with_dates("2026-01-01 10:00") + "\r\n\r\n", with_dates("2026-02-01 10:00"), Rules())), 2);
}

TEST(BugReportFile, SizeBoundCutsTheOldestWholeReports) {
    FoldRules rules = Rules();
    rules.size_limit = 100000;
    std::string content;
    for (int i = 0; i < 60; ++i) content += Report("$" + std::to_string(i), "2.3.8", "E", "", " #" + std::to_string(i)) +
                                            std::string(2000, 'x') + "\r\n\r\n";
    ASSERT_GT(content.size(), 100000u);
    const std::string merged = MergeBugReport(content, Report(kCrcA), rules);
    const std::string kept = merged.substr(0, merged.size() - Report(kCrcA).size() - 4);
    EXPECT_LT(kept.size(), 75000u);
    EXPECT_GT(kept.size(), 75000u - 2200u);
    EXPECT_EQ(kept.rfind("date/time", 0), 0u);
    EXPECT_NE(kept.find(" #59\r\n"), std::string::npos);
    EXPECT_EQ(kept.find(" #0\r\n"), std::string::npos);
    // A file without any report start is never cut.
    const std::string blob(150000, 'y');
    EXPECT_EQ(MergeBugReport(blob, Report(kCrcA), rules).substr(0, blob.size()), blob);
    // Without appending, the new report replaces the file.
    rules.append = false;
    EXPECT_EQ(MergeBugReport(content, Report(kCrcA), rules), Report(kCrcA) + "\r\n\r\n");
}

TEST(BugReportFile, SavingAppendsToTheFileBesideTheProgram) {
    test_support::TempDir dir;
    UseSettings({{"Enabled", true}, {"NoSettings", false}, {"BugRepFile", dir.file("sub/bugs.txt")}});
    const IZEModuleSettings settings = GetModuleSettings(ExecutableModule());
    ASSERT_TRUE(SaveBugReportFile({}, Report(kCrcA), *settings, true));
    ASSERT_TRUE(SaveBugReportFile({}, Report(kCrcA), *settings, true));
    ASSERT_TRUE(SaveBugReportFile({}, Report(kCrcB), *settings, true));
    const std::string content = test_support::ReadWholeFile(dir.file("sub/bugs.txt"));
    EXPECT_EQ(CountReports(content), 2);
    EXPECT_EQ(ReportItemValue(content, "count"), "2");
    // Asking for a name without a user interface cancels the save.
    EXPECT_FALSE(SaveBugReportFile({}, Report(kCrcA), *settings, false));
}

TEST(BugReportFile, RestartHandOverCarriesTheExceptionTimes) {
    ExceptionTimes times{};
    for (std::size_t i = 0; i < times.size(); ++i) times[i] = 13000000000 + static_cast<std::int64_t>(i);
    SetExceptionTimes(times);
    const std::string text = RestartHandOverText(4242);
    SetExceptionTimes({});
    std::uint32_t old_process = 0;
    ASSERT_TRUE(ParseRestartHandOver(text, old_process));
    EXPECT_EQ(old_process, 4242u);
    EXPECT_EQ(GetExceptionTimes(), times);
    EXPECT_FALSE(ParseRestartHandOver("12:1:2", old_process));
    SetExceptionTimes({});
}

}  // namespace crashreport_test
