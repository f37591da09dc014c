// Sending a bug report: the attachments turned into files (zipped where
// asked) under the sending box, the user's mail program as the fallback
// channels (xdg-email for the "MAPI" one, the mailto command for the last
// one), the reporter's own DNS client that finds a recipient's mail
// exchanger, and its SMTP and HTTP clients.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/settings/fields.h"
#include "crashreport/settings/reporter_ui.h"
#include "crashreport/settings/settings.h"

namespace crashreport {

// --- addresses ---
// Semicolons become commas, blanks around commas go; `count` gets the
// number of comma-separated parts.
std::string NormaliseAddressList(const std::string& list, int& count);
std::vector<std::string> SplitAddressList(const std::string& list);
// "<address>" unless it holds a "<"; then the whole text when the display
// name is kept, else the text from "<" on.
std::string BracketAddress(const std::string& address, bool keep_display_name);
// "Name <a@b>" gives "Name " and "SMTP:a@b"; an address without "<" is both.
void SplitDisplayAddress(const std::string& text, std::string& display_name, std::string& smtp_address);

// --- DNS ---
inline constexpr std::uint16_t kDnsTypeMx = 15;
inline constexpr std::uint16_t kDnsTypeNs = 2;
std::string BuildDnsQuery(const std::string& domain, std::uint16_t type);
// The names a reply carries: for MX queries the exchangers of the answer
// section (reply order, preference ignored), for NS queries the name servers
// of the answer and then of the authority section. Empty for a reply with
// an error code or one that is cut short.
struct DnsNames {
    std::vector<std::string> answers;
    std::vector<std::string> authority;
};
DnsNames ParseDnsReply(std::string_view reply, std::size_t query_length, std::uint16_t type);
// The mail exchanger of the recipient's domain (the text after "@", without
// a trailing ">"), retried with its last three labels; empty when none is
// found. With no servers given the system's are used, and without those the
// root servers are asked the way down.
std::string LookupMailExchanger(const std::string& address, const std::vector<std::string>& servers = {},
                                std::uint16_t port = 53);

// --- the user's mail program ---
// 0 failed, 1 handed over, 2 cancelled.
int SendViaMapi(const std::string& recipients, const std::string& subject, const std::string& body, bool silent,
                const std::vector<std::string>& send_as_names, const std::vector<std::u16string>& files);
// The command line that the mailto command gives: "%1" replaced by the
// mailto text, or the text appended.
std::string BuildMailtoCommand(const std::string& command, const std::string& recipients, const std::string& subject,
                               const std::string& body);
std::string EncodeMailtoText(const std::string& text);
bool SendViaMailto(const std::string& recipients, const std::string& subject, const std::string& body);

// --- attachments ---
struct PreparedAttachments {
    std::vector<std::u16string> files;
    std::vector<std::string> send_as;
    std::vector<std::string> fields;
};
// Creates the sending box with its areas and fills `out`; the box is shown
// unless silent without AutoSendBox.
IProgressAlertRef PrepareAttachments(TIZESettings& settings, const TIZEAttachments& attachments, bool silent,
                                     PreparedAttachments& out);

// --- SMTP and HTTP ---
struct SendRequest {
    std::string upload_address;  // HTTP; empty for mail
    std::string sender;
    std::string recipients;
    TIZESettings* settings = nullptr;
    IProgressAlertRef progress;
    std::uint16_t port = 25;
    std::string account;
    std::string password;
    std::string smtp_server;  // empty: the recipient's mail exchanger
    std::vector<std::pair<std::string, std::string>> fields;
    PreparedAttachments attachments;
    std::string body;
    std::string subject;
    // Where the mail exchangers are looked up (tests); empty: the system's.
    std::vector<std::string> dns_servers;
    std::uint16_t dns_port = 53;
    int reply_timeout_ms = 7000;
};
inline constexpr const char* kMultipartBoundary = "zelExcept-Boundary-7d93b1c2e5f04a68";
bool SendBySmtpOrHttp(SendRequest& request);
bool SendViaSmtp(const std::string& recipients, SendRequest& request);
bool UploadViaHttpPost(SendRequest& request);
// The subject as one line (line breaks and runs of blanks become one
// blank) in encoded words "=?ISO-8859-1?Q?...?=", every byte but letters
// and digits as =XX; words of at most 75 characters, folded ("\r\n ").
std::string EncodeMailSubject(const std::string& subject);
// "Name: value" and its line end, folded at blanks so that lines stay
// near 78 characters and never pass 998.
std::string FoldHeaderLine(const std::string& name, const std::string& value);
// The body as SMTP carries it: lines end in CR LF, and a line starting
// with "." gets a second one (RFC 5321, 4.5.2).
std::string EscapeMailBody(const std::string& body);
// "7 Mar 2026 09:05:01 UT" from a UTC time.
std::string MailDateText(int year, int month, int day, int hour, int minute, int second);

}  // namespace crashreport
