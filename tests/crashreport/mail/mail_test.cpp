#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "crashreport/codec/crypt.h"
#include "crashreport/mail/loopback_servers.h"
#include "crashreport/mail/mail_channels.h"
#include "crashreport/text/string_toolkit.h"
#include "support/scoped_environment.h"
#include "support/test_support.h"

namespace crashreport_test {

using namespace crashreport;

TEST(MailAddresses, ListsBracketsAndDisplayNames) {
    int count = 0;
    EXPECT_EQ(NormaliseAddressList(" a@x.org ; b@y.org,c@z.org ", count), "a@x.org,b@y.org,c@z.org");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(BracketAddress("a@x.org", false), "<a@x.org>");
    EXPECT_EQ(BracketAddress("Ann <a@x.org>", false), "<a@x.org>");
    EXPECT_EQ(BracketAddress("Ann <a@x.org>", true), "Ann <a@x.org>");
    std::string name, address;
    SplitDisplayAddress("Ann Lee <ann@x.org>", name, address);
    EXPECT_EQ(name, "Ann Lee ");
    EXPECT_EQ(address, "SMTP:ann@x.org");
    SplitDisplayAddress("ann@x.org", name, address);
    EXPECT_EQ(name, "ann@x.org");
    EXPECT_EQ(address, "SMTP:ann@x.org");
}

TEST(Mailto, TextReplacesPercentOneOrIsAppended) {
    EXPECT_EQ(BuildMailtoCommand("mailer \"%1\"", "a@x.org; b@y.org", "bug report", "line 1\r\nA&B 50%?"),
              "mailer \"mailto:a@x.org,b@y.org?subject=bug%20report&body=line%201%0D%0AA%26B%2050%25%3F\"");
    EXPECT_EQ(BuildMailtoCommand("mailer", "a@x.org", "s", "b"), "mailer mailto:a@x.org?subject=s&body=b");
    EXPECT_EQ(BuildMailtoCommand("mailer ", "a@x.org", "s", "b"), "mailer mailto:a@x.org?subject=s&body=b");
    EXPECT_EQ(BuildMailtoCommand("C:\\Outlook.exe /m %1", "a@x.org,b@y.org", "s", "b"),
              "C:\\Outlook.exe /m mailto:a@x.org;b@y.org?subject=s&body=b");
    // A long command is cut without splitting a "%" escape.
    const std::string cut = BuildMailtoCommand("m %1", "a@x.org", "s", std::string(40000, '&'));
    EXPECT_LE(cut.size(), 32766u);
    EXPECT_NE(cut.substr(cut.size() - 2).find('%'), 0u);
    EXPECT_NE(cut.back(), '%');
}

TEST(Mailto, TheMailProgramsLinkHasOneLineBreakPerLine) {
    // xdg-email makes the mailto link the user's mail program gets; its
    // $MAILER (here a script that keeps the link) takes it.
    if (!test_support::HaveTool("xdg-email")) GTEST_SKIP() << "xdg-email is not installed (Debian package xdg-utils)";
    test_support::TempDir dir;
    const std::string mailer = dir.file("mailer"), link = dir.file("link");
    test_support::WriteWholeFile(mailer, "#!/bin/sh\nprintf '%s' \"$1\" > " + test_support::Quote(link) + "\n");
    test_support::Run("chmod +x " + test_support::Quote(mailer));
    test_support::ScopedEnvironment mailer_variable("MAILER", mailer);
    EXPECT_EQ(SendViaMapi("dev@example.org", "bug report", "date/time : today\r\nexception class : E\r\n", false, {}, {}),
              1);
    EXPECT_EQ(test_support::ReadWholeFile(link),
              "mailto:dev@example.org?subject=bug%20report&body=date/time%20%3A%20today%0D%0Aexception%20class%20%3A%20E");
}

TEST(SmtpTexts, SubjectBodyAndDate) {
    EXPECT_EQ(EncodeMailSubject("bug report: a-1"), "=?ISO-8859-1?Q?bug=20report=3A=20a=2D1?=");
    // Lines that start with a dot get one more, the first one too; bare
    // line ends become CR LF.
    EXPECT_EQ(EscapeMailBody("one\r\n.\r\ntwo"), "one\r\n..\r\ntwo");
    EXPECT_EQ(EscapeMailBody(".a\n..b\rc.\r\n."), "..a\r\n...b\r\nc.\r\n..");
    // A subject is one line of short encoded words on folded lines.
    EXPECT_EQ(EncodeMailSubject("two\r\nlines  here"), "=?ISO-8859-1?Q?two=20lines=20here?=");
    const std::string long_subject = EncodeMailSubject(std::string(100, 'a') + "\r\n" + std::string(10, '.'));
    EXPECT_EQ(long_subject, "=?ISO-8859-1?Q?" + std::string(58, 'a') + "?=\r\n =?ISO-8859-1?Q?" +
                                std::string(42, 'a') + "=20=2E=2E=2E=2E?=\r\n =?ISO-8859-1?Q?=2E=2E=2E=2E=2E=2E?=");
    // Header lines fold at blanks and are cut where a run has none.
    EXPECT_EQ(FoldHeaderLine("To", "<a@x.org>"), "To: <a@x.org>\r\n");
    std::string many;
    for (int i = 0; i < 20; ++i) many += (i ? ", " : "") + std::string("<user") + std::to_string(i) + "@example.org>";
    const std::string folded = FoldHeaderLine("To", many);
    std::string unfolded = folded.substr(4, folded.size() - 6);
    ReplaceSubStrCase(unfolded, "\r\n", "", true);
    EXPECT_EQ(unfolded, many);
    for (std::size_t start = 0, end; (end = folded.find("\r\n", start)) != std::string::npos; start = end + 2)
        EXPECT_LE(end - start, 78u) << folded;
    const std::string run = FoldHeaderLine("From", std::string(2500, 'z'));
    for (std::size_t start = 0, end; (end = run.find("\r\n", start)) != std::string::npos; start = end + 2)
        EXPECT_LE(end - start, 998u);
    EXPECT_EQ(MailDateText(2026, 3, 7, 9, 5, 1), "7 Mar 2026 09:05:01 UT");
    EXPECT_EQ(MailDateText(2026, 12, 31, 23, 59, 59), "31 Dec 2026 23:59:59 UT");
}

TEST(Dns, QueryAndReplyWithCompressedNames) {
    const std::string query = BuildDnsQuery("mail.example.org", kDnsTypeMx);
    EXPECT_EQ(query, std::string("\x00\x01\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                                 "\x04mail\x07" "example\x03org\x00\x00\x0F\x00\x01",
                                 34));
    // One MX answer whose name points back into the question.
    std::string reply = query;
    reply[2] = static_cast<char>(0x81);
    reply[7] = 1;
    reply += std::string("\xC0\x0C\x00\x0F\x00\x01\x00\x00\x00\x3C\x00\x07\x00\x05\x02mx\xC0\x11", 20);
    const DnsNames names = ParseDnsReply(reply, query.size(), kDnsTypeMx);
    ASSERT_EQ(names.answers.size(), 1u);
    EXPECT_EQ(names.answers[0], "mx.example.org");
    // An error code, a cut reply and a pointer loop give nothing.
    std::string failed = reply;
    failed[3] = 3;
    EXPECT_TRUE(ParseDnsReply(failed, query.size(), kDnsTypeMx).answers.empty());
    EXPECT_TRUE(ParseDnsReply(reply.substr(0, reply.size() - 3), query.size(), kDnsTypeMx).answers.empty());
    std::string loop = query;
    loop[7] = 1;
    loop += std::string("\xC0\x22\x00\x0F\x00\x01\x00\x00\x00\x3C\x00\x04\x00\x05\xC0\x22", 16);
    EXPECT_TRUE(ParseDnsReply(loop, query.size(), kDnsTypeMx).answers.empty());
}

TEST(Dns, MailExchangerOfTheDomainElseOfItsLastThreeLabels) {
    DnsServer dns({{"example.org", "mx.example.org"}, {"corp.example.com", "mx.corp.example.com"}}, 4);
    const std::vector<std::string> servers = {"127.0.0.1"};
    EXPECT_EQ(LookupMailExchanger("Ann <ann@example.org>", servers, dns.port()), "mx.example.org");
    EXPECT_EQ(LookupMailExchanger("bob@team.corp.example.com", servers, dns.port()), "mx.corp.example.com");
    EXPECT_EQ(LookupMailExchanger("nobody@unknown.test", servers, dns.port()), "");
    EXPECT_EQ(dns.Asked(), (std::vector<std::string>{"example.org", "team.corp.example.com",
                                                     "corp.example.com", "unknown.test"}));
}

namespace {

SendRequest MailRequest(std::uint16_t port) {
    SendRequest request;
    request.smtp_server = "127.0.0.1";
    request.port = port;
    request.recipients = "dev@example.org";
    request.sender = "Tester <tester@example.org>";
    request.subject = "bug report";
    request.body = "first line\r\n.\r\nlast line";
    request.reply_timeout_ms = 5000;
    return request;
}

}  // namespace

TEST(Smtp, DeliversTheMailWithAttachmentsThroughTheServer) {
    test_support::TempDir dir;
    const std::string file = dir.file("screenShot.png");
    test_support::WriteWholeFile(file, std::string(200, 'P'));
    SmtpServer server("250-loopback\r\n250-AUTH LOGIN PLAIN\r\n250 OK\r\n");
    SendRequest request = MailRequest(server.port());
    request.account = "me";
    request.password = "pw";
    request.attachments.files = {Utf8ToWideText(file)};
    request.attachments.send_as = {"screenshot.png"};
    request.attachments.fields = {"ScreenShot"};
    ASSERT_TRUE(SendBySmtpOrHttp(request));
    const std::string session = server.Sessions().at(0);
    EXPECT_NE(session.find("EHLO "), std::string::npos);
    EXPECT_NE(session.find("AUTH LOGIN\r\n" + Base64EncodeText("me") + "\r\n" + Base64EncodeText("pw") + "\r\n"),
              std::string::npos);
    EXPECT_NE(session.find("MAIL FROM:<tester@example.org>\r\nRCPT TO:<dev@example.org>\r\nDATA\r\n"),
              std::string::npos);
    EXPECT_NE(session.find("To: <dev@example.org>\r\nFrom: Tester <tester@example.org>\r\n"
                           "Subject: =?ISO-8859-1?Q?bug=20report?=\r\nDate: "),
              std::string::npos);
    EXPECT_NE(session.find("@zelExcept>\r\nMIME-Version: 1.0\r\n"), std::string::npos);
    EXPECT_NE(session.find("first line\r\n..\r\nlast line\r\n"), std::string::npos);
    EXPECT_NE(session.find("Content-Type: image/png; name=\"screenshot.png\"\r\n"
                           "Content-Transfer-Encoding: base64\r\n"
                           "Content-Disposition: attachment; filename=\"screenshot.png\"\r\n\r\n"),
              std::string::npos);
    // 57 bytes a line: 200 bytes make three full lines and a short one.
    EXPECT_NE(session.find(Base64EncodeText(std::string(57, 'P')) + "\r\n"), std::string::npos);
    EXPECT_NE(session.find("\r\n--" + std::string(kMultipartBoundary) + "--\r\n.\r\nQUIT\r\n"), std::string::npos);
}

TEST(Smtp, LogInWithoutAnnouncedLoginMechanismFailsBeforeMailFrom) {
    SmtpServer server("250-loopback\r\n250 AUTH PLAIN\r\n");
    SendRequest request = MailRequest(server.port());
    request.account = "me";
    EXPECT_FALSE(SendBySmtpOrHttp(request));
    const std::string session = server.Sessions().at(0);
    EXPECT_EQ(session.find("MAIL FROM"), std::string::npos);
    EXPECT_NE(session.find("QUIT"), std::string::npos);
}

TEST(Smtp, LoginAnnouncedWithAnEqualsSignCounts) {
    SmtpServer server("250-loopback\r\n250-AUTH=LOGIN PLAIN\r\n250 SIZE 1000\r\n");
    SendRequest request = MailRequest(server.port());
    request.account = "me";
    request.password = "pw";
    EXPECT_TRUE(SendBySmtpOrHttp(request));
}

TEST(Smtp, ServerModeMailsEachRecipientThroughItsOwnExchanger) {
    DnsServer dns({{"one.test", "localhost"}, {"two.test", "127.0.0.1"}}, 2);
    SmtpServer server("250 loopback\r\n", 2);
    SendRequest request = MailRequest(server.port());
    request.smtp_server.clear();
    request.recipients = "a@one.test; b@two.test";
    request.dns_servers = {"127.0.0.1"};
    request.dns_port = dns.port();
    EXPECT_TRUE(SendBySmtpOrHttp(request));
    const auto& sessions = server.Sessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_NE(sessions[0].find("RCPT TO:<a@one.test>"), std::string::npos);
    EXPECT_EQ(sessions[0].find("b@two.test"), std::string::npos);
    EXPECT_NE(sessions[1].find("RCPT TO:<b@two.test>"), std::string::npos);
}

TEST(Http, PostsFieldsAndAttachmentsAsAMultipartForm) {
    test_support::TempDir dir;
    const std::string file = dir.file("bugreport.txt");
    test_support::WriteWholeFile(file, "report text");
    HttpServer server("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    SendRequest request;
    request.upload_address = "http://127.0.0.1/upload/bug.php";
    request.port = server.port();
    request.sender = "tester@example.org";
    request.account = "user";
    request.password = "secret";
    request.fields = {{"MailSubject", "bug report"}};
    request.attachments.files = {Utf8ToWideText(file)};
    request.attachments.send_as = {"bugreport.txt"};
    request.attachments.fields = {"BugReport"};
    request.reply_timeout_ms = 5000;
    ASSERT_TRUE(SendBySmtpOrHttp(request));
    const std::string& sent = server.Request();
    const std::string boundary = kMultipartBoundary;
    EXPECT_EQ(sent.rfind("POST /upload/bug.php HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n", 0),
              0u);
    EXPECT_NE(sent.find("User-Agent: zelExcept/3.0\r\n"), std::string::npos);
    EXPECT_NE(sent.find("From: <tester@example.org>\r\n"), std::string::npos);
    EXPECT_NE(sent.find("Authorization: Basic " + Base64EncodeText("user:secret") + "\r\n"), std::string::npos);
    EXPECT_NE(sent.find("\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"MailSubject\"\r\n\r\nbug report"),
              std::string::npos);
    EXPECT_NE(sent.find("Content-Disposition: form-data; name=\"BugReport\"; filename=\"bugreport.txt\"\r\n"
                        "Content-Type: application/octet-stream\r\n\r\nreport text\r\n--" + boundary + "--\r\n"),
              std::string::npos);
    // The length counts the body without the closing line break.
    const std::size_t head_end = sent.find("\r\n\r\n");
    const std::size_t length_at = sent.find("Content-Length: ");
    const std::size_t length = std::stoul(sent.substr(length_at + 16));
    // The head ends where the fields text begins with its own line break.
    const std::size_t body_start = sent.find("\r\n--" + boundary);
    EXPECT_EQ(body_start, head_end + 2);
    EXPECT_EQ(sent.size() - body_start - 2, length);
}

TEST(Http, OtherStatusCodesFail) {
    HttpServer server("HTTP/1.1 500 Internal Server Error\r\n\r\n");
    SendRequest request;
    request.upload_address = "127.0.0.1/u";
    request.port = server.port();
    request.reply_timeout_ms = 5000;
    EXPECT_FALSE(SendBySmtpOrHttp(request));
}

TEST(Attachments, ZipNamesCollectTheirMembersOnce) {
    test_support::TempDir dir;
    test_support::WriteWholeFile(dir.file("a.txt"), "a");
    test_support::WriteWholeFile(dir.file("b.txt"), "b");
    test_support::WriteWholeFile(dir.file("c.txt"), "c");
    TIZESettings settings(0, false);
    TIZEAttachments list;
    list.Add(Utf8ToWideText(dir.file("a.txt")), "a.txt", "logs.zip");
    list.Add(Utf8ToWideText(dir.file("missing.txt")));
    list.Add(Utf8ToWideText(dir.file("c.txt")));
    list.Add(Utf8ToWideText(dir.file("b.txt")), "b.txt", "LOGS.zip");
    PreparedAttachments prepared;
    PrepareAttachments(settings, list, true, prepared);
    ASSERT_EQ(prepared.files.size(), 2u);
    EXPECT_EQ(prepared.send_as, (std::vector<std::string>{"logs.zip", "c.txt"}));
    EXPECT_EQ(prepared.fields, (std::vector<std::string>{"logs.zip", "c"}));
    const std::string archive = WideToUtf8Text(prepared.files[0]);
    if (test_support::HaveTool("7z")) {
        const auto listing = test_support::Run("7z l " + test_support::Quote(archive));
        EXPECT_NE(listing.output.find("a.txt"), std::string::npos);
        EXPECT_NE(listing.output.find("b.txt"), std::string::npos);
    }
}

}  // namespace crashreport_test
