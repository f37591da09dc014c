// Turning a report's attachment list into the files that are sent.
#include <filesystem>

#include "crashreport/codec/zip.h"
#include "crashreport/mail/mail_channels.h"
#include "crashreport/os/process_helpers.h"
#include "crashreport/text/string_toolkit.h"

namespace crashreport {

IProgressAlertRef PrepareAttachments(TIZESettings& settings, const TIZEAttachments& attachments, bool silent,
                                     PreparedAttachments& out) {
    out = {};
    IProgressAlertRef progress = CreateProgressAlert(settings.SendBoxTitle(), "ZEISEND32");
    const bool server = settings.MailAsSmtpServer();
    const bool smtp = server || settings.MailAsSmtpClient();
    const bool http = settings.UploadViaHttp();
    progress->AddArea(settings.PrepAttMsg(), 100);
    if (smtp || http) {
        if (server) progress->AddArea(settings.MxLookMsg(), 100);
        progress->AddArea(settings.ConnMsg(), 100);
        if (smtp) {
            progress->AddArea(settings.AuthMsg(), 200);
            progress->AddArea(settings.SendMailMsg(), 100);
        }
        if (http) progress->AddArea(settings.FieldMsg(), 100);
        if (attachments.Count() > 0) progress->AddArea(settings.SendAttMsg(), 100);
        progress->AddArea(settings.SendFinalMsg(), 100);
    }
    if (!silent || settings.AutoSendBox()) progress->Show(false);

    const std::vector<AttachmentItem> items = attachments.Items();
    std::vector<std::string> zips_done;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const AttachmentItem& item = items[i];
        const std::u16string file = ExpandPathW(item.file);
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::path(WideToUtf8Text(file)), error)) continue;
        if (item.zip_name.empty()) {
            out.files.push_back(file);
            out.send_as.push_back(item.send_as);
            out.fields.push_back(item.field_name);
            continue;
        }
        bool done = false;
        for (const auto& zip : zips_done) done = done || SameTextLatin(zip, item.zip_name);
        if (done) continue;
        zips_done.push_back(item.zip_name);
        std::vector<std::filesystem::path> sources;
        std::vector<std::string> names;
        for (std::size_t j = i; j < items.size(); ++j) {
            if (!SameTextLatin(items[j].zip_name, item.zip_name)) continue;
            const std::u16string member = ExpandPathW(items[j].file);
            if (!std::filesystem::exists(std::filesystem::path(WideToUtf8Text(member)), error)) continue;
            sources.emplace_back(WideToUtf8Text(member));
            names.push_back(items[j].send_as);
        }
        const std::filesystem::path archive = GetZelTempFolder() / item.zip_name;
        if (!GetZelTempFolder().empty() && WriteZipArchive(archive, sources, names)) {
            out.files.push_back(Utf8ToWideText(archive.string()));
            out.send_as.push_back(item.zip_name);
            out.fields.push_back(item.zip_name);
        }
    }
    progress->AreaDone();
    return progress;
}

}  // namespace crashreport
