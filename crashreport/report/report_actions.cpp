#include "crashreport/report/report_actions.h"

#include <filesystem>

#include "crashreport/mail/mail_channels.h"
#include "crashreport/os/exclusive_file.h"
#include "crashreport/os/modules.h"
#include "crashreport/os/process_control.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/os/system_facts.h"
#include "crashreport/report/exception_info.h"
#include "crashreport/report/handler_registry.h"
#include "crashreport/settings/reporter_ui.h"
#include "crashreport/settings/text_variables.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

namespace {

constexpr std::string_view kReportStart = "\r\ndate/time";

}  // namespace

std::string ReportItemValue(std::string_view report, std::string_view name) {
    std::size_t at = 0;
    for (;;) {
        std::size_t hit;
        if (at == 0 && report.substr(0, name.size()) == name) {
            hit = 0;
        } else {
            const std::size_t line = report.find(std::string("\r\n") + std::string(name), at);
            if (line == std::string_view::npos) return {};
            hit = line + 2;
        }
        std::size_t p = hit + name.size();
        at = p;
        while (p < report.size() && report[p] == ' ') ++p;
        if (p >= report.size() || report[p] != ':') continue;
        const std::size_t value = p + 2;
        if (value > report.size()) return {};
        const std::size_t end = report.find_first_of("\r\n", value);
        return std::string(report.substr(value, end == std::string_view::npos ? std::string_view::npos : end - value));
    }
}

FoldRules FoldRulesOf(TIZESettings& settings) {
    FoldRules rules;
    rules.append = settings.AppendBugReps();
    rules.size_limit = settings.BugRepFileSize();
    rules.no_dup_excepts = settings.NoDupExcepts();
    rules.no_dup_freezes = settings.NoDupFreezes();
    rules.dup_except_def = settings.DupExceptDef();
    rules.dup_freeze_def = settings.DupFreezeDef();
    return rules;
}

std::string MergeBugReport(const std::string& old_content, const std::string& report_in, const FoldRules& rules) {
    std::string content = rules.append ? old_content : std::string();
    std::string report = report_in;
    std::string key;
    if (!content.empty()) {
        const std::string crc = ReportItemValue(report, "callstack crc");
        if (crc.size() == 31) {
            const bool is_exception = !ReportItemValue(report, "exception class").empty();
            const bool fold = is_exception ? rules.no_dup_excepts : rules.no_dup_freezes;
            const int level = is_exception ? rules.dup_except_def : rules.dup_freeze_def;
            if (fold) key = crc.substr(0, level <= 0 ? 9 : level == 1 ? 20 : 31);
        }
    }
    if (!key.empty()) {
        const std::string needle = ": " + key;
        std::size_t search_end = content.size();
        while (search_end > 0) {
            const std::size_t hit = content.rfind(needle, search_end - 1);
            if (hit == std::string::npos) break;
            search_end = hit;
            std::size_t start;
            const std::size_t before = hit >= 1 ? content.rfind(kReportStart, hit) : std::string::npos;
            if (before != std::string::npos)
                start = before + 2;
            else if (content.compare(0, 9, "date/time") == 0)
                start = 0;
            else
                continue;
            const std::size_t after = content.find(kReportStart, hit);
            const std::size_t end = after == std::string::npos ? content.size() : after + 2;
            const std::string old = content.substr(start, end - start);
            bool duplicate = true;
            for (const char* item : {"executable", "current module", "exception class"})
                duplicate = duplicate && ReportItemValue(old, item) == ReportItemValue(report, item);
            const std::string old_version = ReportItemValue(old, "version");
            duplicate = duplicate && old_version == ReportItemValue(report, "version");
            if (old_version.empty())
                for (const char* item : {"exec. date/time", "module date/time"})
                    duplicate = duplicate && ReportItemValue(old, item) == ReportItemValue(report, item);
            if (!duplicate) continue;
            const std::string count_text = ReportItemValue(old, "count");
            const std::int64_t n = count_text.empty() ? 1 : std::max<std::int64_t>(1, std::atoll(count_text.c_str()));
            // The count goes right under "callstack crc", its colon aligned.
            std::size_t line = report.compare(0, 13, "callstack crc") == 0 ? 0 : report.find("\r\ncallstack crc");
            if (line != std::string::npos) {
                if (line != 0) line += 2;
                const std::size_t colon = report.find(':', line);
                const std::size_t line_end = report.find("\r\n", line);
                const std::size_t column = colon == std::string::npos ? 13 : colon - line;
                std::string count_line = "count";
                if (count_line.size() < column) count_line.append(column - count_line.size(), ' ');
                count_line += ": " + std::to_string(n + 1);
                if (line_end == std::string::npos)
                    report += "\r\n" + count_line;
                else
                    report.insert(line_end, "\r\n" + count_line);
            }
            content.erase(start, end - start);
            break;
        }
    }
    if (rules.size_limit != 0 && static_cast<std::int64_t>(content.size()) > rules.size_limit) {
        const std::int64_t keep = rules.size_limit - rules.size_limit / 4;
        for (std::size_t p = content.find(kReportStart); p != std::string::npos; p = content.find(kReportStart, p + 1)) {
            if (static_cast<std::int64_t>(content.size() - p) < keep) {
                content.erase(0, p + 2);
                break;
            }
        }
    }
    return content + report + "\r\n\r\n";
}

std::u16string BugReportFilePath(TIZESettings& settings) {
    return ExpandPathAgainst(settings.BugRepFileW(), Utf8ToWideText(ExecutablePath()));
}

namespace {

// The same name below the user's application data: where the report goes
// when the program's own folder cannot be written.
std::u16string UserAppDataReportPath(TIZESettings& settings) {
    std::string text = "%userappdata%/" +
                       WideToUtf8Text(PathWithoutExtW(FileNameOfPathW(Utf8ToWideText(ExecutablePath())))) + "/" +
                       WideToUtf8Text(settings.BugRepFileW());
    ExpandSettingsVars(settings.Module(), text, "%exceptClass%", "%bugReport%", "%exceptMsg%");
    return Utf8ToWideText(text);
}

bool HasFolder(const std::u16string& name) {
    return name.find(u'/') != std::u16string::npos || name.find(u'\\') != std::u16string::npos;
}

}  // namespace

bool SaveBugReportFile(const std::u16string& file_name, const std::string& report, TIZESettings& settings,
                       bool automatic, TIZEException* exception) {
    std::u16string path = file_name;
    const std::u16string configured = settings.BugRepFileW();
    if (path.empty()) {
        path = configured;
        if (automatic) {
            path = ExpandPathAgainst(path, Utf8ToWideText(ExecutablePath()));
        } else {
            if (IsLoaderLockBusy(250)) {
                ReporterBeep();
                return false;
            }
            path = AskSaveFilePath(ExpandPathAgainst(path, Utf8ToWideText(ExecutablePath())), settings.SaveBtnTxt());
            if (path.empty()) return false;
        }
    }
    ExclusiveFile file;
    if (!file.Open(std::filesystem::path(WideToUtf8Text(path)))) {
        if (HasFolder(file_name.empty() ? configured : file_name)) return false;
        path = UserAppDataReportPath(settings);
        if (!file.Open(std::filesystem::path(WideToUtf8Text(path)))) return false;
    }
    std::string old;
    if (!file.ReadAll(old)) return false;
    if (!file.ReplaceContent(MergeBugReport(old, report, FoldRulesOf(settings)))) return false;
    file.Close();
    if (file_name.empty() && automatic && exception) exception->saved_automatically = true;
    return true;
}

namespace {

std::u16string ExistingReportFile(TIZESettings& settings) {
    const std::u16string path = BugReportFilePath(settings);
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::path(WideToUtf8Text(path)), error) || HasFolder(settings.BugRepFileW()))
        return path;
    return UserAppDataReportPath(settings);
}

int ScreenshotPngFormat(int depth) {
    switch (depth) {
        case 4: return 1;
        case 51200: return 2;
        case 102400: return 3;
        case 204800: return 4;
        case 307200: return 5;
        default: return 0;
    }
}

}  // namespace

int SendBugReportNow(const std::string& report, INVBitmapRef screenshot, bool silent, bool in_send_thread,
                     const IZESettings& settings_ref, bool allow_background, std::thread* send_thread,
                     TIZEException* exception) {
    TIZESettings& settings = *settings_ref;
    if (allow_background && !in_send_thread && !IsLoaderLockBusy(250)) {
        IZESettings keep = settings_ref;
        std::thread worker([report, screenshot, silent, keep, exception] {
            SetThreadDisplayName(CurrentThreadId(), "zelExcept - SendThread");
            SendBugReportNow(report, screenshot, silent, true, keep, true, nullptr, exception);
            ClearThreadDisplayName(CurrentThreadId());
        });
        if (send_thread)
            *send_thread = std::move(worker);
        else
            worker.detach();
        return 1;
    }
    if (exception) exception->being_sent = true;
    const std::string subject_template = settings.MailSubj();
    const std::string body_template = settings.MailBody();
    const std::string recipients = settings.MailAddr();
    std::string sender = settings.MailFrom();
    if (sender.empty() && !recipients.empty())
        sender = "zelExcept " + BracketAddress(SplitAddressList(recipients).front(), false);
    const std::string exception_class = ReportItemValue(report, "exception class");
    const std::string exception_message = ReportItemValue(report, "exception message");
    std::string subject = subject_template, body = body_template;
    ExpandSettingsVars(settings.Module(), subject, exception_class, report, exception_message);
    ExpandSettingsVars(settings.Module(), body, exception_class, report, exception_message);

    const bool direct = settings.MailAsSmtpServer() || settings.MailAsSmtpClient() || settings.UploadViaHttp();
    PreparedAttachments prepared;
    IProgressAlertRef progress;
    std::filesystem::path report_copy, screenshot_file;
    bool report_file_attached = false;
    if (direct || settings.MailViaMapi()) {
        TIZEAttachments attachments;
        const std::filesystem::path temp = GetZelTempFolder();
        if (settings.AttachBugRep() && !temp.empty()) {
            const std::u16string source = ExistingReportFile(settings);
            report_copy = temp / std::filesystem::path(WideToUtf8Text(FileNameOfPathW(source)));
            std::error_code error;
            std::filesystem::remove(report_copy, error);
            bool copied = false;
            if (settings.AttachBugRepFile())
                copied = std::filesystem::copy_file(std::filesystem::path(WideToUtf8Text(source)), report_copy, error);
            const bool already_in_file = exception && exception->saved_automatically;
            if (!(copied && already_in_file) &&
                !SaveBugReportFile(Utf8ToWideText(report_copy.string()), report, settings, true, nullptr))
                std::filesystem::remove(report_copy, error);
            if (std::filesystem::exists(report_copy, error)) {
                attachments.Add(Utf8ToWideText(report_copy.string()), settings.BugRepSendAs(), settings.BugRepZip(),
                                "BugReport");
                report_file_attached = copied;
            }
        }
        if (screenshot && !temp.empty()) {
            screenshot_file = temp / "screenShot.png";
            if (screenshot->SaveAsPng(screenshot_file, ScreenshotPngFormat(settings.ScrShotDepth())))
                attachments.Add(Utf8ToWideText(screenshot_file.string()), settings.ScrShotSendAs(),
                                settings.ScrShotZip(), "ScreenShot");
        }
        for (const auto& item : settings.AdditionalAttachments()->Items())
            attachments.Add(item.file, item.send_as, item.zip_name, item.field_name);
        progress = PrepareAttachments(settings, attachments, silent, prepared);
    }
    std::vector<std::pair<std::string, std::string>> fields = settings.AdditionalFields()->Items();
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"MailFrom", sender},
                                      {"MailSubject", subject}, {"MailBody", body}, {"MailAddr", recipients}})
        if (!value.empty()) fields.emplace_back(name, value);

    int result = 0;
    SendRequest request;
    request.sender = sender;
    request.settings = &settings;
    request.progress = progress;
    request.fields = fields;
    request.attachments = prepared;
    request.body = body;
    request.subject = subject;
    if (settings.UploadViaHttp() && !settings.HttpServer().empty()) {
        request.upload_address = settings.HttpServer();
        request.port = static_cast<std::uint16_t>(settings.HttpPort());
        request.account = settings.HttpAccount();
        request.password = settings.HttpPassword();
        result = SendBySmtpOrHttp(request) ? 1 : 0;
    } else if (settings.MailAsSmtpServer() && !recipients.empty()) {
        request.recipients = recipients;
        request.port = 25;
        result = SendBySmtpOrHttp(request) ? 1 : 0;
    } else if (settings.MailAsSmtpClient() && !recipients.empty() && !settings.SmtpServer().empty()) {
        request.recipients = recipients;
        request.smtp_server = settings.SmtpServer();
        request.port = static_cast<std::uint16_t>(settings.SmtpPort());
        request.account = settings.SmtpAccount();
        request.password = settings.SmtpPassword();
        result = SendBySmtpOrHttp(request) ? 1 : 0;
    }
    if (progress) progress->Close();
    std::error_code error;
    if (!screenshot_file.empty() && !(result == 0 && settings.MailViaMapi())) std::filesystem::remove(screenshot_file, error);
    if (result == 0 && settings.MailViaMapi())
        result = SendViaMapi(recipients, subject, body, silent, prepared.send_as, prepared.files);
    if (result == 0 && settings.MailViaMailto() && !silent) result = SendViaMailto(recipients, subject, report) ? 1 : 0;
    if (result == 0 && !silent) ShowReporterMessage(settings.SendFailMsg(), "", MessageIcon::Error);
    if (result == 1) {
        if (exception) exception->was_sent = true;
        if (report_file_attached && settings.DelBugRepFile())
            DeleteFileForced(std::filesystem::path(WideToUtf8Text(ExistingReportFile(settings))));
    }
    if (exception) exception->being_sent = false;
    return result;
}

void PrintBugReportText(const std::string& report, TIZESettings& settings) {
    if (IsLoaderLockBusy(250)) {
        ReporterBeep();
        return;
    }
    PrintReportText(report, settings.PrintBtnTxt());
}

std::string RestartHandOverText(std::uint32_t process_id) {
    std::string text = std::to_string(process_id);
    for (const std::int64_t t : GetExceptionTimes()) text += ":" + std::to_string(t);
    return text;
}

bool ParseRestartHandOver(const std::string& text, std::uint32_t& old_process_id) {
    if (CountParts(text, ':') != 11) return false;
    old_process_id = static_cast<std::uint32_t>(std::strtoul(GetPart(text, 1, ':').c_str(), nullptr, 10));
    ExceptionTimes times{};
    for (int i = 0; i < 10; ++i) times[static_cast<std::size_t>(i)] = std::atoll(GetPart(text, i + 2, ':').c_str());
    SetExceptionTimes(times);
    return old_process_id != 0;
}

void RestartApplication(const std::vector<std::string>& command_line) {
    std::vector<std::string> args = command_line;
    if (args.empty()) {
        args.push_back(ExecutablePath());
        for (const auto& a : CommandLineArguments()) args.push_back(a);
    }
    StartProcess(args, {std::string(kRestartEnvironment) + "=" + RestartHandOverText(OwnProcessId())});
    TerminateOwnProcess(2);
}

void TerminateApplication() { TerminateOwnProcess(1); }

}  // namespace crashreport
