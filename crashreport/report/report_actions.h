// What is done with a finished bug report: saved into the bug-report file
// (appended, duplicates folded, the size bounded), sent (attachments and
// fields, then the channels in their order, optionally in a background
// thread), printed; and the two ways out: restart and terminate.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "crashreport/image/bitmap.h"
#include "crashreport/settings/settings.h"

namespace crashreport {

class TIZEException;

// The value of a report's header item: the text after "\r\n" + name (or
// the name at the very start), blanks, a colon and one blank, up to the
// line end. Empty when the item is absent.
std::string ReportItemValue(std::string_view report, std::string_view name);

struct FoldRules {
    bool append = true;
    std::int64_t size_limit = 100000;  // 0: none
    bool no_dup_excepts = true;
    bool no_dup_freezes = true;
    int dup_except_def = 1;
    int dup_freeze_def = 2;
};
FoldRules FoldRulesOf(TIZESettings& settings);
// The new content of the bug-report file after `report` was stored: the old
// duplicate folded into it (with its "count" carried on), the oldest whole
// reports cut off when the file grew past its bound, the report and an
// empty line appended.
std::string MergeBugReport(const std::string& old_content, const std::string& report, const FoldRules& rules);

// The report file of the settings, made absolute against the program.
std::u16string BugReportFilePath(TIZESettings& settings);
bool SaveBugReportFile(const std::u16string& file_name, const std::string& report, TIZESettings& settings,
                       bool automatic, TIZEException* exception = nullptr);

// 0 not sent, 1 sent (or handed to the send thread), 2 the user cancelled.
int SendBugReportNow(const std::string& report, INVBitmapRef screenshot, bool silent, bool in_send_thread,
                     const IZESettings& settings, bool allow_background, std::thread* send_thread,
                     TIZEException* exception = nullptr);
void PrintBugReportText(const std::string& report, TIZESettings& settings);

// The restart hand-over: the old process id and the exception-time ring,
// as the new instance finds them in its environment.
inline constexpr const char* kRestartEnvironment = "ZELEXCEPT_RESTART";
std::string RestartHandOverText(std::uint32_t process_id);
bool ParseRestartHandOver(const std::string& text, std::uint32_t& old_process_id);
// Starts the program again (the given command line, or the own one) and
// ends this process with exit code 2.
[[noreturn]] void RestartApplication(const std::vector<std::string>& command_line = {});
// Ends the process at once with exit code 1.
[[noreturn]] void TerminateApplication();

}  // namespace crashreport
