// The reporter's edges: the exported trace of all threads, the hand-over
// from the instance that restarted this one, and the HTML error page.
#include "crashreport/engine/crash_engine.h"
#include "crashreport/os/process_control.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/report/report_actions.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

std::string TraceAllThreads() {
    auto exception = std::make_shared<TIZEException>(ExecutableModule());
    exception->type = ExceptionType::Frozen;
    exception->source = kSourceTrace;
    exception->crashed_thread = MainThreadId();
    exception->InitCanContinue(true);
    exception->SetPlWaitBox(false);
    exception->SetListThreads(true);
    exception->report_wanted = true;
    return exception->GetReportText(true);
}

void CheckRestartHandOver() {
    const std::string text = EnvironmentText(kRestartEnvironment);
    if (text.empty()) return;
    RemoveEnvironmentEntry(kRestartEnvironment);
    std::uint32_t old_process = 0;
    if (ParseRestartHandOver(text, old_process)) WaitForProcessEnd(static_cast<int>(old_process));
}

namespace {

std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
    ReplaceSubStrCase(text, what, with, false);
    return text;
}

}  // namespace

std::string BuildHtmlErrorPage(const std::string& report, TIZEException& exception) {
    const std::string crlf = "\r\n";
    std::string message = ReplaceAll(exception.GetString("ExceptMsg"), "%LF%", "<br>\r\n");
    ExpandSettingsVars(exception.Module(), message, ReportItemValue(report, "exception class"), report,
                       ReportItemValue(report, "exception message"));
    std::string page = "<html><head><title>" + exception.TitleBar() + "</title></head><body>" + crlf +
                       "<table border=\"0\" width=\"100%\" height=\"100%\">" + crlf +
                       "<tr><td colspan=4 style=\"height:2pt;\"></td></tr>" + crlf + "<tr><td colspan=4 valign=\"top\">" +
                       "<p style=\"font-family:Tahoma,'MS Sans Serif';font-size:13pt;margin-left:4px;\">" + message +
                       "</p></td></tr>" + crlf + "<tr><td colspan=4 style=\"height:8pt;\"></td></tr>" + crlf +
                       "<tr><td><button onClick=\"history.back();\" style=\"height:19.5pt;\">&nbsp;" +
                       (exception.ContinueBtnVis() ? exception.ContinueBtnTxt() : std::string("continue application")) +
                       "&nbsp;</button></td>" + crlf + "<td><p>&nbsp;&nbsp;</p></td>" + crlf + "<td>";
    if (exception.AutoShowBugRep() || !exception.ShowBtnVis())
        page += "&nbsp;";
    else
        page += "<button onClick=\"document.getElementById('bugReport').style.visibility='visible';this.style."
                "visibility='hidden';\" style=\"height:19.5pt;\">&nbsp;" +
                exception.ShowBtnTxt() + "&nbsp;</button>";
    page += "</td>" + crlf + "<td width=\"100%\"></td></tr>" + crlf +
            "<tr><td colspan=4 style=\"height:8pt;\"></td></tr>" + crlf + "<tr><td colspan=4 height=\"100%\">" + crlf +
            "<textarea id=\"bugReport\" readonly cols=\"80\" rows=\"20\" style=\"width:100%;height:100%;" +
            (exception.AutoShowBugRep() ? "" : "visibility:hidden;") + "\">" + crlf + report +
            "</textarea></td></tr></table></body></html>";
    return page;
}

namespace {
std::string& TraceMappingName() {
    static std::string name = "zelTraceProcessMap";
    return name;
}
}  // namespace

void SetTraceMappingNameForTesting(const std::string& name) {
    TraceMappingName() = name.empty() ? "zelTraceProcessMap" : name;
}

}  // namespace crashreport

extern "C" __attribute__((visibility("default"), used)) int zelTraceProcess(int size) {
    using namespace crashreport;
    const std::uint32_t self = CurrentThreadId();
    SetThreadDisplayName(self, "zelExcept - TraceProcessThread");
    SetTraceActive(true);
    const std::string text = TraceAllThreads();
    SetTraceActive(false);
    if (!text.empty()) {
        if (size < 1)
            CopyTextToClipboard(text);
        else
            WriteTextToSharedMemory(TraceMappingName(), text, static_cast<std::size_t>(size));
    }
    ClearThreadDisplayName(self);
    return 0;
}
